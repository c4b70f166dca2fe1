"""velmar loop: a tiny run end to end, and a resumed run that redoes nothing finished."""

import json
import os
import subprocess
import sys

import pytest

from selfplay_helpers import REPO, need_extension, velmar_env

need_extension()
pytest.importorskip("torch", reason="training needs PyTorch (CPython only)")
pytest.importorskip("matplotlib", reason="the learning curve needs matplotlib")

TINY = ["--games-per-iteration", "2", "--sims", "2", "--arena-games", "4", "--epochs", "1",
        "--window", "10", "--workers", "1"]


def loop(run, *args):
    cmd = [sys.executable, "-m", "velmar", "loop", "--dir", str(run), *TINY, *args]
    return subprocess.run(cmd, env=velmar_env(), cwd=REPO, capture_output=True, text=True,
                          timeout=300)


def stamps(run):
    """Modification times of every step's mark."""
    out = {}
    for root, _, files in os.walk(run):
        for f in files:
            if f in ("done.json", "result.json") or f.startswith("gen-"):
                p = os.path.join(root, f)
                out[os.path.relpath(p, run)] = os.stat(p).st_mtime_ns
    return out


@pytest.mark.slow
@pytest.mark.subprocess
def test_tiny_loop_then_resume(tmp_path):
    run = tmp_path / "run"
    r = loop(run, "--iterations", "1")
    assert r.returncode == 0, r.stderr
    record = json.loads((run / "loop.json").read_text())["iterations"]
    assert [it["generation"] for it in record] == [1]
    assert set(record[0]["arena"]) == {"uniform", "heuristic", "previous"}
    assert record[0]["selfplay"]["games"] == 2 and record[0]["train"]["steps"] >= 1
    for a in record[0]["arena"].values():
        assert a["games"] == 4 and a["low"] <= a["win_share"] <= a["high"]
    assert (run / "learning-curve.png").stat().st_size > 0
    assert (run / "gen-0001.npz").exists()

    # A half-done step (an arena without its result) is redone; finished
    # steps are kept as they are; a second iteration follows.
    before = stamps(run)
    os.remove(run / "arena" / "gen-0001-vs-previous" / "result.json")
    r = loop(run, "--iterations", "2")
    assert r.returncode == 0, r.stderr
    after = stamps(run)
    kept = {k for k in before if "vs-previous" not in k}
    assert all(after[k] == before[k] for k in kept)
    assert "arena/gen-0001-vs-previous/result.json" in after
    record = json.loads((run / "loop.json").read_text())["iterations"]
    assert [it["generation"] for it in record] == [1, 2]


def test_bad_options_exit_2(tmp_path):
    for args in (["--iterations", "0"], ["--iterations", "1", "--arena-games", "6"],
                 ["--iterations", "1", "--sims", "0"]):
        cmd = [sys.executable, "-m", "velmar", "loop", "--dir", str(tmp_path / "r"), *args]
        r = subprocess.run(cmd, env=velmar_env(), cwd=REPO, capture_output=True, text=True,
                           timeout=60)
        assert r.returncode == 2 and r.stderr.startswith("loop: ") and r.stderr.count("\n") == 1
