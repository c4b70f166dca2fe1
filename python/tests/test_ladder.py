"""The ladder: its seating design, player specs, and tiny ladders end to end."""

import collections
import json

import pytest

from selfplay_helpers import need_extension

need_extension()
np = pytest.importorskip("numpy")

from velmar import rules  # noqa: E402
from velmar.ratings import games as ladder_games  # noqa: E402
from velmar.ratings import ladder  # noqa: E402
from velmar.arena.best import BEST_PATH, recorded_search  # noqa: E402
from velmar.ratings.players import LadderError, LadderPlayer  # noqa: E402

# the shipped network records the search settings it was measured with
SHIPPED_SIMS = recorded_search(BEST_PATH)["sims"]


@pytest.mark.parametrize("n", [2, 3, 4, 5, 6])
def test_every_block_is_seat_balanced(n):
    blocks = ladder_games.design(n)
    assert len({len(b) for b in blocks}) == 1
    for block in blocks:
        held = collections.Counter((p, s) for seating in block for s, p in enumerate(seating))
        players = {p for p, _ in held}
        for p in players:  # every player of the block holds every seat equally often
            assert len({held[p, s] for s in range(4)}) == 1
    pairs = collections.Counter(frozenset((a, b)) for block in blocks for seating in block
                                for a in seating for b in seating if a != b)
    assert len(pairs) == n * (n - 1) // 2  # every player meets every other
    if n >= 4:
        assert all(len(set(s)) == 4 for b in blocks for s in b)


@pytest.mark.parametrize("text,kind,evaluator,sims", [
    ("g=greedy", "greedy", None, None),
    ("r=rollout:3", "rollout", None, None),
    ("b=best", "search", "best.npz", SHIPPED_SIMS),
    ("b=best,sims=5", "search", "best.npz", 5),
    ("h=heuristic,sims=16", "search", "heuristic", 16),
])
def test_player_specs(text, kind, evaluator, sims):
    p = LadderPlayer.parse(text)
    assert p.kind == kind
    if evaluator:
        assert p.search.evaluator.endswith(evaluator) and p.search.sims == sims
    if text.startswith("b=best") and "sims" not in text:
        assert "recorded in the file" in p.note


def test_best_takes_the_search_settings_its_file_records(tmp_path):
    from velmar.net import network
    w = network.init_weights(seed=1)
    w.record = {"search": {"sims": 12, "c_init": 2.5}}
    path = tmp_path / "w.npz"
    network.save_weights(w, str(path))
    p = LadderPlayer.parse("b=best:%s" % path)
    assert (p.search.sims, p.search.c_init, p.search.evaluator) == (12, 2.5, "numpy:%s" % path)
    assert "recorded in the file" in p.note
    assert LadderPlayer.parse("b=best:%s,sims=3" % path).search.sims == 3


@pytest.mark.parametrize("text", ["g=greedy,sims=3", "greedy", "b=best:/nonexistent.npz",
                                  "u=uniform,sims=0", "r=rollout:0", "r=rollout:x",
                                  "r=rollout,sims=2"])
def test_bad_player_specs(text):
    with pytest.raises(LadderError):
        LadderPlayer.parse(text)


def test_tiny_ladder_end_to_end(tmp_path, capsys):
    argv = ["--player", "g=greedy", "--player", "u=uniform,sims=2", "--player",
            "h=heuristic,sims=2", "--player", "b=best,sims=2", "--games", "24", "--workers", "1",
            "--seed", "5", "--bootstrap", "20", "--out", str(tmp_path), "--quiet"]
    assert ladder.main(argv) == 0
    out = capsys.readouterr().out
    assert "seat terms" in out and out.count("\n") >= 7
    data = json.loads((tmp_path / "ladder.json").read_text())
    assert (tmp_path / "ladder.png").stat().st_size > 1000
    assert [p["name"] for p in data["players"]] == ["g", "u", "h", "b"]
    assert data["model"]["anchor"] == "u" and data["games_finished"] == 24
    for p in data["players"]:
        for key in ("rating", "rating_interval", "win_share", "low", "high", "par", "margin",
                    "games", "per_seat", "spec"):
            assert key in p
        assert p["games"] == 24 and p["par"] == 0.25
        assert p["low"] <= p["win_share"] <= p["high"]
    u = data["players"][1]
    assert u["rating"] == 0 and u["rating_interval"] == [0, 0]
    assert sum(p["win_share"] for p in data["players"]) == pytest.approx(1.0, abs=1e-3)
    openings = set()
    for g in data["games"]:
        assert sorted(g["seating"]) == ["b", "g", "h", "u"]
        replayed = rules.Game.replay([tuple(t) for t in g["tiles"]])
        assert replayed.is_over and replayed.get_score() == g["scores"]
        assert g["opening_tiles"] == 20  # four pieces of five squares
        openings.add(tuple(tuple(t) for t in g["tiles"][:20]))
    assert len(openings) == 1  # one block, one opening
    seats = collections.Counter((name, s) for g in data["games"] for s, name in
                                enumerate(g["seating"]))
    assert set(seats.values()) == {6}


def test_two_players_over_two_workers(tmp_path):
    players = [LadderPlayer.parse("g=greedy"), LadderPlayer.parse("u=uniform,sims=1")]
    result = ladder.run_ladder(players, 16, workers=2, out_dir=None, seed=1, bootstrap=0,
                               anchor=None)
    assert result.complete and [g.game for g in result.games] == list(range(16))
    g, u = result.standings
    assert g.alone_games == u.alone_games == 8 and g.games == 16
    assert result.fit.ratings[0] > result.fit.ratings[1]
    assert np.isclose(result.fit.ratings.mean(), 0)
    # blocks of eight share their opening; the two blocks differ
    first = [tuple(map(tuple, x.tiles[:20])) for x in result.games]
    assert len(set(first[:8])) == 1 and len(set(first[8:])) == 1 and first[0] != first[8]


def _game_that_fails(g):
    raise RuntimeError("game %d failed" % g)


def test_a_game_that_fails_in_a_worker_raises_its_own_error(monkeypatch):
    monkeypatch.setattr(ladder_games, "_one_game", _game_that_fails)
    players = [LadderPlayer.parse("g=greedy"), LadderPlayer.parse("u=uniform,sims=1")]
    with pytest.raises(RuntimeError, match="failed"):
        ladder_games.play_games(players, 8, workers=2, seed=1)


@pytest.mark.parametrize("argv,words", [
    (["--player", "a=greedy", "--player", "b=uniform", "--games", "10"], "multiple of 8"),
    (["--player", "a=greedy", "--games", "8"], "at least two"),
    (["--player", "a=greedy", "--player", "a=uniform", "--games", "8"], "must differ"),
    (["--player", "a=greedy", "--player", "b=uniform", "--games", "8", "--anchor", "z"],
     "not a player"),
    (["--player", "a=greedy", "--player", "b=nosuch", "--games", "8"], "nosuch"),
])
def test_bad_options_exit_2(argv, words, capsys, tmp_path):
    assert ladder.main(argv + ["--out", str(tmp_path)]) == 2
    assert words in capsys.readouterr().err
