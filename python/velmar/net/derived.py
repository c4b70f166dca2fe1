"""Inputs derived from the five planes: the pieces every player still holds,
the mover's piece in progress and every player's open corners.

The planes show squares, not pieces, but the rules make the pieces readable:
two pieces of one player never share an edge, so the edge-connected groups
of a player's squares are its pieces, at most 5 squares each. The one
exception is the mover's piece in progress (it is laying a piece tile by
tile): the mover is mid-piece exactly when one of its legal tiles (plane 4)
shares an edge with one of its squares, and the group those tiles touch is
that piece. It is not counted as placed: the piece it will become is still
held.

``derive(planes)`` returns, per position:

- ``planes`` (B, 5, 20, 20): plane 0 the piece in progress; plane 1 + j the
  open corners of the player of plane j (j = 0..3, mover-relative as the
  input planes): the empty cells that share no edge with that player's
  squares and touch one of them diagonally, or its starting corner while it
  has no square (and the corner is empty);
- ``held`` (B, 84): entry 21 j + k is 1 where the player of plane j still
  holds piece kind k (the order of ``velmar.game.greedy.SHAPES`` and of
  ``Game.pieces``).

A group's kind is told by five numbers that rotations and reflections leave
alone (its size, its spread n * sum |x|^2 - |sum x|^2, its edges, the sum of
its squares' squared edge degrees and its diagonal contacts); the table of
``KEYS`` is built from the shapes, and its keys are checked to be distinct
when the module loads. Groups are labelled by propagating the smallest cell
index over shared edges four times (the diameter of a five-square piece is
at most 4); a group that fits no kind (planes no game can reach) counts as
no piece.

The starting corners of the players without a square come from the mover's
seat, read from the planes (``velmar.net.orientation.mover_seats``), so
turned planes get turned corners; where the planes do not tell it (no
player to move) those players get no open corner.
"""

import numpy as np

from velmar.game.greedy import SHAPES, orientations
from velmar.net import orientation

SIDE = 20
CELLS = SIDE * SIDE
PLAYERS = 4
KINDS = len(SHAPES)
HELD = PLAYERS * KINDS  # 84
EXTRA_PLANES = 1 + PLAYERS  # the piece in progress, the open corners
CORNERS = orientation.CORNERS  # starting corner of seats 0..3

_W = SIDE + 2  # a padded row
_EDGES = ((0, 1), (1, 0), (0, -1), (-1, 0))
_DIAGONALS = ((1, 1), (1, -1), (-1, 1), (-1, -1))
_STEPS = 4  # label propagation steps: the diameter of a five-square group


def shape_key(squares):
    """The key of a set of (row, column) squares, unchanged by rotations and
    reflections: (size, spread, edges, sum of squared degrees, diagonal
    contacts)."""
    squares = set(squares)
    n = len(squares)
    sr = sum(r for r, _ in squares)
    sc = sum(c for _, c in squares)
    s2 = sum(r * r + c * c for r, c in squares)
    deg = [sum((r + dr, c + dc) in squares for dr, dc in _EDGES) for r, c in squares]
    diag = sum((r + dr, c + dc) in squares for r, c in squares for dr, dc in _DIAGONALS)
    return (n, n * s2 - sr * sr - sc * sc, sum(deg) // 2, sum(d * d for d in deg), diag)


def _code(n, spread, edges, deg2, diag):
    """One integer per key (each part below its factor for groups of <= 5)."""
    return (((n * 128 + spread) * 8 + edges) * 32 + deg2) * 16 + diag


def _key_table():
    keys = []
    for shape in SHAPES:
        found = {shape_key(o) for o in orientations(shape)}
        assert len(found) == 1, shape
        keys.append(found.pop())
    assert len(set(keys)) == KINDS, "two piece kinds share a key"
    codes = np.array([_code(*k) for k in keys], np.int64)
    order = np.argsort(codes)
    return keys, codes[order], order


KEYS, _CODES, _KIND_OF = _key_table()


def _padded(a, fill):
    """(..., 20, 20) -> (..., 22, 22) with a border of ``fill``."""
    out = np.full(a.shape[:-2] + (_W, _W), fill, a.dtype)
    out[..., 1:-1, 1:-1] = a
    return out


def _shifted(p, dr, dc):
    """The value at (r + dr, c + dc) for every interior cell of padded ``p``."""
    return p[..., 1 + dr:_W - 1 + dr, 1 + dc:_W - 1 + dc]


def _any_edge(mask):
    """Cells sharing an edge with a cell of ``mask`` (bool, (..., 20, 20))."""
    p = _padded(mask, False)
    return _shifted(p, 0, 1) | _shifted(p, 1, 0) | _shifted(p, 0, -1) | _shifted(p, -1, 0)


def _any_diagonal(mask):
    p = _padded(mask, False)
    return _shifted(p, 1, 1) | _shifted(p, 1, -1) | _shifted(p, -1, 1) | _shifted(p, -1, -1)


def labels(occ):
    """Edge-connected groups of ``occ`` (bool, (..., 20, 20)): every square
    gets the smallest cell index of its group (groups of up to 5 squares;
    larger ones may keep several labels), empty cells CELLS."""
    big = CELLS
    lab = np.where(occ, np.arange(CELLS).reshape(SIDE, SIDE), big).astype(np.int32)
    for _ in range(_STEPS):
        p = _padded(lab, big)
        low = np.minimum(np.minimum(_shifted(p, 0, 1), _shifted(p, 1, 0)),
                         np.minimum(_shifted(p, 0, -1), _shifted(p, -1, 0)))
        lab = np.where(occ, np.minimum(lab, low), big)
    return lab


def group_kinds(occ, lab):
    """The groups of ``occ`` (B, P, 20, 20) labelled by ``lab``: the index
    (position, player, cell) of each group's smallest cell, and its piece
    kind (-1 where it fits none)."""
    plab = _padded(lab, CELLS)
    deg = sum((_shifted(plab, dr, dc) == lab) for dr, dc in _EDGES)
    diag = sum((_shifted(plab, dr, dc) == lab) for dr, dc in _DIAGONALS)
    cells = np.flatnonzero(occ)  # (position, player, cell) flattened
    bp, cell = np.divmod(cells, CELLS)
    gid = bp * CELLS + lab.ravel()[cells]
    roots = cells[gid == cells]
    group = np.searchsorted(roots, gid)  # every square's group, by rank
    m = len(roots)

    def total(w):
        return np.bincount(group, weights=w, minlength=m).round().astype(np.int64)

    r, c = np.divmod(cell, SIDE)
    deg, diag = deg.ravel()[cells], diag.ravel()[cells]
    n = np.bincount(group, minlength=m)
    sr, sc = total(r), total(c)
    spread = n * total(r * r + c * c) - sr * sr - sc * sc
    edges, deg2, diags = total(deg) // 2, total(deg * deg), total(diag)
    fits = (n <= 5) & (spread < 128) & (deg2 < 32) & (diags < 16)
    code = _code(n, np.minimum(spread, 127), np.minimum(edges, 7), np.minimum(deg2, 31),
                 np.minimum(diags, 15))
    at = np.minimum(np.searchsorted(_CODES, code), KINDS - 1)
    kind = np.where(fits & (_CODES[at] == code), _KIND_OF[at], -1)
    return roots, kind


def _seats(x):
    """The movers' seats, -1 where the planes do not tell (no player to move)."""
    try:
        return orientation.mover_seats(x.astype(np.float32))
    except orientation.SeatUnknown:
        out = np.full(len(x), -1, np.int64)
        for i in range(len(x)):
            try:
                out[i] = orientation.mover_seats(x[i:i + 1].astype(np.float32))[0]
            except orientation.SeatUnknown:
                pass
        return out


def derive(planes):
    """(planes (B, 5, 20, 20) float32, held (B, 84) float32) from the input
    planes (B, 5, 20, 20); see the module's text."""
    x = np.asarray(planes).reshape(-1, 5, SIDE, SIDE) > 0.5
    b = len(x)
    occ, legal = x[:, :PLAYERS], x[:, PLAYERS]
    lab = labels(occ)
    # the mover's piece in progress: its group touching a legal tile
    own, own_lab = occ[:, 1], lab[:, 1]
    touching = own & _any_edge(legal)
    busy = np.zeros((b, CELLS + 1), bool)
    rows = np.broadcast_to(np.arange(b)[:, None, None], own.shape)
    busy[rows[touching], own_lab[touching]] = True
    in_progress = own & busy[rows, own_lab]
    roots, kind = group_kinds(occ, lab)
    bp, ci = np.divmod(roots, CELLS)
    bi, pi = np.divmod(bp, PLAYERS)
    counted = ~((pi == 1) & in_progress.reshape(b, CELLS)[bi, ci])
    placed = np.zeros((b, PLAYERS, KINDS + 1), bool)  # the last column: no kind
    placed[bi[counted], pi[counted], kind[counted]] = True
    held = ~placed[:, :, :KINDS]
    # open corners
    empty = ~occ.any(axis=1, keepdims=True)
    corners = empty & ~_any_edge(occ) & _any_diagonal(occ)
    none = ~occ.any(axis=(2, 3))
    if none.any():  # a player without a square: its starting corner, by the mover's seat
        bi, pi = np.nonzero(none)
        need = np.unique(bi)
        seat = np.zeros(b, np.int64)
        seat[need] = _seats(x[need])
        bi, pi = bi[seat[bi] >= 0], pi[seat[bi] >= 0]
        cell = np.array(CORNERS)[(seat[bi] + pi - 1) % PLAYERS]
        corners[bi, pi, cell // SIDE, cell % SIDE] = empty[bi, 0, cell // SIDE, cell % SIDE]
    out = np.concatenate([in_progress[:, None], corners], axis=1).astype(np.float32)
    return out, held.reshape(b, HELD).astype(np.float32)
