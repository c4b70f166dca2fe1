#!/usr/bin/env python3
"""The search options in the arena: one candidate seat against three plain ones.

Plays four-player games in this process pool with ``velmar.rules.search``:
the seat ``g % 4`` of game g is the candidate (its search runs with
``--options``), the three others search with the same evaluator and
simulations and no options. Every position is evaluated at once, in-process,
by the heuristic evaluator (``velmar.serving.heuristic``). As in the arena, a tile
with a single legal cell is taken without a search, and the first
``--sample-tiles`` tiles of a game are drawn in proportion to visits.

Reports the candidate's win share (a tie splits as the payoff splits) with a
95% Wilson interval, against par 0.25, and the tiles per second of the
candidate's and of the plain seats' searches. A benchmark: it never fails on
a figure.

    PYTHONPATH=build/python:python /usr/bin/python3 bench/search_options_arena.py \\
        --options '{"fpu_reduction": 0.2}' --sims 16 --games 400 --procs 2
"""

import argparse
import json
import math
import multiprocessing
import os
import random
import sys
import time

PAR = 0.25
CELLS = 400


class HeuristicServer:
    """``put``/``recv`` answered synchronously by the heuristic evaluator."""

    def __init__(self):
        import numpy as np
        from velmar.serving.heuristic import HeuristicEvaluator
        self.np = np
        self.evaluator = HeuristicEvaluator()
        self.logits = [0.0] * CELLS
        self.reply = None
        self.requests = 0

    def put(self, request):
        self.requests += 1
        planes = self.np.asarray(request[1], dtype=self.np.float32)[None]
        _, values = self.evaluator.evaluate(planes)
        self.reply = (self.logits, [float(v) for v in values[0]])

    def recv(self):
        return self.reply


def config(sims, sample_tiles):
    from types import SimpleNamespace
    return SimpleNamespace(sims_per_move=sims, sample_moves=sample_tiles, c_base=19652.0,
                           c_init=1.25, dirichlet_alpha=0.3, exploration_fraction=0.0)


def play(game_index, args):
    """One game: (candidate's payoff, candidate (tiles, seconds), plain (tiles, seconds))."""
    from velmar import rules
    from velmar.arena.players import choose_tile
    rng = random.Random("%d:%d" % (args.seed, game_index))
    cand_seat = game_index % 4
    cfg = config(args.sims, args.sample_tiles)
    server = HeuristicServer()
    game = rules.Game()
    clock = {True: [0, 0.0], False: [0, 0.0]}
    while not game.is_over:
        seat = game.current_player()
        legal = game.legal_tiles()
        if len(legal) == 1:
            game.apply(legal[0])
            continue
        mine = seat == cand_seat
        t0 = time.perf_counter()
        if mine:
            tile = rules.search(game, cfg, server, server, id=seat, options=args.options)["tile"]
        else:
            visits = rules.search(game, cfg, server, server, id=seat)
            tile = choose_tile(visits, rng, len(game.history) < args.sample_tiles)
        clock[mine][0] += 1
        clock[mine][1] += time.perf_counter() - t0
        game.apply(tile)
    return game.get_payoff()[cand_seat], clock[True], clock[False]


def wilson(p, n, z=1.96):
    if n == 0:
        return 0.0, 1.0
    centre = (p + z * z / (2 * n)) / (1 + z * z / n)
    half = z * math.sqrt(p * (1 - p) / n + z * z / (4 * n * n)) / (1 + z * z / n)
    return centre - half, centre + half


def _worker(job):
    indices, args = job
    return [play(g, args) for g in indices]


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--options", type=json.loads, default={},
                    help="the candidate's options as JSON, e.g. '{\"gumbel\": true}'")
    ap.add_argument("--label", default=None, help="the name of the row (default: the options)")
    ap.add_argument("--sims", type=int, default=16)
    ap.add_argument("--games", type=int, default=400)
    ap.add_argument("--procs", type=int, default=2)
    ap.add_argument("--sample-tiles", type=int, default=8)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--json", help="append the result as one JSON line to this file")
    args = ap.parse_args(argv)
    chunks = [list(range(k, args.games, args.procs)) for k in range(args.procs)]
    t0 = time.time()
    with multiprocessing.Pool(args.procs) as pool:
        results = [r for part in pool.map(_worker, [(c, args) for c in chunks]) for r in part]
    wall = time.time() - t0
    n = len(results)
    share = sum(r[0] for r in results) / n
    lo, hi = wilson(share, n)
    cand_tiles = sum(r[1][0] for r in results)
    cand_s = sum(r[1][1] for r in results)
    plain_tiles = sum(r[2][0] for r in results)
    plain_s = sum(r[2][1] for r in results)
    row = {"label": args.label or json.dumps(args.options, sort_keys=True), "sims": args.sims,
           "games": n, "share": round(share, 4), "low": round(lo, 4), "high": round(hi, 4),
           "par": PAR, "cand_tiles_per_s": round(cand_tiles / cand_s, 1),
           "plain_tiles_per_s": round(plain_tiles / plain_s, 1), "wall_s": round(wall, 1),
           "load": os.getloadavg()[0]}
    print("%-50s sims %3d  games %4d  share %.3f [%.3f, %.3f] (par %.2f)  tiles/s %.1f "
          "(plain %.1f)" % (row["label"], args.sims, n, share, lo, hi, PAR,
                            row["cand_tiles_per_s"], row["plain_tiles_per_s"]))
    if args.json:
        with open(args.json, "a") as f:
            f.write(json.dumps(row) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
