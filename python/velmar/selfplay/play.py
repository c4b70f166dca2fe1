"""``python3 -m velmar play``: self-play with a batched inference server.

The game runner (``velmar.runner.runner``) starts the inference server and
W worker processes of T game threads each. A game thread plays a game with
``velmar_self_play.generate_game_data``, handing it a reply channel's
``velmar.serving.client.Client`` as both ``inference_queue`` and ``pipe``;
then it replays the record with ``velmar.rules`` to build the training rows
(``velmar.game.data.game_rows``) and sends them to the main process, which
writes them as shards and shows one aggregate progress line.

Stopping: on SIGINT or SIGTERM the workers are stopped (see the runner);
every finished game is written, the server stopped, the summary written, and
the run exits with 130 (SIGINT) or 143 (SIGTERM). A worker that dies is
reported with the games it was playing; the others go on, and the run exits
with 1. A signal counts whenever it arrives before the summary is composed,
even while the last shards are written.

Faults: the options are checked before anything starts (exit 2); --out is
locked for the run, so a second run into it meanwhile is refused (exit 2);
a shard that cannot be written stops the run, and the games it held and
those finished after it are counted as not written (exit 1); a worker
whose main process is gone exits.
"""

import argparse
import os
import sys
import time

from velmar.common.settings import I32_MAX
from velmar.game import data
from velmar.runner import runner
from velmar.runner.worker import GameFailure
from velmar.selfplay import cluster_run, report
from velmar.selfplay.options import PlayError, add_arguments, run_options
from velmar.selfplay.outdir import lock_out_dir


class SelfPlayJob:
    """What a self-play game is: one call of the module, its record turned
    into training rows (with playout caps, the module's fourth list says
    which tiles had a full search: the rows' ``full_search``)."""

    def __init__(self, search, first_game):
        self.search = search
        self.config = search.config()
        self.call_options = search.call_options()
        self.first_game = first_game
        self.module = None

    def prepare(self):
        try:
            import velmar_self_play
        except ImportError as e:
            return "cannot import velmar_self_play: %s" % e
        self.module = velmar_self_play
        return None

    def play(self, game, channel, client, stats):
        t0 = time.perf_counter()
        c0 = time.thread_time()
        history, policies, payoffs, *caps = self.module.generate_game_data(
            channel, self.config, client, client, **self.call_options)
        stats["seconds"] = time.perf_counter() - t0
        stats["cpu"] = time.thread_time() - c0
        t1 = time.perf_counter()
        full = caps[0] if caps else None  # with playout caps: which tiles had a full search
        if full is not None:
            stats["full_search_tiles"] = sum(map(bool, full))
        try:
            rows = data.game_rows(self.first_game + game, history, policies, payoffs,
                                  full_search=full)
        except Exception as e:
            raise GameFailure("bad game record: %s: %s" % (type(e).__name__, e)) from None
        stats["rows_seconds"] = time.perf_counter() - t1
        return rows


class Run(runner.RunState):
    def __init__(self, args, search):
        super().__init__()
        self.args = args
        self.search = search
        self.games = {}       # game index -> rows, not yet written
        self.finished = []    # report.FinishedGame records
        self.shards = []
        self.write_error = None
        self.first_game = 0
        self.next_shard = 0
        self.tty = sys.stderr.isatty()
        self.last_line = 0.0

    def shard_due(self, final=False):
        if self.write_error:
            return False
        return self.games and (final or len(self.games) >= self.args.shard_games)


def run(args):
    if getattr(args, "cluster", None):
        return cluster_run.run(args)
    problem = runner.import_problem()
    if not problem:
        try:
            search, server, evaluator = run_options(args)
        except PlayError as e:
            problem = str(e)
    if not problem:
        workers, _ = runner.plan_workers(args.games, args.workers, 1)
        threads = args.threads or runner.default_threads([evaluator], workers, server.max_batch)
        workers, threads = runner.plan_workers(args.games, workers, threads)
        problem = runner.workers_problem(workers, threads)
    if problem:
        print("play: %s" % problem, file=sys.stderr)
        return 2
    st = Run(args, search)
    with runner.signals_recorded(st):
        try:
            lock_fd = lock_out_dir(args.out)
        except PlayError as e:
            print("play: %s" % e, file=sys.stderr)
            return 2
        try:
            plan = runner.RunPlan(SelfPlayJob(search, 0), args.games, workers, threads,
                                  str(evaluator), server, seed=args.seed,
                                  inherited_fds=(lock_fd,))
            return _run_locked(st, plan)
        finally:
            os.close(lock_fd)


def _run_locked(st, plan):
    args = st.args
    try:
        try:
            next_shard, first_game = data.next_indices(args.out)
        except data.ShardError as e:
            raise PlayError("--out holds a shard this run cannot append to: %s" % e) from None
        if first_game + args.games - 1 > I32_MAX:
            raise PlayError("--out already holds games up to %d: %d more would pass the "
                            "largest game index, %d" % (first_game - 1, args.games, I32_MAX))
    except PlayError as e:
        print("play: %s" % e, file=sys.stderr)
        return 2
    st.first_game = plan.first_game = plan.job.first_game = first_game
    st.next_shard = next_shard
    try:
        status = runner.Runner(plan, st, lambda g, rows, stats: _on_game(st, g, rows, stats),
                               lambda final: _progress(st, final)).run()
    except runner.RunnerError as e:
        print("play: %s" % e, file=sys.stderr)
        return 2
    while st.shard_due(final=True):
        _write_shard(st, next_shard + len(st.shards))
    summary = report.summary(st, plan.workers, status)
    st.ended = True
    written = report.write_summary(st, summary)
    report.print_summary(summary, args, written)
    if not written and summary["exit_status"] == 0:
        return 1
    return summary["exit_status"]


def _on_game(st, game, rows, stats):
    """A finished game: kept until its shard is written."""
    st.games[game] = rows
    f = report.FinishedGame(game, len(rows["player"]), list(rows["payoff"][:4]),
                            list(rows["scores"]), stats)
    st.finished.append(f)
    if not st.args.quiet and not st.tty:
        print("game %d finished: %d tiles, payoff %s, score %s"
              % (f.game, f.tiles, f.payoffs, f.scores), file=sys.stderr, flush=True)
    while st.shard_due():
        _write_shard(st, st.next_shard + len(st.shards))


def _progress(st, final):
    if st.args.quiet or not st.tty:
        return
    now = time.time()
    if final or now - st.last_line >= 0.5:
        st.last_line = now
        report.progress(st, st.counts, st.workers)
    if final:
        sys.stderr.write("\n")


def _write_shard(st, index):
    """Writes the next shard. A failed write (a full disk, a directory made
    read-only) stops the run: no further shard is tried, the workers are
    stopped, and the games not written are counted in the summary."""
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


def main(argv=None):
    ap = argparse.ArgumentParser(
        prog="python3 -m velmar play",
        description="Self-play games with a batched inference server; writes training-data "
                    "shards and a summary to --out.")
    add_arguments(ap)
    return run(ap.parse_args(argv))
