"""Auxiliary training targets from the shards: every player's final score
and the final owner of every cell, both relative to the mover.

A game's rows (one per tile) are its whole history, so they give the board
at the end: cell ``cell`` of row ``i`` belongs to seat ``player[i]``; cells
no row takes belong to nobody. Per row:

- ``owner_mover`` (400, int8): 0 for a cell nobody owns at the end, else
  1 + (owner - mover) mod 4 (1: the mover, 2: the player seated after it...);
- ``score_mover`` (4, float32): entry j is the final score of the player
  seated j after the mover, minus the mean of the game's four scores, over
  ``SCORE_SCALE`` (the absolute level of the scores follows the game's
  length; the differences decide the payoff). Greedy games' scores spread by
  about 7 around their mean, so the targets are about unit size.

A game whose rows are not all present (a row count other than its listed
tiles, tile indices that are not 0..n-1, a cell taken twice, no listed
scores) gets no auxiliary targets: its rows are masked out (``mask``).
"""

import numpy as np

from velmar.net.network import CELLS

SCORE_SCALE = 10.0


def game_boards(rows):
    """Per game of ``rows`` (a ``velmar.game.data.load`` dict), in ascending
    game order: the final owner of every cell (G, 400) int8 (-1: nobody, else
    the seat), the scores relative to their mean over ``SCORE_SCALE`` (G, 4)
    float32 in seat order, and whether the game is complete (G,) bool."""
    game = np.asarray(rows["game"], np.int64)
    tile = np.asarray(rows["tile"], np.int64)
    cell = np.asarray(rows["cell"], np.int64)
    ids, rank, counts = np.unique(game, return_inverse=True, return_counts=True)
    g = len(ids)
    listed = np.asarray(rows["games"], np.int64)
    found = np.zeros(g, bool)
    src = np.zeros(g, np.int64)  # each game's entry in the per-game members
    if len(listed):
        order = np.argsort(listed, kind="stable")
        pos = np.minimum(np.searchsorted(listed[order], ids), len(listed) - 1)
        found = listed[order][pos] == ids
        src = order[pos]
    n_listed = np.where(found, np.asarray(rows["tiles"], np.int64)[src] if len(listed) else 0, -1)

    def distinct(values):  # distinct (game, value) pairs per game
        pairs = np.unique(rank * 4096 + values)
        return np.bincount(pairs // 4096, minlength=g)
    t_min = np.full(g, np.iinfo(np.int64).max)
    t_max = np.full(g, -1)
    np.minimum.at(t_min, rank, tile)
    np.maximum.at(t_max, rank, tile)
    complete = (found & (counts == n_listed) & (distinct(tile) == counts)
                & (distinct(cell) == counts) & (t_min == 0) & (t_max == counts - 1))
    owner = np.full((g, CELLS), -1, np.int8)
    owner[rank, cell] = np.asarray(rows["player"], np.int8)
    scores = np.zeros((g, 4), np.float32)
    if len(listed):
        s = np.asarray(rows["scores"], np.float64)[src]
        scores = ((s - s.mean(axis=1, keepdims=True)) / SCORE_SCALE).astype(np.float32)
        scores[~found] = 0.0
    return owner, scores, complete


def row_targets(owner, scores, rank, player):
    """``owner_mover`` (B, 400) int8 and ``score_mover`` (B, 4) float32 of rows
    whose games have ranks ``rank`` in ``game_boards``' arrays and whose
    movers are ``player``."""
    mover = np.asarray(player, np.int64)[:, None]
    board = owner[rank].astype(np.int64)
    owner_mover = np.where(board < 0, 0, 1 + (board - mover) % 4).astype(np.int8)
    seats = (mover + np.arange(4)[None, :]) % 4
    return owner_mover, np.take_along_axis(scores[rank], seats, axis=1)


def aux_targets(rows):
    """The auxiliary targets of every row of ``rows`` (a ``data.load``
    dict): ``owner_mover``, ``score_mover`` and ``mask`` (the row's game is
    complete); masked rows' targets are zeros."""
    owner, scores, complete = game_boards(rows)
    _, rank = np.unique(np.asarray(rows["game"], np.int64), return_inverse=True)
    owner_mover, score_mover = row_targets(owner, scores, rank, rows["player"])
    mask = complete[rank]
    owner_mover[~mask] = 0
    score_mover[~mask] = 0.0
    return {"owner_mover": owner_mover, "score_mover": score_mover, "mask": mask}
