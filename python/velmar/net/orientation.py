"""The canonical orientation of a position: the board turned so that the
mover's starting corner is cell 0.

The planes are relative to the player to move, and a quarter turn of the
board maps the rules onto themselves, so a network may look at every
position from the top-left corner. Seat s starts in corner ``CORNERS[s]``
(clockwise from the top left); turning the board a quarter turn
anticlockwise s times brings that corner to cell 0. The network then no
longer sees the seat from the orientation, so it gets the seat as four
constant one-hot planes beside the five turned ones.

``TURN[s]`` and ``UNTURN[s]`` are the two cell permutations (the same index
arrays serve NumPy and PyTorch): a canonical plane is ``plane[..., TURN[s]]``
and a canonical policy goes back with ``policy[..., UNTURN[s]]``.

``mover_seats`` recovers the mover's seat from the planes alone: a player's
first piece covers its own starting corner, so the mover's seat is the
corner its squares (plane 1) cover; before that piece is complete, every
square it has and every cell it may take (plane 4) lie within 4 steps of
that corner. A position where neither tells (no square on a corner and no
square or legal cell near one: never the case for a player with a tile to
take) raises ``SeatUnknown``.
"""

import numpy as np

SIDE = 20
CELLS = SIDE * SIDE
SEATS = 4
CORNERS = (0, SIDE - 1, CELLS - 1, CELLS - SIDE)  # starting corner of seats 0..3
NEAR = 4  # steps from its corner within which a first piece lies

TURN = np.stack([np.rot90(np.arange(CELLS).reshape(SIDE, SIDE), s).ravel()
                 for s in range(SEATS)])
UNTURN = np.argsort(TURN, axis=1)


class SeatUnknown(ValueError):
    """The planes do not tell the mover's seat."""


def _corner_regions():
    """(400, 4): 1 where a cell lies within ``NEAR`` steps of seat s's corner."""
    r, c = np.divmod(np.arange(CELLS), SIDE)
    out = np.zeros((CELLS, SEATS), np.float32)
    for s, corner in enumerate(CORNERS):
        r0, c0 = divmod(corner, SIDE)
        out[:, s] = np.abs(r - r0) + np.abs(c - c0) <= NEAR
    return out


REGIONS = _corner_regions()


def mover_seats(planes):
    """The mover's seat (int64, one per position) of planes (B, 5, 20, 20)."""
    p = np.asarray(planes).reshape(len(planes), -1, CELLS)
    own = p[:, 1, list(CORNERS)].astype(np.float32)
    near = (p[:, 1] + p[:, 4]).astype(np.float32) @ REGIONS  # at most 30 per corner
    score = own * 1000.0 + near
    unknown = np.flatnonzero(score.max(axis=1) <= 0)
    if len(unknown):
        raise SeatUnknown("cannot tell the mover's seat of position %d (of %d): none of its "
                          "squares covers a starting corner and none of its squares or legal "
                          "cells lies near one" % (unknown[0], len(p)))
    return score.argmax(axis=1).astype(np.int64)


def turn_planes(planes, seats):
    """Planes (B, P, 20, 20) turned so that each mover's corner is cell 0."""
    p = np.asarray(planes)
    flat = p.reshape(len(p), p.shape[1], CELLS)
    return np.take_along_axis(flat, TURN[seats][:, None, :], axis=2).reshape(p.shape)


def unturn_policy(policy, seats):
    """Per-cell scores (B, 400) of turned positions, back on the board."""
    return np.take_along_axis(np.asarray(policy), UNTURN[seats], axis=1)


def turn_policy(policy, seats):
    """Per-cell scores (B, 400) turned the way ``turn_planes`` turns planes."""
    return np.take_along_axis(np.asarray(policy), TURN[seats], axis=1)


def seat_planes(seats, dtype=np.float32):
    """(B, 4, 20, 20): plane s all ones where the mover sits in seat s."""
    seats = np.asarray(seats)
    out = np.zeros((len(seats), SEATS, SIDE, SIDE), dtype)
    out[np.arange(len(seats)), seats] = 1
    return out


def canonical_input(planes, seats=None):
    """(planes turned, seat planes) as one (B, 9, 20, 20) float32 array, and
    the seats (inferred from the planes unless given)."""
    planes = np.asarray(planes, np.float32)
    seats = mover_seats(planes) if seats is None else np.asarray(seats, np.int64)
    return np.concatenate([turn_planes(planes, seats), seat_planes(seats)], axis=1), seats
