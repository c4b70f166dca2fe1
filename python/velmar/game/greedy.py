"""The greedy player: a fixed rule that places whole pieces, no search.

At the start of its turn the player enumerates every complete placement the
rules let it finish (a placement of one of its remaining pieces that covers
one of its open corner cells, none of its blocked cells, and is not a strict
subset of another candidate: the rules would not end the move on it), scores
the position each one leads to and takes the best, ties at random. It then
plays that placement tile by tile in increasing cell order; any order
reaches it, since every tile of a candidate stays a legal tile until the
candidate is complete.

The score of a placement P of player p is

    score(P) = SIZE_WEIGHT * |P| + CORNER_WEIGHT * own_corners(after P)
               - OPPONENT_WEIGHT * sum over the others of their corners(after P)

where a player's open corners are the empty cells free of its blocked bit
that touch one of its squares at a corner (its starting corner before its
first piece): where its next pieces may start. The weights (3, 1, 1/2) were
fixed once, before any training, from greedy-against-greedy games only
(``docs/ladder.md``); they are never tuned against the networks. Placing P
covers cells (removing them from every player's corners), blocks the cells
along its edges for p and opens the free cells at its corners for p.

The player plays with the rules library's own rule (``Game.greedy_choices``
and ``Game.play_greedy``, about 2 ms for a whole game). The NumPy functions
below compute the same candidates and scores from ``Game.cells`` and
``Game.pieces`` (a table of every placement of every orientation on the
empty board, indexed by cell, built once per process): the reference the
tests hold the library's rule to, and the opening draws of the ladder.
"""

from __future__ import annotations

import random
from typing import List, Optional

import numpy as np

SIDE = 20
CELLS = SIDE * SIDE
NONE = CELLS  # the padding cell: never blocked, never a corner, never empty
START_CORNERS = (0, 19, 399, 380)

SIZE_WEIGHT = 3.0
CORNER_WEIGHT = 1.0
OPPONENT_WEIGHT = 0.5

# The 21 base shapes, rows top to bottom.
SHAPES = ("1", "11", "11/01", "111", "1111", "11/10/10", "111/010", "11/11", "110/011",
          "11111", "1111/1000", "1110/0011", "111/110", "111/100/100", "110/011/001",
          "110/010/011", "111/101", "1111/0100", "010/111/010", "010/111/100", "111/010/010")


def orientations(shape: str) -> List[tuple]:
    """The distinct orientations of a shape, each a sorted tuple of (row,
    column) squares with its top-left bounding corner at (0, 0)."""
    squares = [(r, c) for r, row in enumerate(shape.split("/")) for c, x in enumerate(row)
               if x == "1"]
    out = []
    for flip in (False, True):
        cur = [(r, -c) if flip else (r, c) for r, c in squares]
        for _ in range(4):
            cur = [(c, -r) for r, c in cur]  # a quarter turn
            r0, c0 = min(r for r, _ in cur), min(c for _, c in cur)
            norm = tuple(sorted((r - r0, c - c0) for r, c in cur))
            if norm not in out:
                out.append(norm)
    return out


class PlacementTable:
    """Every placement of every piece kind on the empty board.

    ``cells`` (M, 5) the covered cells ascending, padded with ``NONE``;
    ``edges`` (M, 12) the cells sharing an edge with it (not covered);
    ``diagonals`` (M, 8) the cells touching it only at a corner; ``kind``,
    ``size`` (M,); ``by_cell[x]`` the placements covering cell x.
    """

    def __init__(self):
        cells, edges, diags, kinds = [], [], [], []
        for kind, shape in enumerate(SHAPES):
            for squares in orientations(shape):
                own = set(squares)
                e = {(r + dr, c + dc) for r, c in squares
                     for dr, dc in ((1, 0), (-1, 0), (0, 1), (0, -1))} - own
                d = {(r + dr, c + dc) for r, c in squares
                     for dr, dc in ((1, 1), (1, -1), (-1, 1), (-1, -1))} - own - e
                h = 1 + max(r for r, _ in squares)
                w = 1 + max(c for _, c in squares)
                origins = np.array([(r, c) for r in range(SIDE - h + 1)
                                    for c in range(SIDE - w + 1)])
                for group, width, out in ((squares, 5, cells), (sorted(e), 12, edges),
                                          (sorted(d), 8, diags)):
                    rel = np.array(group).reshape(-1, 2)
                    r = origins[:, None, 0] + rel[None, :, 0]
                    c = origins[:, None, 1] + rel[None, :, 1]
                    x = np.where((r >= 0) & (r < SIDE) & (c >= 0) & (c < SIDE), r * SIDE + c, NONE)
                    x = np.sort(x, axis=1)
                    pad = np.full((len(origins), width), NONE)
                    pad[:, :x.shape[1]] = x
                    out.append(pad)
                kinds.append(np.full(len(origins), kind))
        self.cells = np.concatenate(cells).astype(np.int64)
        self.edges = np.concatenate(edges).astype(np.int64)
        self.diagonals = np.concatenate(diags).astype(np.int64)
        self.kind = np.concatenate(kinds)
        self.size = (self.cells != NONE).sum(axis=1)
        flat = self.cells.ravel()
        owner = np.repeat(np.arange(len(self.cells)), self.cells.shape[1])
        keep = flat != NONE
        flat, owner = flat[keep], owner[keep]
        order = np.argsort(flat, kind="stable")
        bounds = np.searchsorted(flat[order], np.arange(CELLS + 1))
        self.by_cell = [owner[order[bounds[x]:bounds[x + 1]]] for x in range(CELLS)]


_TABLE: Optional[PlacementTable] = None


def table() -> PlacementTable:
    global _TABLE
    if _TABLE is None:
        _TABLE = PlacementTable()
    return _TABLE


def board_state(cells_bytes):
    """(owner (401,), blocked (4, 401), corners (4, 401)) from ``Game.cells``;
    entry 400 is the padding cell (no owner, not blocked, not a corner)."""
    b = np.frombuffer(bytes(cells_bytes), np.uint8).astype(np.int64)
    owner = b & 15
    empty = owner == 0
    blocked = np.stack([(b >> (4 + p)) & 1 for p in range(4)]).astype(bool)
    corners = np.zeros((4, CELLS), bool)
    for p in range(4):
        own = (owner == p + 1).reshape(SIDE, SIDE)
        pad = np.zeros((SIDE + 2, SIDE + 2), bool)
        pad[1:-1, 1:-1] = own
        diag = pad[:-2, :-2] | pad[:-2, 2:] | pad[2:, :-2] | pad[2:, 2:]
        corners[p] = diag.ravel() & empty & ~blocked[p]
        if not own.any() and empty[START_CORNERS[p]]:
            corners[p, START_CORNERS[p]] = True
    owner = np.append(owner, 0)
    blocked = np.concatenate([blocked, np.zeros((4, 1), bool)], axis=1)
    corners = np.concatenate([corners, np.zeros((4, 1), bool)], axis=1)
    return owner, blocked, corners


def complete_placements(cells_bytes, pieces, player, tab=None):
    """The placements (indices into the table) that ``player`` may complete
    on this board at the start of its turn: legal, and not a strict subset
    of another legal placement."""
    tab = tab or table()
    owner, blocked, corners = board_state(cells_bytes)
    starts = np.flatnonzero(corners[player, :CELLS])
    if len(starts) == 0:
        return np.zeros(0, np.int64)
    cand = np.unique(np.concatenate([tab.by_cell[x] for x in starts]))
    held = np.zeros(21, bool)
    held[list(pieces)] = True
    cand = cand[held[tab.kind[cand]]]
    cand = cand[~blocked[player][tab.cells[cand]].any(axis=1)]
    return _maximal(cand, tab)


def _maximal(cand, tab):
    """Drops the candidates whose cells all lie in a larger candidate."""
    if len(cand) < 2:
        return cand
    size = tab.size[cand]
    small = cand[size < 5]
    if len(small) == 0:
        return cand
    member = np.zeros((len(small), CELLS + 1), bool)
    member[np.arange(len(small))[:, None], tab.cells[small]] = True
    member[:, NONE] = False
    larger = cand[size > 1]
    inside = member[:, tab.cells[larger]].sum(axis=2)  # (small, larger) squares in common
    covered = (inside == tab.size[small][:, None]) & (tab.size[larger][None, :]
                                                     > tab.size[small][:, None])
    return cand[~np.isin(cand, small[covered.any(axis=1)])]


def placement_scores(cand, cells_bytes, player, tab=None):
    """The score of each candidate placement (see the module's docstring)."""
    tab = tab or table()
    owner, blocked, corners = board_state(cells_bytes)
    cells = tab.cells[cand]
    own = corners[player]
    lost = own[cells].sum(axis=1) + own[tab.edges[cand]].sum(axis=1)
    d = tab.diagonals[cand]
    gained = ((owner[d] == 0) & ~blocked[player][d] & ~own[d] & (d != NONE)).sum(axis=1)
    own_after = own.sum() - lost + gained
    others = [q for q in range(4) if q != player]
    opp_after = corners[others].sum() - corners[others][:, cells].sum(axis=(0, 2))
    return (SIZE_WEIGHT * tab.size[cand] + CORNER_WEIGHT * own_after
            - OPPONENT_WEIGHT * opp_after)


class GreedyPlayer:
    """Chooses tiles for whichever seat it plays: a whole placement at the
    start of a turn, then its tiles one by one."""

    def __init__(self, seed=None):
        self.rng = random.Random(seed)
        self.plan: List[int] = []
        self.plan_at = -1  # the history length at which the plan's next tile is due
        self.decisions = 0
        self.fallbacks = 0  # decisions in the middle of a move (found with the rules)

    def choose(self, game) -> int:
        """The next tile for the player to move in ``game``."""
        n = len(game.history)
        if self.plan and self.plan_at == n:
            tile = self.plan.pop(0)
            self.plan_at = n + 1
            return tile
        placement = self.choose_placement(game)
        self.plan = list(placement[1:])
        self.plan_at = n + 1
        return placement[0]

    def choose_placement(self, game) -> List[int]:
        """The cells to take, ascending. At the start of a turn the choice is
        among every complete placement; in the middle of a move (a piece
        begun by somebody else) among its completions, the largest first."""
        p = game.current_player()
        if p is None:
            raise ValueError("the game is over")
        turn_start, choices = game.greedy_choices()
        if not choices:
            raise ValueError("no placement can be completed from here")
        cand = [cells for _, cells in choices]
        scores = np.array([score for score, _ in choices])
        if turn_start:
            self.decisions += 1
            return list(self.pick(game, p, cand, scores))
        self.fallbacks += 1
        taken = game.cells
        return [x for x in GreedyPlayer.pick(self, game, p, cand, scores) if not taken[x] & 15]

    def pick(self, game, player, cand, scores):
        """The chosen candidate's cells: the best score, ties at random."""
        best = np.flatnonzero(scores >= scores.max() - 1e-9)
        return cand[best[self.rng.randrange(len(best))]]


def placement_cells(index, tab=None) -> List[int]:
    """The cells of table placement ``index``, ascending."""
    tab = tab or table()
    return sorted(x for x in tab.cells[index].tolist() if x != NONE)


def completions(game) -> List[List[int]]:
    """Every way to complete the move in progress (or a whole move at the
    start of a turn), found with the rules: tiles taken in increasing cell
    order until the mover's piece list shrinks. Slow; a reference."""
    p = game.current_player()
    start = len(game.pieces[p])
    out = []

    def walk(g, taken):
        for t in g.legal_tiles():
            if taken and t <= taken[-1]:
                continue
            h = g.copy()
            h.apply(t)
            if len(h.pieces[p]) < start:
                out.append(taken + [t])
            else:
                walk(h, taken + [t])

    walk(game, [])
    return out
