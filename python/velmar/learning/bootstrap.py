"""``python3 -m velmar greedy-data``: training shards from games of four
greedy players, the data a fresh network first learns placements from, or
(``--rule rollout[:K]``) of four players of the rollout rule
(``velmar.game.rollout``), which look past the greedy rule's choice.

    python3 -m velmar greedy-data --games 4000 --out data/greedy --workers 2 --seed 1

Every game starts from a random opening (each seat's first
``--opening-pieces`` pieces drawn among its complete placements of five
squares, as the ladder draws them), then four players of the rule
(``velmar.game.rule_players.rule_player``, ties broken at random from the
game's seed) play it out. Each game becomes rows through
``velmar.game.records.game_rows``, which replays it with the rules: the
policy target is the tile taken (one-hot; the opening's random tiles are
marked ``full_search`` False, so they train the value only), the payoffs
the outcome. The
shards (``--games-per-shard`` games each) are written into ``--out`` after
the shards already there, game indices continuing theirs, so a second run
adds games.
"""

import argparse
import multiprocessing
import os
import random
import sys
import time

from velmar.game import data, records
from velmar.game.rule_players import GREEDY, check_rule, rule_player
from velmar.ratings.games import play_opening


def greedy_game(seed, opening_pieces=1, rule=GREEDY):
    """One game of four players of ``rule`` (greedy, rollout[:K]): (history
    as (seat, cell) pairs, payoffs in seat order, opening tiles)."""
    from velmar import rules
    game = rules.Game()
    rng = random.Random("greedy-data:%d" % seed)
    n_open = play_opening(game, opening_pieces, rng) if opening_pieces else 0
    player = rule_player(rule, rng.randrange(2 ** 62))  # one rule for all four seats
    while not game.is_over:
        game.apply(player.choose(game))
    history = [(int(p), int(c)) for p, c in game.history]
    return history, [float(x) for x in game.get_payoff()], n_open


def move_values(history, playouts, seed):
    """Each tile's value target: the mean payoffs of ``playouts`` greedy
    games from the position right after its move (the piece completed), the
    same for every tile of the move."""
    from velmar import rules
    from velmar.game.rollout import mean_playout
    game = rules.Game()
    rng = random.Random("values:%d" % seed)
    out, pending = [], 0
    for p, c in history:
        held = len(game.pieces[p])
        game.apply(c)
        pending += 1
        if len(game.pieces[p]) < held or game.is_over:
            out.extend([mean_playout(game, playouts, rng)] * pending)
            pending = 0
    if pending:
        raise records.RecordError("the last %d tiles complete no piece" % pending)
    return out


def _game_rows(args):
    index, seed, opening_pieces, rule, playouts = args
    history, payoffs, n_open = greedy_game(seed, opening_pieces, rule)
    values = move_values(history, playouts, seed) if playouts else None
    # the opening's random tiles teach the value, not the policy
    return records.game_rows(index, history, [[(c, 1.0)] for _, c in history], payoffs,
                             full_search=[i >= n_open for i in range(len(history))],
                             values=values)


def write_greedy_data(out_dir, games, workers=1, seed=0, opening_pieces=1, per_shard=100,
                      progress=None, rule=GREEDY, value_playouts=0):
    """Plays ``games`` greedy games and writes them as shards into
    ``out_dir`` after those already there (value targets from
    ``value_playouts`` greedy games per move when not 0). Returns (games,
    rows) written."""
    os.makedirs(out_dir, exist_ok=True)
    shard, first = data.next_indices(out_dir)
    jobs = [(first + k, seed * 1_000_003 + first + k, opening_pieces, rule, value_playouts)
            for k in range(games)]
    pending, rows, done = [], 0, 0

    def flush():
        nonlocal shard, rows, pending
        if pending:
            rows += data.write_shard(data.shard_name(out_dir, shard), pending)
            shard += 1
            pending = []

    pool = None
    if workers > 1:
        pool = multiprocessing.get_context("fork").Pool(workers)
        cheap = rule == GREEDY and not value_playouts
        results = pool.imap(_game_rows, jobs, chunksize=4 if cheap else 1)
    else:
        results = map(_game_rows, jobs)
    try:
        for game in results:
            pending.append(game)
            done += 1
            if len(pending) >= per_shard:
                flush()
            if progress:
                progress(done, rows)
        flush()
    finally:
        if pool is not None:
            pool.terminate()
            pool.join()
    return done, rows


def main(argv=None):
    ap = argparse.ArgumentParser(prog="python3 -m velmar greedy-data",
                                 description="Write training shards of games of four greedy "
                                             "players (policy: the tile taken).")
    ap.add_argument("--games", type=int, required=True)
    ap.add_argument("--out", required=True, help="shard directory (games are added after any "
                                                 "already there)")
    ap.add_argument("--workers", type=int, default=1)
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--opening-pieces", type=int, default=1,
                    help="random pieces per seat before the players take over (default 1)")
    ap.add_argument("--games-per-shard", type=int, default=100)
    ap.add_argument("--rule", default=GREEDY,
                    help="the players: greedy (default), or rollout[:K], the K best greedy "
                         "placements judged by a greedy playout each (K 4 unless given)")
    ap.add_argument("--value-playouts", type=int, default=0, metavar="N",
                    help="value targets: the mean payoffs of N greedy games from the position "
                         "after each move, not the game's outcome (default 0: the outcome)")
    args = ap.parse_args(argv)
    try:
        check_rule(args.rule)
    except ValueError as e:
        ap.error(str(e))
    if args.games < 1 or args.workers < 1 or args.opening_pieces < 0 \
            or args.games_per_shard < 1 or args.value_playouts < 0:
        ap.error("--games, --workers and --games-per-shard must be >= 1, "
                 "--opening-pieces and --value-playouts >= 0")
    t0 = time.time()
    step = max(1, args.games // 10)

    def progress(n, rows):
        if n % step == 0 or n == args.games:
            sys.stderr.write("greedy-data: %d/%d games, %.1f games/s\n"
                             % (n, args.games, n / max(time.time() - t0, 1e-9)))
    try:
        games, rows = write_greedy_data(args.out, args.games, args.workers, args.seed,
                                        args.opening_pieces, args.games_per_shard, progress,
                                        args.rule, args.value_playouts)
    except KeyboardInterrupt:
        sys.stderr.write("greedy-data: interrupted (finished shards kept)\n")
        return 130
    print("greedy-data: %d games, %d rows in %s (%.1f s)"
          % (games, rows, args.out, time.time() - t0))
    return 0
