"""The greedy player: its placements against the rules, its scores against a
slow reference, legal complete pieces over random games (the rollout rule's
too), and a weak strength check against random tile play."""

import random

import pytest

from selfplay_helpers import need_extension

need_extension()
np = pytest.importorskip("numpy")

from velmar import rules  # noqa: E402
from velmar.game import greedy  # noqa: E402
from velmar.game.rollout import RolloutPlayer  # noqa: E402
from velmar.ratings.games import play_game  # noqa: E402
from velmar.ratings.players import UniformTiles  # noqa: E402

# distinct orientations per kind, and the squares per kind
ORIENTATIONS = [1, 2, 4, 2, 2, 8, 4, 1, 4, 2, 8, 8, 8, 4, 4, 4, 4, 8, 1, 8, 4]


def test_the_table_holds_every_orientation_at_every_origin():
    counts = [len(greedy.orientations(s)) for s in greedy.SHAPES]
    assert counts == ORIENTATIONS and sum(counts) == 91
    tab = greedy.table()
    assert sum(tab.size[tab.kind == k][0] for k in range(21)) == 89
    real = tab.cells[tab.cells != greedy.NONE]
    assert real.min() >= 0 and real.max() < 400
    # every placement lies on the board without wrapping: its squares are edge-connected
    for i in np.random.RandomState(0).randint(0, len(tab.cells), 300):
        cells = [int(x) for x in tab.cells[i] if x != greedy.NONE]
        seen, todo = {cells[0]}, [cells[0]]
        while todo:
            x = todo.pop()
            for y in cells:
                if y not in seen and abs(x // 20 - y // 20) + abs(x % 20 - y % 20) == 1:
                    seen.add(y)
                    todo.append(y)
        assert seen == set(cells)


def slow_corners(cells, player):
    """Open corners of ``player`` from the cell bytes, cell by cell."""
    own = [c & 15 == player + 1 for c in cells]
    out = set()
    for x in range(400):
        if cells[x] & 15 or cells[x] >> (4 + player) & 1:
            continue
        r, c = divmod(x, 20)
        if any(own[(r + dr) * 20 + c + dc] for dr in (-1, 1) for dc in (-1, 1)
               if 0 <= r + dr < 20 and 0 <= c + dc < 20):
            out.add(x)
    if not any(own) and not cells[greedy.START_CORNERS[player]] & 15:
        out.add(greedy.START_CORNERS[player])
    return out


def cells_of(tab, i):
    return tuple(sorted(int(x) for x in tab.cells[i] if x != greedy.NONE))


def turn_starts(seed, games=2):
    """Turn starts of random games (greedy and random tile play mixed)."""
    rng = random.Random(seed)
    for _ in range(games):
        game = rules.Game()
        players = [greedy.GreedyPlayer(rng.random()) if rng.random() < 0.5
                   else UniformTiles(rng.random()) for _ in range(4)]
        start = True
        while not game.is_over:
            p = game.current_player()
            if start:
                yield game
            before = len(game.pieces[p])
            game.apply(players[p].choose(game))
            start = len(game.pieces[p]) < before


@pytest.mark.parametrize("seed", [1, 2])
def test_placements_and_scores_match_the_rules(seed):
    tab = greedy.table()
    checked = 0
    for game in turn_starts(seed):
        p = game.current_player()
        cand = greedy.complete_placements(game.cells, game.pieces[p], p, tab)
        mine = sorted(cells_of(tab, i) for i in cand)
        assert mine == sorted(tuple(c) for c in greedy.completions(game))
        if checked % 5 == 0:  # scores against the position each placement leads to
            scores = greedy.placement_scores(cand, game.cells, p, tab)
            for i, s in zip(cand, scores):
                h = game.copy()
                for x in cells_of(tab, i):
                    h.apply(x)
                cells = h.cells
                others = sum(len(slow_corners(cells, q)) for q in range(4) if q != p)
                want = (greedy.SIZE_WEIGHT * tab.size[i] + greedy.CORNER_WEIGHT
                        * len(slow_corners(cells, p)) - greedy.OPPONENT_WEIGHT * others)
                assert s == pytest.approx(want)
        checked += 1
    assert checked > 100


@pytest.mark.parametrize("seed", [7, 8])
def test_library_rule_matches_the_reference(seed):
    """The rules library's candidates and scores equal the NumPy ones at turn
    starts; in the middle of a move its choices are every completion."""
    tab, rng, checked = greedy.table(), random.Random(seed), 0
    for game in turn_starts(seed):
        p = game.current_player()
        turn_start, choices = game.greedy_choices()
        cand = greedy.complete_placements(game.cells, game.pieces[p], p, tab)
        want = dict(zip((cells_of(tab, i) for i in cand),
                        greedy.placement_scores(cand, game.cells, p, tab)))
        assert turn_start and {tuple(c): s for s, c in choices} == want
        assert [s for s, _ in choices] == sorted(want.values(), reverse=True)
        if rng.random() < 0.3:  # one tile in: the completions, the largest first
            h = game.copy()
            h.apply(rng.choice(h.legal_tiles()))
            if h.current_player() == p:
                turn_start, choices = h.greedy_choices()
                taken = {x for _, x in h.history}
                got = sorted(tuple(x for x in c if x not in taken) for _, c in choices)
                assert not turn_start and got == sorted(tuple(c) for c in greedy.completions(h))
                assert [s for s, c in choices] == sorted((len(c) for _, c in choices), reverse=True)
        checked += 1
    assert checked > 100


@pytest.mark.parametrize("seed,rollout_seat", [(3, None), (4, None), (5, None), (6, 1)])
def test_greedy_plays_legal_complete_pieces(seed, rollout_seat):
    rng = random.Random(seed)
    game = rules.Game()
    players = [greedy.GreedyPlayer(seed * 10 + s) for s in range(4)]
    if rollout_seat is not None:  # the rollout rule's placements too (k = 2 to keep it quick)
        players[rollout_seat] = RolloutPlayer(2, seed)
    # start one piece with a random tile so that greedy must finish a piece it did not plan
    game.apply(rng.choice(game.legal_tiles()))
    tab = greedy.table()
    shapes = {cells_of(tab, i): int(tab.kind[i]) for i in range(len(tab.cells))}
    move, mover, held = [game.history[0][1]], 0, list(game.pieces[0])
    while not game.is_over:
        p = game.current_player()
        tile = players[p].choose(game)
        assert tile in game.legal_tiles()
        game.apply(tile)
        move.append(tile)
        if len(game.pieces[mover]) < len(held):  # complete: the tiles are one placement
            assert [k for k in held if k not in game.pieces[mover]] == [shapes[tuple(sorted(move))]]
            move = []
            mover = game.current_player()
            held = list(game.pieces[mover]) if mover is not None else []
        else:
            assert game.current_player() == mover
    assert move == []
    assert sum(pl.fallbacks for pl in players) == 1  # only the piece begun at random
    assert sum(pl.decisions for pl in players) > 40
    if rollout_seat is not None:
        assert players[rollout_seat].playouts > 10


def test_rollout_with_one_candidate_is_the_greedy_rule():
    def history(make):
        game = rules.Game()
        players = [make(40 + s) for s in range(4)]
        while not game.is_over:
            game.apply(players[game.current_player()].choose(game))
        return game.history, players

    want, _ = history(greedy.GreedyPlayer)
    got, players = history(lambda seed: RolloutPlayer(1, seed))
    assert got == want and sum(p.playouts for p in players) == 0


def test_greedy_beats_random_tile_play_clearly():
    won, margin, n = 0.0, 0.0, 12
    for g in range(n):
        seat = g % 4
        choosers = [UniformTiles(100 * g + s) for s in range(4)]
        choosers[seat] = greedy.GreedyPlayer(g)
        _, scores, payoffs, _ = play_game(choosers, opening_pieces=0)
        won += payoffs[seat]
        margin += scores[seat] - max(s for i, s in enumerate(scores) if i != seat)
    assert won / n >= 0.5  # par 0.25
    assert margin / n > 0
