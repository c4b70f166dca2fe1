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
relative to the mover too. ``mover_seats`` recovers the mover's seat from the
planes and ``to_seat_order`` rotates mover-relative values (entry j for the
player seated j after the mover, as in the training data's
``payoff_mover``) into seat order.

The server calls ``evaluate_bits(bits, n)`` with the packed requests of a
batch; the base class unpacks them with NumPy and encodes the replies. The
uniform evaluator overrides it and needs no NumPy.

Evaluator names understood by ``make_evaluator``: ``uniform``, ``numpy``,
``numpy:PATH`` (weights from an .npz), ``torch``, ``torch:PATH`` (a state
dict saved with torch.save, or an .npz of the same names), and
``package.module.factory[:ARG]``, which imports ``factory`` and calls it as
``factory(ARG, seed=..., device=...)`` (ARG is None when absent).
"""

import importlib
import os

from velmar.server import CELLS, PLANES, REPLY_SIZE, encode_reply

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
        import numpy as np
        flat = np.unpackbits(np.frombuffer(bits, dtype=np.uint8), bitorder="little")
        planes = flat.reshape(n, PLANES, 20, 20).astype(np.float32)
        logits, values = self.evaluate(planes)
        out = np.empty((n, CELLS + 4), dtype="<f4")
        out[:, :CELLS] = logits
        out[:, CELLS:] = values
        raw = out.tobytes()
        return [raw[i * REPLY_SIZE:(i + 1) * REPLY_SIZE] for i in range(n)]


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


def _corner_regions():
    import numpy as np
    region = np.zeros((CELLS, 4), np.float32)
    for seat, c in enumerate(CORNERS):
        r0, c0 = divmod(c, 20)
        for x in range(CELLS):
            r, col = divmod(x, 20)
            if abs(r - r0) + abs(col - c0) <= 4:
                region[x, seat] = 1.0
    return region


_REGIONS = None


def mover_seats(planes):
    """The seat of the player to move for each position of a batch.

    Every player's first piece covers its own starting corner, and every
    player places a first piece in the first round. So the mover's seat is
    the corner covered by its own plane (plane 1); before the mover has
    completed its first piece, every cell it may take (plane 4) and every
    square it has taken lie within 4 steps of its corner.
    """
    import numpy as np
    global _REGIONS
    if _REGIONS is None:
        _REGIONS = _corner_regions()
    p = np.asarray(planes).reshape(len(planes), PLANES, CELLS)
    own_corner = p[:, 1, list(CORNERS)]
    near = (p[:, 4, :] + p[:, 1, :]) @ _REGIONS
    return np.argmax(own_corner * 1000.0 + near, axis=1)


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
# The small policy/value network, in NumPy and in PyTorch. Parameter names
# and shapes are those of the PyTorch module's state dict.

CHANNELS = 16
HIDDEN = 32
PARAM_SHAPES = {
    "conv1.weight": (CHANNELS, PLANES, 3, 3), "conv1.bias": (CHANNELS,),
    "conv2.weight": (CHANNELS, CHANNELS, 3, 3), "conv2.bias": (CHANNELS,),
    "conv3.weight": (CHANNELS, CHANNELS, 3, 3), "conv3.bias": (CHANNELS,),
    "policy_conv.weight": (1, CHANNELS, 1, 1), "policy_conv.bias": (1,),
    "policy_bias": (CELLS,),
    "value_fc1.weight": (HIDDEN, CHANNELS), "value_fc1.bias": (HIDDEN,),
    "value_fc2.weight": (4, HIDDEN), "value_fc2.bias": (4,),
}


def init_params(seed=0):
    """Seeded random initialisation (He-normal weights, zero biases)."""
    import numpy as np
    rng = np.random.RandomState(seed)
    params = {}
    for name, shape in PARAM_SHAPES.items():
        if name.endswith("weight"):
            fan_in = int(np.prod(shape[1:]))
            params[name] = (rng.standard_normal(shape) * np.sqrt(2.0 / fan_in)).astype(np.float32)
        else:
            params[name] = np.zeros(shape, np.float32)
    return params


def save_params(params, path):
    """Writes the parameters to an .npz (temporary name, then renamed)."""
    import numpy as np
    tmp = "%s.tmp-%d.npz" % (path, os.getpid())
    np.savez(tmp, **params)
    os.replace(tmp, path)


def load_params(path):
    import numpy as np
    with np.load(path) as f:
        params = {k: np.asarray(f[k], np.float32) for k in f.files}
    check_params(params)
    return params


def check_params(params):
    for name, shape in PARAM_SHAPES.items():
        if name not in params:
            raise KeyError("the weights lack %r" % name)
        if tuple(params[name].shape) != shape:
            raise ValueError("%s has shape %s, expected %s"
                             % (name, tuple(params[name].shape), shape))


_PAD = 22 * 22  # a 20 x 20 plane with a border of zeros, flattened
_MARGIN = 23    # room for the largest shift, one row and one column
_OFFSETS = [(dy - 1) * 22 + (dx - 1) for dy in range(3) for dx in range(3)]


def _interior(n):
    import numpy as np
    m = np.zeros((n, 22, 22), np.float32)
    m[:, 1:-1, 1:-1] = 1.0
    return m.reshape(n * _PAD)


def _conv3x3_relu(x, w, b, interior):
    """One 3 x 3 convolution with zero padding and a ReLU.

    x: (Cin, n * 484 + 2 * 23), channel-major, each position a 22 x 22 image
    (the 20 x 20 planes with a border of zeros) flattened, with a margin at
    both ends. A shift by (dy, dx) is then a constant offset along the last
    axis, so each of the nine kernel taps is one matrix product on a view,
    without copying the input. Returns the output in the same layout (its
    border cleared again)."""
    import numpy as np
    length = len(interior)
    out = None
    for k, off in enumerate(_OFFSETS):
        dy, dx = divmod(k, 3)
        tap = np.ascontiguousarray(w[:, :, dy, dx])
        part = tap @ x[:, _MARGIN + off:_MARGIN + off + length]
        if out is None:
            out = part
        else:
            out += part
    out += b[:, None]
    np.maximum(out, 0.0, out=out)
    out *= interior
    y = np.zeros((out.shape[0], length + 2 * _MARGIN), np.float32)
    y[:, _MARGIN:_MARGIN + length] = out
    return y


CHUNK = 8  # positions per pass: the activations of 8 stay in the cache


def numpy_forward(params, planes):
    """Forward pass: planes (B, 5, 20, 20) -> logits (B, 400) and values
    relative to the mover (B, 4), a softmax (they sum to 1 like payoffs)."""
    import numpy as np
    planes = np.asarray(planes, np.float32)
    if len(planes) <= CHUNK:
        return _forward(params, planes)
    parts = [_forward(params, planes[i:i + CHUNK]) for i in range(0, len(planes), CHUNK)]
    return np.concatenate([a for a, _ in parts]), np.concatenate([b for _, b in parts])


def _forward(params, planes):
    import numpy as np
    n = len(planes)
    interior = _interior(n)
    x = np.zeros((PLANES, n * _PAD + 2 * _MARGIN), np.float32)
    x[:, _MARGIN:_MARGIN + n * _PAD].reshape(PLANES, n, 22, 22)[:, :, 1:-1, 1:-1] = \
        planes.transpose(1, 0, 2, 3)
    for k in (1, 2, 3):
        x = _conv3x3_relu(x, params["conv%d.weight" % k], params["conv%d.bias" % k], interior)
    feats = x[:, _MARGIN:_MARGIN + n * _PAD].reshape(CHANNELS, n, 22, 22)[:, :, 1:-1, 1:-1] \
        .reshape(CHANNELS, n, CELLS)
    logits = np.tensordot(params["policy_conv.weight"].reshape(CHANNELS), feats, axes=1) \
        + params["policy_conv.bias"][0] + params["policy_bias"]
    pooled = feats.mean(axis=2).T  # (n, C)
    h = pooled @ params["value_fc1.weight"].T + params["value_fc1.bias"]
    np.maximum(h, 0.0, out=h)
    v = h @ params["value_fc2.weight"].T + params["value_fc2.bias"]
    v = v - v.max(axis=1, keepdims=True)
    e = np.exp(v)
    return logits.astype(np.float32), (e / e.sum(axis=1, keepdims=True)).astype(np.float32)


class NumpyEvaluator(Evaluator):
    """The small network in NumPy, weights from an .npz or a seeded random
    initialisation."""

    name = "numpy"

    def __init__(self, path=None, seed=0):
        try:
            import numpy  # noqa: F401
        except ImportError as e:
            raise EvaluatorUnavailable("NumPy is not available for this interpreter (%s); "
                                       "give --server-python /usr/bin/python3" % e.__class__.__name__)
        self.path = path
        self.seed = seed
        self.params = load_params(path) if path else init_params(seed)

    def describe(self):
        return "numpy:%s" % (self.path or "random(seed=%d)" % self.seed)

    def evaluate(self, planes):
        logits, relative = numpy_forward(self.params, planes)
        return logits, to_seat_order(relative, mover_seats(planes))


def torch_module():
    """The PyTorch version of the network (an nn.Module class)."""
    import torch
    from torch import nn

    class VelmarNet(nn.Module):
        def __init__(self):
            super().__init__()
            self.conv1 = nn.Conv2d(PLANES, CHANNELS, 3, padding=1)
            self.conv2 = nn.Conv2d(CHANNELS, CHANNELS, 3, padding=1)
            self.conv3 = nn.Conv2d(CHANNELS, CHANNELS, 3, padding=1)
            self.policy_conv = nn.Conv2d(CHANNELS, 1, 1)
            self.policy_bias = nn.Parameter(torch.zeros(CELLS))
            self.value_fc1 = nn.Linear(CHANNELS, HIDDEN)
            self.value_fc2 = nn.Linear(HIDDEN, 4)

        def forward(self, x):
            x = torch.relu(self.conv1(x))
            x = torch.relu(self.conv2(x))
            x = torch.relu(self.conv3(x))
            logits = self.policy_conv(x).flatten(1) + self.policy_bias
            h = torch.relu(self.value_fc1(x.flatten(2).mean(dim=2)))
            return logits, torch.softmax(self.value_fc2(h), dim=1)

    return VelmarNet


class TorchEvaluator(Evaluator):
    """The same network in PyTorch, on CPU or CUDA."""

    name = "torch"
    batch_wait_ms = 1.0

    def __init__(self, path=None, seed=0, device=None):
        try:
            import torch
        except ImportError as e:
            raise EvaluatorUnavailable(
                "PyTorch is not installed for this interpreter (%s); install Debian's "
                "python3-torch or use --evaluator numpy" % e)
        import numpy as np
        self.torch = torch
        if device is None:
            device = "cuda" if torch.cuda.is_available() else "cpu"
        self.device = torch.device(device)
        self.path = path
        self.seed = seed
        net = torch_module()()
        if path and not path.endswith(".npz"):
            state = torch.load(path, map_location="cpu")
        else:
            params = load_params(path) if path else init_params(seed)
            state = {k: torch.from_numpy(np.asarray(v)) for k, v in params.items()}
        net.load_state_dict(state)
        self.net = net.to(self.device).eval()

    def describe(self):
        return "torch:%s on %s" % (self.path or "random(seed=%d)" % self.seed, self.device)

    def evaluate(self, planes):
        torch = self.torch
        with torch.no_grad():
            x = torch.from_numpy(planes).to(self.device)
            logits, relative = self.net(x)
            logits = logits.float().cpu().numpy()
            relative = relative.float().cpu().numpy()
        return logits, to_seat_order(relative, mover_seats(planes))


def make_evaluator(choice, seed=0, device=None):
    """Builds the evaluator that an ``--evaluator`` value names."""
    name, _, arg = choice.partition(":")
    arg = arg or None
    if name == "uniform":
        if arg:
            raise ValueError("the uniform evaluator takes no argument")
        return UniformEvaluator()
    if name == "numpy":
        return NumpyEvaluator(arg, seed)
    if name == "torch":
        return TorchEvaluator(arg, seed, device)
    if "." in name:
        module, _, attr = name.rpartition(".")
        factory = getattr(importlib.import_module(module), attr, None)
        if not callable(factory):
            raise ValueError("%s.%s is %s" % (
                module, attr, "missing" if factory is None else "not callable"))
        return factory(arg, seed=seed, device=device)
    raise ValueError("unknown evaluator %r (uniform, numpy[:PATH], torch[:PATH] "
                     "or package.module.factory[:ARG])" % choice)
