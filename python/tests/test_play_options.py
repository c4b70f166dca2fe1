"""The search options in the commands: bad flags, velmar play with playout
caps end to end, the arena's player keys, and what the loop hands down."""

import argparse
import json
import os
import random

import pytest

from velmar.arena import arena
from velmar.arena.players import MatchJob, PlayerSpec, play_game
from velmar.common.settings import SearchSettings, add_search_arguments
from velmar.game import data
from velmar.selfplay import play

from selfplay_helpers import need_extension, run_play, summary


@pytest.fixture(autouse=True)
def extension():
    need_extension()


def loop_module():
    pytest.importorskip("numpy", reason="NumPy is not available for this interpreter")
    pytest.importorskip("torch", reason="PyTorch is not installed for this interpreter (PyPy)")
    from velmar.learning import loop
    return loop


@pytest.mark.parametrize("command,argv,flag", [
    ("play", ["--sims", "4", "--fast-sims", "5", "--full-share", "0.5"], "--fast-sims"),
    ("play", ["--fpu-reduction", "-0.1"], "--fpu-reduction"),
    ("play", ["--gumbel", "--reuse-tree"], "--reuse-tree"),
    ("loop", ["--full-share", "0.5"], "--full-share"),
    ("loop", ["--gumbel", "--gumbel-m", "0"], "--gumbel-m"),
])
def test_a_bad_option_exits_2_with_one_line_naming_its_flag(command, argv, flag, tmp_path,
                                                            capsys):
    out = str(tmp_path / "out")
    if command == "play":
        status = play.main(["--games", "1", "--out", out] + argv)
    else:
        status = loop_module().main(["--dir", out, "--iterations", "1"] + argv)
    err = capsys.readouterr().err
    assert status == 2 and err.startswith("%s: %s " % (command, flag)), err
    assert len(err.strip().splitlines()) == 1 and not os.path.exists(out)


@pytest.mark.subprocess
def test_play_with_playout_caps_writes_and_records_them(tmp_path):
    pytest.importorskip("numpy", reason="NumPy is not available for this interpreter")
    out = tmp_path / "run"
    res = run_play(out, "--games", 2, "--workers", 1, "--sims", 8, "--fast-sims", 2,
                   "--full-share", 0.5, "--skip-forced", "--canonical-order",
                   "--fpu-reduction", 0)
    assert res.returncode == 0, res.stdout + res.stderr
    s = summary(out)
    assert s["config"]["options"] == {"fpu_reduction": 0.0, "canonical_order": True,
                                      "skip_forced": True, "fast_sims": 2, "full_share": 0.5}
    d = data.load(str(out))  # checks every shard, the new column included
    full = d["full_search"]
    assert full.dtype == bool and 0 < full.sum() < len(full) == s["tiles"]
    assert s["full_search_tiles"] == int(full.sum())
    # each row's flag is its own tile's: a fast search of 2 simulations puts
    # mass on at most 2 tiles, a full one of 8 (no penalty on untried tiles)
    # often on more, and a tile that is the only legal one had no search
    spread = (d["policy"] > 0).sum(axis=1)
    assert spread[~full].max() <= 2 and spread[full].max() > 2
    legal = d["planes"][:, 4].reshape(len(full), -1).sum(axis=1)
    assert (legal == 1).any() and not full[legal == 1].any()


class Recording:
    """velmar.rules.search, recording each call's id, position and result."""

    def __init__(self):
        self.calls = []

    def __call__(self, game, config, queue, pipe, id, **kw):
        from velmar import rules
        found = rules.search(game, config, queue, pipe, id=id, **kw)
        self.calls.append((id, game.copy(), found))
        return found


def test_player_options_reach_the_search_in_a_game():
    from velmar.ratings.players import InProcessEvaluator
    from velmar.serving.factory import make_evaluator
    specs = [PlayerSpec.parse("g=uniform,sims=6,gumbel=1,gumbel_m=2,skip=1"),
             PlayerSpec.parse("c=uniform,sims=6,fpu=0.2,canonical=1,reuse=1"),
             PlayerSpec.parse("p=uniform,sims=6")]
    job = MatchJob(specs, [(0, 1, 2, 1)], sample_tiles=4, seed=0)
    search = Recording()
    client = InProcessEvaluator(make_evaluator("uniform"))
    tiles, _, _ = play_game((0, 1, 2, 1), job.configs, client, random.Random(3), 4,
                            search=search, call_options=job.call_options)
    taken = {i: cell for i, (_, cell) in enumerate(tiles)}
    fewer = 0
    for player, game, found in search.calls:
        legal = set(game.legal_tiles())
        if player == 2:  # no options: the plain search's list over every legal tile
            assert isinstance(found, list) and {c for c, _ in found} == legal
            continue
        cells = {c for c, _ in found["visits"]}
        assert cells <= legal
        fewer += player == 1 and len(cells) < len(legal)
        if player == 0 and len(game.history) >= 4:  # the Gumbel winner, after the opening
            assert taken[len(game.history)] == found["tile"]
    assert fewer > 0  # canonical order searched fewer tiles than are legal


@pytest.mark.subprocess
def test_arena_records_its_players_options(tmp_path):
    players = [PlayerSpec.parse("f=uniform,sims=3,fpu=0.2,canonical=1"),
               PlayerSpec.parse("p=uniform,sims=3")]
    result = arena.run_arena(players, games=4, workers=1, out_dir=str(tmp_path), seed=2)
    assert result.complete and len(result.games) == 4
    with open(result.json_path) as f:
        saved = json.load(f)["players"]
    assert saved[0]["options"] == {"fpu_reduction": 0.2, "canonical_order": True}
    assert "options" not in saved[1] and "fpu 0.2, canonical" in players[0].describe()


def test_loop_hands_its_options_to_selfplay_and_to_its_generations(tmp_path):
    loop = loop_module()
    args = loop._parser().parse_args(["--dir", "x", "--iterations", "1", "--sims", "8",
                                      "--fast-sims", "2", "--full-share", "0.5",
                                      "--fpu-reduction", "0.1"])
    s = loop.settings_from_args(args)
    given = {"fast_sims": 2, "full_share": 0.5, "fpu_reduction": 0.1}
    ap = argparse.ArgumentParser()
    add_search_arguments(ap)
    selfplay = SearchSettings.from_args(ap.parse_args(s.selfplay_search().command_line()))
    assert selfplay.options == given and selfplay.sims_per_move == 8
    # in the arenas the run's generations search with them, playout caps aside
    from velmar.learning.loop_matches import opponent_spec
    assert opponent_spec("run", 2, "previous", s).search.options == {"fpu_reduction": 0.1}
    assert opponent_spec("run", 2, "heuristic", s).search.options is None
    assert loop.load_state(str(tmp_path), s)["settings"]["options"] == given
    plain = loop.LoopSettings(iterations=1)
    assert "options" not in loop.load_state(str(tmp_path), plain)["settings"]
