"""``python3 -m velmar play --cluster ADDRESS|local:N``: self-play on a Dask cluster.

The run is cut into blocks of --block-games game indices. A task plays one
block on a Dask worker by running ``python3 -m velmar play`` there (that
machine's own server and worker processes) into a temporary directory, and
returns the shard files it wrote as bytes (deflated .npz: the planes are
packed bits, the policies mostly zeros, so a game is a few tens of KB) with
its summary. The client renumbers the games (block * B + k after the games
already in --out), writes shards atomically as ``play`` does, and writes a
block's games only the first time one of its results arrives, so a task that
Dask retries after a lost worker, or runs twice, never writes a game twice.

Weights given as a file (numpy:W.npz, torch:W.pt) that exists here are sent
once to every worker with a worker plugin (new workers get it when they
join) and cached there by their hash; otherwise the evaluator string is
passed on as it is (the same path on every machine, or none).

Ctrl-C (or SIGTERM) cancels the outstanding tasks, stops the running ones,
writes what finished and exits 130 (143).
"""

import array
import hashlib
import io
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import zipfile

from velmar.common.files import atomic_file
from velmar.game import data

FORWARDED = ("seed", "max_batch", "batch_wait_ms", "device", "server_python", "workers",
             "threads")
WEIGHTS_DIR = os.path.join(tempfile.gettempdir(), "velmar-weights")


# ---------------------------------------------------------------------------
# Worker side

def _weights_path(digest, ext):
    return os.path.join(WEIGHTS_DIR, digest + ext)


def _weights_plugin_class():
    from distributed.diagnostics.plugin import WorkerPlugin

    class Weights(WorkerPlugin):
        """Writes the run's weights file once on every worker that joins."""

        def __init__(self, blob, digest, ext):
            self.blob, self.digest, self.ext = blob, digest, ext

        def setup(self, worker):
            path = _weights_path(self.digest, self.ext)
            if os.path.exists(path):
                return
            os.makedirs(WEIGHTS_DIR, exist_ok=True)
            with atomic_file(path, "wb") as f:
                f.write(self.blob)

    return Weights


def _die_with_parent():
    try:
        import ctypes
        ctypes.CDLL(None).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
    except (OSError, AttributeError):
        pass


def _stop_requested(event_name):
    try:
        from distributed import Event
        return Event(event_name).is_set()
    except Exception:  # noqa: BLE001 - no scheduler: go on playing
        return False


def play_block(block, games, argv, event_name):
    """Plays `games` games with ``velmar play`` on this machine; returns
    (block, {shard name: bytes}, summary, worker address, seconds)."""
    from distributed import get_worker
    t0 = time.time()
    out = tempfile.mkdtemp(prefix="velmar-block-")
    try:
        cmd = [sys.executable, "-m", "velmar", "play", "--quiet", "--games", str(games),
               "--out", out] + argv
        p = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                             preexec_fn=_die_with_parent)
        while p.poll() is None:
            try:
                p.wait(timeout=1.0)
            except subprocess.TimeoutExpired:
                if _stop_requested(event_name):
                    p.terminate()
                    p.wait()
                    raise RuntimeError("stopped")
        err = p.stderr.read().decode(errors="replace").strip()
        if p.returncode != 0:
            raise RuntimeError("velmar play exited with %d: %s" % (p.returncode, err[-500:]))
        shards = {}
        for path in data.shard_paths(out):
            with open(path, "rb") as f:
                shards[os.path.basename(path)] = f.read()
        with open(os.path.join(out, "summary.json")) as f:
            summary = f.read()
        return block, shards, summary, get_worker().address, time.time() - t0
    finally:
        shutil.rmtree(out, ignore_errors=True)


# ---------------------------------------------------------------------------
# Client side

def connect(address):
    from distributed import Client, LocalCluster
    if address.startswith("local:"):
        n = int(address[6:])
        cluster = LocalCluster(n_workers=n, threads_per_worker=1, processes=True,
                               host="127.0.0.1", dashboard_address=None)
        return Client(cluster), cluster
    return Client(address, timeout=30), None


def address_problem(address):
    if address.startswith("local:"):
        n = address[6:]
        if not n.isdigit() or not 1 <= int(n) <= 256:
            return "--cluster local:N needs N from 1 to 256, not %s" % (n or "nothing")
    elif "://" not in address and ":" not in address:
        return ("--cluster must be a scheduler address (tcp://host:8786) or local:N, not %s"
                % address)
    return None


def ship_weights(client, evaluator):
    """The evaluator string the workers use: a weights file here is sent to
    every worker once and named by its cached path there."""
    kind, arg = evaluator.kind, evaluator.weights_file
    if arg is None or not os.path.isfile(arg):
        return str(evaluator)
    with open(arg, "rb") as f:
        blob = f.read()
    digest = hashlib.sha256(blob).hexdigest()[:24]
    ext = os.path.splitext(arg)[1]
    client.register_worker_plugin(_weights_plugin_class()(blob, digest, ext),
                                  name="velmar-weights-" + digest)
    return "%s:%s" % (kind, _weights_path(digest, ext))


def task_argv(args, search, evaluator):
    """The options of the ``velmar play`` that plays one block."""
    argv = ["--evaluator", evaluator, "--shard-games", str(max(1, args.block_games))]
    argv += search.command_line()
    for name in FORWARDED:
        v = getattr(args, name)
        if v is not None:
            argv += ["--" + name.replace("_", "-"), str(v)]
    return argv


def renumbered_games(shards, first):
    """The games of a block's shards as ``write_shard`` dicts, renumbered
    from `first`: {game index: rows}."""
    import numpy as np
    games = {}
    for name in sorted(shards):
        with zipfile.ZipFile(io.BytesIO(shards[name])) as z:
            there = set(z.namelist())
            d = {k: np.load(io.BytesIO(z.read(k + ".npy"))) for k in data.ALL_FIELDS
                 if k in data.FIELDS or k + ".npy" in there}
        for k, g in enumerate(d["games"].tolist()):
            rows = d["game"] == g
            rec = {}
            for field in data.ROW_FIELDS + tuple(data.OPTIONAL_FIELDS):
                if field in d:
                    rec[field] = _arr(field, d[field][rows])
            rec["game"] = _arr("game", np.full(int(rows.sum()), first + g))
            rec["games"] = _arr("games", np.array([first + g]))
            rec["scores"] = _arr("scores", d["scores"][k:k + 1])
            rec["tiles"] = _arr("tiles", d["tiles"][k:k + 1])
            games[first + g] = rec
    return games


def _arr(field, a):
    code, descr, _ = data.ALL_FIELDS[field]
    out = array.array(code)
    out.frombytes(a.astype(descr).tobytes())
    if sys.byteorder != "little" and out.itemsize > 1:
        out.byteswap()
    return out
