"""The options of ``velmar play``: their defaults, the parser and the checks
made before anything starts.
"""

import os

from velmar.common.settings import (EVALUATOR_HELP, I32_MAX, MAX_BATCH, SERVER_FLAGS, U32_MAX,
                                    EvaluatorSpec, SearchSettings, ServerOptions, SettingsError,
                                    add_search_arguments, add_server_arguments, search_flags)

DEFAULTS = dict(games=8, evaluator="uniform", out=os.path.join("out", "play"), seed=0,
                shard_games=16)


class PlayError(Exception):
    """A run that cannot start: the message says which option or file and why."""


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
    add_search_arguments(ap)
    ap.add_argument("--evaluator", default=d["evaluator"],
                    help="the network's stand-in at the server: " + EVALUATOR_HELP
                         + "; default %(default)s")
    ap.add_argument("--out", default=d["out"],
                    help="directory for the shards and summary.json (default %(default)s)")
    ap.add_argument("--seed", type=int, default=d["seed"],
                    help="seed of the network's random initialisation when no weights are "
                         "given (the search draws its own randomness from the system)")
    ap.add_argument("--shard-games", type=int, default=d["shard_games"],
                    help="games per shard (default %(default)s); the last shard may hold fewer")
    add_server_arguments(ap)
    ap.add_argument("--quiet", action="store_true", help="no progress line")
    add_cluster_arguments(ap)


def add_cluster_arguments(ap):
    ap.add_argument("--cluster", default=None, metavar="ADDRESS|local:N",
                    help="play on a Dask cluster: a scheduler's address (tcp://host:8786) or "
                         "local:N for N worker processes on this machine; --workers is then "
                         "the play workers of each task")
    ap.add_argument("--block-games", type=int, default=8,
                    help="games per cluster task (default %(default)s)")
    ap.add_argument("--tasks-in-flight", type=int, default=None,
                    help="cluster tasks submitted at once (default: twice the Dask threads)")


def run_options(args):
    """(SearchSettings, ServerOptions, EvaluatorSpec) of the command line;
    PlayError naming the first option out of its range. The counts reach
    the module as unsigned 32-bit integers and the constants as 32-bit
    floats, so they are checked against those ranges."""
    a = args
    checks = [
        ("--games", a.games, 0 <= a.games <= I32_MAX, "an integer from 0 to %d" % I32_MAX),
        ("--workers", a.workers, a.workers >= 1, "at least 1"),
        ("--threads", a.threads, a.threads is None or 1 <= a.threads <= MAX_BATCH,
         "an integer from 1 to %d" % MAX_BATCH),
        ("--shard-games", a.shard_games, 1 <= a.shard_games <= I32_MAX,
         "an integer from 1 to %d" % I32_MAX),
        ("--seed", a.seed, 0 <= a.seed <= U32_MAX, "an integer from 0 to %d" % U32_MAX),
    ]
    for flag, value, ok, want in checks:
        if not ok:
            raise PlayError("%s must be %s, not %s" % (flag, want, value))
    try:
        search = SearchSettings.from_args(a)
    except SettingsError as e:
        raise PlayError(e.named(search_flags(a))) from None
    try:
        server = ServerOptions.from_args(a)
    except SettingsError as e:
        raise PlayError(e.named(SERVER_FLAGS)) from None
    try:
        evaluator = EvaluatorSpec.parse(a.evaluator)
    except SettingsError as e:
        raise PlayError(str(e)) from None
    return search, server, evaluator
