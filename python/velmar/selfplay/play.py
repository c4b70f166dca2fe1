"""``python3 -m velmar play``: self-play with a batched inference server.

The main process starts the inference server (``velmar.serving.server``, a process of
its own) and W worker processes. Each worker takes the next game index from a
shared counter and plays it with ``velmar_self_play.generate_game_data``,
handing it a ``velmar.serving.server.Client`` as both ``inference_queue`` and
``pipe``; then it replays the record with ``velmar.rules`` to build the
training rows (``velmar.game.data.game_rows``) and sends them to the main process,
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
import multiprocessing
import multiprocessing.connection
import os
import pickle
import signal
import sys
import time

from velmar.selfplay import report
from velmar.selfplay.options import (I32_MAX, PlayError, add_arguments, default_threads,  # noqa: F401
                                 option_problem, workers_problem)
from velmar.runner.worker import (GameDone, GameFailed, GameInterrupted, WorkerDone,
                                worker_entry)

class Run:
    def __init__(self, args):
        self.args = args
        self.games = {}       # game index -> rows, not yet written
        self.finished = []    # report.FinishedGame records
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
    from velmar.game import data
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
    if getattr(args, "cluster", None):
        from velmar.selfplay import cluster
        return cluster.run(args)
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


def _threads_to_start(args):
    """Game threads per worker: no more than the games give each worker."""
    workers = _workers_to_start(args)
    threads = args.threads or default_threads(args.evaluator, workers, args.max_batch)
    return max(1, min(threads, -(-args.games // workers))) if args.games else 1


def _run_locked(st, lock_fd):
    args = st.args
    try:
        next_shard, first_game = _existing(args.out)
        if first_game + args.games - 1 > I32_MAX:
            raise PlayError("--out already holds games up to %d: %d more would pass the "
                            "largest game index, %d" % (first_game - 1, args.games, I32_MAX))
    except PlayError as e:
        print("play: %s" % e, file=sys.stderr)
        return 2
    st.first_game = first_game
    st.next_shard = next_shard
    workers_n = _workers_to_start(args)
    st.threads = _threads_to_start(args)
    started = _start_server(st, workers_n * st.threads)
    if started is None:
        return 2
    server, request_w, reply_rs = started
    procs, conns, status = _start_workers(st, workers_n, server, request_w, reply_rs, lock_fd)
    status = max(status, _supervise(st, server, procs, conns, workers_n))
    st.server_stats = server.stop()
    try:
        os.close(request_w)
    except OSError:
        pass
    while st.shard_due(final=True):
        _write_shard(st, next_shard + len(st.shards))
    summary = report.summary(st, workers_n, status)
    st.ended = True
    written = report.write_summary(st, summary)
    report.print_summary(summary, args, written)
    if not written and summary["exit_status"] == 0:
        return 1
    return summary["exit_status"]


def _server_python(args):
    if (args.server_python is None and sys.implementation.name == "pypy"
            and args.evaluator.partition(":")[0] != "uniform" and os.path.exists("/usr/bin/python3")):
        return "/usr/bin/python3"  # NumPy and PyTorch live there, not in PyPy
    return args.server_python


def _start_server(st, slots):
    """Starts the server with one reply pipe per game thread: (server, the
    request pipe's write end, the reply pipes' read ends), or None after
    saying why it could not start."""
    from velmar.serving import server as srv
    args = st.args
    request_r, request_w = os.pipe()
    replies = [os.pipe() for _ in range(slots)]
    try:
        server = srv.start_server(args.evaluator, request_r, [w for _, w in replies], request_w,
                                  max_batch=args.max_batch, batch_wait_ms=args.batch_wait_ms,
                                  seed=args.seed, device=args.device,
                                  python=_server_python(args))
    except (srv.ServerStartError, OSError) as e:
        print("play: %s" % e, file=sys.stderr)
        os.close(request_w)
        for r, _ in replies:
            os.close(r)
        return None
    finally:
        os.close(request_r)
        for _, w in replies:
            os.close(w)
    return server, request_w, [r for r, _ in replies]


def _start_workers(st, workers_n, server, request_w, reply_rs, lock_fd):
    """Forks the workers, each with its threads' reply pipes: (processes,
    {result pipe: worker}, status)."""
    args, threads = st.args, st.threads
    cfg = dict(sims_per_move=args.sims, sample_moves=args.sample_moves, c_base=args.c_base,
               c_init=args.c_init, dirichlet_alpha=args.dirichlet_alpha,
               exploration_fraction=args.exploration_fraction)
    ctx = multiprocessing.get_context("fork")
    counter = ctx.Value("i", 0)
    st.current = ctx.RawArray("i", [-1] * len(reply_rs))
    st.counts = ctx.RawArray("q", len(reply_rs))
    procs, conns = [], {}
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
        p = ctx.Process(target=worker_entry, name="velmar-worker-%d" % w,
                        args=(w, threads, cfg, request_w, mine, wconn, counter, st.current,
                              st.counts, args.games, st.first_game, close_fds))
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
    for slot in range(len(procs) * threads, len(reply_rs)):  # not started: nobody to wait for
        server.worker_gone(slot)
    return procs, conns, status


def _write_shard(st, index):
    """Writes the next shard. A failed write (a full disk, a directory made
    read-only) stops the run: no further shard is tried, the workers are
    stopped, and the games not written are counted in the summary."""
    from velmar.game import data
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


@dataclasses.dataclass
class _Watch:
    """What the supervision loop keeps track of."""
    conns: dict            # result pipe -> worker
    live: dict             # process sentinel -> (worker, process)
    done: set = dataclasses.field(default_factory=set)   # workers that said "done"
    gone_reported: set = dataclasses.field(default_factory=set)
    stopping_since: float = None
    status: int = 0


def _supervise(st, server, procs, conns, workers_n):
    args = st.args
    watch = _Watch(conns, {p.sentinel: (w, p) for w, p in enumerate(procs)})
    last_line = 0.0
    tty = sys.stderr.isatty()
    while watch.conns or watch.live:
        waitables = list(watch.conns) + list(watch.live)
        for r in multiprocessing.connection.wait(waitables, timeout=0.25):
            if r in watch.conns:
                _receive(st, watch, r, tty)
            else:
                _reap(st, watch, server, r)
        if server.popen.poll() is not None and not (st.stop_signal or st.halt):
            st.errors.append("the inference server exited (status %s)" % server.popen.returncode)
            st.halt = True
            watch.status = 1
        _stop_workers(st, watch)
        now = time.time()
        if not args.quiet and tty and now - last_line >= 0.5:
            last_line = now
            report.progress(st, st.counts, workers_n)
    if not args.quiet and tty:
        report.progress(st, st.counts, workers_n)
        sys.stderr.write("\n")
    return watch.status


def _receive(st, watch, r, tty):
    """Takes one message from a worker's result pipe."""
    w = watch.conns[r]
    try:
        msg = pickle.loads(r.recv_bytes())
    except (EOFError, OSError):
        del watch.conns[r]
        r.close()
        return
    if isinstance(msg, GameDone):
        rows = msg.rows
        st.games[msg.game] = rows
        game = report.FinishedGame(msg.game, len(rows["player"]), list(rows["payoff"][:4]),
                                   list(rows["scores"]), msg.stats)
        st.finished.append(game)
        if not st.args.quiet and not tty:
            print("game %d finished: %d tiles, payoff %s, score %s"
                  % (game.game, game.tiles, game.payoffs, game.scores), file=sys.stderr,
                  flush=True)
        while st.shard_due():
            _write_shard(st, st.next_shard + len(st.shards))
    elif isinstance(msg, GameInterrupted):
        st.lost.append((msg.game, "interrupted"))
    elif isinstance(msg, GameFailed):
        st.errors.append("worker %d, game %d: %s" % (w, msg.game, msg.text))
        if msg.game >= 0:
            st.lost.append((msg.game, "failed"))
        watch.status = 1
    elif isinstance(msg, WorkerDone):
        watch.done.add(w)


def _reap(st, watch, server, sentinel):
    """A worker process has ended: its reply channels are retired, and
    where it died, it is reported with every game it had in flight."""
    w, p = watch.live.pop(sentinel)
    p.join()
    slots = range(w * st.threads, (w + 1) * st.threads)
    for slot in slots:
        server.worker_gone(slot)
    if w in watch.done or p.exitcode == 0 or w in watch.gone_reported:
        return
    watch.gone_reported.add(w)
    games = [st.current[s] + st.first_game for s in slots if st.current[s] >= 0]
    how = ("killed by signal %d" % -p.exitcode if p.exitcode < 0
           else "exit status %d" % p.exitcode)
    playing = ""
    if games:
        playing = " while playing game%s %s" % ("s" if len(games) > 1 else "",
                                                ", ".join(map(str, games)))
    st.errors.append("worker %d died (%s)%s" % (w, how, playing))
    st.lost.extend((g, "worker died") for g in games)
    watch.status = 1


def _stop_workers(st, watch):
    """Once the run is stopping: SIGTERM to every worker, SIGKILL to those
    still there 15 seconds later."""
    if not (st.stop_signal or st.halt):
        return
    if watch.stopping_since is None:
        watch.stopping_since = time.time()
        sig = signal.SIGTERM
    elif time.time() - watch.stopping_since > 15:
        sig = signal.SIGKILL
    else:
        return
    for w, p in watch.live.values():
        try:
            os.kill(p.pid, sig)
        except OSError:
            pass


def main(argv=None):
    ap = argparse.ArgumentParser(
        prog="python3 -m velmar play",
        description="Self-play games with a batched inference server; writes training-data "
                    "shards and a summary to --out.")
    add_arguments(ap)
    return run(ap.parse_args(argv))


# The report's parts, under the names callers have used.
_summary = report.summary
_write_summary = report.write_summary
