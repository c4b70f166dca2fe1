"""``velmar play --cluster``, the client side: submits blocks, collects
them, writes shards and the summary (see ``velmar.selfplay.cluster``)."""

import asyncio
import json
import os
import signal
import sys
import time
import uuid

from velmar.common.files import write_json
from velmar.common.text import fmt_duration
from velmar.game import data
from velmar.selfplay import cluster
from velmar.selfplay.cluster_summary import summary
from velmar.selfplay.options import PlayError, run_options
from velmar.selfplay.outdir import lock_out_dir


def _first_done(wait, flight):
    """The tasks in flight that have ended, waiting up to half a second."""
    try:
        return wait(flight, timeout=0.5, return_when="FIRST_COMPLETED")[0]
    except (TimeoutError, asyncio.TimeoutError):
        return set()


def run(args):
    """``velmar play`` with --cluster: exit status 0, 1, 2, 130 or 143."""
    try:
        search, _, evaluator = run_options(args)
        problem = (cluster.address_problem(args.cluster)
                   or (None if args.block_games >= 1 else "--block-games must be at least 1")
                   or (None if (args.tasks_in_flight or 1) >= 1
                       else "--tasks-in-flight must be at least 1"))
    except PlayError as e:
        problem = str(e)
    if problem:
        print("play: %s" % problem, file=sys.stderr)
        return 2
    try:
        import distributed  # noqa: F401
    except ImportError as e:
        print("play: --cluster needs Dask distributed (python3-distributed, CPython): %s" % e,
              file=sys.stderr)
        return 2
    return ClusterRun(args, search, evaluator).main()


class ClusterRun:
    def __init__(self, args, search, evaluator):
        self.args = args
        self.search = search
        self.evaluator = evaluator
        self.pending = {}        # game index -> rows, not yet written
        self.games = {}          # game index -> (tiles, payoff, scores, machine)
        self.done_blocks = set()
        self.failed = {}         # block -> error text
        self.shards = []
        self.task_seconds = []   # (task wall seconds, seconds in the sub-run)
        self.sub = []            # the sub-runs' summaries
        self.stop_signal = 0
        self.write_error = None
        self.t0 = time.time()

    def main(self):
        a = self.args
        old = {s: signal.signal(s, self._on_signal) for s in (signal.SIGINT, signal.SIGTERM)}
        try:
            lock_fd = lock_out_dir(a.out)
        except PlayError as e:
            print("play: %s" % e, file=sys.stderr)
            for s, h in old.items():
                signal.signal(s, h)
            return 2
        try:
            try:
                self.next_shard, self.first = data.next_indices(a.out)
            except data.ShardError as e:
                print("play: --out holds a shard this run cannot append to: %s" % e,
                      file=sys.stderr)
                return 2
            return self._run()
        finally:
            os.close(lock_fd)
            for s, h in old.items():
                signal.signal(s, h)

    def _on_signal(self, signum, frame):
        if not self.stop_signal:
            self.stop_signal = signum

    def _run(self):
        from distributed import Event, wait
        a = self.args
        try:
            client, local = cluster.connect(a.cluster)
        except (OSError, TimeoutError, ValueError) as e:
            print("play: cannot reach the cluster %s: %s" % (a.cluster, e), file=sys.stderr)
            return 2
        event_name = "velmar-stop-" + uuid.uuid4().hex
        stop_event = Event(event_name, client=client)
        try:
            evaluator = cluster.ship_weights(client, self.evaluator)
            argv = cluster.task_argv(a, self.search, evaluator)
            B = a.block_games
            blocks = list(range((a.games + B - 1) // B))
            threads = sum(client.nthreads().values()) or 1
            limit = a.tasks_in_flight or 2 * threads
            todo = list(reversed(blocks))
            flight = set()
            last_line = 0.0
            tty = sys.stderr.isatty()
            while (todo or flight) and not self.stop_signal and not self.write_error:
                while todo and len(flight) < limit:
                    b = todo.pop()
                    n = min(B, a.games - b * B)
                    flight.add(client.submit(cluster.play_block, b, n, argv, event_name,
                                             key="velmar-block-%s-%d" % (event_name, b),
                                             retries=3, pure=False))
                finished = _first_done(wait, flight)
                for fut in finished:
                    flight.discard(fut)
                    self._collect(fut)
                now = time.time()
                if not a.quiet and tty and now - last_line >= 0.5:
                    last_line = now
                    self._progress(len(flight))
            if flight:
                stop_event.set()
                client.cancel(list(flight))
            while len(self.pending) and not self.write_error:
                self._write_shard()
            if not a.quiet and tty:
                self._progress(0)
                sys.stderr.write("\n")
            result = summary(self, client)
        finally:
            client.close()
            if local is not None:
                local.close()
        write_json(os.path.join(a.out, "summary.json"), result)
        self._print(result)
        return result["exit_status"]

    def _collect(self, fut):
        if fut.status != "finished":
            self.failed[int(fut.key.rsplit("-", 1)[1])] = str(fut.exception())[:300]
            return
        block, shards, sub, machine, seconds = fut.result()
        if block in self.done_blocks:  # a duplicate: its games are written already
            return
        self.done_blocks.add(block)
        sub = json.loads(sub)
        self.sub.append((machine, sub))
        self.task_seconds.append((seconds, sub["seconds"]))
        first = self.first + block * self.args.block_games
        for g, rows in cluster.renumbered_games(shards, first).items():
            self.pending[g] = rows
            self.games[g] = (len(rows["player"]), list(rows["payoff"][:4]),
                             list(rows["scores"]), machine)
        while len(self.pending) >= self.args.shard_games and not self.write_error:
            self._write_shard()

    def _write_shard(self):
        take = sorted(self.pending)[:self.args.shard_games]
        path = data.shard_name(self.args.out, self.next_shard + len(self.shards))
        try:
            rows = data.write_shard(path, [self.pending[g] for g in take])
        except OSError as e:
            self.write_error = "cannot write %s: %s" % (path, e.strerror or e)
            print("play: %s; stopping" % self.write_error, file=sys.stderr, flush=True)
            return
        for g in take:
            del self.pending[g]
        self.shards.append({"path": os.path.basename(path), "games": take, "rows": rows})

    def _progress(self, flight):
        elapsed = max(time.time() - self.t0, 1e-9)
        tiles = sum(v[0] for v in self.games.values())
        n = len(self.games)
        left = (self.args.games - n) * elapsed / n if n else None
        line = ("games %d/%d | %d tasks running | %.1f tiles/s | %s left"
                % (n, self.args.games, flight, tiles / elapsed, fmt_duration(left)))
        if self.stop_signal:
            line += " | stopping"
        sys.stderr.write("\r" + line.ljust(78))
        sys.stderr.flush()

    def _print(self, s):
        print("played %d of %d games (%d tiles) in %.0f s on %d machine(s): %.1f games/h"
              % (s["games_finished"], s["games_requested"], s["tiles"], s["seconds"],
                 len(s["per_machine"]), s["games_per_hour"]))
        for m, n in sorted(s["per_machine"].items()):
            print("  %s: %d games" % (m, n))
        for e in s["errors"]:
            print("error: %s" % e)
        if s["interrupted_by"]:
            print("interrupted by %s" % s["interrupted_by"])
        print("data: %d shard(s) in %s" % (len(s["shards"]), self.args.out))
