"""``python3 -m velmar ladder``: a fixed field of players in seat-balanced
four-player games, rated together.

    python3 -m velmar ladder --player greedy=greedy --player u=uniform,sims=16 \\
        --player h=heuristic,sims=16 --player best=best --games 192 --out out/ladder

Every game runs in this process or a worker process, each search with its
evaluator in-process (no server). The seating design and the paired
openings are described in ``velmar.ratings.games``, the rating model in
``velmar.ratings.fit``. Writes ``ladder.json`` (the players, the ratings
with their bootstrap intervals, the seat terms, the win shares and margins,
every game) and ``ladder.png`` into ``--out`` and prints a table.

Python: ``run_ladder([LadderPlayer.parse("g=greedy"), ...], games=48)``.
"""

from __future__ import annotations

import argparse
import dataclasses
import os
import random
import sys
import time
from dataclasses import dataclass
from typing import List, Optional

from velmar.common.charts import pyplot, save_png
from velmar.common.files import write_json
from velmar.arena.results import wilson_interval
from velmar.ratings.fit import ELO, Fit, Standing, fit_ratings, standings
from velmar.ratings.games import (LadderGame, block_size, check_players, play_games,
                                  progress_printer)
from velmar.ratings.players import LadderError, LadderPlayer

BOOTSTRAP = 200


@dataclass
class LadderResult:
    players: List[LadderPlayer]
    games: List[LadderGame]
    games_requested: int
    fit: Fit
    standings: List[Standing]
    seed: int
    workers: int
    opening_pieces: int
    seconds: float
    json_path: Optional[str] = None
    png_path: Optional[str] = None

    @property
    def complete(self):
        return len(self.games) == self.games_requested


def default_anchor(players):
    """The first player searching with the uniform evaluator, else None
    (the field's mean is 0)."""
    for p in players:
        if p.kind == "search" and p.search.evaluator == "uniform":
            return p.name
    return None


def run_ladder(players: List[LadderPlayer], games: int, workers: int = 1,
               out_dir: Optional[str] = None, seed: Optional[int] = None,
               opening_pieces: int = 1, anchor: Optional[str] = "default",
               bootstrap: int = BOOTSTRAP, progress: bool = False) -> LadderResult:
    """Plays the games, fits the ratings, writes the JSON and the chart
    into ``out_dir`` (unless None). ``anchor``: a player's name, None for
    the field's mean, or "default" (``default_anchor``)."""
    players = list(players)
    if len(players) < 2:
        raise LadderError("a ladder needs at least two players (--player NAME=SPEC)")
    size = block_size(len(players))
    if games < 1 or games % size:
        raise LadderError("--games must be a positive multiple of %d, the games of one "
                          "seat-balanced block for %d players" % (size, len(players)))
    if workers < 1 or opening_pieces < 0 or bootstrap < 0:
        raise LadderError("--workers must be >= 1, --opening-pieces and --bootstrap >= 0")
    if anchor == "default":
        anchor = default_anchor(players)
    if anchor is not None and anchor not in [p.name for p in players]:
        raise LadderError("--anchor %r is not a player" % anchor)
    check_players(players)
    if seed is None:
        seed = random.SystemRandom().randrange(2 ** 31)
    t0 = time.time()
    done = play_games(players, games, workers=min(workers, games), seed=seed,
                      opening_pieces=opening_pieces,
                      progress=progress_printer(games) if progress else None)
    names = [p.name for p in players]
    result = LadderResult(players, done, games, fit_ratings(names, done, anchor, bootstrap, seed),
                          standings(names, done), seed, workers, opening_pieces,
                          round(time.time() - t0, 3))
    if out_dir is not None:
        os.makedirs(out_dir, exist_ok=True)
        result.json_path = os.path.join(out_dir, "ladder.json")
        write_json(result.json_path, to_json(result), indent=1)
        result.png_path = chart(result, os.path.join(out_dir, "ladder.png"))
    return result


def _num(x, digits=3):
    if x is None:
        return None
    return round(float(x), digits)


def to_json(result: LadderResult):
    f = result.fit
    players = []
    for i, (p, st) in enumerate(zip(result.players, result.standings)):
        entry = p.to_json()
        entry["rating"] = _num(f.ratings[i], 1)
        entry["rating_interval"] = ([_num(f.low[i], 1), _num(f.high[i], 1)]
                                    if f.low is not None else None)
        entry.update({k: (_num(v, 4) if isinstance(v, float) else v)
                      for k, v in dataclasses.asdict(st).items() if k != "name"})
        entry["per_seat"] = [_num(x, 4) for x in st.per_seat]
        players.append(entry)
    return {
        "players": players,
        "model": {"kind": "Bradley-Terry on the six pairwise results per game (ties 1/2), "
                          "with a seat term; bootstrap over games",
                  "scale": "Elo: %.3f points per logit" % ELO,
                  "anchor": f.anchor or "field mean", "pairs": f.pairs,
                  "bootstrap": f.bootstrap,
                  "seat_terms": [_num(x, 1) for x in f.seat_terms],
                  "seat_intervals": ([[_num(a, 1), _num(b, 1)]
                                      for a, b in zip(f.seat_low, f.seat_high)]
                                     if f.seat_low is not None else None)},
        "games_requested": result.games_requested, "games_finished": len(result.games),
        "seed": result.seed, "workers": result.workers,
        "opening_pieces": result.opening_pieces, "seconds": result.seconds,
        "games": [dataclasses.asdict(g) for g in result.games],
    }


def chart(result: LadderResult, path):
    """Ratings with their intervals beside the win shares; the path, or None
    without matplotlib or games."""
    if not result.games:
        return None
    plt = pyplot()
    if plt is None:
        return None
    f, ps = result.fit, result.players
    order = sorted(range(len(ps)), key=lambda i: f.ratings[i])
    fig, (ax, bx) = plt.subplots(1, 2, figsize=(10, 1.2 + 0.5 * len(ps)), dpi=100)
    ys = list(range(len(order)))
    r = [f.ratings[i] for i in order]
    err = None
    if f.low is not None:
        err = [[max(0.0, f.ratings[i] - f.low[i]) for i in order],
               [max(0.0, f.high[i] - f.ratings[i]) for i in order]]
    ax.errorbar(r, ys, xerr=err, fmt="o", color="#2c5d9e", capsize=4)
    ax.set_yticks(ys)
    ax.set_yticklabels([ps[i].name for i in order])
    ax.axvline(0, color="#999999", lw=0.8)
    ax.set_xlabel("rating (Elo scale, %s at 0), 95 %% bootstrap interval"
                  % (f.anchor or "field mean"), fontsize=8)
    st = [result.standings[i] for i in order]
    shares = [s.win_share or 0.0 for s in st]
    serr = [[max(0.0, s.win_share - s.low) for s in st],
            [max(0.0, s.high - s.win_share) for s in st]]
    bx.barh(ys, shares, xerr=serr, color="#5b8fd1", capsize=4)
    for y, s in zip(ys, st):
        bx.vlines(s.par, y - 0.4, y + 0.4, colors="#c0392b", linestyles="dashed")
    bx.set_yticks(ys)
    bx.set_yticklabels([])
    bx.set_xlim(0, 1)
    bx.set_xlabel("win share (95 % Wilson interval; dashed: par)", fontsize=8)
    fig.suptitle("ladder: %d games" % len(result.games), fontsize=10)
    fig.tight_layout()
    return save_png(plt, fig, path)


def table(result: LadderResult) -> str:
    """The printed table, best rated first."""
    f = result.fit
    lines = ["ladder: %d of %d games, seed %d, %.0f s; ratings on the Elo scale, %s at 0"
             % (len(result.games), result.games_requested, result.seed, result.seconds,
                f.anchor or "the field mean")]
    width = max(6, max(len(p.name) for p in result.players))
    lines.append("%-*s  %7s  %-17s  %9s  %-16s  %5s  %7s  %s" % (
        width, "player", "rating", "95 % interval", "win share", "95 % interval", "par",
        "margin", "spec"))
    for i in sorted(range(len(result.players)), key=lambda i: -f.ratings[i]):
        p, st = result.players[i], result.standings[i]
        interval = ("[%6.0f, %6.0f]" % (f.low[i], f.high[i])) if f.low is not None else "-"
        if not st.games:
            lines.append("%-*s  (no games)" % (width, p.name))
            continue
        lines.append("%-*s  %7.0f  %-17s  %9.3f  [%.3f, %.3f]    %5.3f  %7.1f  %s" % (
            width, p.name, f.ratings[i], interval, st.win_share, st.low, st.high, st.par,
            st.margin, p.spec))
    for i, (p, st) in enumerate(zip(result.players, result.standings)):
        if st.alone_games and st.alone_games < st.games:
            low, high = wilson_interval(st.alone_share, st.alone_games)
            lines.append("%s alone against the others: %.3f [%.3f, %.3f] of %d games (par 0.250)"
                         % (p.name, st.alone_share, low, high, st.alone_games))
    lines.append("seat terms (Elo, mean 0): " + ", ".join(
        "seat %d %+.0f" % (s, x) for s, x in enumerate(f.seat_terms)))
    return "\n".join(lines)


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(
        prog="python3 -m velmar ladder",
        description="A fixed field of players in seat-balanced four-player games, in-process; "
                    "ratings with a seat term and bootstrap intervals, win shares, margins.")
    ap.add_argument("--player", action="append", default=[], metavar="NAME=SPEC[,KEY=V]",
                    help="a player: NAME=greedy, NAME=rollout[:K], NAME=best[:W.npz][,sims=N] "
                         "(default: the "
                         "search settings the file records, else 32 sims), or an arena "
                         "evaluator with its settings (uniform, heuristic[:T[:W]], numpy:W.npz; "
                         "sims=N default 64, c_base, c_init, noise, alpha, and the search options "
                         "fpu=X, canonical=1, reuse=1, skip=1, gumbel=1, gumbel_m=M, "
                         "rollout=W); repeat")
    ap.add_argument("--games", type=int, default=96,
                    help="games, a multiple of the block (24 for four or more players; "
                         "default %(default)s)")
    ap.add_argument("--out", default=os.path.join("out", "ladder"),
                    help="directory for ladder.json and ladder.png (default %(default)s)")
    ap.add_argument("--workers", type=int, default=1, help="worker processes (default 1)")
    ap.add_argument("--seed", type=int, default=None, help="seed (default: random, recorded)")
    ap.add_argument("--opening-pieces", type=int, default=1,
                    help="each seat's first pieces drawn at random, the same for a whole "
                         "block (default %(default)s; 0: none)")
    ap.add_argument("--anchor", default="default",
                    help="the player rated 0 (default: the first uniform player, else the "
                         "field mean); 'mean' for the field mean")
    ap.add_argument("--bootstrap", type=int, default=BOOTSTRAP,
                    help="bootstrap resamples of the games (default %(default)s)")
    ap.add_argument("--quiet", action="store_true", help="no progress lines")
    args = ap.parse_args(argv)
    try:
        players = [LadderPlayer.parse(t) for t in args.player]
        result = run_ladder(players, args.games, workers=args.workers, out_dir=args.out,
                            seed=args.seed, opening_pieces=args.opening_pieces,
                            anchor=None if args.anchor == "mean" else args.anchor,
                            bootstrap=args.bootstrap, progress=not args.quiet)
    except LadderError as e:
        print("ladder: %s" % e, file=sys.stderr)
        return 2
    print(table(result))
    if result.json_path:
        print("ratings and games: %s; chart: %s" % (result.json_path, result.png_path))
    return 0 if result.complete else 130
