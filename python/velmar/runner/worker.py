"""A worker process of ``velmar play``: T game threads, each with its own
reply channel to the inference server, taking game indices from a shared
counter and sending every finished game (its training rows and timings) to
the main process as a ``messages`` record.
"""

import contextlib
import dataclasses
import os
import pickle
import signal
import sys
import threading
import time
import types


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
    game."""

    def __init__(self, client, state, counts, slot):
        self.client = client
        self.state = state
        self.counts = counts
        self.slot = slot
        self.worker = client.worker
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
            self.counts[self.slot] = n + self.requests_before

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
class _WorkerContext:
    """What every game thread of one worker process shares."""
    w: int
    threads: int
    cfg: object
    request_fd: int
    conn: object
    counter: object
    current: object
    counts: object
    n_games: int
    first_game: int
    state: dict
    sink: _Sink
    send_lock: object

    def send(self, msg):
        with self.send_lock:
            _send(self.conn, msg)

    def next_game(self):
        with self.counter.get_lock():
            g = self.counter.value
            if g >= self.n_games:
                return None
            self.counter.value = g + 1
            return g


@dataclasses.dataclass
class GameDone:
    """A finished game: its training rows and the thread's timings."""
    game: int
    rows: dict
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


def _send(conn, msg):
    conn.send_bytes(pickle.dumps(msg, protocol=pickle.HIGHEST_PROTOCOL))


def _play_games(ctx, t, reply_fd):
    """One game thread: plays games on reply channel ``slot`` until none is
    left or the worker is asked to stop. Returns 1 after a failed game."""
    import velmar_self_play
    from velmar.game.data import game_rows
    from velmar.serving.server import Client
    slot = ctx.w * ctx.threads + t
    client = Client(slot, ctx.request_fd, reply_fd)
    proxy = _StoppingClient(client, ctx.state, ctx.counts, slot)
    config = types.SimpleNamespace(**ctx.cfg)
    while not ctx.state["stop"]:
        g = ctx.next_game()
        if g is None:
            break
        ctx.current[slot] = g
        client.reset_timers()
        t0 = time.perf_counter()
        c0 = time.thread_time()
        try:
            history, policies, payoffs = velmar_self_play.generate_game_data(
                slot, config, proxy, proxy)
        except BaseException as e:  # noqa: B902 - PanicException derives from BaseException
            if ctx.state["stop"]:
                ctx.send(GameInterrupted(ctx.first_game + g))
                break
            text = "%s: %s" % (type(e).__name__, e)
            errors = ctx.sink.take()
            if errors:
                text += " (" + "; ".join(errors[-2:]) + ")"
            ctx.send(GameFailed(ctx.first_game + g, text))
            ctx.current[slot] = -1
            return 1
        seconds = time.perf_counter() - t0
        cpu = time.thread_time() - c0
        proxy.requests_before += client.requests
        ctx.counts[slot] = proxy.requests_before
        t1 = time.perf_counter()
        try:
            rows = game_rows(ctx.first_game + g, history, policies, payoffs)
        except Exception as e:
            ctx.send(GameFailed(ctx.first_game + g,
                                "bad game record: %s: %s" % (type(e).__name__, e)))
            ctx.current[slot] = -1
            return 1
        stats = {"worker": ctx.w, "seconds": seconds, "cpu": cpu, "requests": client.requests,
                 "put": client.put_seconds, "wait": client.wait_seconds,
                 "decode": client.decode_seconds, "rows_seconds": time.perf_counter() - t1}
        ctx.send(GameDone(ctx.first_game + g, rows, stats))
        ctx.current[slot] = -1
    ctx.current[slot] = -1
    return 0


def _worker_main(w, threads, cfg, request_fd, reply_fds, conn, counter, current, counts,
                 n_games, first_game, close_fds):
    from velmar.serving.server import watch_parent
    # The ends this worker inherited but does not use: the main process's
    # ends of the result pipes (its own included) above all. While it held
    # those, a send to a main process that is gone would block for ever
    # rather than fail.
    for fd in close_fds:
        try:
            os.close(fd)
        except OSError:
            pass
    # A worker waiting for the server or computing notices its parent's end too.
    watch_parent(os.getppid())
    state = {"stop": 0, "inside": False}

    def on_signal(signum, frame):
        state["stop"] = 128 + signum
        if state["inside"]:
            raise SystemExit(128 + signum)

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)
    try:
        import velmar_self_play  # noqa: F401
    except ImportError as e:
        _send(conn, GameFailed(-1, "cannot import velmar_self_play: %s" % e))
        return 1
    ctx = _WorkerContext(w, threads, cfg, request_fd, conn, counter, current, counts, n_games,
                         first_game, state, _Sink(), threading.Lock())
    with contextlib.redirect_stdout(ctx.sink), contextlib.redirect_stderr(ctx.sink):
        status = _run_threads(ctx, reply_fds)
    ctx.send(WorkerDone(w))
    conn.close()
    return status


def _run_threads(ctx, reply_fds):
    """Plays on every reply channel at once: the first in this thread (so a
    signal can interrupt its wait), the others in threads of their own."""
    results = [0] * len(reply_fds)

    def body(t):
        results[t] = _play_games(ctx, t, reply_fds[t])

    others = [threading.Thread(target=body, args=(t,), name="game-%d" % t, daemon=True)
              for t in range(1, len(reply_fds))]
    for th in others:
        th.start()
    try:
        body(0)
    finally:
        for th in others:
            while th.is_alive():
                th.join(0.1)
    return max(results)


def worker_entry(*args):
    code = 1
    try:
        code = _worker_main(*args)
    finally:
        sys.stdout.flush()
        os._exit(code)
