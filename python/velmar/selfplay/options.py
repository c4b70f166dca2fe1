"""The options of ``velmar play``: their defaults, the parser and the checks
made before anything starts (ranges, the open-file and process limits).
"""

import math
import os
import resource
import struct


DEFAULTS = dict(games=8, sims=800, sample_moves=30, c_base=19652.0, c_init=1.25,
                dirichlet_alpha=0.3, exploration_fraction=0.25, evaluator="uniform",
                out=os.path.join("out", "play"), seed=0, shard_games=16, max_batch=64)


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
    from velmar.selfplay import cluster
    cluster.add_arguments(ap)


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


def default_threads(evaluator, workers, max_batch):
    """Games per worker when --threads is not given: one for the uniform
    evaluator (it costs nothing, so more threads would only share the
    worker's core), else enough that all the workers' games fill a batch."""
    if evaluator.partition(":")[0] == "uniform":
        return 1
    return max(1, -(-max_batch // max(1, workers)))


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
