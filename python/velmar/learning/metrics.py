"""Training metrics that can tell a network that learned from one that did
not, over rows as ``velmar.game.data.load`` returns them (NumPy arrays).

- Only decisions count: rows whose position has two or more legal tiles
  (a forced tile says nothing about the policy, and its value is the next
  position's).
- Policy: top-1 agreement (the network's most likely legal tile is one of
  the targets' most visited; also, separately, the tile taken) and the
  cross-entropy against the visit shares, the logits softmaxed over the
  legal tiles.
- Value: the squared error of the predicted payoffs (mover-relative, as
  ``payoff_mover``; mean over the four entries, then over rows) beside that
  of a seat-only predictor, the mean mover-relative payoff per seat of the
  mover fitted on the training rows, by game phase (the tile's index in its
  game). A value head that only learned the seat scores the same as the
  seat-only predictor.
- Held-out games: ``holdout_games`` picks the games of a run that are never
  trained on, from a seed, game by game (a hash of the seed and the game
  index), so the choice of a game does not change as a run grows.
"""

from __future__ import annotations

import numpy as np

PHASES = ((0, 100), (100, 200), (200, 300), (300, None))
_MASK64 = (1 << 64) - 1


def legal_counts(rows):
    """The number of legal tiles of each row's position (plane 4)."""
    planes = rows["planes"]
    return planes[:, 4].reshape(len(planes), -1).sum(axis=1)


def decision_rows(rows):
    """The indices of the rows with two or more legal tiles."""
    return np.flatnonzero(legal_counts(rows) >= 2)


def _mix(x):
    """splitmix64 of uint64 values (wrapping arithmetic)."""
    x = (x + np.uint64(0x9E3779B97F4A7C15)) & np.uint64(_MASK64)
    x = ((x ^ (x >> np.uint64(30))) * np.uint64(0xBF58476D1CE4E5B9)) & np.uint64(_MASK64)
    x = ((x ^ (x >> np.uint64(27))) * np.uint64(0x94D049BB133111EB)) & np.uint64(_MASK64)
    return x ^ (x >> np.uint64(31))


def holdout_games(game_ids, seed, share=0.05):
    """A boolean per game id: held out (never trained on) in the run of this
    seed. The same game id gives the same answer in every generation."""
    if not 0.0 <= share < 1.0:
        raise ValueError("the held-out share must be in [0, 1), got %r" % (share,))
    ids = np.asarray(game_ids, np.int64).astype(np.uint64)
    with np.errstate(over="ignore"):
        key = _mix(_mix(np.full(ids.shape, seed & _MASK64, np.uint64)) ^ ids)
    return (key >> np.uint64(11)).astype(np.float64) / float(1 << 53) < share


def split_rows(rows, seed, share=0.05):
    """(training row indices, held-out row indices) by ``holdout_games``."""
    held = holdout_games(rows["game"], seed, share)
    return np.flatnonzero(~held), np.flatnonzero(held)


def policy_metrics(logits, rows, index=None):
    """Top-1 agreement and cross-entropy of ``logits`` (N, 400), row for row
    with ``rows``, on the decision rows among ``index`` (default: all)."""
    idx = decision_rows(rows) if index is None else np.intersect1d(index, decision_rows(rows))
    n = len(idx)
    if n == 0:
        return {"rows": 0, "top1": None, "top1_taken": None, "top1_uniform": None,
                "cross_entropy": None}
    legal = rows["planes"][idx, 4].reshape(n, -1) > 0
    z = np.where(legal, np.asarray(logits, np.float64)[idx], -np.inf)
    z = z - z.max(axis=1, keepdims=True)
    logp = z - np.log(np.exp(z).sum(axis=1, keepdims=True))
    target = np.asarray(rows["policy"], np.float64)[idx]
    pick = logp.argmax(axis=1)
    best = target.max(axis=1)
    is_best = (target >= best[:, None]) & legal
    return {
        "rows": int(n),
        "top1": float(is_best[np.arange(n), pick].mean()),
        "top1_taken": float((pick == rows["cell"][idx]).mean()),
        "top1_uniform": float((is_best.sum(axis=1) / legal.sum(axis=1)).mean()),
        "cross_entropy": float(-(target * np.where(legal, logp, 0.0)).sum(axis=1).mean()),
    }


def seat_predictor(rows, index=None):
    """(4, 4): per seat of the mover, the mean mover-relative payoff over
    the rows ``index`` (the training rows); a seat without rows gets 1/4."""
    idx = np.arange(len(rows["player"])) if index is None else np.asarray(index)
    out = np.full((4, 4), 0.25)
    seats = rows["player"][idx]
    for s in range(4):
        mine = idx[seats == s]
        if len(mine):
            out[s] = rows["payoff_mover"][mine].mean(axis=0)
    return out


def _phase_name(lo, hi):
    return "%d-%d" % (lo, hi - 1) if hi is not None else "%d+" % lo


def value_metrics(values, rows, seat_means, index=None):
    """Squared error of ``values`` (N, 4, mover-relative) and of the seat
    predictor ``seat_means`` on the decision rows among ``index``, overall
    and by phase: {"all": {...}, "0-99": {...}, ...}, each with rows,
    mse, mse_seat."""
    idx = decision_rows(rows) if index is None else np.intersect1d(index, decision_rows(rows))
    target = np.asarray(rows["payoff_mover"], np.float64)
    err = ((np.asarray(values, np.float64)[idx] - target[idx]) ** 2).mean(axis=1)
    seat = ((np.asarray(seat_means)[rows["player"][idx]] - target[idx]) ** 2).mean(axis=1)
    tile = rows["tile"][idx]
    out = {}
    for name, lo, hi in [("all", 0, None)] + [(_phase_name(lo, hi), lo, hi)
                                               for lo, hi in PHASES]:
        sel = (tile >= lo) & ((tile < hi) if hi is not None else True)
        k = int(sel.sum())
        out[name] = {"rows": k,
                     "mse": float(err[sel].mean()) if k else None,
                     "mse_seat": float(seat[sel].mean()) if k else None}
    return out


def training_metrics(logits, values, rows, train_index, held_index):
    """The held-out metrics of a network's outputs on ``rows`` (``logits``
    and mover-relative ``values`` for every row): the policy's and the
    value's, the seat predictor fitted on ``train_index``."""
    return {"policy": policy_metrics(logits, rows, held_index),
            "value": value_metrics(values, rows, seat_predictor(rows, train_index), held_index)}
