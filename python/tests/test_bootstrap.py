"""velmar greedy-data: greedy games as training shards, and training on them."""

import json
import subprocess
import sys

import pytest

np = pytest.importorskip("numpy", reason="NumPy is not available for this interpreter")

from selfplay_helpers import REPO, need_extension, velmar_env  # noqa: E402
from velmar.game import data  # noqa: E402
from velmar.learning import bootstrap  # noqa: E402


def test_greedy_rows_replay_through_the_rules_with_the_tile_taken_as_target(tmp_path):
    need_extension()
    from velmar import rules
    out = str(tmp_path / "g")
    games, written = bootstrap.write_greedy_data(out, 3, seed=5, per_shard=2)
    assert games == 3 and written == len(data.load(out)["cell"])
    # a second call adds games after those there (of the rollout rule: its rows replay too)
    bootstrap.write_greedy_data(out, 1, seed=5, rule="rollout:2")
    assert len(data.shard_paths(out)) == 3
    rows = data.load(out)
    assert rows["games"].tolist() == [0, 1, 2, 3]
    n = len(rows["cell"])
    # one-hot at the tile taken
    assert np.array_equal(rows["policy"].argmax(axis=1), rows["cell"])
    assert np.array_equal(rows["policy"].max(axis=1), np.ones(n, np.float32))
    assert np.array_equal(rows["policy"].sum(axis=1), np.ones(n, np.float32))
    histories = set()
    for g in rows["games"].tolist():
        mine = np.flatnonzero(rows["game"] == g)
        game = rules.Game()
        pieces_before = []
        for i in mine:
            assert game.current_player() == rows["player"][i]
            assert rows["planes"][i, 4].ravel()[rows["cell"][i]] == 1
            assert np.array_equal(np.asarray(game.representation(), np.float32).reshape(5, 400),
                                  rows["planes"][i].reshape(5, 400))
            pieces_before.append(len(game.pieces[game.current_player()]))
            game.apply(int(rows["cell"][i]))
        assert game.is_over
        k = rows["games"].tolist().index(g)
        assert rows["scores"][k].tolist() == [int(x) for x in game.get_score()]
        assert np.array_equal(rows["payoff"][mine[0]], np.asarray(game.get_payoff(), np.float32))
        # the opening: each seat's first piece has five squares, and its
        # random tiles are no policy target
        seat_cells = [[c for p, c in game.history if p == s] for s in range(4)]
        assert all(len(set(cells[:5])) == 5 for cells in seat_cells)
        assert rows["full_search"][mine].tolist() == [i >= 20 for i in range(len(mine))]
        histories.add(tuple(game.history))
    assert len(histories) == 4  # the openings and the ties differ from game to game


def test_the_same_seed_gives_the_same_games():
    need_extension()
    a = bootstrap.greedy_game(7)
    b = bootstrap.greedy_game(7)
    c = bootstrap.greedy_game(8)
    assert a == b and a[0] != c[0] and a[2] == 20


def test_move_values_are_one_playout_per_piece_placed():
    need_extension()
    from velmar import rules
    history, payoffs, _ = bootstrap.greedy_game(9)
    values = bootstrap.move_values(history, 1, seed=9)
    game = rules.Game()
    for _, c in history:
        game.apply(c)
    placed = sum(21 - len(game.pieces[p]) for p in range(4))
    # a run of equal targets per move: one playout's payoffs, the last move's the game's own
    runs = [v for i, v in enumerate(values) if i == 0 or v != values[i - 1]]
    assert len(values) == len(history) and len(runs) <= placed
    assert values[-1] == payoffs
    shares = {0.0, 1.0, 1 / 2, 1 / 3, 1 / 4}
    assert all(abs(sum(v) - 1) < 1e-6 and all(min(abs(x - s) for s in shares) < 1e-6 for x in v)
               for v in values)
    assert any(v != payoffs for v in values)


@pytest.mark.subprocess
def test_greedy_data_then_training_end_to_end(tmp_path):
    """The command writes shards; a few training steps on them give a
    weight file whose record holds the decision-row metrics of held-out
    games, the value beside the seat-only predictor by phase."""
    pytest.importorskip("torch", reason="PyTorch is not installed for this interpreter")
    need_extension()
    env = velmar_env()
    d = tmp_path / "greedy"
    r = subprocess.run([sys.executable, "-m", "velmar", "greedy-data", "--games", "6",
                        "--out", str(d), "--workers", "2", "--seed", "3"],
                       env=env, capture_output=True, text=True, timeout=120, cwd=REPO)
    assert r.returncode == 0, r.stderr
    assert "greedy-data: 6 games" in r.stdout
    out = tmp_path / "w.npz"
    r = subprocess.run([sys.executable, "-m", "velmar", "train", "--data", str(d), "--out",
                        str(out), "--steps", "3", "--batch-size", "32", "--blocks", "1",
                        "--channels", "8", "--holdout", "0.3", "--holdout-seed", "4",
                        "--quiet"], env=env, capture_output=True, text=True, timeout=180,
                       cwd=REPO)
    assert r.returncode == 0, r.stderr
    from velmar.learning.metrics import holdout_games
    from velmar.net import network
    record = network.load_weights(str(out)).record
    held = holdout_games(np.arange(6), 4, 0.3)
    held[5] |= not held.any()  # at least one game held out, one trained on
    held[0] &= not held.all()
    assert record["data"]["holdout_games"] == int(held.sum())
    rows = data.load(str(d))
    held_ids = np.flatnonzero(held)
    decisions = np.isin(rows["game"], held_ids) \
        & (rows["planes"][:, 4].reshape(len(rows["game"]), -1).sum(axis=1) >= 2)
    m = record["metrics"]
    assert m["policy"]["rows"] == int(decisions.sum())
    assert m["value"]["all"]["rows"] == int(decisions.sum())
    assert m["value"]["0-99"]["mse_seat"] > 0 and 0 <= m["policy"]["top1_taken"] <= 1
    assert len(record["seat_predictor"]) == 4
    with open(str(tmp_path / "w.train.json")) as f:
        log = json.load(f)
    assert log["metrics_before"]["policy"]["rows"] == m["policy"]["rows"]
