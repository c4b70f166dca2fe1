"""End-to-end tests of python3 -m velmar play --cluster on a local Dask cluster."""

import json
import os
import signal
import subprocess
import time

import pytest

from selfplay_helpers import REPO, need_extension, play_command, velmar_env
from test_play import check_game, read_games

try:
    import distributed
except Exception as e:  # noqa: BLE001 - PyPy cannot import it at all, or only partly
    distributed = None
    WHY = "Dask distributed cannot be imported here (%s: %s)" % (type(e).__name__, e)

pytestmark = [pytest.mark.subprocess,
              pytest.mark.skipif(distributed is None, reason=WHY if distributed is None else "")]


@pytest.fixture(autouse=True)
def extension():
    need_extension()


def check_run(out, games):
    """Every game 0..games-1 is in the shards exactly once and replays."""
    with open(os.path.join(str(out), "summary.json")) as f:
        s = json.load(f)
    assert s["exit_status"] == 0, s["errors"]
    found = read_games(out)
    assert sorted(found) == list(range(games))
    listed = [g for sh in s["shards"] for g in sh["games"]]
    assert sorted(listed) == list(range(games))  # no game in two shards
    for rows in found.values():
        check_game(rows)
    assert sum(s["per_machine"].values()) == games
    return s


def test_a_local_cluster_writes_every_game_once(tmp_path):
    out = tmp_path / "out"
    r = subprocess.run(play_command(out, "--cluster", "local:2", "--games", 7, "--block-games", 2,
                                    "--sims", 3, "--workers", 1, "--shard-games", 3),
                       env=velmar_env(), capture_output=True, text=True, timeout=180, cwd=REPO)
    assert r.returncode == 0, r.stderr
    s = check_run(out, 7)
    assert s["cluster"]["tasks"] == 4 and len(s["per_machine"]) == 2


def _busy_worker(client, timeout=60):
    """The address of a worker that has been playing a block for a while."""
    end = time.time() + timeout
    while time.time() < end:
        busy = [w for w, keys in client.processing().items() if keys]
        if busy:
            time.sleep(1.0)
            return busy[0]
        time.sleep(0.2)
    raise AssertionError("no task started")


def test_a_killed_dask_worker_loses_no_game_and_duplicates_none(tmp_path):
    env = velmar_env()
    out = tmp_path / "out"
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", dashboard_address=None,
                                  env=dict(PYTHONPATH=env["PYTHONPATH"])) as cluster, \
            distributed.Client(cluster) as client:
        proc = subprocess.Popen(play_command(out, "--cluster", cluster.scheduler_address,
                                             "--games", 8, "--block-games", 2, "--sims", 12,
                                             "--workers", 1, "--quiet"),
                                env=env, cwd=REPO, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True)
        try:
            victim = _busy_worker(client)
            pid = client.run(os.getpid, workers=[victim])[victim]
            os.kill(pid, signal.SIGKILL)
            _, err = proc.communicate(timeout=240)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
        assert proc.returncode == 0, err
        client.wait_for_workers(2, timeout=60)  # the nanny started a new one
        assert pid not in client.run(os.getpid).values()
    check_run(out, 8)


def test_ctrl_c_writes_the_finished_blocks_and_exits_130(tmp_path):
    out = tmp_path / "out"
    proc = subprocess.Popen(play_command(out, "--cluster", "local:2", "--games", 40,
                                         "--block-games", 2, "--shard-games", 2, "--sims", 12,
                                         "--workers", 1, "--quiet"),
                            env=velmar_env(), cwd=REPO, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, start_new_session=True)
    try:
        end = time.time() + 120
        while not os.path.exists(out / "shard-00000.npz") and time.time() < end:
            time.sleep(0.2)
        proc.send_signal(signal.SIGINT)
        _, err = proc.communicate(timeout=120)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    assert proc.returncode == 130, err
    with open(out / "summary.json") as f:
        s = json.load(f)
    found = read_games(out)
    assert s["interrupted_by"] == "SIGINT" and 0 < len(found) < 40
    assert len(found) == s["games_finished"] and not s["games_not_written"]
    assert sorted(list(found) + [x["game"] for x in s["games_lost"]]) == list(range(40))
    for rows in found.values():
        check_game(rows)


@pytest.mark.parametrize("bad", [["--cluster", "local:0"], ["--cluster", "local:x"],
                                 ["--cluster", "local:1", "--block-games", "0"],
                                 ["--cluster", "local:1", "--sims", "0"]])
def test_bad_cluster_options_exit_2(tmp_path, bad):
    r = subprocess.run(play_command(tmp_path / "out", "--games", 2, *bad), env=velmar_env(),
                       capture_output=True, text=True, timeout=60, cwd=REPO)
    assert r.returncode == 2 and len(r.stderr.strip().splitlines()) == 1, r.stderr
