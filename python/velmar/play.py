"""``python3 -m velmar play``: self-play with a batched inference server.

The main process starts the inference server (``velmar.server``, a process of
its own) and W worker processes. Each worker takes the next game index from a
shared counter and plays it with ``velmar_self_play.generate_game_data``,
handing it a ``velmar.server.Client`` as both ``inference_queue`` and
``pipe``; then it replays the record with ``velmar.rules`` to build the
training rows (``velmar.data.game_rows``) and sends them to the main process,
which writes them as shards and shows one aggregate progress line.

Stopping: on SIGINT or SIGTERM the main process asks every worker to stop
(SIGTERM). A worker in a game abandons it at its next exchange with the
server (the game is counted as lost); a worker that has just finished one
first delivers it. The main process then writes every finished game, stops
the server, writes the summary and exits with 130 (SIGINT) or 143 (SIGTERM).
A worker that dies is reported with the game it was playing; the others go
on, and the run exits with 1. A signal counts whenever it arrives before the
summary is composed, even while the last shards are written.

Faults: the options are checked before anything starts (exit 2); --out is
locked for the run, so a second run into it meanwhile is refused (exit 2);
a shard that cannot be written stops the run, and the games it held and
those finished after it are counted as not written (exit 1); a worker
whose main process is gone exits.
"""

import argparse
import contextlib
import dataclasses
import errno
import fcntl
import json
import math
import multiprocessing
import multiprocessing.connection
import os
import pickle
import resource
import signal
import struct
import sys
import time
import threading
import types

DEFAULTS = dict(games=8, sims=800, sample_moves=30, c_base=19652.0, c_init=1.25,
                dirichlet_alpha=0.3, exploration_fraction=0.25, evaluator="uniform",
                out=os.path.join("out", "play"), seed=0, shard_games=16, max_batch=64)
TYPICAL_TILES = 300  # a guess of a game's length until one has finished


def add_arguments(ap):
    d = DEFAULTS
    ap.add_argument("--games", type=int, default=d["games"],
                    help="number of games to play (default %(default)s)")
    ap.add_argument("--workers", type=int, default=os.cpu_count() or 1,
                    help="self-play worker processes (default: the number of cores, %(default)s)")
    ap.add_argument("--threads", type=int, default=None,
                    help="games each worker plays at once, one per thread (default: 1 for the "
                         "uniform evaluator, else enough to fill --max-batch: "
                         "ceil(max-batch / workers))")
    ap.add_argument("--sims", type=int, default=d["sims"],
                    help="simulations per tile (default %(default)s, as AlphaZero)")
    ap.add_argument("--sample-moves", type=int, default=d["sample_moves"],
                    help="tiles are drawn in proportion to visits while fewer than this many "
                         "have been searched, the most visited afterwards (counted in tiles; "
                         "default %(default)s, as AlphaZero's 30 moves)")
    ap.add_argument("--c-base", type=float, default=d["c_base"],
                    help="PUCT exploration base (default %(default)s, AlphaZero)")
    ap.add_argument("--c-init", type=float, default=d["c_init"],
                    help="PUCT exploration initial value (default %(default)s, AlphaZero)")
    ap.add_argument("--dirichlet-alpha", type=float, default=d["dirichlet_alpha"],
                    help="concentration of the root noise (default %(default)s, AlphaZero chess)")
    ap.add_argument("--exploration-fraction", type=float, default=d["exploration_fraction"],
                    help="weight of the root noise (default %(default)s, AlphaZero)")
    ap.add_argument("--evaluator", default=d["evaluator"],
                    help="uniform (all logits 0, values 0.25; the default), numpy[:WEIGHTS.npz], "
                         "torch[:STATE_DICT] or package.module.factory[:ARG]")
    ap.add_argument("--out", default=d["out"],
                    help="directory for the shards and summary.json (default %(default)s)")
    ap.add_argument("--seed", type=int, default=d["seed"],
                    help="seed of the network's random initialisation when no weights are "
                         "given (the search draws its own randomness from the system)")
    ap.add_argument("--shard-games", type=int, default=d["shard_games"],
                    help="games per shard (default %(default)s); the last shard may hold fewer")
    ap.add_argument("--max-batch", type=int, default=d["max_batch"],
                    help="largest batch the server evaluates at once (default %(default)s)")
    ap.add_argument("--batch-wait-ms", type=float, default=None,
                    help="how long the server waits for more requests while fewer are pending "
                         "than workers are running (default: the evaluator's, 0 for uniform)")
    ap.add_argument("--device", default=None, help="torch device (default: cuda if available)")
    ap.add_argument("--server-python", default=None,
                    help="interpreter for the server process (default: this one, except "
                         "/usr/bin/python3 for a network evaluator when playing under PyPy)")
    ap.add_argument("--quiet", action="store_true", help="no progress line")


# ---------------------------------------------------------------------------
# Worker process

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


def _send(conn, msg):
    conn.send_bytes(pickle.dumps(msg, protocol=pickle.HIGHEST_PROTOCOL))


def _play_games(ctx, t, reply_fd):
    """One game thread: plays games on reply channel ``slot`` until none is
    left or the worker is asked to stop. Returns 1 after a failed game."""
    import velmar_self_play
    from velmar.data import game_rows
    from velmar.server import Client
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
                ctx.send(("interrupted", ctx.first_game + g))
                break
            text = "%s: %s" % (type(e).__name__, e)
            errors = ctx.sink.take()
            if errors:
                text += " (" + "; ".join(errors[-2:]) + ")"
            ctx.send(("error", ctx.first_game + g, text))
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
            ctx.send(("error", ctx.first_game + g,
                      "bad game record: %s: %s" % (type(e).__name__, e)))
            ctx.current[slot] = -1
            return 1
        stats = {"worker": ctx.w, "seconds": seconds, "cpu": cpu, "requests": client.requests,
                 "put": client.put_seconds, "wait": client.wait_seconds,
                 "decode": client.decode_seconds, "rows_seconds": time.perf_counter() - t1}
        ctx.send(("game", ctx.first_game + g, rows, stats))
        ctx.current[slot] = -1
    ctx.current[slot] = -1
    return 0


def _worker_main(w, threads, cfg, request_fd, reply_fds, conn, counter, current, counts,
                 n_games, first_game, close_fds):
    from velmar.server import watch_parent
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
        _send(conn, ("error", -1, "cannot import velmar_self_play: %s" % e))
        return 1
    ctx = _WorkerContext(w, threads, cfg, request_fd, conn, counter, current, counts, n_games,
                         first_game, state, _Sink(), threading.Lock())
    with contextlib.redirect_stdout(ctx.sink), contextlib.redirect_stderr(ctx.sink):
        status = _run_threads(ctx, reply_fds)
    ctx.send(("done", w))
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


def _worker_entry(*args):
    code = 1
    try:
        code = _worker_main(*args)
    finally:
        sys.stdout.flush()
        os._exit(code)


# ---------------------------------------------------------------------------
# Main process

def _fmt_duration(s):
    if s is None or s != s or s == float("inf"):
        return "?"
    s = int(round(s))
    if s >= 3600:
        return "%dh%02dm" % (s // 3600, s % 3600 // 60)
    if s >= 60:
        return "%dm%02ds" % (s // 60, s % 60)
    return "%ds" % s


class Run:
    def __init__(self, args):
        self.args = args
        self.games = {}       # game index -> rows, not yet written
        self.finished = []    # (game index, tiles, payoffs, scores, stats)
        self.lost = []        # (game index, reason)
        self.errors = []
        self.shards = []
        self.stop_signal = 0  # the first SIGINT or SIGTERM while the run lasted
        self.halt = False     # stop the workers: the server exited or a shard write failed
        self.write_error = None
        self.ended = False    # the summary is composed: later signals change nothing
        self.t0 = time.time()

    def shard_due(self, final=False):
        if self.write_error:
            return False
        return self.games and (final or len(self.games) >= self.args.shard_games)


class PlayError(Exception):
    """A run that cannot start: the message says which option or file and why."""


U32_MAX = 2**32 - 1
I32_MAX = 2**31 - 1
F32_MAX = 3.4028234663852886e38
MAX_BATCH = 65536  # far beyond any number of workers a machine can run


def _f32_positive(x):
    """Whether x is finite and positive once stored as a 32-bit float."""
    return (math.isfinite(x) and 0 < x <= F32_MAX
            and struct.unpack("f", struct.pack("f", x))[0] > 0)


def _f32_finite(x):
    return math.isfinite(x) and abs(x) <= F32_MAX


def option_problem(args):
    """The first option out of its range, as a one-line message, or None.
    The counts reach the module as unsigned 32-bit integers and the
    constants as 32-bit floats, so they are checked against those ranges."""
    a = args
    wait = a.batch_wait_ms
    checks = [
        ("--games", a.games, 0 <= a.games <= I32_MAX, "an integer from 0 to %d" % I32_MAX),
        ("--workers", a.workers, a.workers >= 1, "at least 1"),
        ("--threads", a.threads, a.threads is None or 1 <= a.threads <= MAX_BATCH,
         "an integer from 1 to %d" % MAX_BATCH),
        ("--sims", a.sims, 1 <= a.sims <= U32_MAX,
         "an integer from 1 to %d (a policy target needs at least one simulation)" % U32_MAX),
        ("--sample-moves", a.sample_moves, 0 <= a.sample_moves <= U32_MAX,
         "an integer from 0 to %d" % U32_MAX),
        ("--c-base", a.c_base, _f32_positive(a.c_base), "a finite number above 0"),
        ("--c-init", a.c_init, _f32_finite(a.c_init) and a.c_init >= 0,
         "a finite number, 0 or more"),
        ("--dirichlet-alpha", a.dirichlet_alpha, _f32_positive(a.dirichlet_alpha),
         "a finite number above 0"),
        ("--exploration-fraction", a.exploration_fraction, 0 <= a.exploration_fraction <= 1,
         "a fraction from 0 to 1"),
        ("--shard-games", a.shard_games, 1 <= a.shard_games <= I32_MAX,
         "an integer from 1 to %d" % I32_MAX),
        ("--max-batch", a.max_batch, 1 <= a.max_batch <= MAX_BATCH,
         "an integer from 1 to %d" % MAX_BATCH),
        ("--batch-wait-ms", wait, wait is None or (math.isfinite(wait) and wait >= 0),
         "a finite number, 0 or more"),
        ("--seed", a.seed, 0 <= a.seed <= U32_MAX, "an integer from 0 to %d" % U32_MAX),
    ]
    for flag, value, ok, want in checks:
        if not ok:
            return "%s must be %s, not %s" % (flag, want, value)
    return None


# The main process holds three descriptors per worker while it starts them
# (its result pipe and the two pipes of its process object) and, until the
# server has started, both ends of every game thread's reply pipe; on top of
# that what the interpreter and the server's pipes take.
FDS_PER_WORKER = 3
FDS_PER_THREAD = 2
FDS_SPARE = 64


def workers_problem(workers, threads=1):
    """Why this machine cannot run `workers` workers of `threads` games
    each (the open-file limit, raised towards its hard limit where that
    helps, and the process limit), or None."""
    per_worker = FDS_PER_WORKER + FDS_PER_THREAD * threads
    need = per_worker * workers + FDS_SPARE
    inf = resource.RLIM_INFINITY
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft != inf and soft < need:
        target = need if hard == inf else min(hard, need)
        try:
            resource.setrlimit(resource.RLIMIT_NOFILE, (target, hard))
            soft = target
        except (ValueError, OSError):
            pass
    if soft != inf and soft < need:
        return ("--workers %d needs about %d open files but the limit is %d (ulimit -n): "
                "at most %d workers here" % (workers, need, soft,
                                             max(0, (soft - FDS_SPARE) // per_worker)))
    nproc = resource.getrlimit(resource.RLIMIT_NPROC)[0]
    if nproc != inf and workers + 2 > nproc:
        return ("--workers %d needs %d processes but the limit is %d (ulimit -u)"
                % (workers, workers + 2, nproc))
    return None


def lock_out_dir(out):
    """Creates `out` if needed and locks it for this run; returns the
    descriptor that holds the lock (the kernel lets it go when the process
    ends, however it ends). A second run into the same directory meanwhile
    is refused. The directory itself is locked, so no lock file is left
    behind; where the file system refuses to lock a directory, a lock file
    ``.velmar-play.lock`` in it is locked instead."""
    try:
        os.makedirs(out, exist_ok=True)
        fd = os.open(out, os.O_RDONLY | os.O_DIRECTORY)
    except (FileExistsError, NotADirectoryError):
        raise PlayError("--out %s is not a directory" % out) from None
    except OSError as e:
        raise PlayError("--out %s: %s" % (out, e.strerror or e)) from None
    if _locked(fd, out):
        return fd
    try:
        fd = os.open(os.path.join(out, ".velmar-play.lock"), os.O_RDWR | os.O_CREAT, 0o644)
    except OSError as e:
        raise PlayError("--out %s: cannot create a lock file: %s"
                        % (out, e.strerror or e)) from None
    if _locked(fd, out):
        return fd
    raise PlayError("--out %s: the file system cannot lock it" % out)


def _locked(fd, out):
    """Locks fd; closes it unless that succeeded."""
    try:
        if _flock(fd, out):
            return True
    except OSError as e:
        os.close(fd)
        raise PlayError("--out %s: cannot lock it: %s" % (out, e.strerror or e)) from None
    except BaseException:
        os.close(fd)
        raise
    os.close(fd)
    return False


def _flock(fd, out):
    """Takes the lock: True, or False where the file system cannot lock
    this file; PlayError while another process holds it."""
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        return True
    except BlockingIOError:
        raise PlayError("--out %s is in use by another run of velmar play; wait for it to "
                        "end or choose another directory" % out) from None
    except OSError as e:
        if e.errno in (errno.EBADF, errno.ENOLCK, errno.EINVAL, errno.EOPNOTSUPP):
            return False
        raise


def _existing(out):
    """(next shard index, next game index) after the shards already in out."""
    from velmar import data
    paths = data.shard_paths(out)
    if not paths:
        return 0, 0
    last = int(os.path.basename(paths[-1])[6:11])
    top = -1
    for p in paths:
        try:
            games = data.read_shard_py(p, {"games"})["games"][1]
        except data.ShardError as e:
            raise PlayError("--out holds a shard this run cannot append to: %s" % e) from None
        if len(games):
            top = max(top, max(games))
    return last + 1, top + 1


def _import_problem():
    try:
        import velmar_self_play  # noqa: F401
    except ImportError as e:
        return ("cannot import the extension velmar_self_play (%s); build it with cmake "
                "and put <build>/python on PYTHONPATH" % e)
    try:
        from velmar import rules  # noqa: F401
    except ImportError as e:
        return "cannot import velmar.rules (%s)" % e
    return None


@contextlib.contextmanager
def _signals_recorded(st):
    """While the run lasts, SIGINT and SIGTERM are recorded rather than
    raised: the first one stops the workers, every finished game is still
    written, and the run exits with 128 + its number. A signal that arrives
    once the summary is composed changes nothing: the run has ended."""
    def on_signal(signum, frame):
        if not st.stop_signal and not st.ended:
            st.stop_signal = signum

    old = {sig: signal.signal(sig, on_signal) for sig in (signal.SIGINT, signal.SIGTERM)}
    try:
        yield
    finally:
        for sig, h in old.items():
            signal.signal(sig, h)


def run(args):
    problem = (_import_problem() or option_problem(args)
               or workers_problem(_workers_to_start(args), _threads_to_start(args)))
    if problem:
        print("play: %s" % problem, file=sys.stderr)
        return 2
    st = Run(args)
    with _signals_recorded(st):
        try:
            lock_fd = lock_out_dir(args.out)
        except PlayError as e:
            print("play: %s" % e, file=sys.stderr)
            return 2
        try:
            return _run_locked(st, lock_fd)
        finally:
            os.close(lock_fd)


def _workers_to_start(args):
    """No more workers than games (one when there are none)."""
    return max(1, min(args.workers, args.games)) if args.games else 1


def default_threads(evaluator, workers, max_batch):
    """Games per worker when --threads is not given: one for the uniform
    evaluator (it costs nothing, so more threads would only share the
    worker's core), else enough that all the workers' games fill a batch."""
    if evaluator.partition(":")[0] == "uniform":
        return 1
    return max(1, -(-max_batch // max(1, workers)))


def _threads_to_start(args):
    """Game threads per worker: no more than the games give each worker."""
    workers = _workers_to_start(args)
    threads = args.threads or default_threads(args.evaluator, workers, args.max_batch)
    return max(1, min(threads, -(-args.games // workers))) if args.games else 1


def _run_locked(st, lock_fd):
    from velmar import server as srv
    args = st.args
    try:
        next_shard, first_game = _existing(args.out)
        if first_game + args.games - 1 > I32_MAX:
            raise PlayError("--out already holds games up to %d: %d more would pass the "
                            "largest game index, %d" % (first_game - 1, args.games, I32_MAX))
    except PlayError as e:
        print("play: %s" % e, file=sys.stderr)
        return 2
    workers_n = _workers_to_start(args)
    threads = _threads_to_start(args)
    st.threads = threads
    slots = workers_n * threads
    cfg = dict(sims_per_move=args.sims, sample_moves=args.sample_moves, c_base=args.c_base,
               c_init=args.c_init, dirichlet_alpha=args.dirichlet_alpha,
               exploration_fraction=args.exploration_fraction)

    server_python = args.server_python
    if (server_python is None and sys.implementation.name == "pypy"
            and args.evaluator.partition(":")[0] != "uniform" and os.path.exists("/usr/bin/python3")):
        server_python = "/usr/bin/python3"  # NumPy and PyTorch live there, not in PyPy
    st.first_game = first_game
    request_r, request_w = os.pipe()
    replies = [os.pipe() for _ in range(slots)]
    try:
        server = srv.start_server(args.evaluator, request_r, [w for _, w in replies], request_w,
                                  max_batch=args.max_batch, batch_wait_ms=args.batch_wait_ms,
                                  seed=args.seed, device=args.device, python=server_python)
    except (srv.ServerStartError, OSError) as e:
        print("play: %s" % e, file=sys.stderr)
        os.close(request_w)
        for r, _ in replies:
            os.close(r)
        return 2
    finally:
        os.close(request_r)
        for _, w in replies:
            os.close(w)

    ctx = multiprocessing.get_context("fork")
    counter = ctx.Value("i", 0)
    current = ctx.RawArray("i", [-1] * slots)
    counts = ctx.RawArray("q", slots)
    st.current = current
    procs, conns = [], {}
    reply_rs = [r for r, _ in replies]
    # The main process's descriptors that no worker needs.
    inherited = [lock_fd, server.popen.stdout.fileno()]
    status = 0
    for w in range(workers_n):
        if st.stop_signal:
            break
        r, wconn = ctx.Pipe(duplex=False)
        mine = reply_rs[w * threads:(w + 1) * threads]
        others = [fd for fd in reply_rs if fd not in mine]
        close_fds = others + inherited + [c.fileno() for c in conns] + [r.fileno()]
        p = ctx.Process(target=_worker_entry, name="velmar-worker-%d" % w,
                        args=(w, threads, cfg, request_w, mine, wconn, counter, current,
                              counts, args.games, first_game, close_fds))
        try:
            p.start()
        except OSError as e:
            st.errors.append("cannot start worker %d: %s" % (w, e.strerror or e))
            st.halt = True
            status = 1
            r.close()
            wconn.close()
            break
        wconn.close()
        procs.append(p)
        conns[r] = w
    for fd in reply_rs:
        os.close(fd)
    for slot in range(len(procs) * threads, slots):  # not started: the server must not wait
        server.worker_gone(slot)
    status = max(status, _supervise(st, server, procs, conns, current, counts, next_shard,
                                    workers_n))
    st.server_stats = server.stop()
    try:
        os.close(request_w)
    except OSError:
        pass
    while st.shard_due(final=True):
        _write_shard(st, next_shard + len(st.shards))
    summary = _summary(st, workers_n, status)
    st.ended = True
    written = _write_summary(st, summary)
    _print_summary(summary, args, written)
    if not written and summary["exit_status"] == 0:
        return 1
    return summary["exit_status"]


def _write_summary(st, summary):
    """Writes OUT/summary.json; where that fails, says so in one line and
    prints the summary on stdout instead. Returns whether it was written."""
    path = os.path.join(st.args.out, "summary.json")
    try:
        _write_json(path, summary)
        return True
    except OSError as e:
        print("play: cannot write %s: %s; the summary follows" % (path, e.strerror or e),
              file=sys.stderr)
        json.dump(summary, sys.stdout, indent=2)
        sys.stdout.write("\n")
        return False


def _write_shard(st, index):
    """Writes the next shard. A failed write (a full disk, a directory made
    read-only) stops the run: no further shard is tried, the workers are
    stopped, and the games not written are counted in the summary."""
    from velmar import data
    take = sorted(st.games)[:st.args.shard_games]
    path = data.shard_name(st.args.out, index)
    try:
        rows = data.write_shard(path, [st.games[g] for g in take])
    except OSError as e:
        st.write_error = "cannot write %s: %s" % (path, e.strerror or e)
        st.errors.append(st.write_error)
        st.halt = True
        print("play: %s; stopping" % st.write_error, file=sys.stderr, flush=True)
        return
    for g in take:
        del st.games[g]
    st.shards.append({"path": path, "games": take, "rows": rows})


def _supervise(st, server, procs, conns, current, counts, next_shard, workers_n):
    args = st.args
    done = set()
    live = {p.sentinel: (w, p) for w, p in enumerate(procs)}
    stopping_since = None
    last_line = 0.0
    tty = sys.stderr.isatty()
    gone_reported = set()
    status = 0
    while conns or live:
        waitables = list(conns) + list(live)
        for r in multiprocessing.connection.wait(waitables, timeout=0.25):
            if r in conns:
                w = conns[r]
                try:
                    msg = pickle.loads(r.recv_bytes())
                except (EOFError, OSError):
                    del conns[r]
                    r.close()
                    continue
                kind = msg[0]
                if kind == "game":
                    _, g, rows, stats = msg
                    st.games[g] = rows
                    pay = list(rows["payoff"][:4])
                    st.finished.append((g, len(rows["player"]), pay, list(rows["scores"]), stats))
                    if not args.quiet and not tty:
                        print("game %d finished: %d tiles, payoff %s, score %s"
                              % (g, len(rows["player"]), pay, list(rows["scores"])),
                              file=sys.stderr, flush=True)
                    while st.shard_due():
                        _write_shard(st, next_shard + len(st.shards))
                elif kind == "interrupted":
                    st.lost.append((msg[1], "interrupted"))
                elif kind == "error":
                    st.errors.append("worker %d, game %d: %s" % (w, msg[1], msg[2]))
                    if msg[1] >= 0:
                        st.lost.append((msg[1], "failed"))
                    status = 1
                elif kind == "done":
                    done.add(w)
            else:
                w, p = live.pop(r)
                p.join()
                slots = range(w * st.threads, (w + 1) * st.threads)
                for slot in slots:
                    server.worker_gone(slot)
                if w not in done and p.exitcode != 0 and w not in gone_reported:
                    gone_reported.add(w)
                    games = [current[s] + _first(st) for s in slots if current[s] >= 0]
                    how = ("killed by signal %d" % -p.exitcode if p.exitcode < 0
                           else "exit status %d" % p.exitcode)
                    playing = ""
                    if games:
                        playing = " while playing game%s %s" % (
                            "s" if len(games) > 1 else "", ", ".join(map(str, games)))
                    st.errors.append("worker %d died (%s)%s" % (w, how, playing))
                    st.lost.extend((g, "worker died") for g in games)
                    status = 1
        if server.popen.poll() is not None and not (st.stop_signal or st.halt):
            st.errors.append("the inference server exited (status %s)" % server.popen.returncode)
            st.halt = True
            status = 1
        if (st.stop_signal or st.halt) and stopping_since is None:
            stopping_since = time.time()
            for w, p in live.values():
                try:
                    os.kill(p.pid, signal.SIGTERM)
                except OSError:
                    pass
        if stopping_since is not None and time.time() - stopping_since > 15:
            for w, p in live.values():
                try:
                    os.kill(p.pid, signal.SIGKILL)
                except OSError:
                    pass
        now = time.time()
        if not args.quiet and tty and now - last_line >= 0.5:
            last_line = now
            _progress(st, counts, workers_n)
    if not args.quiet and tty:
        _progress(st, counts, workers_n)
        sys.stderr.write("\n")
    return status


def _first(st):
    return st.first_game


def _progress(st, counts, workers_n):
    args = st.args
    elapsed = max(time.time() - st.t0, 1e-9)
    evals = sum(counts)
    done_tiles = sum(f[1] for f in st.finished)
    done_evals = sum(f[4]["requests"] for f in st.finished)
    live_tiles = max(0, evals - done_evals) / (args.sims + 1)
    tiles = done_tiles + live_tiles
    per_game = done_tiles / len(st.finished) if st.finished else TYPICAL_TILES
    left_tiles = max(0.0, args.games * per_game - tiles)
    rate = tiles / elapsed
    left = left_tiles / rate if rate > 0 else None
    in_flight = sum(1 for g in st.current if g >= 0)
    line = ("games %d/%d (%d in flight) | %d tiles, %.1f tiles/s | %.0f sims/s | %s left"
            % (len(st.finished), args.games, in_flight, tiles, rate, evals / elapsed, _fmt_duration(left)))
    if st.stop_signal or st.halt:
        line += " | stopping"
    sys.stderr.write("\r" + line.ljust(78))
    sys.stderr.flush()


def _write_json(path, obj):
    tmp = os.path.join(os.path.dirname(path), ".%s.tmp-%d" % (os.path.basename(path), os.getpid()))
    try:
        with open(tmp, "w") as f:
            json.dump(obj, f, indent=2)
            f.write("\n")
        os.replace(tmp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise


def _summary(st, workers_n, status):
    args = st.args
    elapsed = time.time() - st.t0
    n = len(st.finished)
    tiles = sum(f[1] for f in st.finished)
    wins = [0.0] * 4
    outright = [0] * 4
    scores = [0.0] * 4
    for _, _, pay, sc, _ in st.finished:
        for p in range(4):
            wins[p] += pay[p]
            outright[p] += pay[p] == 1.0
            scores[p] += sc[p]
    per_worker = {}
    for _, _, _, _, s in st.finished:
        a = per_worker.setdefault(s["worker"], dict(games=0, seconds=0.0, cpu=0.0, put=0.0,
                                                    wait=0.0, decode=0.0, requests=0,
                                                    rows_seconds=0.0))
        a["games"] += 1
        for k in ("seconds", "cpu", "put", "wait", "decode", "requests", "rows_seconds"):
            a[k] += s[k]
    workers = []
    for w in sorted(per_worker):
        a = per_worker[w]
        sec = a["seconds"] or 1e-12
        workers.append({
            "worker": w, "games": a["games"], "seconds_in_games": round(a["seconds"], 3),
            "requests": a["requests"],
            "module_share": round((sec - a["put"] - a["wait"] - a["decode"]) / sec, 4),
            "transport_share": round((a["put"] + a["decode"]) / sec, 4),
            "waiting_share": round(a["wait"] / sec, 4),
            "cpu_share": round(a["cpu"] / sec, 4),
            "microseconds_per_request": round(1e6 * sec / max(1, a["requests"]), 1),
            "record_seconds": round(a["rows_seconds"], 3),
        })
    if st.stop_signal > 0:
        exit_status = 128 + st.stop_signal
    else:
        exit_status = status
    if st.errors and exit_status == 0:
        exit_status = 1
    requests = sum(f[4]["requests"] for f in st.finished)
    return {
        "games_requested": args.games,
        "games_finished": n,
        "games_lost": [{"game": g, "reason": r} for g, r in sorted(st.lost)],
        "games_not_written": sorted(st.games),
        "tiles": tiles,
        "simulations": tiles * args.sims,
        "wins_per_seat": wins,
        "outright_wins_per_seat": outright,
        "mean_scores": [s / n for s in scores] if n else None,
        "seconds": round(elapsed, 3),
        "games_per_hour": n * 3600.0 / elapsed if elapsed > 0 else 0.0,
        "tiles_per_second": tiles / elapsed if elapsed > 0 else 0.0,
        "simulations_per_second": tiles * args.sims / elapsed if elapsed > 0 else 0.0,
        "evaluations_per_second": requests / elapsed if elapsed > 0 else 0.0,
        "workers": workers_n,
        "per_worker": workers,
        "server": getattr(st, "server_stats", None),
        "config": dict(sims=args.sims, sample_moves=args.sample_moves, c_base=args.c_base,
                       c_init=args.c_init, dirichlet_alpha=args.dirichlet_alpha,
                       exploration_fraction=args.exploration_fraction, evaluator=args.evaluator,
                       seed=args.seed, python=sys.implementation.name,
                       threads=getattr(st, "threads", 1)),
        "shards": [{"path": os.path.basename(s["path"]), "games": s["games"], "rows": s["rows"]}
                   for s in st.shards],
        "interrupted_by": (signal.Signals(st.stop_signal).name if st.stop_signal > 0 else None),
        "errors": st.errors,
        "exit_status": exit_status,
    }


def _print_summary(s, args, written=True):
    out = sys.stdout
    print("played %d of %d games (%d tiles, %d simulations) in %s with %d worker(s)"
          % (s["games_finished"], s["games_requested"], s["tiles"], s["simulations"],
             _fmt_duration(s["seconds"]), s["workers"]), file=out)
    if s["games_finished"]:
        print("wins per seat: %s (outright: %s)"
              % (", ".join("%.2f" % x for x in s["wins_per_seat"]),
                 ", ".join(map(str, s["outright_wins_per_seat"]))), file=out)
        print("mean scores:   %s" % ", ".join("%.1f" % x for x in s["mean_scores"]), file=out)
        print("throughput:    %.1f games/h, %.1f tiles/s, %.0f simulations/s"
              % (s["games_per_hour"], s["tiles_per_second"], s["simulations_per_second"]),
              file=out)
        for w in s["per_worker"]:
            print("worker %d:      %.0f%% in the module, %.0f%% packing/decoding, %.0f%% waiting "
                  "for the server; on a core %.0f%% of the time"
                  % (w["worker"], 100 * w["module_share"], 100 * w["transport_share"],
                     100 * w["waiting_share"], 100 * w["cpu_share"]), file=out)
    if s["server"]:
        print("server:        %d requests in %d batches (mean %.2f)"
              % (s["server"]["requests"], s["server"]["batches"], s["server"]["mean_batch"]),
              file=out)
    for e in s["errors"]:
        print("error: %s" % e, file=out)
    if s["games_lost"]:
        print("lost (unfinished) games: %s" % ", ".join(
            "%d (%s)" % (x["game"], x["reason"]) for x in s["games_lost"]), file=out)
    if s["games_not_written"]:
        print("finished but not written: %d game(s): %s" % (
            len(s["games_not_written"]), ", ".join(map(str, s["games_not_written"]))), file=out)
    if s["interrupted_by"]:
        print("interrupted by %s" % s["interrupted_by"], file=out)
    print("data: %d shard(s) in %s, summary %s"
          % (len(s["shards"]), args.out, "in " + os.path.join(args.out, "summary.json")
             if written else "not written (printed above)"), file=out)
    out.flush()


def main(argv=None):
    ap = argparse.ArgumentParser(
        prog="python3 -m velmar play",
        description="Self-play games with a batched inference server; writes training-data "
                    "shards and a summary to --out.")
    add_arguments(ap)
    return run(ap.parse_args(argv))
