"""Evaluators behind the inference server.

An evaluator turns a batch of positions into move scores and values. The
interface is one method::

    evaluate(planes) -> (logits, values)

``planes`` is a NumPy float32 array of shape (B, 5, 20, 20) holding 0.0 and
1.0 (plane 0: squares of the player seated one before the player to move,
1: the mover's squares, 2: one after, 3: two after, 4: the cells the mover
may take next). It returns ``logits``, shape (B, 400), unnormalised
log-scores per cell (only legal cells matter), and ``values``, shape (B, 4),
IN SEAT ORDER: entry p is the value of the position for player p.

The planes are relative to the mover, so a network naturally predicts values
relative to the mover too (and a canonical network takes the mover's seat
as an input). ``mover_seats`` recovers the mover's seat from the
planes and ``to_seat_order`` rotates mover-relative values (entry j for the
player seated j after the mover, as in the training data's
``payoff_mover``) into seat order.

The server calls ``evaluate_bits(bits, n)`` with the packed requests of a
batch; the base class unpacks them with NumPy and encodes the replies. The
uniform evaluator overrides it and needs no NumPy.

``velmar.serving.factory.make_evaluator`` builds the evaluator that an
``--evaluator`` value names.
"""

import os

from velmar.game.planes import CELLS, encode_replies, encode_reply, unpack_planes

CORNERS = (0, 19, 399, 380)  # starting corner of seats 0..3


class EvaluatorUnavailable(RuntimeError):
    """The evaluator cannot be used here (a missing package, for instance)."""


class Evaluator:
    """Base class: subclasses implement ``evaluate``."""

    name = "evaluator"
    batch_wait_ms = 0.5

    def describe(self):
        return self.name

    def evaluate(self, planes):  # pragma: no cover - interface
        raise NotImplementedError

    def evaluate_bits(self, bits, n):
        logits, values = self.evaluate(unpack_planes(bits, n))
        return encode_replies(logits, values)


class UniformEvaluator(Evaluator):
    """Every logit 0.0 (uniform priors over the legal tiles), every value
    0.25. Standard library only."""

    name = "uniform"
    batch_wait_ms = 0.0
    REPLY = encode_reply([0.0] * CELLS, [0.25] * 4)

    def evaluate(self, planes):
        import numpy as np
        n = len(planes)
        return np.zeros((n, CELLS), np.float32), np.full((n, 4), 0.25, np.float32)

    def evaluate_bits(self, bits, n):
        return [self.REPLY] * n


class SleepEvaluator(Evaluator):
    """A fixed-latency stand-in for a fast accelerator: every batch takes
    ``ms`` milliseconds whatever its size (``time.sleep``, which lets go of
    the interpreter lock), then answers like the uniform evaluator. For
    measuring how well the server fills its batches."""

    name = "sleep"
    batch_wait_ms = 0.0

    def __init__(self, ms):
        import math
        try:
            ms = float(ms)
        except (TypeError, ValueError):
            raise ValueError("sleep:MS needs a number of milliseconds, not %r" % (ms,))
        if not (math.isfinite(ms) and ms >= 0):
            raise ValueError("sleep:MS needs a finite number of milliseconds, 0 or more")
        self.ms = ms

    def describe(self):
        return "sleep:%g" % self.ms

    def evaluate_bits(self, bits, n):
        import time
        time.sleep(self.ms / 1000.0)
        return [UniformEvaluator.REPLY] * n


def mover_seats(planes):
    """The seat of the player to move for each position of a batch, read
    from the planes (``velmar.net.orientation.mover_seats``: the starting
    corner that the mover's squares cover, else the one near which its
    squares and legal cells lie; SeatUnknown where neither tells)."""
    from velmar.net import orientation
    return orientation.mover_seats(planes)


def to_seat_order(relative, seats):
    """Rotates values given relative to the mover (entry j: the player seated
    j after the mover) into seat order (entry p: player p)."""
    import numpy as np
    relative = np.asarray(relative)
    n = len(relative)
    out = np.empty_like(relative)
    rows = np.arange(n)[:, None]
    cols = (np.asarray(seats)[:, None] + np.arange(4)[None, :]) % 4
    out[rows, cols] = relative
    return out


# ---------------------------------------------------------------------------
# The network of velmar.net.network, in NumPy and in PyTorch.

def _weights(path, seed):
    from velmar.net import network
    return network.load_weights(path) if path else network.init_weights(seed=seed)


class NumpyEvaluator(Evaluator):
    """The network in NumPy, weights from an .npz or a seeded random
    initialisation of the default architecture."""

    name = "numpy"

    def __init__(self, path=None, seed=0):
        try:
            import numpy  # noqa: F401
        except ImportError as e:
            raise EvaluatorUnavailable("NumPy is not available for this interpreter (%s); "
                                       "give --server-python /usr/bin/python3"
                                       % e.__class__.__name__)
        from velmar.net.network import NumpyNet, keep_freed_memory
        keep_freed_memory()
        self.path = path
        self.seed = seed
        self.weights = _weights(path, seed)
        self.net = NumpyNet(self.weights)

    def describe(self):
        return "numpy:%s (%s)" % (self.path or "random(seed=%d)" % self.seed,
                                  self.weights.arch.describe())

    def evaluate(self, planes):
        seats = mover_seats(planes)
        logits, relative = self.net(planes, seats)
        return logits, to_seat_order(relative, seats)


class TorchEvaluator(Evaluator):
    """The same network in PyTorch, on CPU or CUDA. Weights from an .npz of
    velmar.net.network, a state dict saved with torch.save, or a seeded random
    initialisation. On the CPU it runs on one thread unless OMP_NUM_THREADS
    says otherwise (the self-play workers use the other cores)."""

    name = "torch"
    batch_wait_ms = 1.0

    def __init__(self, path=None, seed=0, device=None):
        try:
            import torch
            from velmar.net import torch_net
        except ImportError as e:
            raise EvaluatorUnavailable(
                "PyTorch is not installed for this interpreter (%s); install Debian's "
                "python3-torch or use --evaluator numpy" % e)
        from velmar.net.network import keep_freed_memory
        keep_freed_memory()
        self.torch = torch
        if device is None:
            device = "cuda" if torch.cuda.is_available() else "cpu"
        try:
            self.device = torch.device(device)
        except RuntimeError as e:
            raise ValueError("bad torch device %r (%s)" % (device, e))
        if self.device.type == "cpu" and "OMP_NUM_THREADS" not in os.environ:
            torch.set_num_threads(1)
        self.path = path
        self.seed = seed
        if path and not path.endswith(".npz"):
            self.weights = torch_net.from_state_dict(torch.load(path, map_location="cpu"))
        else:
            self.weights = _weights(path, seed)
        try:
            self.net = torch_net.to_module(self.weights, self.device).eval()
        except (AssertionError, RuntimeError) as e:  # no CUDA in this build, for instance
            raise EvaluatorUnavailable("torch device %s: %s" % (self.device, e))

    def describe(self):
        return "torch:%s (%s) on %s" % (self.path or "random(seed=%d)" % self.seed,
                                        self.weights.arch.describe(), self.device)

    def evaluate(self, planes):
        torch = self.torch
        seats = mover_seats(planes)
        with torch.no_grad():
            x = torch.from_numpy(planes).to(self.device)
            logits, value_logits = self.net(x, torch.from_numpy(seats))
            logits = logits.float().cpu().numpy()
            relative = torch.softmax(value_logits.float(), dim=1).cpu().numpy()
        return logits, to_seat_order(relative, mover_seats(planes))
