"""Whole self-play games: the returned record replayed against the rules, the
requests of every search, the summary line, and the behaviour of the search
that can be seen from Python (move choice, backup perspective, priors from
extreme logits, the walk order of a node's children)."""

import contextlib
import io
import math

import pytest

from self_play_fakes import (CELLS, SUMMARY_PREFIX, Config, Server, check_record, f32,
                             float32_text, legal_cells, summary_line, uniform_answer)


def play(sp, config, answer=uniform_answer, id_value=0, keep=True):
    server = Server(answer=answer, keep=keep)
    record = sp.generate_game_data(id_value, config, server, server)
    return record, server


def ranked(offset=0.0, values=(0.0, 0.0, 0.0, 0.0)):
    """Logits offset + cell / 100 (the highest legal cell has the largest
    prior) and fixed values, the same reply for every request."""
    policy = [offset + x / 100.0 for x in range(CELLS)]
    values = list(values)
    return lambda request: (policy, values)


def ranked_legal(values):
    """Logits = a legal tile's rank among the legal tiles of the request
    (plane 4), 0 elsewhere, and fixed values: the highest legal cell's prior
    is e times the runner-up's, which is e times the next one's."""
    values = list(values)

    def answer(request):
        legal = [x for x, v in enumerate(request[1][4]) if v]
        policy = [0.0] * CELLS
        for rank, x in enumerate(legal):
            policy[x] = float(rank)
        return policy, values
    return answer


def game_settings():
    """Settings of whole games; the longer ones are marked slow."""
    fast = [
        dict(sims_per_move=1, sample_moves=0),
        dict(sims_per_move=3, sample_moves=2),
    ]
    slow = [
        dict(sims_per_move=2, sample_moves=1),
        dict(sims_per_move=5, sample_moves=12),
        dict(sims_per_move=8, sample_moves=30, dirichlet_alpha=0.03),
        dict(sims_per_move=4, sample_moves=2**32 - 1, exploration_fraction=1.0),
        dict(sims_per_move=2, sample_moves=0, c_base=1.0, c_init=0.0, exploration_fraction=0.0,
             dirichlet_alpha=5.0),
    ]
    def name(s):
        return "-".join("%s=%s" % kv for kv in sorted(s.items()))
    return ([pytest.param(s, id=name(s)) for s in fast] +
            [pytest.param(s, id=name(s), marks=pytest.mark.slow) for s in slow])


@pytest.mark.parametrize("settings", game_settings())
def test_whole_game(sp, rules, capsys, settings):
    config = Config(**settings)
    record, server = play(sp, config, id_value=-1)
    game, positions = check_record(record, rules, config)
    history = record[0]
    assert all(request[0] == -1 for request in server.requests)
    # At most sims + 1 evaluations per search.
    assert len(history) <= len(server.requests) <= (config.sims_per_move + 1) * len(history)
    out, err = capsys.readouterr()
    assert out == summary_line(game.get_payoff(), game.get_score()) + "\n"
    assert err.count("\n") == 1 and err.rstrip("\n").endswith(" 400/400")


@pytest.mark.slow
def test_summary_line_format(sp, rules, capsys, repeats):
    """Payoffs written as the shortest 32-bit decimal with a fraction, scores
    as integers; the record's payoffs are the printed ones."""
    for _ in range(repeats(4)):
        config = Config(sims_per_move=1, sample_moves=400)  # tiles drawn: varied games
        record, _ = play(sp, config)
        game, _ = check_record(record, rules, config)
        out = capsys.readouterr().out
        assert out.startswith(SUMMARY_PREFIX) and out.endswith("]\n") and out.count("\n") == 1
        payoff_text, score_text = out[len(SUMMARY_PREFIX):-2].split("] and score: [")
        payoff_text = payoff_text[1:]
        # "0.33333334" read as a double is not the 32-bit third; read back as 32 bits it is
        payoffs = [f32(float(t)) for t in payoff_text.split(", ")]
        assert payoffs == record[2]
        for text, value in zip(payoff_text.split(", "), record[2]):
            assert "." in text and text == float32_text(value)
            assert value in (0.0, 1.0, 0.5, f32(1 / 3), 0.25)
        assert [int(t) for t in score_text.split(", ")] == game.get_score()
        assert math.isclose(sum(record[2]), 1.0, rel_tol=1e-6)


@pytest.mark.parametrize("value, text", [
    (0.0, "0.0"), (1.0, "1.0"), (0.5, "0.5"), (0.25, "0.25"), (f32(1 / 3), "0.33333334"),
    (f32(0.1), "0.1")])
def test_float32_text_helper(value, text):
    """The expected form of a payoff in the summary line."""
    assert float32_text(value) == text


def test_requests_are_the_searched_positions(sp, rules, quiet):
    """With no simulations each search sends exactly its root position."""
    config = Config(sims_per_move=0)
    record, server = play(sp, config, id_value=2**31 - 1)
    game, positions = check_record(record, rules, config)
    assert len(server.requests) == len(positions)
    for request, position in zip(server.requests, positions):
        assert request[0] == 2**31 - 1
        assert request[1] == position.representation()


def test_leaf_requests_follow_the_visited_child(sp, rules, quiet):
    """With one simulation each search sends its root and then the position
    after the one child visited (unless the game is over there)."""
    config = Config(sims_per_move=1)
    record, server = play(sp, config)
    game, positions = check_record(record, rules, config)
    requests = iter(server.requests)
    for (player, cell), policy, position in zip(record[0], record[1], positions):
        assert next(requests)[1] == position.representation()
        visited = [c for c, share in policy if share == 1.0]
        assert visited == [cell]
        after = position.copy()
        after.apply(cell)
        if not after.is_over:
            assert next(requests)[1] == after.representation()
    assert next(requests, None) is None


@pytest.mark.parametrize("keep", ["nothing", pytest.param("one-plane", marks=pytest.mark.slow),
                                  pytest.param("planes", marks=pytest.mark.slow), "copies"])
def test_requests_not_changed_after_put(sp, rules, quiet, keep):
    """Whatever the server keeps of a request stays as it was sent, and every
    request seen at recv time shows the right position."""
    seen, kept = [], []

    def answer(request):
        seen.append([list(p) for p in request[1]])
        if keep == "one-plane":
            kept.append((request[1][4], list(request[1][4])))
        elif keep == "planes":
            kept.append((request[1], [list(p) for p in request[1]]))
        elif keep == "copies":
            kept.append((list(request[1]), [list(p) for p in request[1]]))
        return uniform_answer(request)

    config = Config(sims_per_move=0)
    record, _ = play(sp, config, answer=answer, keep=False)
    game, positions = check_record(record, rules, config)
    assert seen == [p.representation() for p in positions]
    for live, snapshot in kept:
        assert live == snapshot


def test_no_simulations(sp, rules, capsys, repeats):
    """sims_per_move 0: NaN shares, the last candidate taken, still a whole game."""
    for sample_moves in (0, 30)[:repeats(2)]:
        config = Config(sims_per_move=0, sample_moves=sample_moves)
        record, server = play(sp, config)
        game, _ = check_record(record, rules, config)
        assert len(server.requests) == len(record[0])
        assert all(math.isnan(share) for policy in record[1] for _, share in policy)
        out = capsys.readouterr().out
        assert out == summary_line(game.get_payoff(), game.get_score()) + "\n"


@pytest.mark.parametrize("offset", [1000.0, -1000.0] + [
    pytest.param(x, marks=pytest.mark.slow) for x in (0.0, 88.0, 200.0, -200.0)])
def test_extreme_logits_give_proper_priors(sp, rules, quiet, offset):
    """Logits offset + cell / 100: whatever the offset, the priors are a
    softmax, so the first simulation from the root visits the highest legal
    cell, and that is the tile taken. (Priors that overflow or underflow would
    be NaN and the visit would go to whichever child the walk meets first.)"""
    config = Config(sims_per_move=1, sample_moves=0, exploration_fraction=0.0,
                    dirichlet_alpha=1.0)
    record, _ = play(sp, config, answer=ranked(offset))
    game, positions = check_record(record, rules, config)
    for (player, cell), policy, position in zip(record[0], record[1], positions):
        top = max(position.legal_tiles())
        assert cell == top
        assert dict(policy)[top] == 1.0


@pytest.mark.slow
@pytest.mark.parametrize("logit", [1000.0, -1000.0, 1e30])
def test_equal_extreme_logits(sp, rules, quiet, logit):
    """Equal huge or tiny logits on every cell: uniform priors, a proper game
    (shares of every search sum to 1)."""
    config = Config(sims_per_move=3, sample_moves=4)
    record, _ = play(sp, config, answer=lambda r: ([logit] * CELLS, [0.25] * 4))
    check_record(record, rules, config)
    for policy in record[1]:
        assert math.isclose(sum(s for _, s in policy), 1.0, rel_tol=1e-6)


def test_values_backed_up_for_the_player_who_took_the_tile(sp, rules, quiet, repeats):
    """Values [-1, 0, 0, 0] in seat order, two simulations, logits ranking
    the legal tiles (c1's prior e times c2's): the first simulation visits the highest
    legal cell c1, and the second visits c1 again unless c1 was backed up with
    -1, when it visits the runner-up c2. c1's node receives the value of the player who took the
    tile, so the search splits exactly at player 0's turns; had it received
    the value of the player to move after the tile, the split would follow
    whether c1 completes a piece."""
    config = Config(sims_per_move=2, sample_moves=0, c_base=1.0, c_init=-0.5,
                    dirichlet_alpha=1.0, exploration_fraction=0.0)
    distinguishing = 0
    for _ in range(repeats(2)):
        record, _ = play(sp, config, answer=ranked_legal((-1.0, 0.0, 0.0, 0.0)))
        game, positions = check_record(record, rules, config)
        for (player, cell), policy, position in zip(record[0], record[1], positions):
            legal = sorted(position.legal_tiles())
            if len(legal) < 2:
                continue
            c1, c2 = legal[-1], legal[-2]
            after = {}
            for c in (c1, c2):
                after[c] = position.copy()
                after[c].apply(c)
            if any(g.is_over for g in after.values()):
                continue  # valued by the payoff, not by the reply
            visited = sorted(c for c, share in policy if share > 0)
            expected = sorted((c1, c2)) if player == 0 else [c1]
            assert visited == expected, (player, visited, c1, c2)
            next_player = after[c1].current_player()
            if (player == 0) != (next_player == 0):
                distinguishing += 1
    # The games must contain positions where the two readings differ.
    assert distinguishing > 0


@pytest.mark.slow
def test_values_in_seat_order(sp, rules, quiet):
    """Values that favour seat 2 only: at seat 2's turns the first child
    visited keeps every visit, at the other seats' turns the search splits."""
    config = Config(sims_per_move=2, sample_moves=0, c_base=1.0, c_init=-0.5,
                    dirichlet_alpha=1.0, exploration_fraction=0.0)
    record, _ = play(sp, config, answer=ranked_legal((-1.0, -1.0, 0.0, -1.0)))
    game, positions = check_record(record, rules, config)
    for (player, cell), policy, position in zip(record[0], record[1], positions):
        legal = sorted(position.legal_tiles())
        if len(legal) < 2:
            continue
        nexts = [position.copy() for _ in range(2)]
        for g, c in zip(nexts, legal[-2:]):
            g.apply(c)
        if any(g.is_over for g in nexts):
            continue
        visited = sorted(c for c, share in policy if share > 0)
        assert visited == (legal[-1:] if player == 2 else legal[-2:])


def test_children_walked_in_shuffled_order(sp, rules, quiet, repeats):
    """The order of a policies entry is the walk order of the root's
    children: it differs between positions and between calls."""
    config = Config(sims_per_move=0)
    first_orders = []
    for _ in range(repeats(3) + 1):
        record, _ = play(sp, config)
        check_record(record, rules, config)
        orders = [[c for c, _ in policy] for policy in record[1]]
        first_orders.append(tuple(orders[0]))
        big = [o for o in orders if len(o) >= 8]
        assert big
        # Neither ascending nor descending cell order, position after position.
        assert sum(o == sorted(o) or o == sorted(o, reverse=True) for o in big) < len(big) / 2
    assert len(set(first_orders)) == len(first_orders)


@pytest.mark.slow
def test_opening_draws_follow_visits(sp, rules, quiet, repeats):
    """Values of -1 for everybody and almost no exploration: each simulation
    visits a child not visited yet, so the four simulations give four children
    one visit each. In the opening the tile is drawn among them (so not
    always the last of them in walk order, the choice after the opening)."""
    config = Config(sims_per_move=4, sample_moves=60, c_base=1.0, c_init=-0.5,
                    dirichlet_alpha=1.0, exploration_fraction=0.0)
    drawn_elsewhere = 0
    for _ in range(repeats(2)):
        record, _ = play(sp, config, answer=ranked(0.0, (-1.0,) * 4))
        check_record(record, rules, config)
        for i, ((_, cell), policy) in enumerate(zip(record[0], record[1])):
            if i + 1 < config.sample_moves and len(policy) >= 4:
                visited = [c for c, share in policy if share > 0]
                assert len(visited) == 4 and all(s in (0.0, 0.25) for _, s in policy)
                drawn_elsewhere += cell != visited[-1]
    assert drawn_elsewhere > 0


def test_summary_through_redirected_stdout(sp, rules, capsys):
    buffer, errors = io.StringIO(), io.StringIO()
    config = Config(sims_per_move=1)
    with contextlib.redirect_stdout(buffer), contextlib.redirect_stderr(errors):
        record, _ = play(sp, config)
    game, _ = check_record(record, rules, config)
    assert buffer.getvalue() == summary_line(game.get_payoff(), game.get_score()) + "\n"
    assert errors.getvalue().count("400/400") == 1
    assert capsys.readouterr() == ("", "")

