"""The results of an arena: records, tallies with intervals, the JSON file,
the chart and the printed table (``velmar.arena.arena`` plays the games)."""

from __future__ import annotations

import dataclasses
import math
import sys
from dataclasses import dataclass, field
from typing import List, Optional

from velmar.common.charts import pyplot, save_png
from velmar.common.text import fmt_duration

SEATS = 4
Z95 = 1.959963984540054


@dataclass
class GameRecord:
    game: int
    seating: List[str]          # the player's name in each seat
    tiles: List[List[int]]      # (seat, cell) per tile taken
    payoffs: List[float]        # in seat order
    scores: List[int]           # in seat order
    seconds: float = 0.0


@dataclass
class SeatResult:
    seat: int
    games: int                  # games the player sat in this seat
    win_share: Optional[float]  # its payoffs there / those games (par 1/4)
    mean_score: Optional[float]


@dataclass
class PlayerResult:
    name: str
    evaluator: str
    sims: int
    games: int                  # games it took part in
    win_share: Optional[float]  # its payoffs summed / its games
    low: Optional[float]        # 95 % interval of the win share
    high: Optional[float]
    par: Optional[float]        # what an equal player would win
    mean_score: Optional[float]  # per seat held
    per_seat: List[SeatResult] = field(default_factory=list)

    @property
    def above_par(self):
        return self.low is not None and self.low > self.par


@dataclass
class ArenaResult:
    players: List[PlayerResult]
    games: List[GameRecord]
    games_requested: int
    seating: str
    sample_tiles: int
    seed: int
    seconds: float
    lost: List[dict] = field(default_factory=list)
    errors: List[str] = field(default_factory=list)
    interrupted_by: Optional[str] = None
    exit_status: int = 0
    json_path: Optional[str] = None
    png_path: Optional[str] = None
    server: Optional[dict] = None

    @property
    def complete(self):
        return self.exit_status == 0 and len(self.games) == self.games_requested

    def player(self, name) -> PlayerResult:
        for p in self.players:
            if p.name == name:
                return p
        raise KeyError(name)


def wilson_interval(share, n, z=Z95):
    """The Wilson score interval of a share observed over n games."""
    if n <= 0:
        return None, None
    p = min(1.0, max(0.0, share))
    denom = 1.0 + z * z / n
    centre = (p + z * z / (2 * n)) / denom
    half = z * math.sqrt(p * (1 - p) / n + z * z / (4 * n * n)) / denom
    # at a share of 0 or 1 rounding can put a bound a hair past the share itself
    return min(p, max(0.0, centre - half)), max(p, min(1.0, centre + half))


def tally(players, games):
    """Per player results from finished games."""
    out = []
    for index, spec in enumerate(players):
        won, seats_held, n, score_sum, seat_games = 0.0, 0, 0, 0.0, 0
        seat_won = [0.0] * SEATS
        seat_n = [0] * SEATS
        seat_score = [0.0] * SEATS
        for g in games:
            mine = [s for s in range(SEATS) if g.seating[s] == spec.name]
            if not mine:
                continue
            n += 1
            seats_held += len(mine)
            # a game pays 1 in all; three single-precision thirds sum a hair above it
            won += min(1.0, sum(g.payoffs[s] for s in mine))
            for s in mine:
                score_sum += g.scores[s]
                seat_games += 1
                seat_won[s] += g.payoffs[s]
                seat_n[s] += 1
                seat_score[s] += g.scores[s]
        share = won / n if n else None
        low, high = wilson_interval(share, n) if n else (None, None)
        per_seat = [SeatResult(s, seat_n[s], seat_won[s] / seat_n[s] if seat_n[s] else None,
                               seat_score[s] / seat_n[s] if seat_n[s] else None)
                    for s in range(SEATS)]
        sims = 0 if spec.rule else spec.sims  # a rule searches nothing
        out.append(PlayerResult(spec.name, spec.evaluator, sims, n, share, low, high,
                                seats_held / SEATS / n if n else None,
                                score_sum / seat_games if seat_games else None, per_seat))
    return out


def to_json(result, players, server_info):
    out = dataclasses.asdict(result)
    out["players"] = [dict(spec.as_json(), result=dataclasses.asdict(r))
                      for spec, r in zip(players, result.players)]
    for entry, r in zip(out["players"], result.players):
        entry["result"]["above_par"] = r.above_par
    seat_won = [sum(g.payoffs[s] for g in result.games) for s in range(SEATS)]
    seat_score = [sum(g.scores[s] for g in result.games) for s in range(SEATS)]
    n = len(result.games)
    out["totals"] = {
        "games": n, "tiles": sum(len(g.tiles) for g in result.games),
        "win_share_per_seat": [w / n for w in seat_won] if n else None,
        "mean_score_per_seat": [x / n for x in seat_score] if n else None,
        "players": {r.name: {"win_share": r.win_share, "interval": [r.low, r.high],
                             "par": r.par, "mean_score": r.mean_score, "games": r.games}
                    for r in result.players}}
    out["server_info"] = server_info
    return out


def chart(result, path):
    """Draws the win shares with their intervals and par marks; returns the
    path, or None where matplotlib is missing or nothing finished."""
    if not result.games:
        return None
    plt = pyplot()
    if plt is None:
        return None
    ps = result.players
    fig, ax = plt.subplots(figsize=(1.6 + 1.4 * len(ps), 3.6), dpi=100)
    xs = list(range(len(ps)))
    shares = [p.win_share for p in ps]
    err = [[max(0.0, p.win_share - p.low) for p in ps],
           [max(0.0, p.high - p.win_share) for p in ps]]
    ax.bar(xs, shares, width=0.6, color="#5b8fd1", yerr=err, capsize=6, ecolor="#222222",
           label="win share, 95 % interval")
    for x, p in zip(xs, ps):
        ax.hlines(p.par, x - 0.42, x + 0.42, colors="#c0392b", linestyles="dashed",
                  label="par share" if x == 0 else None)
        ax.annotate("%.3f" % p.win_share, (x, p.high), xytext=(0, 4),
                    textcoords="offset points", ha="center", fontsize=8)
    ax.set_xticks(xs)
    ax.set_xticklabels(["%s\n%s, %d sims" % (p.name, p.evaluator, p.sims) for p in ps],
                       fontsize=8)
    ax.set_ylim(0, 1.08)
    ax.set_ylabel("win share")
    ax.set_title("arena: %d games" % len(result.games), fontsize=10)
    ax.legend(fontsize=7, loc="upper left")
    fig.tight_layout()
    return save_png(plt, fig, path)


def report(result, out=None):
    """The printed summary of a result."""
    out = out or sys.stdout
    ps = result.players
    print("arena: %d of %d games (%s seating) in %s, seed %d"
          % (len(result.games), result.games_requested, result.seating,
             fmt_duration(result.seconds), result.seed), file=out)
    width = max(6, max(len(p.name) for p in ps))
    ev_width = max(9, max(len(p.evaluator) for p in ps))
    print("%-*s  %-*s  %5s  %5s  %9s  %-16s  %5s  %10s" % (
        width, "player", ev_width, "evaluator", "sims", "games", "win share", "95 % interval",
        "par", "mean score"), file=out)
    for p in ps:
        if not p.games:
            print("%-*s  %-*s  %5d  %5d  (no games)" % (width, p.name, ev_width, p.evaluator,
                                                       p.sims, 0), file=out)
            continue
        print("%-*s  %-*s  %5d  %5d  %9.3f  [%.3f, %.3f]    %5.3f  %10.1f%s" % (
            width, p.name, ev_width, p.evaluator, p.sims, p.games, p.win_share, p.low, p.high,
            p.par, p.mean_score, "  above par" if p.above_par else ""), file=out)
    print("per seat: win share in that seat (par 0.250), mean score, games", file=out)
    print("%-*s  %s" % (width, "player", "  ".join("%-20s" % ("seat %d" % s)
                                                    for s in range(SEATS))), file=out)
    for p in ps:
        cells = []
        for s in p.per_seat:
            cells.append("%-20s" % ("-" if not s.games else "%.3f %6.1f %5d"
                                    % (s.win_share, s.mean_score, s.games)))
        print("%-*s  %s" % (width, p.name, "  ".join(cells)), file=out)
    for e in result.errors:
        print("error: %s" % e, file=out)
    if result.lost:
        print("lost (unfinished) games: %s" % ", ".join(
            "%d (%s)" % (x["game"], x["reason"]) for x in result.lost), file=out)
    if result.interrupted_by:
        print("interrupted by %s" % result.interrupted_by, file=out)
    if result.json_path:
        print("games and totals: %s; chart: %s" % (
            result.json_path, result.png_path or "not drawn (no matplotlib here, or no games)"),
            file=out)
    out.flush()
