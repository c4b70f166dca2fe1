"""Where the summary line, the error lines and the progress bar go, and games
played by several Python threads at once."""

import io
import os
import queue
import re
import subprocess
import sys
import threading
import time

import pytest

from self_play_fakes import Config, Server, check_record, summary_line, uniform_answer

BAR_RE = re.compile(r"\r?.* (\d+)/400\n?")


class Stream(io.StringIO):
    """A text stream that says whether it is a terminal and logs its writes."""

    def __init__(self, name, log, tty):
        super().__init__()
        self.name_, self.log, self.tty = name, log, tty

    def isatty(self):
        return self.tty

    def write(self, text):
        self.log.append((self.name_, text))
        return super().write(text)


@pytest.mark.parametrize("tty", [False, True], ids=["pipe", "terminal"])
def test_bar_on_stderr_summary_on_stdout(sp, rules, monkeypatch, tty):
    log = []
    monkeypatch.setattr(sys, "stdout", Stream("out", log, False))
    monkeypatch.setattr(sys, "stderr", Stream("err", log, tty))
    config = Config(sims_per_move=1)
    server = Server()
    record = sp.generate_game_data(0, config, server, server)
    monkeypatch.undo()
    game, _ = check_record(record, rules, config)
    out = [text for name, text in log if name == "out"]
    err = [text for name, text in log if name == "err"]
    assert "".join(out) == summary_line(game.get_payoff(), game.get_score()) + "\n"
    # The bar is finished before the summary line is written.
    assert log[-1][0] == "out" and log[-2][0] == "err"
    assert err[-1].endswith(" 400/400\n")
    if not tty:
        assert len(err) == 1 and "\r" not in err[0] and err[0].count("\n") == 1
    else:
        # Every drawing starts at the line's beginning; positions never go back
        # and never pass the tiles taken until the finish.
        positions = []
        for text in err:
            assert text.startswith("\r")
            m = BAR_RE.fullmatch(text)
            assert m, text
            positions.append(int(m.group(1)))
        assert positions[-1] == 400
        assert positions[:-1] == sorted(positions[:-1])
        assert all(0 < p <= len(record[0]) for p in positions[:-1])
        assert "".join(err).count("\n") == 1


def test_error_lines_on_stdout_only(sp, monkeypatch):
    log = []
    monkeypatch.setattr(sys, "stdout", Stream("out", log, False))
    monkeypatch.setattr(sys, "stderr", Stream("err", log, True))
    server = Server(fail_recv=5)
    with pytest.raises(Exception):
        sp.generate_game_data(0, Config(sims_per_move=0), server, server)
    monkeypatch.undo()
    written = "".join(text for name, text in log if name == "out")
    lines = written.splitlines()
    assert len(lines) == 2 and written.endswith("\n")
    assert lines[0].startswith("Error evaluating root node: PyErr { type: <class 'RuntimeError'>")
    assert lines[1].startswith("Error running MCTS: PyErr { type: <class 'RuntimeError'>")
    # Drawn on a terminal: the bar shows progress but is never finished.
    for name, text in log:
        if name == "err":
            assert "400/400" not in text and "\n" not in text


# --- threads --------------------------------------------------------------------

class QueueServer:
    """An inference server thread fed through queue.Queue: put and recv block
    on locks, which lets other Python threads run meanwhile."""

    def __init__(self, id_value, barrier):
        self.id_value = id_value
        self.barrier = barrier
        self.requests = queue.Queue()
        self.replies = queue.Queue()
        self.ids = []
        self.first = True
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        while True:
            request = self.requests.get()
            if request is None:
                return
            self.ids.append(request[0])
            self.replies.put(uniform_answer(request))

    def put(self, request):
        self.requests.put(request)

    def recv(self):
        if self.first:
            self.first = False
            # Both games are in their first exchange at the same time, or
            # this times out and fails the game.
            self.barrier.wait(timeout=60)
        return self.replies.get(timeout=60)

    def stop(self):
        self.requests.put(None)
        self.thread.join(timeout=60)


class SleepingServer(Server):
    """Answers in the caller's thread, yielding the interpreter lock in recv."""

    def __init__(self, id_value, barrier):
        super().__init__(keep=False)
        self.barrier = barrier
        self.ids = []

    def put(self, request):
        self.ids.append(request[0])
        super().put(request)

    def recv(self):
        if self.recvs == 0:
            self.barrier.wait(timeout=60)
        time.sleep(0)
        return super().recv()

    def stop(self):
        pass


@pytest.mark.parametrize("server_type", [QueueServer, SleepingServer])
def test_two_threads_play_at_once(sp, rules, capsys, server_type):
    barrier = threading.Barrier(2)
    config = Config(sims_per_move=1)
    results, errors = {}, []

    def worker(id_value):
        server = server_type(id_value, barrier)
        try:
            results[id_value] = (sp.generate_game_data(id_value, config, server, server),
                                 server.ids)
        except BaseException as e:
            errors.append(e)
        finally:
            server.stop()

    threads = [threading.Thread(target=worker, args=(i,)) for i in (101, 202)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=300)
    assert not errors, errors
    assert sorted(results) == [101, 202]
    lines = []
    for id_value, (record, ids) in results.items():
        game, _ = check_record(record, rules, config)
        assert ids and set(ids) == {id_value}
        lines.append(summary_line(game.get_payoff(), game.get_score()))
    out, err = capsys.readouterr()
    assert sorted(out.splitlines()) == sorted(lines)
    assert err.count(" 400/400\n") == 2


# --- a separate interpreter ------------------------------------------------------

SCRIPT = r"""
import sys
import velmar_self_play

class Config:
    sims_per_move = 1
    sample_moves = 0
    c_base = 19652.0
    c_init = 1.25
    dirichlet_alpha = 0.3
    exploration_fraction = 0.25

class Server:
    calls = 0
    def put(self, request):
        pass
    def recv(self):
        self.calls += 1
        if self.calls == int(sys.argv[1]):
            raise RuntimeError("gone")
        return ([0.0] * 400, [0.25] * 4)

server = Server()
history, policies, payoffs = velmar_self_play.generate_game_data(0, Config(), server, server)
print("tiles", len(history))
"""


def run_script(fail_at):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return subprocess.run([sys.executable, "-c", SCRIPT, str(fail_at)], env=env,
                          stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=300)


@pytest.mark.subprocess
def test_streams_of_a_separate_process(sp):
    done = run_script(0)
    assert done.returncode == 0, done.stderr
    out = done.stdout.splitlines()
    assert len(out) == 2
    assert re.fullmatch(r"Game finished with payoff: \[[\d., ]+\] and score: \[[-\d, ]+\]", out[0])
    assert re.fullmatch(r"tiles \d+", out[1])
    # stderr is a pipe: the finished bar alone, on one line.
    assert done.stderr.count("\n") == 1 and done.stderr.endswith(" 400/400\n")
    assert "\r" not in done.stderr


@pytest.mark.subprocess
def test_root_failure_in_a_separate_process(sp):
    done = run_script(3)
    assert done.returncode == 1
    out = done.stdout.splitlines()
    assert len(out) == 2
    assert out[0].startswith("Error evaluating root node: PyErr { type: <class 'RuntimeError'>, "
                             "value: RuntimeError('gone'), traceback: Some(<traceback object")
    assert out[1] == "Error running MCTS: " + out[0][len("Error evaluating root node: "):]
    assert done.stderr.rstrip().endswith('Exception: "Error running MCTS"')
    assert "400/400" not in done.stderr
