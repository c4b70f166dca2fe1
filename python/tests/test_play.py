"""End-to-end tests of python3 -m velmar play."""

import os
import signal
import subprocess
import time

import pytest

from velmar.game import data
from velmar.game.planes import unpack_planes_py

from selfplay_helpers import (REPO, need_extension, play_command, run_play, summary,
                              velmar_env)

pytestmark = pytest.mark.subprocess


@pytest.fixture(autouse=True)
def extension():
    need_extension()


def read_games(out):
    """Every game in the shards of out, read with the standard library:
    game index -> list of rows (dicts), in tile order."""
    games = {}
    for path in data.shard_paths(str(out)):
        d = {k: v for k, (_, v) in data.read_shard_py(path).items()}
        for i in range(len(d["player"])):
            row = {"bits": bytes(d["planes_bits"][250 * i:250 * (i + 1)]),
                   "player": d["player"][i], "cell": d["cell"][i],
                   "policy": list(d["policy"][400 * i:400 * (i + 1)]),
                   "payoff": list(d["payoff"][4 * i:4 * i + 4]),
                   "payoff_mover": list(d["payoff_mover"][4 * i:4 * i + 4]),
                   "tile": d["tile"][i]}
            games.setdefault(d["game"][i], []).append(row)
    for rows in games.values():
        rows.sort(key=lambda r: r["tile"])
    return games


def check_game(rows):
    """The rows of one game agree with a replay by velmar.rules."""
    from velmar import rules
    g = rules.Game()
    assert [r["tile"] for r in rows] == list(range(len(rows)))
    for r in rows:
        rep = g.representation()
        assert unpack_planes_py(r["bits"]) == rep
        assert r["player"] == g.current_player()
        legal = set(g.legal_tiles())
        assert r["cell"] in legal
        assert {x for x, share in enumerate(r["policy"]) if share} <= legal
        assert abs(sum(r["policy"]) - 1.0) < 1e-4
        g.apply(r["cell"])
    assert g.is_over
    final = [float(x) for x in g.get_payoff()]
    for r in rows:
        assert r["payoff"] == final
        assert r["payoff_mover"] == [final[(r["player"] + j) % 4] for j in range(4)]
    return g


def test_two_workers_write_consistent_shards(tmp_path):
    out = tmp_path / "run"
    res = run_play(out, "--games", 3, "--workers", 2, "--sims", 1, "--sample-moves", 4,
                   "--shard-games", 2)
    assert res.returncode == 0, res.stdout + res.stderr
    assert "Game finished" not in res.stdout + res.stderr  # the module's own lines stay quiet
    s = summary(out)
    assert s["games_finished"] == 3 and s["games_lost"] == [] and s["errors"] == []
    assert [sh["rows"] for sh in s["shards"]] and len(s["shards"]) == 2
    games = read_games(out)
    assert sorted(games) == [0, 1, 2]
    assert s["tiles"] == sum(len(rows) for rows in games.values())
    assert s["simulations"] == s["tiles"]
    wins = [0.0] * 4
    for gi, rows in games.items():
        g = check_game(rows)
        for p in range(4):
            wins[p] += g.get_payoff()[p]
    assert [round(x, 4) for x in s["wins_per_seat"]] == [round(x, 4) for x in wins]
    assert sorted(sh["games"] for sh in s["shards"]) == [[0, 1], [2]] or \
        sum(len(sh["games"]) for sh in s["shards"]) == 3
    assert "played 3 of 3 games" in res.stdout


def test_loader_reads_a_run(tmp_path):
    np = pytest.importorskip("numpy")
    out = tmp_path / "run"
    res = run_play(out, "--games", 2, "--workers", 2, "--sims", 2)
    assert res.returncode == 0, res.stdout + res.stderr
    d = data.load(str(out))
    n = summary(out)["tiles"]
    assert d["planes"].shape == (n, 5, 20, 20) and d["player"].shape == (n,)
    assert d["policy"].shape == (n, 400) and d["payoff"].shape == (n, 4)
    assert np.all(d["policy"][d["planes"][:, 4].reshape(n, 400) == 0] == 0)
    assert np.allclose(d["policy"].sum(axis=1), 1.0, atol=1e-5)
    # a second run appends: new shard numbers and new game indices
    res = run_play(out, "--games", 1, "--workers", 1, "--sims", 1)
    assert res.returncode == 0, res.stdout + res.stderr
    assert data.load(str(out))["games"].tolist() == [0, 1, 2]


def start(out, *args):
    return subprocess.Popen(play_command(out, *args), env=velmar_env(), cwd=REPO,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def wait_for_line(proc, words, timeout=120):
    deadline = time.time() + timeout
    seen = []
    while time.time() < deadline:
        line = proc.stderr.readline()
        if not line:
            break
        seen.append(line)
        if words in line:
            return seen
    raise AssertionError("no %r in the output: %s" % (words, "".join(seen)))


def only_whole_files(out):
    names = sorted(os.listdir(str(out)))
    assert all(n == "summary.json" or (n.startswith("shard-") and n.endswith(".npz"))
               for n in names), names
    for path in data.shard_paths(str(out)):
        data.read_shard_py(path)  # a whole archive


@pytest.mark.slow
@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM], ids=["SIGINT", "SIGTERM"])
def test_a_signal_mid_run_keeps_every_finished_game(tmp_path, sig):
    out = tmp_path / "run"
    proc = start(out, "--games", 8, "--workers", 2, "--sims", 32, "--shard-games", 1)
    try:
        wait_for_line(proc, "finished")
        proc.send_signal(sig)
        stdout, stderr = proc.communicate(timeout=60)
    finally:
        if proc.poll() is None:
            proc.kill()
    assert proc.returncode == 128 + sig, stdout + stderr
    only_whole_files(out)
    s = summary(out)
    games = read_games(out)
    assert s["interrupted_by"] == signal.Signals(sig).name
    assert 1 <= s["games_finished"] < 8
    assert sorted(games) == sorted(g for sh in s["shards"] for g in sh["games"])
    assert len(games) == s["games_finished"]
    for rows in games.values():
        check_game(rows)
    lost = [x["game"] for x in s["games_lost"]]
    assert all(x["reason"] == "interrupted" for x in s["games_lost"])
    assert not set(lost) & set(games)
    assert "interrupted by" in stdout


def children(pid):
    kids = []
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % name) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            with open("/proc/%s/cmdline" % name, "rb") as f:
                cmd = f.read()
        except OSError:
            continue
        if int(fields[1]) == pid:
            kids.append((int(name), cmd))
    return kids


@pytest.mark.slow
def waits(pid):
    """How often the threads of process ``pid`` have waited of their own
    accord (a worker's game waits for every answer of the server)."""
    total = 0
    try:
        for task in os.listdir("/proc/%d/task" % pid):  # its threads
            with open("/proc/%d/task/%s/status" % (pid, task)) as f:
                total += next(int(line.split()[1]) for line in f
                              if line.startswith("voluntary_ctxt_switches"))
    except OSError:  # gone, or a short-lived child
        return 0
    return total


def test_a_killed_worker_is_reported_and_the_run_ends(tmp_path):
    out = tmp_path / "run"
    # Games of some seconds (a millisecond per request); a worker is killed
    # once both have exchanged some hundreds of requests with the server, so
    # it is in its first game whatever the machine's load.
    proc = start(out, "--games", 3, "--workers", 2, "--threads", 1, "--sims", 8,
                 "--evaluator", "sleep:1")
    try:
        deadline = time.time() + 60
        workers = []
        while time.time() < deadline and not (
                len(workers) == 2 and min(map(waits, workers)) >= 300):
            workers = [p for p, cmd in children(proc.pid) if b"velmar.serving.server" not in cmd]
            time.sleep(0.05)
        assert len(workers) == 2 and min(map(waits, workers)) >= 300
        os.kill(workers[0], signal.SIGKILL)
        stdout, stderr = proc.communicate(timeout=120)
    finally:
        if proc.poll() is None:
            proc.kill()
    assert proc.returncode == 1, stdout + stderr
    only_whole_files(out)
    s = summary(out)
    assert any("died (killed by signal 9)" in e for e in s["errors"]), s["errors"]
    assert [x["reason"] for x in s["games_lost"]] == ["worker died"]
    games = read_games(out)
    assert len(games) == s["games_finished"] == 2
    assert s["games_lost"][0]["game"] not in games
    for rows in games.values():
        check_game(rows)
    assert "died" in stdout


def test_bad_arguments_and_evaluators_fail_cleanly(tmp_path):
    res = run_play(tmp_path / "a", "--games", 1, "--evaluator", "nonsense")
    assert res.returncode == 2 and "unknown evaluator" in res.stderr
    res = run_play(tmp_path / "b", "--games", 1, "--workers", 0)
    assert res.returncode == 2


def test_a_run_with_the_numpy_network(tmp_path):
    if not os.path.exists("/usr/bin/python3"):
        pytest.skip("no /usr/bin/python3 for the server")
    out = tmp_path / "run"
    res = run_play(out, "--games", 1, "--workers", 1, "--sims", 2, "--evaluator", "numpy",
                   "--seed", 3)
    if "NumPy is not available" in res.stderr:
        pytest.skip("NumPy is not installed")
    assert res.returncode == 0, res.stdout + res.stderr
    s = summary(out)
    assert s["games_finished"] == 1 and s["config"]["evaluator"] == "numpy"
    assert s["server"]["requests"] == s["per_worker"][0]["requests"]
    for rows in read_games(out).values():
        check_game(rows)
