"""The game runner: one inference server and W worker processes of T game
threads each, supervised by the main process. Self-play and matches differ
only in their job (what a game is, see ``velmar.runner.worker``) and in what
they do with each finished game; the rest is here.

Every game thread has its own reply channel at the server. The workers take
game indices from one shared counter, so every game is played once.

Stopping: on SIGINT or SIGTERM (recorded by ``signals_recorded`` while the
run lasts) or when the command halts the run (``RunState.halt``: a file it
could not write, the server gone), the main process sends every worker
SIGTERM, and SIGKILL to those still there 15 seconds later. A worker in a
game abandons it at its next exchange with the server (the game is counted
as interrupted); a worker that has just finished one first delivers it. A
worker that dies is reported with the games it had in flight; the others go
on, and the run's status is 1.
"""

import contextlib
import dataclasses
import multiprocessing
import multiprocessing.connection
import os
import pickle
import resource
import signal
import threading
import time

from velmar.common.settings import EvaluatorSpec
from velmar.runner.worker import (GameDone, GameFailed, GameInterrupted, WorkerDone,
                                  WorkerPlan, worker_entry)
from velmar.serving import server as srv

STOP_GRACE_SECONDS = 15

# The main process holds three descriptors per worker while it starts them
# (its result pipe and the two pipes of its process object) and, until the
# server has started, both ends of every game thread's reply pipe; on top of
# that what the interpreter and the server's pipes take.
FDS_PER_WORKER = 3
FDS_PER_THREAD = 2
FDS_SPARE = 64


class RunnerError(RuntimeError):
    """A run that cannot start (the server did not start, for instance)."""


class RunState:
    """What the supervision of a run records, shared with the command that
    drives it (which may extend it)."""

    def __init__(self):
        self.lost = []          # (game index, reason)
        self.errors = []
        self.stop_signal = 0    # the first SIGINT or SIGTERM while the run lasted
        self.halt = False       # stop the workers: the server exited, or the command asks
        self.ended = False      # the summary is composed: later signals change nothing
        self.t0 = time.time()
        self.workers = 0
        self.threads = 1
        self.current = []       # the game each reply channel plays (-1: none)
        self.counts = []        # the requests each reply channel has sent
        self.server_stats = None
        self.server_info = None

    @property
    def stopping(self):
        return bool(self.stop_signal or self.halt)

    def exit_status(self, status):
        """128 + the signal after a stop, else ``status``, at least 1 after an error."""
        code = 128 + self.stop_signal if self.stop_signal > 0 else status
        return 1 if self.errors and code == 0 else code

    def interrupted_by(self):
        return signal.Signals(self.stop_signal).name if self.stop_signal > 0 else None

    def in_flight(self):
        return sum(1 for g in self.current if g >= 0)


@contextlib.contextmanager
def signals_recorded(st):
    """While the run lasts, SIGINT and SIGTERM are recorded rather than
    raised: the first one stops the workers, every finished game is still
    kept, and the command exits with 128 + its number. A signal that
    arrives once the summary is composed (``st.ended``) changes nothing.
    Outside the main thread signals cannot be caught; nothing is changed."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return

    def on_signal(signum, frame):
        if not st.stop_signal and not st.ended:
            st.stop_signal = signum

    old = {sig: signal.signal(sig, on_signal) for sig in (signal.SIGINT, signal.SIGTERM)}
    try:
        yield
    finally:
        for sig, h in old.items():
            signal.signal(sig, h)


def default_threads(evaluators, workers, max_batch):
    """Game threads per worker when none are asked for: one where every
    evaluator costs nothing (more threads would only share the worker's
    core), else enough that all the workers' games fill a batch."""
    if all(EvaluatorSpec.parse(e).free for e in evaluators):
        return 1
    return max(1, -(-max_batch // max(1, workers)))


def plan_workers(games, workers, threads):
    """(workers, threads per worker) to start: no more workers than games,
    no more threads than the games give each worker (one of each when there
    are no games)."""
    if not games:
        return 1, 1
    workers = max(1, min(workers, games))
    return workers, max(1, min(threads, -(-games // workers)))


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


@dataclasses.dataclass
class RunPlan:
    """One run: the job, how many games, workers and threads, and the
    server's evaluators (one specification, or route -> specification) and
    options."""
    job: object
    games: int
    workers: int
    threads: int
    evaluators: object
    server: object            # common.settings.ServerOptions
    seed: int = 0             # of the server's random network initialisation
    first_game: int = 0       # added to every game index the workers report
    name: str = "velmar-worker"
    inherited_fds: tuple = ()  # descriptors of the main process no worker needs


@dataclasses.dataclass
class _Watch:
    """What the supervision loop keeps track of."""
    conns: dict            # result pipe -> worker
    live: dict             # process sentinel -> (worker, process)
    done: set = dataclasses.field(default_factory=set)   # workers that said "done"
    stopping_since: float = None
    status: int = 0


class Runner:
    """Runs a ``RunPlan``: ``on_game(game, result, stats)`` is called in the
    main process for every finished game, ``progress(final)`` once per
    turn of the supervision loop (and once with True at the end)."""

    def __init__(self, plan, state, on_game, progress=None):
        self.plan = plan
        self.st = state
        self.on_game = on_game
        self.progress = progress or (lambda final: None)
        self.server = None

    def run(self):
        """Starts the server and the workers, supervises them until every
        worker has ended and stops the server. Returns the run's status (0,
        or 1 after a worker's failure); raises RunnerError when the server
        cannot start."""
        plan, st = self.plan, self.st
        st.workers, st.threads = plan.workers, plan.threads
        slots = plan.workers * plan.threads
        request_r, request_w = os.pipe()
        replies = [os.pipe() for _ in range(slots)]
        try:
            python = plan.server.python_for(
                [plan.evaluators] if isinstance(plan.evaluators, str)
                else list(plan.evaluators.values()))
            self.server = srv.start_server(
                plan.evaluators, request_r, [w for _, w in replies], request_w,
                max_batch=plan.server.max_batch, batch_wait_ms=plan.server.batch_wait_ms,
                seed=plan.seed, device=plan.server.device, python=python)
        except (srv.ServerStartError, OSError) as e:
            os.close(request_w)
            for r, _ in replies:
                os.close(r)
            raise RunnerError(str(e)) from None
        finally:
            os.close(request_r)
            for _, w in replies:
                os.close(w)
        st.server_info = self.server.info
        try:
            procs, conns, status = self._start_workers(request_w, [r for r, _ in replies])
            status = max(status, self._supervise(procs, conns))
        finally:
            st.server_stats = self.server.stop()
            with contextlib.suppress(OSError):
                os.close(request_w)
        return status

    def _start_workers(self, request_w, reply_rs):
        """Forks the workers, each with its threads' reply pipes: (processes,
        {result pipe: worker}, status)."""
        plan, st = self.plan, self.st
        threads = plan.threads
        ctx = multiprocessing.get_context("fork")
        counter = ctx.Value("i", 0)
        st.current = ctx.RawArray("i", [-1] * len(reply_rs))
        st.counts = ctx.RawArray("q", len(reply_rs))
        procs, conns = [], {}
        inherited = list(plan.inherited_fds) + [self.server.popen.stdout.fileno()]
        status = 0
        for w in range(plan.workers):
            if st.stop_signal:
                break
            r, wconn = ctx.Pipe(duplex=False)
            mine = reply_rs[w * threads:(w + 1) * threads]
            others = [fd for fd in reply_rs if fd not in mine]
            close_fds = others + inherited + [c.fileno() for c in conns] + [r.fileno()]
            worker = WorkerPlan(w, threads, plan.job, request_w, mine, wconn, counter, st.current,
                                st.counts, plan.games, plan.first_game, close_fds)
            p = ctx.Process(target=worker_entry, name="%s-%d" % (plan.name, w), args=(worker,))
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
            self.server.channel_gone(slot)
        return procs, conns, status

    def _supervise(self, procs, conns):
        st, server = self.st, self.server
        watch = _Watch(conns, {p.sentinel: (w, p) for w, p in enumerate(procs)})
        while watch.conns or watch.live:
            waitables = list(watch.conns) + list(watch.live)
            for r in multiprocessing.connection.wait(waitables, timeout=0.25):
                if r in watch.conns:
                    self._receive(watch, r)
                else:
                    self._reap(watch, r)
            if server.popen.poll() is not None and not st.stopping:
                st.errors.append("the inference server exited (status %s)"
                                 % server.popen.returncode)
                st.halt = True
                watch.status = 1
            self._stop_workers(watch)
            self.progress(False)
        self.progress(True)
        return watch.status

    def _receive(self, watch, r):
        """Takes one message from a worker's result pipe."""
        st = self.st
        w = watch.conns[r]
        try:
            msg = pickle.loads(r.recv_bytes())
        except (EOFError, OSError):
            del watch.conns[r]
            r.close()
            return
        if isinstance(msg, GameDone):
            self.on_game(msg.game, msg.result, msg.stats)
        elif isinstance(msg, GameInterrupted):
            st.lost.append((msg.game, "interrupted"))
        elif isinstance(msg, GameFailed):
            st.errors.append("worker %d, game %d: %s" % (w, msg.game, msg.text))
            if msg.game >= 0:
                st.lost.append((msg.game, "failed"))
            watch.status = 1
        elif isinstance(msg, WorkerDone):
            watch.done.add(w)

    def _reap(self, watch, sentinel):
        """A worker process has ended: its reply channels are retired, and
        where it died, it is reported with every game it had in flight."""
        st = self.st
        w, p = watch.live.pop(sentinel)
        p.join()
        slots = range(w * st.threads, (w + 1) * st.threads)
        for slot in slots:
            self.server.channel_gone(slot)
        if w in watch.done or p.exitcode == 0:
            return
        first = self.plan.first_game
        games = [st.current[s] + first for s in slots if st.current[s] >= 0]
        how = ("killed by signal %d" % -p.exitcode if p.exitcode < 0
               else "exit status %d" % p.exitcode)
        playing = ""
        if games:
            playing = " while playing game%s %s" % ("s" if len(games) > 1 else "",
                                                    ", ".join(map(str, games)))
        st.errors.append("worker %d died (%s)%s" % (w, how, playing))
        st.lost.extend((g, "worker died") for g in games)
        watch.status = 1

    def _stop_workers(self, watch):
        """Once the run is stopping: SIGTERM to every worker, SIGKILL to
        those still there STOP_GRACE_SECONDS later."""
        if not self.st.stopping:
            return
        if watch.stopping_since is None:
            watch.stopping_since = time.time()
            sig = signal.SIGTERM
        elif time.time() - watch.stopping_since > STOP_GRACE_SECONDS:
            sig = signal.SIGKILL
        else:
            return
        for w, p in watch.live.values():
            try:
                os.kill(p.pid, sig)
            except OSError:
                pass


def import_problem():
    """Why the compiled extensions cannot be imported here, or None."""
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
