"""generate_game_data's options: all off is today's game, bad options are
refused before anything starts, playout caps, Gumbel and canonical records."""

import math

import pytest

from self_play_fakes import CELLS, Config, Server, check_record, f32, visit_counts


def rising_answer(request):
    """Distinct logits (no ties between priors) and values drawn from the
    position (no ties between values), the same whoever asks."""
    planes = request[1]
    h = hash(tuple(x for k in range(5) for x in range(CELLS) if planes[k][x])) & 0xFFFFFFFF
    return ([x / 50.0 for x in range(CELLS)], [((h >> (8 * p)) % 1009) / 1009.0 for p in range(4)])


class ReadLog(Config):
    """A Config that records every attribute read."""

    def __init__(self, **kw):
        object.__setattr__(self, "reads", [])
        super().__init__(**kw)

    def __getattribute__(self, name):
        if not name.startswith("__") and name != "reads":
            object.__getattribute__(self, "reads").append(name)
        return object.__getattribute__(self, name)


def play(sp, sims, options=None, **kw):
    config = ReadLog(sims_per_move=sims, exploration_fraction=0.0, **kw)
    server = Server(answer=rising_answer)
    if options is None:
        record = sp.generate_game_data(5, config, server, server)
    else:
        record = sp.generate_game_data(5, config, server, server, options=options)
    return record, server, config


ALL_OFF = {"canonical_order": False, "reuse_tree": False, "skip_forced": False, "gumbel": False}


@pytest.mark.parametrize("sims", [1, 4, 9])
@pytest.mark.parametrize("options", [{}, ALL_OFF], ids=["empty", "all_false"])
def test_options_off_play_todays_game(sp, rules, quiet, sims, options):
    """The same config reads as without options; every search of the game
    sends the requests, in the same order, and counts the visits that
    today's search (velmar.rules.search without options) sends and counts
    from the same position: the whole game's requests are theirs end to end."""
    _, _, base_config = play(sp, sims)
    record, server, config = play(sp, sims, options)
    assert config.reads == base_config.reads
    assert len(record) == 3
    check_record(record, rules, config)
    game, expected = rules.Game(), []
    for (player, tile), policy in zip(record[0], record[1]):
        today = Server(answer=rising_answer)
        counts = rules.search(game, config, today, today, id=5)
        assert sorted((c, f32(n / sims)) for c, n in counts) == sorted(policy)
        expected += today.requests
        game.apply(tile)
    assert server.requests == expected


BAD = [
    ({"fpu": 0.1}, TypeError, "'fpu'"),
    ({1: True}, TypeError, "strings"),
    ({"fpu_reduction": -0.5}, ValueError, "fpu_reduction"),
    ({"fpu_reduction": float("nan")}, ValueError, "fpu_reduction"),
    ({"canonical_order": 1}, TypeError, "canonical_order"),
    ({"fast_sims": 0, "full_share": 0.5}, ValueError, "fast_sims"),
    ({"fast_sims": 2.0, "full_share": 0.5}, TypeError, "fast_sims"),
    ({"fast_sims": 2, "full_share": 0.0}, ValueError, "full_share"),
    ({"fast_sims": 2}, ValueError, "fast_sims"),
    ({"full_share": 0.5}, ValueError, "full_share"),
    ({"gumbel": True, "gumbel_m": 0}, ValueError, "gumbel_m"),
    ({"gumbel_m": 8}, ValueError, "gumbel_m"),
    ({"gumbel": True, "reuse_tree": True}, ValueError, "reuse_tree"),
    ({"rollout_weight": 0}, ValueError, "rollout_weight"),
    ({"rollout_weight": 1.5}, ValueError, "rollout_weight"),
    ({"rollout_weight": True}, TypeError, "rollout_weight"),
    ([("gumbel", True)], TypeError, "mapping"),
]


@pytest.mark.parametrize("options,error,key", BAD, ids=[str(b[0]) for b in BAD])
def test_bad_options_are_refused_before_anything_starts(sp, capfd, options, error, key):
    config = ReadLog(sims_per_move=2)
    server = Server()
    with pytest.raises(error, match=key):
        sp.generate_game_data(0, config, server, server, options=options)
    assert server.calls == [] and config.reads == []
    assert capfd.readouterr() == ("", "")


def test_options_is_keyword_only(sp):
    server = Server()
    with pytest.raises(TypeError, match="positional"):
        sp.generate_game_data(0, Config(), server, server, {})


def test_playout_caps_share_and_flags(sp, quiet, repeats):
    """With full_share 0.3 about 30% of the searched tiles are full ones
    (7 visits, shares k/7); the others have fast_sims = 1 visit, one share
    1.0. The fourth list holds the flags."""
    full = fast = 0
    for _ in range(repeats(2)):
        record, _, _ = play(sp, 7, {"fast_sims": 1, "full_share": 0.3})
        assert len(record) == 4 and len(record[3]) == len(record[1])
        for policy, flag in zip(record[1], record[3]):
            assert type(flag) is bool
            counts = visit_counts(policy, 7 if flag else 1)
            assert counts is not None and sum(counts) == (7 if flag else 1)
            full += flag
            fast += not flag
    n = full + fast
    assert abs(full / n - 0.3) < 4.5 * math.sqrt(0.21 / n), (full, n)


def test_gumbel_canonical_forced_game(sp, rules, quiet):
    """Gumbel records the improved policy (summing to 1, not visit shares)
    over the canonical children (legal tiles; the first tile only cell 0,
    the smallest cell of every first placement); a tile alone in its policy
    had no search and no request."""
    options = {"gumbel": True, "gumbel_m": 4, "canonical_order": True, "skip_forced": True}
    record, server, _ = play(sp, 8, options, sample_moves=4)
    assert record[1][0] == [(0, 1.0)]
    game, fractional, singles = rules.Game(), 0, 0
    for (player, tile), policy in zip(record[0], record[1]):
        assert {c for c, _ in policy} <= set(game.legal_tiles()) and tile in dict(policy)
        assert sum(s for _, s in policy) == pytest.approx(1.0, abs=1e-5)
        fractional += visit_counts(policy, 8) is None
        singles += len(policy) == 1
        game.apply(tile)
    assert game.is_over and fractional > len(record[1]) // 3 and singles > 0
    assert len(server.requests) <= 9 * (len(record[1]) - singles)
