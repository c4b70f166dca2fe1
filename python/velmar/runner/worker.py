"""A worker process of the game runner: T game threads, each with its own
reply channel to the inference server, taking game indices from a shared
counter, playing each with the run's job and sending every finished game
(the job's result and the thread's timings) to the main process.

A job is any object with two methods, run in the worker process:

- ``prepare()``: once, before the game threads start; returns None, or a
  line saying why this worker cannot play (nothing is played then);
- ``play(game, channel, client, stats)``: plays game ``game`` (its index in
  the run) with ``client`` as the inference queue and pipe (the requests'
  ``id`` picks the evaluator) and returns what the main process receives.
  It may put its own timings into ``stats`` (``seconds`` and ``cpu`` are
  measured around the call unless it does). A ``GameFailure`` is reported
  with its text as it is; any other exception with its type and message.
"""

import contextlib
import dataclasses
import os
import pickle
import signal
import sys
import threading
import time

from velmar.serving.client import Client
from velmar.serving.server import watch_parent


class GameFailure(Exception):
    """A game that failed for a reason its text says in full."""


class _Sink:
    """Swallows the module's per-game output, keeping error lines per thread."""

    def __init__(self):
        self.errors = {}

    def write(self, s):
        if "Error" in s:
            mine = self.errors.setdefault(threading.get_ident(), [])
            if len(mine) < 8:
                mine.append(s.strip())
        return len(s)

    def take(self):
        return self.errors.pop(threading.get_ident(), [])

    def flush(self):
        pass

    def isatty(self):
        return False


class _StoppingClient:
    """A ``Client`` that gives up when the worker is asked to stop: in the
    worker's main thread a stop request that arrives while it waits for the
    server interrupts the wait; otherwise (and in the other threads) it is
    noticed at the next exchange. Either way SystemExit unwinds out of the
    game. Every 32 requests it publishes its count for the progress line."""

    def __init__(self, client, state, counts, channel):
        self.client = client
        self.state = state
        self.counts = counts
        self.channel = channel
        self.requests_before = 0
        self.main = threading.current_thread() is threading.main_thread()

    def _enter(self):
        if self.main:
            self.state["inside"] = True

    def _leave(self):
        if self.main:
            self.state["inside"] = False

    def put(self, request):
        state = self.state
        if state["stop"]:
            raise SystemExit(state["stop"])
        self._enter()
        try:
            self.client.put(request)
        finally:
            self._leave()
        n = self.client.requests
        if not n & 31:
            self.counts[self.channel] = n + self.requests_before

    def recv(self):
        state = self.state
        self._enter()
        try:
            if state["stop"]:
                raise SystemExit(state["stop"])
            return self.client.recv()
        finally:
            self._leave()


@dataclasses.dataclass
class GameDone:
    """A finished game: the job's result and the thread's timings."""
    game: int
    result: object
    stats: dict


@dataclasses.dataclass
class GameInterrupted:
    """A game abandoned because the worker was asked to stop."""
    game: int


@dataclasses.dataclass
class GameFailed:
    """A game that failed (-1: the worker could not start playing)."""
    game: int
    text: str


@dataclasses.dataclass
class WorkerDone:
    """The worker's last message: every game thread has ended."""
    worker: int


@dataclasses.dataclass
class WorkerPlan:
    """What the main process hands one worker: its index, its game
    threads' reply channels and the run's shared counters."""
    worker: int
    threads: int
    job: object
    request_fd: int
    reply_fds: list
    conn: object
    counter: object   # the next game index, shared by every worker
    current: object   # the game each reply channel plays (-1: none)
    counts: object    # requests each reply channel has sent
    games: int
    first_game: int   # added to the indices reported to the main process
    close_fds: list   # inherited descriptors this worker does not use


class _Worker:
    """What every game thread of one worker process shares."""

    def __init__(self, plan):
        self.plan = plan
        self.state = {"stop": 0, "inside": False}
        self.sink = _Sink()
        self.send_lock = threading.Lock()

    def send(self, msg):
        with self.send_lock:
            _send(self.plan.conn, msg)

    def next_game(self):
        counter = self.plan.counter
        with counter.get_lock():
            g = counter.value
            if g >= self.plan.games:
                return None
            counter.value = g + 1
            return g

    def failure_text(self, e):
        if isinstance(e, GameFailure):
            return str(e)
        text = "%s: %s" % (type(e).__name__, e)
        errors = self.sink.take()
        if errors:
            text += " (" + "; ".join(errors[-2:]) + ")"
        return text


def _send(conn, msg):
    conn.send_bytes(pickle.dumps(msg, protocol=pickle.HIGHEST_PROTOCOL))


def _play_games(wk, t):
    """One game thread: plays games on its reply channel until none is left
    or the worker is asked to stop. Returns 1 after a failed game."""
    plan = wk.plan
    channel = plan.worker * plan.threads + t
    client = Client(channel, plan.request_fd, plan.reply_fds[t])
    proxy = _StoppingClient(client, wk.state, plan.counts, channel)
    status = 0
    while not wk.state["stop"]:
        g = wk.next_game()
        if g is None:
            break
        plan.current[channel] = g
        client.reset_timers()
        stats = {"worker": plan.worker}
        t0 = time.perf_counter()
        c0 = time.thread_time()
        try:
            result = plan.job.play(g, channel, proxy, stats)
        except BaseException as e:  # noqa: B902 - PanicException derives from BaseException
            if wk.state["stop"]:
                wk.send(GameInterrupted(plan.first_game + g))
            else:
                wk.send(GameFailed(plan.first_game + g, wk.failure_text(e)))
                status = 1
            break
        stats.setdefault("seconds", time.perf_counter() - t0)
        stats.setdefault("cpu", time.thread_time() - c0)
        proxy.requests_before += client.requests
        plan.counts[channel] = proxy.requests_before
        stats.update(requests=client.requests, put=client.put_seconds, wait=client.wait_seconds,
                     decode=client.decode_seconds)
        wk.send(GameDone(plan.first_game + g, result, stats))
        plan.current[channel] = -1
    plan.current[channel] = -1
    return status


def _worker_main(plan):
    # The ends this worker inherited but does not use: the main process's
    # ends of the result pipes (its own included) above all. While it held
    # those, a send to a main process that is gone would block for ever
    # rather than fail.
    for fd in plan.close_fds:
        try:
            os.close(fd)
        except OSError:
            pass
    # A worker waiting for the server or computing notices its parent's end too.
    watch_parent(os.getppid())
    wk = _Worker(plan)
    state = wk.state

    def on_signal(signum, frame):
        state["stop"] = 128 + signum
        if state["inside"]:
            raise SystemExit(128 + signum)

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)
    problem = plan.job.prepare()
    if problem:
        _send(plan.conn, GameFailed(-1, problem))
        return 1
    with contextlib.redirect_stdout(wk.sink), contextlib.redirect_stderr(wk.sink):
        status = _run_threads(wk)
    wk.send(WorkerDone(plan.worker))
    plan.conn.close()
    return status


def _run_threads(wk):
    """Plays on every reply channel at once: the first in this thread (so a
    signal can interrupt its wait), the others in threads of their own."""
    results = [0] * wk.plan.threads

    def body(t):
        results[t] = _play_games(wk, t)

    others = [threading.Thread(target=body, args=(t,), name="game-%d" % t, daemon=True)
              for t in range(1, wk.plan.threads)]
    for th in others:
        th.start()
    try:
        body(0)
    finally:
        for th in others:
            while th.is_alive():
                th.join(0.1)
    return max(results)


def worker_entry(plan):
    code = 1
    try:
        code = _worker_main(plan)
    finally:
        sys.stdout.flush()
        os._exit(code)
