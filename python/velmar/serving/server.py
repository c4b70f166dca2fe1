"""Batched inference server.

Transport (``velmar.serving.client``). Every game thread writes its
requests into one shared pipe and reads its replies from a pipe of its own,
its reply channel; the messages are those of ``velmar.game.planes``. A
request's ``channel`` is the index of the reply pipe the answer goes to;
``route`` is the ``id`` of the request (the first item of what ``put``
receives), which picks the evaluator. The server reads a whole batch with
one ``read``.

Server. ``python3 -m velmar.serving.server`` runs the server loop in a
process of its own; ``start_server`` launches it with the pipes inherited.
The loop reads whatever requests are pending (up to ``max_batch``), waits up
to ``batch_wait`` for more while fewer requests are pending than channels
are open, evaluates the batch and writes each channel its own reply.

Routes. A server hosts one evaluator or several: a default one, which
answers every route, and evaluators for particular routes (``--evaluator
ID=SPEC``), which answer the requests whose ``id`` is ID. A batch is split
by evaluator, one call per evaluator; routes whose specifications are the
same string share one evaluator, so their requests are batched together.
A request for a route with no evaluator (and no default) is a fault of the
caller: the server says so on standard error and closes that reply
channel, so its ``recv`` raises ``ServerGone`` instead of waiting.
"""

import argparse
import json
import os
import select
import signal
import subprocess
import sys
import time

from velmar.game.planes import HEADER, KIND_CHANNEL_GONE, KIND_REQUEST, KIND_STOP, REQUEST_SIZE
from velmar.serving.client import send_control
from velmar.serving.evaluators import EvaluatorUnavailable
from velmar.serving.factory import make_evaluator


class Server:
    """The server loop over already open pipes.

    ``evaluator`` answers every route that ``routes`` (a mapping from route
    to evaluator) does not name; it may be None when ``routes`` is given.
    Without ``batch_wait`` the server waits as long as its most patient
    evaluator asks."""

    def __init__(self, evaluator, request_fd, reply_fds, max_batch=64, batch_wait=None,
                 routes=None):
        self.evaluator = evaluator
        self.routes = dict(routes or {})
        if evaluator is None and not self.routes:
            raise ValueError("a server needs an evaluator")
        self.request_fd = request_fd
        self.reply_fds = list(reply_fds)
        self.max_batch = max(1, int(max_batch))
        if batch_wait is None:
            hosted = [e for e in [evaluator] + list(self.routes.values()) if e is not None]
            batch_wait = max(getattr(e, "batch_wait_ms", 0.0) for e in hosted) / 1000.0
        self.batch_wait = max(0.0, float(batch_wait))
        self.alive = [fd is not None for fd in self.reply_fds]
        self.active = sum(self.alive)
        self.requests = 0
        self.batches = 0
        self.max_seen = 0
        self.eval_seconds = 0.0
        self.bad_messages = 0
        self.route_requests = {}  # route -> requests, when routes are given
        self._buf = b""
        self._stop = False
        self._parent = None

    def _read(self, timeout):
        """Reads available messages into the buffer; False on end of file
        (or, after a quiet second, when the parent process is gone). With
        no timeout the read blocks: one system call per wake-up rather than
        a select and a read."""
        if timeout is not None:
            r, _, _ = select.select([self.request_fd], [], [], timeout)
            if not r:
                return not (timeout >= 1.0 and self._parent is not None
                            and os.getppid() != self._parent)
        want = REQUEST_SIZE * self.max_batch - len(self._buf)
        data = os.read(self.request_fd, max(want, REQUEST_SIZE))
        if not data:
            return False
        self._buf += data
        return True

    def _take(self, pending):
        """Moves whole messages from the buffer into pending requests."""
        buf = self._buf
        n = len(buf) // REQUEST_SIZE
        used = 0
        routes = self.routes
        default = self.evaluator
        for k in range(n):
            if len(pending) >= self.max_batch:
                break
            msg = buf[k * REQUEST_SIZE:(k + 1) * REQUEST_SIZE]
            used += 1
            kind, channel, route = HEADER.unpack_from(msg)
            if kind == KIND_REQUEST and 0 <= channel < len(self.reply_fds) and self.alive[channel]:
                evaluator = routes.get(route, default) if routes else default
                if evaluator is None:
                    self._unrouted(channel, route)
                    continue
                if routes:
                    self.route_requests[route] = self.route_requests.get(route, 0) + 1
                pending.append((channel, evaluator, msg[HEADER.size:]))
            elif kind == KIND_CHANNEL_GONE and 0 <= channel < len(self.reply_fds):
                self._retire(channel)
            elif kind == KIND_STOP:
                self._stop = True
            else:
                self.bad_messages += 1
        self._buf = buf[used * REQUEST_SIZE:]

    def _unrouted(self, channel, route):
        self.bad_messages += 1
        sys.stderr.write("velmar.serving.server: channel %d asked for route %d, which has no "
                         "evaluator (routes: %s); its reply pipe is closed\n"
                         % (channel, route, ", ".join(map(str, sorted(self.routes)))))
        sys.stderr.flush()
        self._retire(channel)

    def _retire(self, channel):
        if self.alive[channel]:
            self.alive[channel] = False
            self.active -= 1
            fd = self.reply_fds[channel]
            try:
                os.close(fd)
            except OSError:
                pass

    def serve(self, parent_pid=None):
        """Runs until a stop message, the end of the request pipe, or the
        death of the parent process."""
        self._parent = parent_pid
        if parent_pid is not None:
            watch_parent(parent_pid)
        pending = []
        while not self._stop:
            if not self._read(0.0 if pending else None):
                break
            self._take(pending)
            if not pending:
                continue
            if self.batch_wait > 0:
                deadline = time.perf_counter() + self.batch_wait
                while (not self._stop and len(pending) < min(self.max_batch, self.active)):
                    left = deadline - time.perf_counter()
                    if left <= 0 or not self._read(left):
                        break
                    self._take(pending)
            self._answer(pending)
            pending = []
            if len(self._buf) >= REQUEST_SIZE:
                self._take(pending)
        if pending:
            self._answer(pending)

    def _answer(self, pending):
        """Evaluates a batch, one evaluator call per evaluator in it, and
        writes the replies in the order of the requests."""
        n = len(pending)
        self.requests += n
        self.batches += 1
        if n > self.max_seen:
            self.max_seen = n
        first = pending[0][1]
        if not self.routes or all(item[1] is first for item in pending):
            replies = self._evaluate(first, pending)
        else:
            groups = {}
            for k, item in enumerate(pending):
                groups.setdefault(id(item[1]), []).append(k)
            replies = [None] * n
            for ks in groups.values():
                part = self._evaluate(pending[ks[0]][1], [pending[k] for k in ks])
                for k, reply in zip(ks, part):
                    replies[k] = reply
        alive = self.alive
        fds = self.reply_fds
        write = os.write
        for (channel, _, _), reply in zip(pending, replies):
            if alive[channel]:
                try:
                    write(fds[channel], reply)
                except OSError:  # the channel is gone
                    self._retire(channel)

    def _evaluate(self, evaluator, pending):
        n = len(pending)
        bits = pending[0][2] if n == 1 else b"".join([item[2] for item in pending])
        t0 = time.perf_counter()
        replies = evaluator.evaluate_bits(bits, n)
        self.eval_seconds += time.perf_counter() - t0
        return replies

    def stats(self):
        out = {
            "requests": self.requests,
            "batches": self.batches,
            "mean_batch": self.requests / self.batches if self.batches else 0.0,
            "max_batch_seen": self.max_seen,
            "evaluator_seconds": self.eval_seconds,
            "bad_messages": self.bad_messages,
        }
        if self.routes:
            out["route_requests"] = {str(r): n for r, n in sorted(self.route_requests.items())}
        return out


def watch_parent(parent_pid, period=1.0):
    """Ends this process once its parent is gone (the server's reads block,
    so the loop itself cannot look): a daemon thread checks once a period."""
    import threading

    def watch():
        while True:
            time.sleep(period)
            if os.getppid() != parent_pid:
                os._exit(3)

    threading.Thread(target=watch, name="parent-watch", daemon=True).start()


class ServerProcess:
    """A running server process as seen by its parent."""

    def __init__(self, popen, request_fd, info):
        self.popen = popen
        self.request_fd = request_fd  # the parent's own write end, for control
        self.info = info

    def channel_gone(self, channel):
        try:
            send_control(self.request_fd, KIND_CHANNEL_GONE, channel)
        except OSError:
            pass

    def stop(self, timeout=10.0):
        """Asks the server to stop; returns its statistics (or None)."""
        try:
            send_control(self.request_fd, KIND_STOP)
        except OSError:
            pass
        try:
            out, _ = self.popen.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.popen.kill()
            out, _ = self.popen.communicate()
        for line in reversed((out or "").splitlines()):
            try:
                return json.loads(line)
            except ValueError:
                continue
        return None


class ServerStartError(RuntimeError):
    pass


def _package_root():
    return os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def evaluator_arguments(evaluators):
    """The server's ``--evaluator`` options for ``evaluators``: one
    specification (it answers every route) or a mapping from route (an
    int, or None for the default) to specification."""
    if isinstance(evaluators, str):
        return ["--evaluator", evaluators]
    args = []
    for route, spec in evaluators.items():
        if route is None:
            args += ["--evaluator", spec]
        else:
            args += ["--evaluator", "%d=%s" % (int(route), spec)]
    if not args:
        raise ValueError("no evaluator given")
    return args


def parse_evaluator_options(values):
    """(default spec or None, {route: spec}) from ``--evaluator`` values,
    each SPEC or ID=SPEC; ValueError for a second default or route."""
    default, routes = None, {}
    for value in values:
        head, sep, tail = value.partition("=")
        if sep and head.strip().lstrip("-").isdigit():
            route = int(head)
            if route in routes:
                raise ValueError("route %d is given two evaluators" % route)
            if not -2 ** 31 <= route < 2 ** 31:
                raise ValueError("route %d is outside the 32-bit range" % route)
            routes[route] = tail
        elif default is not None:
            raise ValueError("two default evaluators (%r and %r); give the others as ID=SPEC"
                             % (default, value))
        else:
            default = value
    if default is None and not routes:
        default = "uniform"
    return default, routes


def start_server(evaluators, request_r, reply_ws, request_w, max_batch=64,
                 batch_wait_ms=None, seed=0, device=None, python=None):
    """Starts ``python -m velmar.serving.server`` with the request pipe's read end
    and every channel's reply write end. ``evaluators`` is one evaluator
    specification (for every route) or a mapping from route to
    specification, the key None for the default. Waits for its ready line
    (which says whether the evaluators could be built) and returns a
    ``ServerProcess``; raises ``ServerStartError`` with the server's message
    when it could not start."""
    python = python or sys.executable
    fds = [request_r] + list(reply_ws)
    cmd = [python, "-m", "velmar.serving.server", "--request-fd", str(request_r),
           "--reply-fds", ",".join(map(str, reply_ws)), *evaluator_arguments(evaluators),
           "--max-batch", str(max_batch), "--seed", str(seed)]
    if batch_wait_ms is not None:
        cmd += ["--batch-wait-ms", str(batch_wait_ms)]
    if device:
        cmd += ["--device", device]
    env = dict(os.environ)
    paths = [p for p in sys.path if p and os.path.isdir(p)]
    root = _package_root()
    # the velmar package (source and build directories) must be importable
    import velmar
    pkg_dirs = [os.path.dirname(p) for p in getattr(velmar, "__path__", [])]
    keep = [root] + pkg_dirs + env.get("PYTHONPATH", "").split(os.pathsep)
    if python == sys.executable:
        keep += paths
    else:  # another interpreter must not see this one's standard library
        import sysconfig
        own = [sysconfig.get_paths()[k] for k in ("stdlib", "platstdlib")]
        keep = [p for p in keep
                if p and not any(os.path.abspath(p).startswith(o) for o in own)]
    seen = []
    for p in keep:
        if p and p not in seen:
            seen.append(p)
    env["PYTHONPATH"] = os.pathsep.join(seen)
    # the workers use the other cores: one BLAS thread unless asked otherwise
    env.setdefault("OPENBLAS_NUM_THREADS", "1")
    popen = subprocess.Popen(cmd, pass_fds=fds, stdin=subprocess.DEVNULL,
                             stdout=subprocess.PIPE, text=True, env=env,
                             preexec_fn=_ignore_sigint)
    line = popen.stdout.readline()
    try:
        info = json.loads(line)
    except ValueError:
        popen.wait()
        raise ServerStartError("the inference server did not start (exit status %s)"
                               % popen.returncode)
    if not info.get("ready"):
        popen.wait()
        raise ServerStartError(info.get("error", "the inference server did not start"))
    return ServerProcess(popen, request_w, info)


def _tell_parent(message):
    """Writes one JSON line on standard output, which the parent reads.
    False when the parent is gone (killed, say): later writes, the stats
    included, and the flush at exit then go to /dev/null, quietly."""
    try:
        print(json.dumps(message), flush=True)
        return True
    except BrokenPipeError:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
        return False


def _ignore_sigint():
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def main(argv=None):
    ap = argparse.ArgumentParser(prog="python3 -m velmar.serving.server",
                                 description="Batched inference server (started by velmar play).")
    ap.add_argument("--request-fd", type=int, required=True)
    ap.add_argument("--reply-fds", required=True)
    ap.add_argument("--evaluator", action="append", default=[], metavar="[ID=]SPEC",
                    help="the evaluator for every route (SPEC) or for requests whose id is "
                         "ID (ID=SPEC); repeat for several; default uniform")
    ap.add_argument("--max-batch", type=int, default=64)
    ap.add_argument("--batch-wait-ms", type=float, default=None)
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--device", default=None)
    args = ap.parse_args(argv)
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    parent = os.getppid()
    try:
        default_spec, route_specs = parse_evaluator_options(args.evaluator)
    except ValueError as e:
        _tell_parent({"ready": False, "error": str(e)})
        return 2
    built = {}  # one evaluator per distinct specification
    for spec in [default_spec] + list(route_specs.values()):
        if spec is None or spec in built:
            continue
        try:
            built[spec] = make_evaluator(spec, seed=args.seed, device=args.device)
        except Exception as e:  # noqa: B902 - any failure of a user's factory or weights
            # One line for the parent to show, without a traceback: the
            # exception's type where its message alone may not say what it is.
            known = isinstance(e, (EvaluatorUnavailable, OSError, ValueError, KeyError,
                                   ImportError))
            text = str(e) if known and str(e) else "%s: %s" % (type(e).__name__, e)
            _tell_parent({"ready": False, "error": "evaluator %r: %s" % (spec, text)})
            return 2
    evaluator = built.get(default_spec)
    routes = {route: built[spec] for route, spec in route_specs.items()}
    reply_fds = [int(x) for x in args.reply_fds.split(",") if x]
    server = Server(evaluator, args.request_fd, reply_fds, args.max_batch,
                    None if args.batch_wait_ms is None else args.batch_wait_ms / 1000.0,
                    routes=routes)
    if not _tell_parent({"ready": True,
                         "evaluator": evaluator.describe() if evaluator is not None else None,
                         "routes": {str(r): e.describe() for r, e in sorted(routes.items())},
                         "batch_wait_ms": server.batch_wait * 1000.0,
                         "max_batch": server.max_batch}):
        return 3  # as when the parent dies while serving
    t0 = time.perf_counter()
    server.serve(parent_pid=parent)
    stats = server.stats()
    stats["seconds"] = time.perf_counter() - t0
    _tell_parent(stats)
    return 0


if __name__ == "__main__":
    sys.exit(main())
