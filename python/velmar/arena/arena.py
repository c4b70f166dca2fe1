"""``python3 -m velmar arena``: matches between players, each an evaluator
with its own search settings.

Seating. With two players the first is the candidate and the second the
baseline: each game seats the candidate in one seat and the baseline in the
other three, the candidate's seat rotating 0, 1, 2, 3, so every seat gets the
same number of games (the game count must be a multiple of 4). With three or
four players the games cycle through every seating in which each player
holds at least one seat and no player two more than another (36 seatings
for three players, the 24 orders for four); with more, through every choice
of four players in order. Either way each player sits in each seat equally
often once the game count is a multiple of the rotation's length.

Every tile is chosen by the mover's own search (``velmar.rules.search``
with the mover's evaluator and settings; a tile that is the only legal one
is taken without a search): the most visited tile, ties broken at random,
except in the first ``sample_tiles`` tiles of a game, which are drawn in
proportion to visits so that games differ. Root noise follows each
player's ``dirichlet_alpha`` and ``exploration_fraction`` (off unless
given: an arena measures strength, not exploration).

Games run in the game runner's worker processes (``velmar.runner.runner``;
T game threads each with ``--threads``) against one batched inference server
that hosts every player's evaluator; a request's route is the index of the
player whose search sends it. Players whose evaluator specifications are the
same string share one evaluator in the server.

A player's win share is its payoffs summed over its games divided by its
games (a shared first place shares the payoff, as the payoffs do), with a
95 % Wilson score interval (a payoff total in [0, 1] has a variance of at
most p(1 - p), so the interval is conservative when first places are
shared). Its par share is what equal players would win: a quarter per seat
it holds (1/4 for a candidate against three baseline copies, 3/4 for those
copies together).

Python: ``run_arena([PlayerSpec.parse("big=heuristic,sims=128"), ...], games=200)``
returns an ``ArenaResult`` (``velmar.arena.results``: the records, the tally,
the JSON file, the chart and the printed table).
"""

import argparse
import os
import random
import sys
import time
from typing import List, Optional

from velmar.arena.players import (DEFAULT_SAMPLE_TILES, ArenaError, MatchJob, PlayerSpec,
                                  seatings)
from velmar.arena.results import ArenaResult, GameRecord, chart, report, tally, to_json
from velmar.common.files import write_json
from velmar.common.text import fmt_duration
from velmar.common.settings import (EVALUATOR_HELP, MAX_BATCH, SERVER_FLAGS, ServerOptions,
                                    SettingsError, add_server_arguments)
from velmar.runner import runner

__all__ = ["ArenaError", "PlayerSpec", "run_arena", "main"]


def _check(players, games, workers, threads, sample_tiles):
    if len(players) < 2:
        raise ArenaError("an arena needs at least two players (--player NAME=EVALUATOR,...)")
    names = [p.name for p in players]
    if len(set(names)) != len(names):
        raise ArenaError("player names must differ: %s" % ", ".join(names))
    for p in players:
        p.check()
    rotation = seatings(len(players))
    if games < 1 or games % len(rotation):
        raise ArenaError("--games must be a positive multiple of %d, the length of the seating "
                         "rotation for %d players, so every seat gets the same number of games"
                         % (len(rotation), len(players)))
    if workers < 1 or sample_tiles < 0:
        raise ArenaError("--workers must be >= 1 and --sample-tiles >= 0")
    if not 1 <= threads <= MAX_BATCH:
        raise ArenaError("--threads must be an integer from 1 to %d, not %s" % (MAX_BATCH, threads))
    return rotation


def server_evaluators(players):
    """Route (player index) -> evaluator of the players that search; a
    field of rule players only still has a server, which nobody asks."""
    routes = {i: p.evaluator for i, p in enumerate(players) if not p.rule}
    return routes or {0: "uniform"}


class _Run(runner.RunState):
    def __init__(self, players, games, rotation, progress):
        super().__init__()
        self.players = players
        self.games_requested = games
        self.rotation = rotation
        self.progress = progress
        self.finished = {}
        self.last_line = 0.0
        self.reported = 0        # tenths of the games reported (not a terminal)
        self.reported_games = 0
        self.tty = sys.stderr.isatty()

    def record(self, g, result, stats):
        tiles, payoffs, scores = result
        names = [self.players[p].name for p in self.rotation[g % len(self.rotation)]]
        self.finished[g] = GameRecord(g, names, [list(t) for t in tiles], payoffs, scores,
                                      round(stats["seconds"], 3))


def run_arena(players: List[PlayerSpec], games: int, workers: int = 2,
              out_dir: Optional[str] = os.path.join("out", "arena"),
              sample_tiles: int = DEFAULT_SAMPLE_TILES, seed: Optional[int] = None,
              max_batch: int = 64, batch_wait_ms: Optional[float] = None,
              server_python: Optional[str] = None, device: Optional[str] = None,
              progress: bool = False, threads: int = 1) -> ArenaResult:
    """Plays ``games`` games between ``players`` and returns the results.

    Writes ``arena.json`` (every game and the totals) and ``arena.png`` (the
    win shares with their intervals and the par shares) into ``out_dir``
    unless it is None. Raises ``ArenaError`` for bad arguments or a server
    that cannot start. SIGINT and SIGTERM (when called from the main thread)
    stop the workers; what finished is still tallied and written, and the
    result says ``interrupted_by`` (``exit_status`` 130 or 143); a worker that
    fails makes ``exit_status`` 1. Check ``result.complete``.
    """
    players = list(players)
    rotation = _check(players, games, workers, threads, sample_tiles)
    try:
        server = ServerOptions(max_batch, batch_wait_ms, device, server_python)
        job = MatchJob(players, rotation, sample_tiles, 0)
    except SettingsError as e:
        raise ArenaError(e.named(dict(SERVER_FLAGS, sample_moves="--sample-tiles"))) from None
    problem = runner.import_problem()
    if problem:
        raise ArenaError(problem)
    from velmar import rules
    if not hasattr(rules, "search"):
        raise ArenaError("this build of velmar.rules has no search(); rebuild it")
    if seed is None:
        seed = random.SystemRandom().randrange(2 ** 31)
    job.seed = seed
    workers, threads = runner.plan_workers(games, workers, threads)
    problem = runner.workers_problem(workers, threads)
    if problem:
        raise ArenaError(problem)
    if out_dir is not None:
        os.makedirs(out_dir, exist_ok=True)
    st = _Run(players, games, rotation, progress)
    plan = runner.RunPlan(job, games, workers, threads,
                          server_evaluators(players), server,
                          name="velmar-arena")
    with runner.signals_recorded(st):
        try:
            status = runner.Runner(plan, st, st.record, lambda final: _progress(st, final)).run()
        except runner.RunnerError as e:
            raise ArenaError(str(e)) from None
    result = _result(st, seed, sample_tiles, status)
    if out_dir is not None:
        result.json_path = os.path.join(out_dir, "arena.json")
        result.png_path = chart(result, os.path.join(out_dir, "arena.png"))
        write_json(result.json_path, to_json(result, players, st.server_info), indent=1)
    return result


def _progress(st, final=False):
    if not st.progress:
        return
    now = time.time()
    n = len(st.finished)
    tenth = 10 * n // max(1, st.games_requested)
    if st.tty:  # one line, redrawn in place
        due = final or now - st.last_line >= 0.5
    else:  # not a terminal: a line at every tenth of the games, and the last one
        due = tenth > st.reported or (final and n != st.reported_games)
    if not due:
        return
    share = ""
    if n:
        first = tally(st.players[:1], list(st.finished.values()))[0]
        share = " | %s %.3f [%.3f, %.3f], par %.3f" % (first.name, first.win_share, first.low,
                                                       first.high, first.par)
    elapsed = max(now - st.t0, 1e-9)
    left = (st.games_requested - n) * elapsed / n if n else None
    line = "arena: %d/%d games%s | %.1f games/min | %s left" % (
        n, st.games_requested, share, 60.0 * n / elapsed, fmt_duration(left))
    if st.stopping:
        line += " | stopping"
    if st.tty:
        st.last_line = now
        sys.stderr.write("\r" + line.ljust(79) + ("\n" if final else ""))
    else:
        st.reported, st.reported_games = tenth, n
        sys.stderr.write(line + "\n")
    sys.stderr.flush()


def _result(st, seed, sample_tiles, status):
    games = [st.finished[g] for g in sorted(st.finished)]
    kind = "candidate" if len(st.players) == 2 else "rotation"
    return ArenaResult(players=tally(st.players, games), games=games,
                       games_requested=st.games_requested, seating=kind,
                       sample_tiles=sample_tiles, seed=seed,
                       seconds=round(time.time() - st.t0, 3),
                       lost=[{"game": g, "reason": r} for g, r in sorted(st.lost)],
                       errors=st.errors, interrupted_by=st.interrupted_by(),
                       exit_status=st.exit_status(status), server=st.server_stats)


def main(argv=None):
    ap = argparse.ArgumentParser(
        prog="python3 -m velmar arena",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Matches between players, each an evaluator with its own search settings; "
                    "win shares with 95 % intervals.",
        epilog="Seating: with two players the first is the candidate and the second the "
               "baseline; each game seats\nthe candidate in one seat and three copies of the "
               "baseline in the others, the candidate's seat\nrotating so every seat gets the "
               "same number of games (--games a multiple of 4). With three or\nfour players "
               "the games cycle through every seating in which each player holds at least "
               "one\nseat and none two more than another (36 for three, 24 for four); with "
               "more, every choice of\nfour players in order. Every tile is chosen by the "
               "mover's own search (a greedy player's by its rule): the most visited\n"
               "tile, ties at random, drawn in "
               "proportion to visits in the first --sample-tiles tiles.\n\n"
               "Exit status: 0 all went well; 130/143 stopped by SIGINT/SIGTERM (what "
               "finished is written);\n1 a worker failed; 2 bad options or an evaluator "
               "that could not start.")
    ap.add_argument("--player", action="append", default=[], metavar="NAME=EVALUATOR[,KEY=V]",
                    help="a player: a name, an evaluator (" + EVALUATOR_HELP + "; or greedy: "
                         "the greedy rule, no search, no settings; or rollout[:K]: the greedy "
                         "rule's K best placements (4) judged by a greedy playout each; or "
                         "best[:PATH]: the shipped "
                         "network with the search settings its file records) and search "
                         "settings sims=N (default 64), c_base, c_init, noise (exploration "
                         "fraction, default 0: no root noise), alpha (Dirichlet, default 0.3), "
                         "and the search options fpu=X, canonical=1, reuse=1, skip=1, gumbel=1, "
                         "gumbel_m=M, rollout=W; repeat for each player, the candidate first")
    ap.add_argument("--games", type=int, default=100,
                    help="games to play (default %(default)s)")
    ap.add_argument("--workers", type=int, default=os.cpu_count() or 1,
                    help="worker processes (default: the number of cores, %(default)s)")
    ap.add_argument("--threads", type=int, default=1,
                    help="games each worker plays at once, one per thread (default %(default)s; "
                         "more fill the server's batches for a network evaluator)")
    ap.add_argument("--sample-tiles", "--sample-moves", dest="sample_tiles", type=int,
                    default=DEFAULT_SAMPLE_TILES,
                    help="the first this many tiles of a game are drawn in proportion to "
                         "visits, so that games differ (default %(default)s)")
    ap.add_argument("--seed", type=int, default=None,
                    help="seed of the tile draws and tie breaks (default: a random one, "
                         "recorded in the JSON)")
    ap.add_argument("--out", default=os.path.join("out", "arena"),
                    help="directory for arena.json and arena.png (default %(default)s)")
    add_server_arguments(ap)
    ap.add_argument("--quiet", action="store_true", help="no progress line")
    args = ap.parse_args(argv)
    try:
        players = [PlayerSpec.parse(text) for text in args.player]
        result = run_arena(players, args.games, workers=args.workers, out_dir=args.out,
                           sample_tiles=args.sample_tiles, seed=args.seed,
                           max_batch=args.max_batch, batch_wait_ms=args.batch_wait_ms,
                           server_python=args.server_python, device=args.device,
                           progress=not args.quiet, threads=args.threads)
    except ArenaError as e:
        print("arena: %s" % e, file=sys.stderr)
        return 2
    report(result)
    return result.exit_status
