"""The game runner's supervision, through both commands that use it: a
worker killed mid-game, SIGINT and SIGTERM to the main process. Whatever
happens, every game is accounted for once (finished, or lost with its
reason), the exit status says what happened, and no process is left."""

import json
import os
import platform
import re
import signal
import subprocess
import sys
import time

import pytest

from selfplay_helpers import REPO, need_extension, velmar_env
from test_play import children, read_games
from test_play_faults import wait_until_gone

# The runner is the same Python code under both interpreters, and play and
# the arena run through it under PyPy in their own tests: these slow cases
# run once, under CPython.
pytestmark = [pytest.mark.subprocess, pytest.mark.slow,
              pytest.mark.skipif(platform.python_implementation() == "PyPy",
                                 reason="run once, under CPython")]


@pytest.fixture(autouse=True)
def extension():
    need_extension()
    from velmar import rules
    if not hasattr(rules, "search"):
        pytest.skip("this build of velmar.rules has no search()")


# Enough games that the killed worker still has one in flight after the
# first one finishes, also when the games of a round end close together.
# What is checked is how the runner accounts for the games, not the search:
# few simulations per tile keep the games that the surviving worker plays
# after a kill short.
GAMES = {"play": 12, "arena": 16}
SIMS = "8"


def command(kind, out):
    if kind == "play":
        return [sys.executable, "-m", "velmar", "play", "--out", str(out), "--games",
                str(GAMES[kind]), "--workers", "2", "--threads", "2", "--sims", SIMS,
                "--evaluator", "sleep:0.2"]
    return [sys.executable, "-m", "velmar", "arena", "--out", str(out), "--games",
            str(GAMES[kind]), "--workers", "2", "--threads", "2", "--sample-tiles", "4",
            "--player", "a=uniform,sims=" + SIMS, "--player", "b=sleep:0.2,sims=" + SIMS]


def outcome(kind, out):
    """(finished game indices, {lost game: reason}, errors, interrupted_by,
    exit status) from what the command wrote."""
    if kind == "play":
        with open(os.path.join(str(out), "summary.json")) as f:
            s = json.load(f)
        finished = sorted(read_games(out))
        assert len(finished) == s["games_finished"]
        lost = s["games_lost"]
    else:
        with open(os.path.join(str(out), "arena.json")) as f:
            s = json.load(f)
        finished = sorted(g["game"] for g in s["games"])
        lost = s["lost"]
    reasons = {x["game"]: x["reason"] for x in lost}
    assert len(reasons) == len(lost)  # no game lost twice
    return finished, reasons, s["errors"], s["interrupted_by"], s["exit_status"]


def workers_of(proc):
    """The worker processes (the server is a child too, of its own program)."""
    return [p for p, cmd in children(proc.pid) if b"velmar.serving.server" not in cmd]


def wait_for_a_finished_game(kind, proc, out):
    """Returns once the run has finished a game (play prints a line per game
    when stderr is not a terminal; the arena writes a line per tenth)."""
    words = "finished" if kind == "play" else "games"
    deadline = time.time() + 120
    while time.time() < deadline:
        line = proc.stderr.readline()
        if not line:
            break
        if words in line and (kind == "play" or not line.startswith("arena: 0/")):
            return
    raise AssertionError("no game finished")


@pytest.mark.parametrize("kind", ["play", "arena"])
@pytest.mark.parametrize("event", ["kill-worker", "SIGINT", "SIGTERM"])
def test_supervision(tmp_path, kind, event):
    out = tmp_path / "run"
    proc = subprocess.Popen(command(kind, out), env=velmar_env(), cwd=REPO, text=True,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            start_new_session=True)
    try:
        wait_for_a_finished_game(kind, proc, out)
        if event == "kill-worker":
            workers = workers_of(proc)
            assert len(workers) == 2
            os.kill(workers[0], signal.SIGKILL)
        else:
            proc.send_signal(getattr(signal, event))
        stdout, stderr = proc.communicate(timeout=180)
    finally:
        if proc.poll() is None:
            os.killpg(proc.pid, signal.SIGKILL)
    assert wait_until_gone(proc.pid) == []
    assert "Traceback" not in stderr, stderr
    finished, lost, errors, interrupted_by, status = outcome(kind, out)
    assert status == proc.returncode
    assert not set(finished) & set(lost)
    assert set(finished) | set(lost) <= set(range(GAMES[kind]))
    if event == "kill-worker":
        # the killed worker's games in flight are lost; the other worker plays the rest
        assert proc.returncode == 1, stdout + stderr
        assert interrupted_by is None
        died = [e for e in errors if "died" in e]
        assert len(died) == 1, errors
        m = re.fullmatch(r"worker \d died \(killed by signal 9\) while playing games? ([\d, ]+)",
                         died[0])
        assert m, died
        in_flight = sorted(int(g) for g in m.group(1).split(", "))
        assert sorted(lost) == in_flight and set(lost.values()) == {"worker died"}
        assert len(finished) + len(lost) == GAMES[kind]
    else:
        code = 128 + getattr(signal, event)
        assert proc.returncode == code, stdout + stderr
        assert interrupted_by == event and errors == []
        assert set(lost.values()) <= {"interrupted"}
        assert 1 <= len(finished) < GAMES[kind]
        assert "interrupted by %s" % event in stdout
