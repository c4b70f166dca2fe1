"""The heuristic evaluator: values from what a position shows, no network.

For each player the planes show its covered squares S and its open corner
cells C: the empty cells that touch one of its own squares at a corner and
none along an edge, which is where its next piece may start (a player that
has not placed a square yet has its starting corner, while that is empty).
Plane 4 is not used: it marks only the mover's next tiles. A player's
strength is

    s = S + CORNER_WEIGHT * C

and the values, in seat order, are the softmax of s / TEMPERATURE, so they
sum to 1 like payoffs; the logits are all 0 (uniform priors). S is what the
final score counts (a score is covered squares minus 89, plus an end bonus);
C is room to grow, which S does not show until the pieces are down.

TEMPERATURE is in squares: two players whose strengths differ by
TEMPERATURE get values in the ratio e : 1. The defaults (temperature 1,
corner weight 1) come from two quick four-player arenas at 32 simulations
(96 games each, README "Arena"): temperature 1 won 0.44 against 3 (0.23),
10 (0.20) and 3 without corners (0.13); then 1 with corner weights 0.5, 1
and 2 and temperature 0.3 were level within their intervals (0.20 to
0.28). A low temperature suits the payoff, which rewards only the leader.
``heuristic:T`` or ``heuristic:T:W`` picks others, e.g. ``heuristic:3:0.5``.

NumPy only, vectorised over the batch: a batch of 64 positions takes well
under a millisecond.
"""

from velmar.serving.evaluators import (CORNERS, Evaluator, EvaluatorUnavailable, mover_seats,
                                       to_seat_order)
from velmar.game.planes import CELLS, PLANES, encode_replies, unpack_planes

TEMPERATURE = 1.0
CORNER_WEIGHT = 1.0
RELATIVE_PLANES = [1, 2, 3, 0]  # the planes of the mover, then of the players after it


def seat_features(planes):
    """(squares, open corners) per player, each (B, 4) int, in seat order.

    ``planes``: (B, 5, 20, 20), entries 0 or 1 (any numeric dtype).
    """
    import numpy as np
    p = np.asarray(planes).reshape(-1, PLANES, 20, 20)
    n = len(p)
    own = p[:, RELATIVE_PLANES] > 0.5  # (B, 4, 20, 20), mover-relative order
    squares = own.sum(axis=(2, 3))
    pad = np.zeros((n, 4, 22, 22), bool)
    pad[:, :, 1:-1, 1:-1] = own
    edge = pad[:, :, :-2, 1:-1] | pad[:, :, 2:, 1:-1] | pad[:, :, 1:-1, :-2] | pad[:, :, 1:-1, 2:]
    diagonal = pad[:, :, :-2, :-2] | pad[:, :, :-2, 2:] | pad[:, :, 2:, :-2] | pad[:, :, 2:, 2:]
    empty = ~own.any(axis=1)  # (B, 20, 20)
    corners = (diagonal & ~edge & empty[:, None]).sum(axis=(2, 3))
    movers = mover_seats(p)
    seats = (movers[:, None] + np.arange(4)[None, :]) % 4
    start = np.asarray(CORNERS)[seats]  # (B, 4) each player's starting cell
    start_open = empty.reshape(n, CELLS)[np.arange(n)[:, None], start]
    corners = corners + ((squares == 0) & start_open)
    return to_seat_order(squares, movers), to_seat_order(corners, movers)


def heuristic_values(planes, temperature=TEMPERATURE, corner_weight=CORNER_WEIGHT):
    """The four values (B, 4) float32 in seat order, each row summing to 1."""
    import numpy as np
    squares, corners = seat_features(planes)
    s = (squares + corner_weight * corners) / temperature
    s = s - s.max(axis=1, keepdims=True)
    e = np.exp(s)
    return (e / e.sum(axis=1, keepdims=True)).astype(np.float32)


class HeuristicEvaluator(Evaluator):
    """Logits 0 and ``heuristic_values``."""

    name = "heuristic"
    batch_wait_ms = 0.0  # cheaper than waiting for a fuller batch

    def __init__(self, temperature=TEMPERATURE, corner_weight=CORNER_WEIGHT):
        try:
            import numpy  # noqa: F401
        except ImportError as e:
            raise EvaluatorUnavailable("NumPy is not available for this interpreter (%s); "
                                       "give --server-python /usr/bin/python3"
                                       % e.__class__.__name__)
        if not temperature > 0:
            raise ValueError("the heuristic's temperature must be > 0, got %r" % temperature)
        self.temperature = float(temperature)
        self.corner_weight = float(corner_weight)

    @classmethod
    def from_arg(cls, arg):
        """From ``heuristic``'s argument: None, "T" or "T:W"."""
        if not arg:
            return cls()
        parts = arg.split(":")
        if len(parts) > 2:
            raise ValueError("heuristic takes TEMPERATURE[:CORNER_WEIGHT], got %r" % arg)
        try:
            numbers = [float(x) for x in parts]
        except ValueError:
            raise ValueError("heuristic takes TEMPERATURE[:CORNER_WEIGHT] (numbers), got %r"
                             % arg) from None
        return cls(*numbers)

    def describe(self):
        return "heuristic:%g:%g" % (self.temperature, self.corner_weight)

    def evaluate(self, planes):
        import numpy as np
        values = heuristic_values(planes, self.temperature, self.corner_weight)
        return np.zeros((len(values), CELLS), np.float32), values

    def evaluate_bits(self, bits, n):
        import numpy as np
        values = heuristic_values(unpack_planes(bits, n), self.temperature, self.corner_weight)
        return encode_replies(np.zeros((n, CELLS), np.float32), values)
