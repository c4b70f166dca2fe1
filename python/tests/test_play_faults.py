"""velmar play under faults and bad input: concurrent runs, a full disk, a
killed main process, options out of range, damaged output directories,
evaluators that cannot start, and signals at the end of a run."""

import fcntl
import json
import os
import resource
import signal
import subprocess
import sys
import time

import pytest

from velmar.selfplay import play

from selfplay_helpers import REPO, need_extension, play_command, summary, velmar_env
from test_play import check_game, read_games, wait_for_line

pytestmark = pytest.mark.subprocess


@pytest.fixture(autouse=True)
def extension():
    need_extension()


def start(out, *args, **kw):
    return subprocess.Popen(play_command(out, *args), env=velmar_env(), cwd=REPO,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **kw)


def one_line(err):
    lines = [x for x in err.splitlines() if x.startswith("play: ")]
    assert len(lines) == 1 and "Traceback" not in err, err
    return lines[0]


def group_members(pgid):
    """The processes left in a process group."""
    left = []
    for name in os.listdir("/proc"):
        if name.isdigit():
            try:
                with open("/proc/%s/stat" % name) as f:
                    fields = f.read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if int(fields[2]) == pgid and fields[0] != "Z":
                left.append(int(name))
    return left


def wait_until_gone(pgid, timeout=30):
    deadline = time.time() + timeout
    while time.time() < deadline and group_members(pgid):
        time.sleep(0.1)
    return group_members(pgid)


# --- row 1: two runs into one directory -------------------------------------------

def test_two_runs_at_once_never_overwrite(tmp_path):
    out = tmp_path / "run"
    runs = [start(out, "--games", 3, "--workers", 1, "--sims", 16, "--quiet") for _ in range(2)]
    results = [(p.wait(timeout=120), p.communicate()) for p in runs]
    codes = sorted(code for code, _ in results)
    games = read_games(out)
    if codes == [0, 2]:  # the usual case: one held the directory, the other refused
        err = next(e for code, (_, e) in results if code == 2)
        assert "in use by another run" in one_line(err)
        assert sorted(games) == [0, 1, 2]
    else:  # the first had finished before the second started: it appended
        assert codes == [0, 0]
        assert sorted(games) == list(range(6))
    for rows in games.values():
        check_game(rows)


def test_a_run_into_a_locked_directory_is_refused_then_appends(tmp_path):
    out = tmp_path / "run"
    out.mkdir()
    fd = os.open(str(out), os.O_RDONLY)
    fcntl.flock(fd, fcntl.LOCK_EX)
    try:
        res = subprocess.run(play_command(out, "--games", 1, "--sims", 1), env=velmar_env(),
                             cwd=REPO, capture_output=True, text=True, timeout=60)
    finally:
        os.close(fd)
    assert res.returncode == 2 and "in use by another run" in one_line(res.stderr)
    assert os.listdir(str(out)) == []
    for expected in ([0], [0, 1]):  # the lock went with the process that held it
        res = subprocess.run(play_command(out, "--games", 1, "--sims", 1), env=velmar_env(),
                             cwd=REPO, capture_output=True, text=True, timeout=60)
        assert res.returncode == 0, res.stderr
        assert sorted(read_games(out)) == expected


def test_a_directory_that_cannot_be_locked_gets_a_lock_file(tmp_path, monkeypatch):
    import stat
    real = fcntl.flock

    def flock(fd, op):  # as a file system that locks files only
        if stat.S_ISDIR(os.fstat(fd).st_mode):
            raise OSError(9, "Bad file descriptor")
        return real(fd, op)

    monkeypatch.setattr(fcntl, "flock", flock)
    fd = play.lock_out_dir(str(tmp_path))
    try:
        assert os.listdir(str(tmp_path)) == [".velmar-play.lock"]
        with pytest.raises(play.PlayError, match="in use"):
            play.lock_out_dir(str(tmp_path))
    finally:
        os.close(fd)


# --- row 2: a failed shard write --------------------------------------------------

@pytest.fixture
def small_disk(tmp_path):
    """(directory, preexec function): a 64 KiB tmpfs where mounting works,
    else a file-size limit of 16 KiB for the run's files."""
    d = tmp_path / "small"
    d.mkdir()
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", str(d)],
                             capture_output=True).returncode == 0
    if mounted:
        yield d, None
        subprocess.run(["umount", "-l", str(d)])
        return

    def limit():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (16384, 16384))
    yield d, limit


def test_a_full_disk_stops_the_run_and_counts_what_was_not_written(small_disk):
    out, preexec = small_disk
    proc = start(out, "--games", 40, "--workers", 2, "--sims", 4, "--shard-games", 3,
                 "--quiet", preexec_fn=preexec, start_new_session=True)
    try:
        stdout, stderr = proc.communicate(timeout=120)
    finally:
        if proc.poll() is None:
            proc.kill()
    assert proc.returncode == 1, stdout + stderr
    assert wait_until_gone(proc.pid) == [], "workers or the server outlived the run"
    failed = [x for x in stderr.splitlines() if "cannot write" in x and "shard-" in x]
    assert len(failed) == 1 and ("No space left" in failed[0] or "too large" in failed[0]), stderr
    assert "Traceback" not in stderr
    try:
        s = summary(out)
    except (OSError, ValueError):  # the disk had no room for it either: printed instead
        assert "summary.json" in stderr
        s = json.loads(stdout[stdout.index("{"):stdout.index("\n}\n") + 2])
    games = read_games(out)
    written = sorted(g for sh in s["shards"] for g in sh["games"])
    assert sorted(games) == written
    assert len(s["games_not_written"]) >= 1
    assert s["games_finished"] == len(written) + len(s["games_not_written"])
    assert not set(written) & set(s["games_not_written"])
    assert s["exit_status"] == 1 and any("cannot write" in e for e in s["errors"])
    assert all(n.startswith("shard-") or n == "summary.json" for n in os.listdir(str(out)))


# --- row 3: a killed main process ------------------------------------------------

@pytest.mark.slow
def test_workers_and_server_end_with_a_killed_main(tmp_path):
    out = tmp_path / "run"
    proc = start(out, "--games", 8, "--workers", 2, "--sims", 32, start_new_session=True)
    try:
        wait_for_line(proc, "finished")
        assert len(group_members(proc.pid)) == 4  # main, server, two workers
        proc.kill()
        proc.wait(timeout=10)
        assert wait_until_gone(proc.pid) == [], "processes outlived their main process"
    finally:
        for pid in group_members(proc.pid):
            os.kill(pid, signal.SIGKILL)
    # The directory is free again, and what was written is whole.
    res = subprocess.run(play_command(out, "--games", 1, "--sims", 1), env=velmar_env(),
                         cwd=REPO, capture_output=True, text=True, timeout=60)
    assert res.returncode == 0, res.stderr
    for rows in read_games(out).values():
        check_game(rows)


# --- rows 4 and 5: options out of range --------------------------------------------

BAD_OPTIONS = [
    ("--sims", "0"), ("--sims", str(2**33)), ("--sims", "-1"),
    ("--sample-moves", "-1"), ("--sample-moves", str(2**32)),
    ("--dirichlet-alpha", "0"), ("--dirichlet-alpha", "-1"), ("--dirichlet-alpha", "nan"),
    ("--dirichlet-alpha", "inf"), ("--dirichlet-alpha", "1e-50"),
    ("--exploration-fraction", "-0.1"), ("--exploration-fraction", "1.5"),
    ("--exploration-fraction", "nan"), ("--c-base", "0"), ("--c-base", "1e300"),
    ("--c-base", "nan"), ("--c-init", "-1"), ("--c-init", "inf"),
    ("--games", "-1"), ("--games", str(2**31)), ("--workers", "0"), ("--shard-games", "0"),
    ("--max-batch", "0"), ("--batch-wait-ms", "-1"), ("--batch-wait-ms", "nan"),
    ("--seed", "-1"), ("--seed", str(2**32)),
]


@pytest.mark.parametrize("option, value", BAD_OPTIONS, ids=["%s=%s" % o for o in BAD_OPTIONS])
def test_an_option_out_of_range_is_refused_before_anything_starts(tmp_path, capsys, option,
                                                                   value):
    out = tmp_path / "run"
    code = play.main(["--games", "1", "--out", str(out), option, value])
    _, err = capsys.readouterr()
    assert code == 2
    assert one_line(err).startswith("play: %s must be " % option)
    assert not out.exists()


def test_too_many_workers_for_the_open_file_limit(tmp_path):
    def limit():
        resource.setrlimit(resource.RLIMIT_NOFILE, (256, 256))
    res = subprocess.run(play_command(tmp_path / "run", "--games", 1000, "--workers", 1000),
                         env=velmar_env(), cwd=REPO, capture_output=True, text=True,
                         timeout=60, preexec_fn=limit)
    assert res.returncode == 2
    assert "--workers 1000" in one_line(res.stderr) and "at most" in res.stderr


# --- row 6: unusable --out and evaluators ------------------------------------------

def damaged_out(tmp_path, kind):
    out = tmp_path / "run"
    if kind == "regular-file":
        out.write_text("")
        return out, "not a directory"
    out.mkdir()
    shard = out / "shard-00003.npz"
    if kind == "empty-shard":
        shard.write_bytes(b"")
    elif kind == "fifo-shard":
        os.mkfifo(str(shard))
    else:
        shard.write_text("text")
    return out, str(shard)


@pytest.mark.parametrize("kind", ["regular-file", "empty-shard", "fifo-shard", "text-shard"])
def test_an_unusable_out_is_refused_in_one_line(tmp_path, capsys, kind):
    out, words = damaged_out(tmp_path, kind)
    code = play.main(["--games", "1", "--sims", "1", "--out", str(out)])
    _, err = capsys.readouterr()
    assert code == 2 and words in one_line(err)


def evaluator_spec(tmp_path, kind):
    if kind == "truncated-weights":
        pytest.importorskip("numpy")
        from velmar.net import network
        w = str(tmp_path / "w.npz")
        network.save_weights(network.init_weights(seed=1), w)
        with open(w, "rb") as f:
            head = f.read(3000)
        with open(w, "wb") as f:
            f.write(head)
        return "numpy:" + w, "w.npz"
    if kind == "not-callable":
        return "velmar.game.planes.CELLS", "not callable"
    return "velmar.game.planes.no_such_factory", "missing"


@pytest.mark.parametrize("kind", ["truncated-weights", "not-callable", "missing-factory"])
def test_an_evaluator_that_cannot_start_says_why_in_one_line(tmp_path, capfd, kind):
    spec, words = evaluator_spec(tmp_path, kind)
    code = play.main(["--games", "1", "--sims", "1", "--out", str(tmp_path / "run"),
                      "--evaluator", spec, "--server-python", sys.executable])
    _, err = capfd.readouterr()
    assert code == 2 and words in one_line(err)


# --- row 12: a signal as the run ends ---------------------------------------------

DRIVER = r"""
import os, signal, sys
from velmar.game import data
from velmar.selfplay import play
from velmar.serving import server
phase = sys.argv[1]

def signalled(fn):
    def call(*a, **k):
        os.kill(os.getpid(), signal.SIGINT)
        return fn(*a, **k)
    return call

if phase == "before-workers":
    server.start_server = signalled(server.start_server)
elif phase == "server-stopping":
    server.ServerProcess.stop = signalled(server.ServerProcess.stop)
elif phase == "last-shard":
    data.write_shard = signalled(data.write_shard)
elif phase == "summary":
    play.report.summary = signalled(play.report.summary)
elif phase == "after-summary":
    play.report.write_summary = signalled(play.report.write_summary)
sys.exit(play.main(sys.argv[2:]))
"""


@pytest.mark.parametrize("phase, code", [
    ("before-workers", 130), ("server-stopping", 130), ("last-shard", 130), ("summary", 130),
    ("after-summary", 0)])
def test_a_signal_before_the_run_ends_gives_130_and_keeps_every_game(tmp_path, phase, code):
    out = tmp_path / "run"
    res = subprocess.run([sys.executable, "-c", DRIVER, phase, "--games", "2", "--workers", "1",
                          "--sims", "1", "--out", str(out), "--quiet"], env=velmar_env(),
                         cwd=REPO, capture_output=True, text=True, timeout=120)
    assert res.returncode == code, res.stdout + res.stderr
    assert "Traceback" not in res.stderr
    s = summary(out)
    assert s["interrupted_by"] == ("SIGINT" if code else None)
    assert s["exit_status"] == code
    games = read_games(out)
    assert len(games) == s["games_finished"] == (0 if phase == "before-workers" else 2)
    assert s["games_not_written"] == [] and s["games_lost"] == []
