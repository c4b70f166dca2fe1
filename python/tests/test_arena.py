"""Tests of velmar arena: players, seating, tile choice, and tiny matches end to end."""

import collections
import json
import os
import random
import signal
import subprocess
import sys

import pytest

from velmar.arena import arena, results
from velmar.arena import players as arena_players
from velmar.arena.players import ArenaError, PlayerSpec

from selfplay_helpers import REPO, need_extension, velmar_env


@pytest.mark.parametrize("text,fields", [
    ("big=heuristic,sims=128", dict(name="big", evaluator="heuristic", sims=128)),
    ("n=numpy:gen-0003.npz,sims=8,noise=0.25,alpha=0.5,c-init=2",
     dict(name="n", evaluator="numpy:gen-0003.npz", sims=8, exploration_fraction=0.25,
          dirichlet_alpha=0.5, c_init=2.0)),
    ("h=heuristic:3:1", dict(name="h", evaluator="heuristic:3:1", sims=64,
                             exploration_fraction=0.0)),
])
def test_player_spec_parses(text, fields):
    spec = PlayerSpec.parse(text)
    for k, v in fields.items():
        assert getattr(spec, k) == v


@pytest.mark.parametrize("text", ["big", "=uniform", "a=", "a=uniform,sims=0", "a=uniform,sims=x",
                                  "a=uniform,depth=3", "a=uniform,noise=2", "a=uniform,sims",
                                  "a=uniform,fast=2", "a=uniform,canonical=2", "a=uniform,fpu=-1",
                                  "a=uniform,gumbel_m=4"])
def test_player_spec_refuses(text):
    with pytest.raises(ArenaError):
        PlayerSpec.parse(text)


@pytest.mark.parametrize("players", [2, 3, 4, 5])
def test_seatings_are_balanced(players):
    rotation = arena_players.seatings(players)
    assert len(set(rotation)) == len(rotation)
    seats = collections.Counter((p, s) for seating in rotation for s, p in enumerate(seating))
    # each player sits in every seat equally often
    for p in range(players):
        assert len({seats[p, s] for s in range(4)}) == 1 and seats[p, 0] > 0
    if players == 2:
        assert sorted(seating.count(0) for seating in rotation) == [1] * 4
    elif players <= 4:
        assert all(set(seating) == set(range(players)) for seating in rotation)


def test_choose_tile_takes_the_most_visited_breaking_ties_at_random():
    rng = random.Random(1)
    visits = [(5, 3), (9, 7), (2, 7), (11, 0)]
    picks = collections.Counter(arena_players.choose_tile(visits, rng, False) for _ in range(400))
    assert set(picks) == {9, 2} and min(picks.values()) > 150


def test_choose_tile_draws_in_proportion_to_visits():
    rng = random.Random(2)
    visits = [(5, 1), (9, 6), (2, 3), (11, 0)]
    picks = collections.Counter(arena_players.choose_tile(visits, rng, True) for _ in range(10000))
    assert 11 not in picks
    for cell, n in visits[:3]:
        assert abs(picks[cell] / 10000 - n / 10) < 0.03


def test_wilson_interval():
    low, high = results.wilson_interval(0.0, 100)
    assert low == pytest.approx(0.0, abs=1e-12) and 0.02 < high < 0.05
    low, high = results.wilson_interval(0.25, 400)
    assert low < 0.25 < high and abs((high - low) - 2 * 1.96 * (0.25 * 0.75 / 400) ** 0.5) < 0.005


def test_a_three_way_tie_of_one_players_seats_counts_one_game(tmp_path):
    third = 0.3333333432674408  # a payoff of 1/3 in single precision, widened
    games = [results.GameRecord(g, ["a", "b", "b", "b"], [], [0.0, third, third, third],
                                [0, 5, 5, 5]) for g in range(4)]
    players = [PlayerSpec("a", "uniform"), PlayerSpec("b", "uniform")]
    a, b = results.tally(players, games)
    assert (a.win_share, b.win_share) == (0.0, 1.0) and b.low <= b.win_share <= b.high
    result = results.ArenaResult([a, b], games, 4, "rotate", 0, 1, 0.0)
    pytest.importorskip("matplotlib")
    assert results.chart(result, str(tmp_path / "arena.png"))


@pytest.mark.parametrize("argv,words", [
    (["--player", "a=uniform"], "at least two players"),
    (["--player", "a=uniform", "--player", "a=uniform,sims=8"], "must differ"),
    (["--player", "a=uniform", "--player", "b=uniform", "--games", "6"], "multiple of 4"),
    (["--player", "a=uniform", "--player", "b=uniform", "--player", "c=uniform",
      "--games", "24"], "multiple of 36"),
    (["--player", "a=uniform,sims=-1", "--player", "b=uniform"], "sims"),
])
def test_bad_options_exit_2(argv, words, capsys, tmp_path):
    assert arena.main(argv + ["--out", str(tmp_path)]) == 2
    assert words in capsys.readouterr().err


def _need_search():
    need_extension()
    from velmar import rules
    if not hasattr(rules, "search"):
        pytest.skip("this build of velmar.rules has no search()")


def broken_evaluator(arg, seed=0, device=None):
    """An evaluator whose every batch fails (the server process dies)."""
    class Broken:
        name = "broken"
        batch_wait_ms = 0.0

        def describe(self):
            return self.name

        def evaluate_bits(self, bits, n):
            raise RuntimeError("this evaluator always fails")
    return Broken()


@pytest.mark.subprocess
def test_an_unknown_evaluator_exits_2(capsys, tmp_path):
    _need_search()
    assert arena.main(["--player", "a=uniform", "--player", "b=nonsense", "--games", "4",
                       "--out", str(tmp_path)]) == 2
    assert "unknown evaluator" in capsys.readouterr().err


@pytest.mark.subprocess
def test_tiny_arena_end_to_end(tmp_path):
    _need_search()
    from velmar import rules
    players = [PlayerSpec.parse("cand=heuristic,sims=2"),
               PlayerSpec.parse("base=uniform,sims=2,noise=0.25")]
    result = arena.run_arena(players, games=8, workers=2, out_dir=str(tmp_path), seed=5)
    assert result.complete and result.exit_status == 0 and len(result.games) == 8
    # the candidate in each seat twice, the baseline in the other three
    seats = collections.Counter(g.seating.index("cand") for g in result.games)
    assert seats == {0: 2, 1: 2, 2: 2, 3: 2}
    assert all(g.seating.count("base") == 3 for g in result.games)
    for g in result.games:  # the record replays to the same outcome
        replay = rules.Game()
        for seat, cell in g.tiles:
            assert replay.current_player() == seat
            replay.apply(cell)
        assert replay.is_over and list(replay.get_score()) == g.scores
        assert list(replay.get_payoff()) == pytest.approx(g.payoffs)
    cand, base = result.players
    assert (cand.par, base.par) == (0.25, 0.75)
    assert cand.win_share + base.win_share == pytest.approx(1.0)
    assert cand.low <= cand.win_share <= cand.high
    assert [s.games for s in cand.per_seat] == [2] * 4
    assert [s.games for s in base.per_seat] == [6] * 4
    with open(result.json_path) as f:
        saved = json.load(f)
    assert [g["seating"] for g in saved["games"]] == [g.seating for g in result.games]
    assert saved["players"][0]["name"] == "cand" and saved["players"][0]["sims"] == 2
    assert saved["totals"]["players"]["base"]["win_share"] == pytest.approx(base.win_share)
    assert saved["seed"] == 5 and saved["exit_status"] == 0
    if sys.implementation.name == "pypy":  # no matplotlib for PyPy here
        assert result.png_path is None
    else:
        with open(result.png_path, "rb") as f:
            assert f.read(8) == b"\x89PNG\r\n\x1a\n"


def _arena_command(out, *players, games):
    cmd = [sys.executable, "-m", "velmar", "arena", "--out", str(out), "--games", str(games),
           "--workers", "2", "--sample-tiles", "2"]
    for p in players:
        cmd += ["--player", p]
    return cmd


@pytest.mark.subprocess
def test_a_failing_evaluator_exits_1(tmp_path):
    _need_search()
    proc = subprocess.run(_arena_command(tmp_path, "a=uniform,sims=2",
                                         "b=test_arena.broken_evaluator,sims=2", games=4),
                          env=_env(), capture_output=True, text=True, timeout=120, cwd=REPO)
    assert proc.returncode == 1, proc.stderr
    with open(os.path.join(str(tmp_path), "arena.json")) as f:
        saved = json.load(f)
    assert saved["errors"] and saved["exit_status"] == 1


@pytest.mark.subprocess
@pytest.mark.parametrize("sig,code", [(signal.SIGINT, 130), (signal.SIGTERM, 143)])
def test_a_signal_stops_the_arena_and_writes_what_finished(tmp_path, sig, code):
    _need_search()
    proc = subprocess.Popen(_arena_command(tmp_path, "a=uniform,sims=4", "b=uniform,sims=4",
                                           games=200),
                            env=_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True, cwd=REPO)
    # the first progress line (not a terminal: one per tenth of the games)
    first = proc.stderr.readline()
    proc.send_signal(sig)
    out, err = proc.communicate(timeout=60)
    assert "arena: " in first and "/200 games" in first, first + err
    assert proc.returncode == code, err
    with open(os.path.join(str(tmp_path), "arena.json")) as f:
        saved = json.load(f)
    assert saved["interrupted_by"] == signal.Signals(sig).name
    assert 20 <= len(saved["games"]) < 200
    assert {x["reason"] for x in saved["lost"]} <= {"interrupted"}
    assert "interrupted by" in out


def _env():
    env = velmar_env()
    here = os.path.dirname(os.path.abspath(__file__))  # test_arena's evaluator factory
    env["PYTHONPATH"] = here + os.pathsep + env["PYTHONPATH"]
    return env


def test_greedy_and_best_players_parse(tmp_path):
    pytest.importorskip("numpy")
    from velmar.arena.best import BEST_PATH, recorded_search
    from velmar.net import network
    g = PlayerSpec.parse("g=greedy")
    assert g.rule and g.as_json() == {"name": "g", "evaluator": "greedy"}
    r = PlayerSpec.parse("r=rollout:2")
    assert r.rule and r.as_json() == {"name": "r", "evaluator": "rollout:2"}
    for bad in ("g=greedy,sims=4", "r=rollout:0", "r=rollout,sims=4"):
        with pytest.raises(ArenaError):
            PlayerSpec.parse(bad)
    shipped = PlayerSpec.parse("b=best")
    assert shipped.evaluator == "numpy:" + BEST_PATH
    assert shipped.sims == recorded_search(BEST_PATH).get("sims", 32)
    assert PlayerSpec.parse("b=best,sims=4").sims == 4
    assert [p.sims for p in results.tally([g, shipped], [])] == [0, shipped.sims]
    # a file's recorded search options are the player's unless given
    w = network.init_weights(network.Architecture(0, 4, 8), seed=1)
    w.record = {"search": {"sims": 12, "c_init": 1.5, "options": {
        "fpu_reduction": 0.2, "reuse_tree": True, "skip_forced": True, "gumbel": False,
        "rollout_weight": 0.5}}}
    path = str(tmp_path / "w.npz")
    network.save_weights(w, path)
    spec = PlayerSpec.parse("b=best:%s,skip=0" % path)
    assert (spec.evaluator, spec.sims, spec.c_init) == ("numpy:" + path, 12, 1.5)
    assert spec.search.options == {"fpu_reduction": 0.2, "reuse_tree": True,
                                   "rollout_weight": 0.5}
    assert "rollout_weight" not in PlayerSpec.parse("b=best:%s,rollout=0" % path).search.options
    with pytest.raises(ArenaError):
        PlayerSpec.parse("b=best:%s" % (tmp_path / "missing.npz"))


def test_greedy_in_the_arena_beats_near_random_players(tmp_path):
    _need_search()
    pytest.importorskip("numpy")
    from velmar import rules
    players = [PlayerSpec.parse("g=greedy"), PlayerSpec.parse("u=uniform,sims=2")]
    result = arena.run_arena(players, games=8, workers=1, out_dir=str(tmp_path), seed=3)
    assert result.complete and result.exit_status == 0
    for g in result.games:
        replay = rules.Game()
        for _, cell in g.tiles:
            replay.apply(cell)
        assert replay.is_over and list(replay.get_score()) == g.scores
    # whole placements scored by the rule, against searches of 2 simulations
    # over a flat prior: the rule wins most games (seeded, so not by chance)
    assert result.players[0].win_share >= 0.5
