#!/usr/bin/env python3
"""How far a search's choices can teach a network: searches the positions of
recorded games twice and counts how often the two searches pick the same tile.

usage: scripts/teacher_noise.py --data DIR --player PLAYER [--positions N]
           [--repeats K] [--from-tile T] [--seed S] [--json PATH]

PLAYER is an arena player (``NAME=numpy:W.npz,sims=32,fpu=0.2,gumbel=1,...``).
Each of the two "teachers" is the mean of K searches' policy targets (the
recorded policy with search options, else the visit shares); its pick is the
target's top tile. A network trained on such targets can at best learn their
mean, so where two teachers of the same position disagree, the target's top
tile is chance rather than something to learn. Only positions with two or
more legal tiles, from tile T of their game on, count. Prints one line:
the share of positions where the two teachers agree, where a teacher picks
the prior's top tile, the mean entropy of a single search's target, and,
among the positions where either teacher leaves the prior's top tile, how
often the two agree: the part of the targets that could teach the network
something it does not already play.
"""
import argparse
import dataclasses
import json
import math
import sys

import numpy as np

from velmar import rules
from velmar.arena.players import ArenaError, PlayerSpec
from velmar.game import data
from velmar.serving.factory import make_evaluator


class InProcess:
    """The search's exchange with an evaluator in this process."""

    def __init__(self, evaluator):
        self.evaluator = evaluator
        self.reply = None

    def put(self, request):
        planes = np.asarray(request[1], np.float32).reshape(1, 5, 20, 20)
        logits, values = self.evaluator.evaluate(planes)
        self.reply = ([float(x) for x in np.asarray(logits).reshape(-1)],
                      [float(x) for x in np.asarray(values).reshape(-1)])

    def recv(self):
        return self.reply


def positions(d, n, from_tile, rng):
    """(game, row) of n rows with two or more legal tiles, replayed to the row."""
    moves = {}
    for g, c in zip(d["game"], d["cell"]):
        moves.setdefault(int(g), []).append(int(c))
    legal = d["planes"][:, 4].reshape(len(d["cell"]), -1).sum(1)
    rows = np.flatnonzero((legal >= 2) & (d["tile"] >= from_tile))
    if len(rows) == 0:
        raise SystemExit("teacher_noise: no position with two or more legal tiles")
    for r in rng.choice(rows, size=min(n, len(rows)), replace=False):
        game = rules.Game()
        for c in moves[int(d["game"][r])][:int(d["tile"][r])]:
            game.apply(c)
        yield game, int(r)


def target(game, config, exchange, options):
    """One search's policy target, (cells, shares)."""
    found = rules.search(game, config, exchange, exchange, options=options or {})
    pairs = found["policy"] if isinstance(found, dict) else found
    cells = np.array([c for c, _ in pairs])
    shares = np.array([s for _, s in pairs], np.float64)
    return cells, shares / shares.sum()


def teacher(game, config, exchange, options, repeats):
    """The mean of ``repeats`` searches' targets as a dict, and the first's entropy."""
    mean, entropy = {}, None
    for _ in range(repeats):
        cells, shares = target(game, config, exchange, options)
        if entropy is None:
            entropy = -sum(p * math.log(p) for p in shares if p > 0)
        for c, p in zip(cells, shares):
            mean[int(c)] = mean.get(int(c), 0.0) + p / repeats
    return mean, entropy


def top(mean):
    best = max(mean.values())
    return min(c for c, p in mean.items() if p == best)


def measure(data_dir, player, n, repeats, from_tile, seed):
    evaluator = make_evaluator(player.evaluator, seed=seed)
    exchange = InProcess(evaluator)
    config = dataclasses.replace(player.search, sample_moves=0)  # no opening draw
    d = data.load(data_dir)
    counts = {"positions": 0, "agree": 0, "prior_top": 0, "entropy": 0.0, "left": 0,
              "left_agree": 0}
    for game, r in positions(d, n, from_tile, np.random.default_rng(seed)):
        logits = np.asarray(evaluator.evaluate(d["planes"][r:r + 1].astype(np.float32))[0])
        legal = d["planes"][r, 4].reshape(-1) > 0
        prior_top = int(np.argmax(np.where(legal, logits.reshape(-1), -np.inf)))
        (a, h), (b, _) = (teacher(game, config, exchange, config.options, repeats)
                          for _ in range(2))
        ta, tb = top(a), top(b)
        counts["positions"] += 1
        counts["agree"] += ta == tb
        counts["prior_top"] += ((ta == prior_top) + (tb == prior_top)) / 2
        counts["entropy"] += h
        if ta != prior_top or tb != prior_top:
            counts["left"] += 1
            counts["left_agree"] += ta == tb
    k = counts["positions"]
    return {"player": player.name, "sims": config.sims_per_move, "options": config.options or {},
            "repeats": repeats, "positions": k, "agree": counts["agree"] / k,
            "prior_top": counts["prior_top"] / k, "entropy": counts["entropy"] / k,
            "left": counts["left"] / k,
            "left_agree": counts["left_agree"] / counts["left"] if counts["left"] else None}


def main(argv=None):
    ap = argparse.ArgumentParser(prog="scripts/teacher_noise.py",
                                 description=" ".join(__doc__.split("\n\n")[0].split()))
    ap.add_argument("--data", required=True, help="a directory of shards")
    ap.add_argument("--player", required=True, help="an arena player: NAME=EVALUATOR[,KEY=VALUE]")
    ap.add_argument("--positions", type=int, default=200)
    ap.add_argument("--repeats", type=int, default=1, help="searches averaged per teacher")
    ap.add_argument("--from-tile", type=int, default=8, help="skip the games' first tiles")
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--json", help="also write the figures here")
    a = ap.parse_args(argv)
    if a.positions < 1 or a.repeats < 1:
        ap.error("--positions and --repeats must be at least 1")
    try:
        player = PlayerSpec.parse(a.player)
    except ArenaError as e:
        ap.error(str(e))
    if player.rule:
        ap.error("the player must search (a rule player has no targets)")
    out = measure(a.data, player, a.positions, a.repeats, a.from_tile, a.seed)
    print("%s, %d sims, %d search(es) per teacher, %d positions: two teachers agree %.3f, "
          "a teacher picks the prior's top tile %.3f, target entropy %.3f; "
          "where a teacher leaves the prior's top tile (%.3f of positions) they agree %s"
          % (player.name, out["sims"], out["repeats"], out["positions"], out["agree"],
             out["prior_top"], out["entropy"], out["left"],
             "–" if out["left_agree"] is None else "%.3f" % out["left_agree"]))
    if a.json:
        with open(a.json, "w") as f:
            json.dump(out, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
