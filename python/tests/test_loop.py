"""velmar loop: a tiny loop end to end, resuming, bad options."""

import json
import os

import pytest

pytest.importorskip("numpy", reason="NumPy is not available for this interpreter")
pytest.importorskip("torch", reason="PyTorch is not installed for this interpreter (PyPy)")

from selfplay_helpers import need_extension, velmar_env  # noqa: E402
from velmar.learning import loop  # noqa: E402
from velmar.net import network  # noqa: E402

TINY = dict(iterations=1, games=2, sims=2, arena_games=4, final_arena_games=4, workers=2,
            steps=3, batch_size=32, blocks=0, channels=4)


@pytest.fixture()
def env(monkeypatch):
    need_extension()
    monkeypatch.setenv("PYTHONPATH", velmar_env()["PYTHONPATH"])


def finished_steps(run):
    with open(os.path.join(run, "loop.json")) as f:
        return json.load(f)


def test_tiny_loop_then_resume_redoes_only_what_is_missing(tmp_path, env):
    run = str(tmp_path / "run")
    state = loop.run_loop(run, loop.LoopSettings(**TINY), log=lambda s: None)
    for name in ("gen-0000.npz", "gen-0001.npz", "loop.json", "loop.png"):
        assert os.path.getsize(os.path.join(run, name)) > 0
    rec = state["iterations"][0]
    assert rec["steps_done"] == ["selfplay", "train", "arena"]
    assert rec["selfplay"]["games"] == 2 and rec["selfplay"]["positions"] > 0
    assert rec["train"]["steps"] == 3
    assert set(rec["arena"]) == set(loop.DEFAULT_OPPONENTS)
    for r in list(rec["arena"].values()) + list(state["final"]["results"].values()):
        assert r["games"] == 4 and r["interval"][0] <= r["win_share"] <= r["interval"][1]
    assert network.load_weights(os.path.join(run, "gen-0001.npz")).record["total_steps"] == 3
    assert finished_steps(run) == json.loads(json.dumps(state))

    # A finished loop run again does nothing; with the trained weights gone
    # only training and the steps after it run, self-play is kept.
    summary = os.path.join(run, "selfplay", "gen-0000", "summary.json")
    stamp = os.stat(summary).st_mtime_ns
    ran = []
    loop.run_loop(run, loop.LoopSettings(**TINY), log=ran.append)
    assert ran == []
    os.remove(os.path.join(run, "gen-0001.npz"))
    again = loop.run_loop(run, loop.LoopSettings(**TINY), log=ran.append)
    steps = [m.split(": ")[1].split()[0] for m in ran if m.startswith("gen") and ": " in m]
    assert steps[:2] == ["training", "arena"]
    assert not any("self-play" in s for s in ran)
    assert os.stat(summary).st_mtime_ns == stamp
    assert again["iterations"][0]["selfplay"] == rec["selfplay"]
    assert os.path.exists(os.path.join(run, "gen-0001.npz"))


def test_half_done_selfplay_is_redone(tmp_path, env):
    run = str(tmp_path / "run")
    s = loop.LoopSettings(**dict(TINY, arena_games=0, final_arena_games=0))
    loop.run_loop(run, s, log=lambda m: None)
    # as if killed during self-play: its summary is missing
    os.remove(os.path.join(run, "selfplay", "gen-0000", "summary.json"))
    ran = []
    state = loop.run_loop(run, s, log=ran.append)
    assert any("self-play" in m for m in ran) and any("training" in m for m in ran)
    assert state["iterations"][0]["steps_done"] == ["selfplay", "train", "arena"]


@pytest.mark.parametrize("argv", [
    [], ["--dir", "x"], ["--dir", "x", "--iterations", "1", "--hours", "1"],
    ["--dir", "x", "--iterations", "1", "--arena-games", "6"],
    ["--dir", "x", "--iterations", "1", "--evaluator", "uniform"],
    ["--dir", "x", "--iterations", "1", "--match-sims", "0"],
    ["--dir", "x", "--iterations", "1", "--opponents", "nobody"],
    ["--dir", "x", "--iterations", "1", "--aux-heads", "--init", "w.npz"],
])
def test_bad_options_exit_2(argv, tmp_path, capsys):
    os.chdir(str(tmp_path))
    assert loop.main(argv) == 2
    err = capsys.readouterr().err
    assert err.startswith("loop: ") and len(err.strip().splitlines()) == 1
    assert not os.path.exists("x")


def test_init_starts_the_loop_from_given_weights(tmp_path, env):
    import numpy as np
    start = network.init_weights(network.Architecture(1, 4, 8), seed=5)
    start.record = {"total_steps": 7}
    path = str(tmp_path / "start.npz")
    network.save_weights(start, path)
    run = str(tmp_path / "run")
    s = loop.LoopSettings(**dict(TINY, arena_games=0, final_arena_games=0, init=path))
    loop.run_loop(run, s, log=lambda m: None)
    first = network.load_weights(os.path.join(run, "gen-0000.npz"))
    assert first.arch == start.arch  # not the blocks and channels of the settings
    assert all(np.array_equal(first.params[k], v) for k, v in start.params.items())
    assert network.load_weights(os.path.join(run, "gen-0001.npz")).record["total_steps"] == 10


def test_arena_every_and_ladder_against_greedy(tmp_path, env):
    run = str(tmp_path / "run")
    s = loop.LoopSettings(**dict(TINY, iterations=2, arena_every=2, final_arena_games=0,
                                 opponents=["greedy"], ladder_every=1, ladder_games=8,
                                 match_sims=3))
    state = loop.run_loop(run, s, log=lambda m: None)
    first, second = state["iterations"]
    assert first["arena"] == {} and set(second["arena"]) == {"greedy"}
    for g, rec in ((1, first), (2, second)):
        assert rec["steps_done"] == ["selfplay", "train", "arena", "ladder"]
        lad = rec["ladder"]
        with open(os.path.join(run, "ladder", "gen-%04d" % g, "ladder.json")) as f:
            saved = json.load(f)
        # greedy anchors the scale; each side held one seat alone in half the games
        names = [p["name"] for p in saved["players"]]
        assert names == ["gen-%04d" % g, "greedy"] and saved["players"][1]["rating"] == 0
        assert saved["players"][0]["search"]["search"]["sims_per_move"] == 3  # not self-play's 2
        assert lad["rating"] == saved["players"][0]["rating"]
        assert saved["games_finished"] == 8 and saved["players"][0]["alone_games"] == 4
        assert lad["alone_interval"][0] <= lad["alone_share"] <= lad["alone_interval"][1]
    ran = []
    loop.run_loop(run, s, log=ran.append)
    assert ran == []
    assert os.path.getsize(os.path.join(run, "loop.png")) > 0


def test_aux_heads_train_through_the_loop(tmp_path, env):
    run = str(tmp_path / "run")
    s = loop.LoopSettings(**dict(TINY, arena_games=0, final_arena_games=0, aux_heads=True,
                                 blocks=1, global_pool=True))
    loop.run_loop(run, s, log=lambda m: None)
    assert finished_steps(run)["settings"]["aux_heads"] is True
    first = network.load_weights(os.path.join(run, "gen-0000.npz"))
    second = network.load_weights(os.path.join(run, "gen-0001.npz"))
    assert first.arch.aux and first.arch.global_pool and second.arch == first.arch
    assert second.record["aux_holdout"]["ownership_ce"] > 0
    assert not any(first.params["ownership.weight"].ravel()
                   == second.params["ownership.weight"].ravel())
