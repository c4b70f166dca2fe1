"""Tests of the heuristic evaluator on hand-built positions."""

import math
import sys

import pytest

if sys.implementation.name == "pypy":
    pytest.skip("the heuristic evaluator runs on NumPy, which PyPy here lacks (the server "
                "runs it under CPython)", allow_module_level=True)
np = pytest.importorskip("numpy")

from velmar.game import planes as planes_mod  # noqa: E402
from velmar.serving.factory import make_evaluator  # noqa: E402
from velmar.serving.heuristic import (HeuristicEvaluator, heuristic_values,  # noqa: E402
                                      seat_features)

# Squares per seat, and the open corners worked out by hand:
# seat 0: the single square at cell 0; its one open corner is (1, 1).
# seat 1: a domino at (0, 18)-(0, 19); (1, 17) only, as (1, 18) and (1, 19)
#   lie along its edge.
# seat 2: nothing placed; its starting corner 399 is open.
# seat 3: an L at (19, 0), (18, 0), (18, 1); open: (17, 2) and (19, 2).
POSITION = {0: [0], 1: [18, 19], 2: [], 3: [380, 360, 361]}
SQUARES = [1, 2, 0, 3]
CORNERS = [1, 1, 1, 2]


def planes_for(position, mover, next_tiles=()):
    """The mover-relative planes (5, 20, 20) of a position given per seat."""
    planes = np.zeros((5, 400), np.float32)
    for k in range(4):
        seat = (mover - 1 + k) % 4  # plane 0: the player before the mover
        planes[k, position[seat]] = 1.0
    planes[4, list(next_tiles)] = 1.0
    return planes.reshape(5, 20, 20)


def batch_for(position):
    """The same position with each seat to move in turn (plane 4: a cell
    next to the mover's corner, as before its first piece)."""
    return np.stack([planes_for(position, m, [[20, 39, 379, 360][m]]) for m in range(4)])


def softmax(xs):
    e = [math.exp(x - max(xs)) for x in xs]
    return [x / sum(e) for x in e]


def test_features_are_counted_in_seat_order_whoever_moves():
    squares, corners = seat_features(batch_for(POSITION))
    assert squares.tolist() == [SQUARES] * 4
    assert corners.tolist() == [CORNERS] * 4


@pytest.mark.parametrize("temperature,weight", [(3.0, 1.0), (1.0, 0.0), (6.0, 2.5)])
def test_values_are_the_documented_softmax(temperature, weight):
    values = heuristic_values(batch_for(POSITION), temperature, weight)
    want = softmax([(s + weight * c) / temperature for s, c in zip(SQUARES, CORNERS)])
    assert np.allclose(values, [want] * 4, atol=1e-6)
    assert np.allclose(values.sum(axis=1), 1.0, atol=1e-6)


@pytest.mark.parametrize("seat,extra", [
    (0, [42]),        # a square far from the others: one more square, its own corners
    (2, [399]),       # the first square in its corner: a square and a corner for one
    (1, [38]),        # (1, 18): (1, 17) closes, (2, 17) and (2, 19) open
])
def test_more_squares_and_corners_raise_a_seat_value(seat, extra):
    before = heuristic_values(batch_for(POSITION))
    grown = dict(POSITION)
    grown[seat] = POSITION[seat] + extra
    after = heuristic_values(batch_for(grown))
    others = [p for p in range(4) if p != seat]
    assert (after[:, seat] > before[:, seat]).all()
    assert (after[:, others] < before[:, others]).all()


def test_a_covered_cell_is_no_open_corner():
    blocked = dict(POSITION)
    blocked[0] = [0, 382]  # a seat-0 square on seat 3's corner (19, 2)
    squares, corners = seat_features(batch_for(blocked))
    assert squares.tolist() == [[2, 2, 0, 3]] * 4
    # seat 3 keeps (17, 2); seat 0 has (1, 1) and (18, 3), not (18, 1) (seat 3's)
    assert corners.tolist() == [[2, 1, 1, 1]] * 4


def test_evaluator_replies_from_packed_planes():
    ev = make_evaluator("heuristic:4:0.5")
    assert isinstance(ev, HeuristicEvaluator) and ev.describe() == "heuristic:4:0.5"
    planes = batch_for(POSITION)
    bits = np.packbits(planes.reshape(4, -1).astype(np.uint8), axis=1, bitorder="little")
    replies = ev.evaluate_bits(bits.tobytes(), 4)
    want = heuristic_values(planes, 4.0, 0.5)
    for k, raw in enumerate(replies):
        logits, values = planes_mod.decode_reply(raw)
        assert logits == [0.0] * 400 and np.allclose(values, want[k])
    logits, values = ev.evaluate(planes)
    assert not logits.any() and np.allclose(values, want)


@pytest.mark.parametrize("arg", ["0", "-1", "x", "1:2:3"])
def test_bad_arguments_are_refused(arg):
    with pytest.raises(ValueError):
        make_evaluator("heuristic:" + arg)
