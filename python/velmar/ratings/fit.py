"""The rating model for four-player results, and the ladder's tallies.

Model. Each game gives six pairwise results, one per pair of seats: the
player with the higher score beats the other (1), equal scores are a tie
(1/2 each). The probability that player i in seat a finishes ahead of
player j in seat b is

    sigmoid(r_i + s_a - r_j - s_b)

(Bradley-Terry with a seat term). This is also the pairwise margin of the
Plackett-Luce model of the finishing order (utilities r + s plus
independent Gumbel noise: the difference of two Gumbel variables is
logistic), so the strengths fitted from the pairs are that model's, and the
pairs of one game are never treated as independent: the intervals come from
a bootstrap over games (whole games resampled with replacement, the model
refitted, the 2.5th and 97.5th percentiles).

The fit maximises the likelihood with a very weak ridge (``RIDGE``) that
keeps a player who won every pair finite, by Newton's method. Ratings are
reported on the Elo scale (``ELO`` points per unit of r: 400 points is odds
of 10 to 1 in a pair), shifted so that the anchor player is at 0 (or the
field's mean at 0 without an anchor); seat terms so that their mean is 0.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import List, Optional, Sequence

import numpy as np
from velmar.arena.results import wilson_interval

SEATS = 4
ELO = 400.0 / math.log(10.0)
RIDGE = 1e-4


@dataclass
class Fit:
    names: List[str]
    ratings: np.ndarray           # Elo points, anchored
    seat_terms: np.ndarray        # Elo points, mean 0
    low: Optional[np.ndarray] = None
    high: Optional[np.ndarray] = None
    seat_low: Optional[np.ndarray] = None
    seat_high: Optional[np.ndarray] = None
    anchor: Optional[str] = None  # None: the field's mean is 0
    pairs: int = 0
    bootstrap: int = 0


def pair_rows(names: Sequence[str], games):
    """The pairwise results of the games: (X, y, game index per row), X
    holding +1/-1 for the two players and the two seats (players first,
    then the four seats). ``games``: objects with ``seating`` (names per
    seat) and ``scores`` (per seat)."""
    index = {n: i for i, n in enumerate(names)}
    k, n = len(names), len(games)
    if n == 0:
        return np.zeros((0, k + SEATS)), np.zeros(0), np.zeros(0, int)
    who = np.array([[index[x] for x in g.seating] for g in games])  # (G, 4)
    scores = np.array([list(g.scores) for g in games], float)
    a, b = np.triu_indices(SEATS, 1)  # the six pairs of seats
    X = np.zeros((n, len(a), k + SEATS))
    rows, pairs = np.arange(n)[:, None], np.arange(len(a))[None, :]
    np.add.at(X, (rows, pairs, who[:, a]), 1.0)
    np.add.at(X, (rows, pairs, who[:, b]), -1.0)
    X[:, np.arange(len(a)), k + a] += 1.0
    X[:, np.arange(len(a)), k + b] -= 1.0
    y = 0.5 + 0.5 * np.sign(scores[:, a] - scores[:, b])
    return X.reshape(-1, k + SEATS), y.ravel(), np.repeat(np.arange(n), len(a))


def fit_logistic(X, y, weights=None, ridge=RIDGE, iterations=50):
    """Maximises sum w (y log p + (1 - y) log(1 - p)) - ridge/2 |theta|^2,
    p = sigmoid(X theta), by Newton's method."""
    n, d = X.shape
    w = np.ones(n) if weights is None else np.asarray(weights, float)
    theta = np.zeros(d)
    for _ in range(iterations):
        z = X @ theta
        p = 1.0 / (1.0 + np.exp(-z))
        grad = X.T @ (w * (y - p)) - ridge * theta
        hess = (X * (w * p * (1 - p))[:, None]).T @ X + ridge * np.eye(d)
        step = np.linalg.solve(hess, grad)
        theta += step
        if np.max(np.abs(step)) < 1e-10:
            break
    return theta


def _anchored(theta, k, anchor_index):
    r = theta[:k] * ELO
    r = r - (r[anchor_index] if anchor_index is not None else r.mean())
    s = theta[k:] * ELO
    return r, s - s.mean()


def fit_ratings(names: Sequence[str], games, anchor: Optional[str] = None, bootstrap: int = 200,
                seed: int = 0) -> Fit:
    """Fits the model to the games and bootstraps its intervals."""
    names = list(names)
    if anchor is not None and anchor not in names:
        raise ValueError("the anchor %r is not a player" % anchor)
    a = names.index(anchor) if anchor is not None else None
    k = len(names)
    X, y, gidx = pair_rows(names, games)
    fit = Fit(names, np.zeros(k), np.zeros(SEATS), anchor=anchor, pairs=len(y))
    if len(y) == 0:
        return fit
    fit.ratings, fit.seat_terms = _anchored(fit_logistic(X, y), k, a)
    if bootstrap > 0:
        rng = np.random.RandomState(seed)
        n_games = len(games)
        rs, ss = [], []
        for _ in range(bootstrap):
            counts = np.bincount(rng.randint(0, n_games, n_games), minlength=n_games)
            r, s = _anchored(fit_logistic(X, y, counts[gidx]), k, a)
            rs.append(r)
            ss.append(s)
        rs, ss = np.array(rs), np.array(ss)
        fit.low, fit.high = np.percentile(rs, 2.5, axis=0), np.percentile(rs, 97.5, axis=0)
        fit.seat_low, fit.seat_high = (np.percentile(ss, 2.5, axis=0),
                                       np.percentile(ss, 97.5, axis=0))
        fit.bootstrap = bootstrap
    return fit


@dataclass
class Standing:
    name: str
    games: int
    seats: int                    # seats held over those games
    win_share: Optional[float]    # payoffs summed / games (a shared first place splits)
    low: Optional[float]
    high: Optional[float]
    par: Optional[float]
    margin: Optional[float]       # mean of own score minus the best other seat's, per seat held
    mean_score: Optional[float]
    per_seat: List[Optional[float]] = field(default_factory=list)  # win share in each seat
    alone_games: int = 0          # games in which it held one seat only
    alone_share: Optional[float] = None  # its win share in those (par 1/4)


def standings(names: Sequence[str], games) -> List[Standing]:
    """Win shares (95 % Wilson intervals), par and score margins per player."""
    out = []
    for name in names:
        n = seats = 0
        won = margin = score = alone_won = 0.0
        alone = 0
        seat_won, seat_n = [0.0] * SEATS, [0] * SEATS
        for g in games:
            mine = [s for s in range(SEATS) if g.seating[s] == name]
            if not mine:
                continue
            n += 1
            seats += len(mine)
            if len(mine) == 1:
                alone += 1
                alone_won += g.payoffs[mine[0]]
            for s in mine:
                won += g.payoffs[s]
                score += g.scores[s]
                margin += g.scores[s] - max(g.scores[t] for t in range(SEATS) if t != s)
                seat_won[s] += g.payoffs[s]
                seat_n[s] += 1
        share = won / n if n else None
        low, high = wilson_interval(share, n) if n else (None, None)
        out.append(Standing(name, n, seats, share, low, high, seats / SEATS / n if n else None,
                            margin / seats if seats else None, score / seats if seats else None,
                            [seat_won[s] / seat_n[s] if seat_n[s] else None
                             for s in range(SEATS)], alone,
                            alone_won / alone if alone else None))
    return out
