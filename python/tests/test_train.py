"""velmar train: losses, the data window, and the command end to end."""

import json
import os
import subprocess
import sys

import pytest

np = pytest.importorskip("numpy", reason="NumPy is not available for this interpreter")
torch = pytest.importorskip("torch", reason="PyTorch is not installed for this interpreter")

from selfplay_helpers import REPO, need_extension, random_game, run_play, velmar_env  # noqa: E402
from velmar.game import data  # noqa: E402
from velmar.learning import losses as losses_mod  # noqa: E402
from velmar.learning import train, train_cli  # noqa: E402
from velmar.net import network, orientation, torch_net  # noqa: E402

SMALL = network.Architecture(1, 8, 16)
CANONICAL = network.Architecture(1, 8, 16, canonical=True)


def write_games(directory, seeds, first=0):
    """Shards of random games (one-hot visit shares), game indices from ``first``."""
    os.makedirs(str(directory), exist_ok=True)
    games = [data.game_rows(first + k, *random_game(s)) for k, s in enumerate(seeds)]
    data.write_shard(data.shard_name(str(directory), 0), games)
    return games


@pytest.fixture(scope="module")
def window(tmp_path_factory):
    need_extension()
    d = tmp_path_factory.mktemp("games")
    write_games(d, [11, 12, 13])
    return train.load_window([str(d)])


def test_a_few_steps_lower_the_loss_on_a_fixed_batch(window):
    torch.manual_seed(0)
    net = torch_net.to_module(network.init_weights(SMALL, 1)).train()
    idx = np.arange(0, len(window.game), 7)
    x, legal, target, payoff = losses_mod.tensors(torch, torch.device("cpu"),
                                              *train.batch_arrays(window, idx))
    opt = torch.optim.Adam(net.parameters(), lr=3e-3)
    first = None
    for _ in range(30):
        out = train.losses(net, x, legal, target, payoff, 1e-4)
        first = first or {k: float(v) for k, v in out.items()}
        opt.zero_grad()
        out["loss"].backward()
        opt.step()
    last = {k: float(v) for k, v in train.losses(net, x, legal, target, payoff, 1e-4).items()}
    assert last["loss"] < first["loss"] - 0.1
    assert last["policy"] < first["policy"] and last["value"] < first["value"]


def test_a_canonical_net_learns_the_turned_positions_and_targets(window):
    """Its loss is that of its layers on the turned planes beside the seat,
    against the visit shares turned alike; a wrong seat gives another."""
    net, cpu = torch_net.to_module(network.init_weights(CANONICAL, 2)), torch.device("cpu")
    idx = np.arange(0, len(window.game), 3)
    planes, policy, payoff = train.batch_arrays(window, idx)
    seats = window.player[idx].astype(np.int64)
    x, legal, target, pay = losses_mod.tensors(
        torch, cpu, orientation.canonical_input(planes, seats)[0],
        orientation.turn_policy(policy, seats), payoff)
    logits, values = net.trunk(x)
    by_hand = losses_mod.policy_loss(logits, legal, target) + losses_mod.value_loss(values, pay)
    batch = losses_mod.tensors(torch, cpu, planes, policy, payoff)
    for given, same in ((seats, True), (None, True), ((seats + 1) % 4, False)):
        given = None if given is None else torch.from_numpy(given)
        out = losses_mod.losses(net, *batch, 0.0, seats=given)
        assert (abs(float(out["loss"]) - float(by_hand)) < 1e-5) == same


def test_the_policy_loss_ignores_illegal_tiles():
    rng = np.random.RandomState(0)
    legal = torch.from_numpy(rng.random_sample((6, 400)) < 0.1)
    target = torch.from_numpy(rng.random_sample((6, 400)).astype(np.float32)) * legal
    target = target / target.sum(dim=1, keepdim=True)
    logits = torch.randn(6, 400, requires_grad=True)
    loss = losses_mod.policy_loss(logits, legal, target)
    loss.backward()
    assert (logits.grad[~legal] == 0).all() and (logits.grad[legal] != 0).any()
    noisy = logits.detach() + torch.randn(6, 400) * 50.0 * (~legal)
    assert float(losses_mod.policy_loss(noisy, legal, target)) == pytest.approx(float(loss),
                                                                                rel=1e-6)
    # the loss is the cross-entropy over the legal tiles only
    lg = logits.detach().numpy()
    lg = np.where(legal.numpy(), lg, -np.inf)
    logp = lg - np.log(np.exp(lg).sum(axis=1, keepdims=True))
    expected = -(target.numpy() * np.where(legal.numpy(), logp, 0)).sum(axis=1).mean()
    assert float(loss) == pytest.approx(expected, rel=1e-5)


def test_the_window_holds_the_newest_games_and_the_split_is_by_game(tmp_path):
    need_extension()
    old = write_games(tmp_path / "old", [1, 2, 3])
    new = write_games(tmp_path / "new", [4, 5])
    win = train.load_window([str(tmp_path / "old"), str(tmp_path / "new")], window=3)
    assert win.games == 3
    lengths = [len(g["player"]) for g in (old[2], new[0], new[1])]
    assert np.bincount(win.game).tolist() == lengths
    expected = np.concatenate([np.asarray(g["payoff_mover"]).reshape(-1, 4)
                               for g in (old[2], new[0], new[1])])
    assert np.array_equal(win.payoff, expected)
    rows, held, held_games = train.split_games(win, 0.34, seed=3)
    assert held_games == 1 and len(rows) + len(held) == len(win.game)
    assert not set(win.game[rows]) & set(win.game[held])
    # a quarter-turned batch keeps the visit shares on the legal tiles
    planes, policy, _ = train.batch_arrays(win, np.arange(0, len(win.game), 5),
                                           np.random.RandomState(0))
    legal = planes[:, 4].reshape(len(planes), 400)
    assert (policy[legal == 0] == 0).all() and np.allclose(policy.sum(axis=1), 1.0)


def run_train(*args, timeout=120):
    return subprocess.run([sys.executable, "-m", "velmar", "train", *map(str, args)],
                          env=velmar_env(), capture_output=True, text=True, timeout=timeout,
                          cwd=REPO)


@pytest.mark.subprocess
def test_velmar_train_end_to_end(tmp_path):
    need_extension()
    play = run_play(tmp_path / "games", "--games", 2, "--sims", 2, "--workers", 1, "--quiet")
    assert play.returncode == 0, play.stderr
    out = tmp_path / "gen" / "w1.npz"
    r = run_train("--data", tmp_path / "games", "--out", out, "--steps", 4, "--batch-size", 32,
                  "--blocks", 1, "--channels", 8, "--threads", 1)
    assert r.returncode == 0, r.stderr
    assert "train 4/4" in r.stderr and "weights:" in r.stdout
    weights = network.load_weights(str(out))
    assert weights.arch == network.Architecture(1, 8, network.Architecture().value_hidden)
    assert weights.record["steps"] == 4 and weights.record["data"]["games"] == 2
    with open(str(tmp_path / "gen" / "w1.train.json")) as f:
        log = json.load(f)
    assert log["status"] == "finished" and log["data"]["holdout_games"] == 1
    assert [e["step"] for e in log["losses"]] == [1, 2, 3, 4]
    assert log["holdout"][0]["step"] == 0 and log["holdout"][-1]["step"] == 4
    assert 0 <= log["holdout"][-1]["policy_top1"] <= 1 and log["holdout"][-1]["value_mse"] > 0
    # the next generation starts from it; the evaluators read it
    r = run_train("--data", tmp_path / "games", "--init", out, "--out", tmp_path / "w2.npz",
                  "--epochs", 0.01, "--log", tmp_path / "w2.json", "--rotations", "--reflections",
                  "--quiet")
    assert r.returncode == 0, r.stderr
    second = network.load_weights(str(tmp_path / "w2.npz"))
    assert second.record["total_steps"] == 5 and second.record["init"]["total_steps"] == 4
    from velmar.serving.factory import make_evaluator
    planes = np.zeros((2, 5, 20, 20), np.float32)
    planes[:, 4, 0, 0] = 1.0
    assert make_evaluator("numpy:%s" % out).evaluate(planes)[0].shape == (2, 400)
    # a fresh canonical net trains, and self-play runs on it
    canon = tmp_path / "canon.npz"
    r = run_train("--data", tmp_path / "games", "--out", canon, "--steps", 2, "--batch-size", 16,
                  "--blocks", 1, "--channels", 4, "--canonical", "--quiet")
    assert r.returncode == 0, r.stderr
    assert network.load_weights(str(canon)).arch.canonical
    play = run_play(tmp_path / "canon-games", "--games", 1, "--sims", 2, "--workers", 1,
                    "--evaluator", "numpy:%s" % canon, "--quiet")
    assert play.returncode == 0, play.stderr


@pytest.mark.parametrize("args, message", [
    (["--steps", "0"], "steps must be >= 1"),
    (["--steps", "2", "--epochs", "1"], "not allowed with"),
    (["--data", "/nonexistent/dir"], "no such data directory"),
    (["--init", "/nonexistent/w.npz"], "cannot read --init"),
    (["--init", "{out}", "--blocks", "2"], "describe a fresh net"),
    (["--init", "{out}", "--canonical"], "describe a fresh net"),
    (["--canonical", "--rotations"], "does not go with a canonical network"),
    (["--device", "nowhere"], "bad device"),
    (["--holdout", "1.5"], "holdout"),
])
def test_bad_options_exit_2_with_one_line(tmp_path, capsys, args, message):
    need_extension()
    write_games(tmp_path / "d", [7])
    out = str(tmp_path / "w.npz")
    argv = ["--data", str(tmp_path / "d"), "--out", out, "--quiet"]
    argv += [a.format(out=out) for a in args]
    try:
        status = train_cli.main(argv)
    except SystemExit as e:
        status = e.code
    err = capsys.readouterr().err
    assert status == 2 and message in err and len(err.strip().splitlines()) == 1
    assert not os.path.exists(out)


def test_a_stopped_run_writes_no_weights_and_logs_where_it_stopped(tmp_path, monkeypatch):
    need_extension()
    write_games(tmp_path / "d", [8, 9])
    real = train.losses
    calls = []

    def interrupting(*args, **kwargs):
        calls.append(1)
        if len(calls) == 3:
            raise KeyboardInterrupt
        return real(*args, **kwargs)
    monkeypatch.setattr(train, "losses", interrupting)
    out, log = str(tmp_path / "w.npz"), str(tmp_path / "w.train.json")
    settings = train.TrainSettings(steps=10, batch_size=16, arch=SMALL, threads=1)
    with pytest.raises(KeyboardInterrupt):
        train.train(settings, [str(tmp_path / "d")], out_path=out, progress=False)
    assert not os.path.exists(out)
    with open(log) as f:
        record = json.load(f)
    assert record["status"] == "interrupted" and record["steps_done"] == 2
    assert [e["step"] for e in record["losses"]] == [1, 2]


def test_the_l2_term_covers_every_parameter_the_cell_bias_included():
    net = torch_net.to_module(network.init_weights(SMALL, 2))
    with torch.no_grad():
        for p in net.parameters():
            p.fill_(0.0)
    names = [n for n, _ in net.named_parameters()]
    assert "policy_cell_bias" in names and "policy.bias" in names
    for name, p in net.named_parameters():
        with torch.no_grad():
            p.view(-1)[0] = 2.0
        penalty = losses_mod.l2_penalty(net, 0.1)
        assert float(penalty) == pytest.approx(0.5 * 0.1 * 4.0), name
        penalty.backward()
        assert float(p.grad.view(-1)[0]) == pytest.approx(0.2), name
        with torch.no_grad():
            p.view(-1)[0] = 0.0
        p.grad = None


def test_the_policy_loss_ignores_rows_without_a_full_search():
    rng = np.random.RandomState(1)
    legal = torch.from_numpy(rng.random_sample((8, 400)) < 0.2)
    target = torch.from_numpy(rng.random_sample((8, 400)).astype(np.float32)) * legal
    target = target / target.sum(dim=1, keepdim=True)
    logits = torch.randn(8, 400, requires_grad=True)
    mask = torch.tensor([True, False, True, True, False, False, True, False])
    loss = losses_mod.policy_loss(logits, legal, target, mask)
    assert float(loss) == pytest.approx(float(losses_mod.policy_loss(logits[mask], legal[mask],
                                                                     target[mask])), rel=1e-6)
    loss.backward()
    assert (logits.grad[~mask] == 0).all() and (logits.grad[mask] != 0).any()
    assert float(losses_mod.policy_loss(logits, legal, target, torch.zeros(8, dtype=bool))) == 0


def test_the_held_out_games_stay_held_out_as_the_run_grows(tmp_path):
    """The split follows holdout_games of each game's index in its run: a
    game held out in one generation's window is held out in the next."""
    need_extension()
    from velmar.learning.metrics import holdout_games
    write_games(tmp_path / "a", range(20, 28))
    write_games(tmp_path / "b", range(28, 34), first=8)
    held_sets = []
    for dirs in (["a"], ["a", "b"]):
        win = train.load_window([str(tmp_path / d) for d in dirs])
        rows, held, n_held = train.split_games(win, 0.3, seed=6)
        assert n_held == len(set(win.game_id[held]))
        assert not set(win.game[rows]) & set(win.game[held])
        expected = np.flatnonzero(holdout_games(np.arange(win.games), 6, 0.3))
        assert sorted(set(win.game_id[held])) == expected.tolist()
        held_sets.append(set(win.game_id[held]))
    assert held_sets[0] <= held_sets[1] and held_sets[0]
    # the rows of a window carry what the metrics need
    r = win.rows(held[:5])
    assert np.array_equal(r["cell"], win.cell[held[:5]]) and r["planes"].shape == (5, 5, 20, 20)
    assert (r["planes"][np.arange(5), 4].reshape(5, -1)[np.arange(5), r["cell"]] == 1).all()
