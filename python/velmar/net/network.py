"""The policy/value network: its architecture, parameters, weight files and
a NumPy forward pass.

One family, described by an ``Architecture``: a 3 x 3 convolution stem from
the input planes to C channels (ReLU), B residual blocks (two 3 x 3
convolutions of C channels, the block's input added before the second ReLU),
and two heads on the last features:

- policy: a 1 x 1 convolution to one channel plus a learned bias per cell,
  400 logits (only the legal cells matter);
- value: the features averaged over the board, a hidden layer of H units
  (ReLU) and 4 outputs whose softmax is the predicted payoff RELATIVE TO THE
  MOVER (entry j: the player seated j after the mover, as ``payoff_mover``
  in the training data); four numbers that sum to 1.

A canonical network (``Architecture.canonical``) sees every position from
its mover's starting corner (``velmar.net.orientation``): the five planes
turned so that corner is cell 0, plus four constant one-hot planes for the
mover's seat (nine input planes); its policy logits (the per-cell bias
included, which lives in the turned frame) are turned back onto the board.
The other networks see the five planes as they come.

Parameter names and shapes are those of the PyTorch module's state dict
(``velmar.net.torch_net``), so one weight file serves both frameworks:

==============================  ================
``stem.weight``, ``.bias``      (C, I, 3, 3), (C,); I = 5, 9 (canonical), 10, 14
``blocks.K.conv1.weight``       (C, C, 3, 3), and ``.bias`` (C,); K = 0..B-1
``blocks.K.conv2.weight``       the same
``policy.weight``, ``.bias``    (1, C, 1, 1), (1,)
``policy_cell_bias``            (400,)
``value_fc1.weight``, ``.bias`` (H, C), (H,)
``value_fc2.weight``, ``.bias`` (4, H), (4,)
==============================  ================

A network with auxiliary heads (``Architecture.aux``) has two more, used in
training only (the trunk learns from them; the NumPy forward reads but skips
them):

- ownership: a 1 x 1 convolution to 5 logits per cell, the cell's final
  owner relative to the mover (0: nobody, 1 + j: the player seated j after
  the mover);
- score: a linear layer from the averaged features to the final scores
  relative to the mover (see ``velmar.learning.aux_targets`` for their
  scale).

==============================  ================
``ownership.weight``, ``.bias`` (5, C, 1, 1), (5,)
``score_fc.weight``, ``.bias``  (4, C), (4,)
==============================  ================

With ``Architecture.global_pool`` every block sees the whole board: the
block's input, averaged and maximised over the board (2 C numbers), goes
through a linear layer ``blocks.K.gpool`` (weight (C, 2 C), bias (C,); the
weight zero in a fresh net) whose C outputs are added to the first
convolution's biases, per position.

A network with derived inputs (``Architecture.derived``) computes more from
the five planes (``velmar.net.derived``): five more planes after the others
(the mover's piece in progress, then the open corners of the players of
planes 0..3; turned like the others in a canonical network) and the 84 flags
of the pieces every player still holds, which go through a linear layer
``held`` (weight (C, 84), bias (C,)) whose C outputs are added to the stem's
biases, per position. The stem then takes I = 10 planes (14 canonical).

A weight file is an ``.npz`` holding these float32 arrays plus
``meta.architecture`` (a JSON string: blocks, channels, value_hidden, and
canonical, aux, global_pool and derived where true) and, for a trained generation,
``meta.training`` (a JSON string: the training record). Files without the
metadata (a state dict saved by other means) are read too; the architecture
is then taken from the shapes.
"""

import json
from dataclasses import asdict, dataclass, field
from typing import Optional

import numpy as np

from velmar.common.files import atomic_file
from velmar.net import derived as derived_inputs
from velmar.net import orientation

PLANES = 5
SIDE = 20
CELLS = SIDE * SIDE
META_ARCH = "meta.architecture"
META_TRAINING = "meta.training"
OWNER_CLASSES = 5  # nobody, then the players from the mover on


class WeightsError(ValueError):
    """A weight file or parameter set that does not fit the family."""


@dataclass(frozen=True)
class Architecture:
    blocks: int = 1
    channels: int = 16
    value_hidden: int = 32
    canonical: bool = False  # positions turned to the mover's corner, the seat as input
    aux: bool = False  # ownership and score heads (training targets only)
    global_pool: bool = False  # a bias from the whole board in every block
    derived: bool = False  # pieces held, the piece in progress, open corners as inputs

    @property
    def input_planes(self):
        return (PLANES + (orientation.SEATS if self.canonical else 0)
                + (derived_inputs.EXTRA_PLANES if self.derived else 0))

    def check(self):
        if self.blocks < 0 or self.channels < 1 or self.value_hidden < 1:
            raise WeightsError("blocks must be >= 0, channels and value_hidden >= 1 (%s)" % (self,))
        if self.global_pool and not self.blocks:
            raise WeightsError("global pooling needs at least one block")
        return self

    def describe(self):
        extras = [x for x, on in (("aux heads", self.aux), ("global pooling", self.global_pool),
                                  ("derived inputs", self.derived)) if on]
        return "%d blocks x %d channels%s%s" % (self.blocks, self.channels,
                                                ", canonical" if self.canonical else "",
                                                " (%s)" % ", ".join(extras) if extras else "")


@dataclass
class Weights:
    arch: Architecture
    params: dict
    record: Optional[dict] = field(default=None)  # how it was trained, if it was


def param_shapes(arch):
    """Parameter name -> shape, in the order of the PyTorch state dict."""
    c, h = arch.channels, arch.value_hidden
    shapes = {"stem.weight": (c, arch.input_planes, 3, 3), "stem.bias": (c,)}
    if arch.derived:
        shapes.update({"held.weight": (c, derived_inputs.HELD), "held.bias": (c,)})
    for k in range(arch.blocks):
        for conv in ("conv1", "conv2"):
            shapes["blocks.%d.%s.weight" % (k, conv)] = (c, c, 3, 3)
            shapes["blocks.%d.%s.bias" % (k, conv)] = (c,)
        if arch.global_pool:
            shapes["blocks.%d.gpool.weight" % k] = (c, 2 * c)
            shapes["blocks.%d.gpool.bias" % k] = (c,)
    shapes.update({
        "policy.weight": (1, c, 1, 1), "policy.bias": (1,), "policy_cell_bias": (CELLS,),
        "value_fc1.weight": (h, c), "value_fc1.bias": (h,),
        "value_fc2.weight": (4, h), "value_fc2.bias": (4,),
    })
    if arch.aux:
        shapes.update({"ownership.weight": (OWNER_CLASSES, c, 1, 1),
                       "ownership.bias": (OWNER_CLASSES,),
                       "score_fc.weight": (4, c), "score_fc.bias": (4,)})
    return shapes


def init_weights(arch=Architecture(), seed=0):
    """Seeded initialisation: He-normal weights and zero biases, except the
    second convolution of every block (zero, so that each block starts as the
    identity and a deep net trains without normalisation layers) and the two
    output layers (a tenth of the He scale, so that a fresh net's priors and
    values are nearly uniform)."""
    arch.check()
    rng = np.random.RandomState(seed)
    params = {}
    for name, shape in param_shapes(arch).items():
        if not name.endswith("weight") or name.endswith(("conv2.weight", "gpool.weight")):
            params[name] = np.zeros(shape, np.float32)
            continue
        scale = np.sqrt(2.0 / int(np.prod(shape[1:])))
        if name in ("policy.weight", "value_fc2.weight", "ownership.weight", "score_fc.weight"):
            scale *= 0.1
        params[name] = (rng.standard_normal(shape) * scale).astype(np.float32)
    return Weights(arch, params)


def architecture_of(params):
    """The architecture that parameter shapes describe."""
    try:
        c, planes = params["stem.weight"].shape[:2]
        h = params["value_fc1.weight"].shape[0]
    except KeyError as e:
        raise WeightsError("not weights of this network: no %s" % e)
    blocks = 0
    while "blocks.%d.conv1.weight" % blocks in params:
        blocks += 1
    derived = "held.weight" in params
    own_planes = planes - (derived_inputs.EXTRA_PLANES if derived else 0)
    return Architecture(blocks, int(c), int(h), own_planes == PLANES + orientation.SEATS,
                        aux="ownership.weight" in params,
                        global_pool="blocks.0.gpool.weight" in params, derived=derived)


def check_params(params, arch):
    shapes = param_shapes(arch)
    for name, shape in shapes.items():
        if name not in params:
            raise WeightsError("the weights lack %r" % name)
        if tuple(params[name].shape) != shape:
            raise WeightsError("%s has shape %s, expected %s"
                               % (name, tuple(params[name].shape), shape))
    extra = sorted(set(params) - set(shapes))
    if extra:
        raise WeightsError("unexpected parameters for %s: %s" % (arch.describe(), ", ".join(extra)))


def save_weights(weights, path):
    """Writes the weights (and their architecture and record) as an .npz:
    to a temporary file in the same directory, synced, then renamed, so the
    file at ``path`` is always whole."""
    check_params(weights.params, weights.arch)
    members = {k: np.asarray(v, np.float32) for k, v in weights.params.items()}
    members[META_ARCH] = np.array(json.dumps(arch_dict(weights.arch)))
    if weights.record is not None:
        members[META_TRAINING] = np.array(json.dumps(weights.record, sort_keys=True))
    with atomic_file(path, "wb") as f:
        np.savez(f, **members)


def arch_dict(arch):
    """The architecture as a dict; without ``canonical``, ``aux``,
    ``global_pool`` and ``derived`` where they are False, so that a plain
    network's file reads as before."""
    d = asdict(arch)
    for k in ("canonical", "aux", "global_pool", "derived"):
        if not d[k]:
            del d[k]
    return d


def load_weights(path):
    """Reads a weight file; raises WeightsError if it does not fit the family."""
    try:
        with np.load(path) as f:
            members = {k: f[k] for k in f.files}
    except ValueError as e:  # not an .npz, or an object array
        raise WeightsError("%s: not a weight file (%s)" % (path, e))
    meta_arch = members.pop(META_ARCH, None)
    meta_rec = members.pop(META_TRAINING, None)
    for k, v in members.items():
        # A conversion to float32 would drop imaginary parts without a word.
        if v.dtype.kind not in "fiu":
            raise WeightsError("%s: %s holds %s, not real numbers" % (path, k, v.dtype))
    params = {k: np.asarray(v, np.float32) for k, v in members.items()}
    arch = architecture_of(params)
    if meta_arch is not None:
        recorded = Architecture(**json.loads(str(meta_arch)))
        if recorded != arch:
            raise WeightsError("%s records %s but holds %s" % (path, recorded, arch))
    check_params(params, arch)
    record = json.loads(str(meta_rec)) if meta_rec is not None else None
    return Weights(arch, params, record)


def keep_freed_memory():
    """Asks glibc's malloc to keep freed blocks of up to 32 MiB for reuse
    rather than returning them to the system. PyTorch allocates every
    activation afresh; without this each forward pass of a batch of 64
    page-faults its activations in again (some 2,000 faults, three times the
    arithmetic's time on this machine). Does nothing where malloc is not
    glibc's."""
    import ctypes
    import ctypes.util
    try:
        libc = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6")
        mallopt = libc.mallopt
    except (OSError, AttributeError):
        return False
    m_trim_threshold, m_mmap_threshold = -1, -3
    return bool(mallopt(m_trim_threshold, 1 << 30) and mallopt(m_mmap_threshold, 32 << 20))


# ---------------------------------------------------------------------------
# Forward pass in NumPy.
#
# Activations are kept channel-major, each position a 22 x 22 image (the
# 20 x 20 board with a border of zeros) flattened, all positions of a chunk
# side by side, with a margin of 23 at both ends. A shift by (dy, dx) is then
# a constant offset along the last axis, so the nine taps of a 3 x 3
# convolution are nine views of one array; they are copied into one
# (9 C, L) matrix and the convolution is a single matrix product.

_WIDE = SIDE + 2
_PAD = _WIDE * _WIDE
_MARGIN = _WIDE + 1
_OFFSETS = [(dy - 1) * _WIDE + (dx - 1) for dy in range(3) for dx in range(3)]
CHUNK = 16  # positions per pass, so that a chunk's activations stay in the cache


class NumpyNet:
    """The network's forward pass in NumPy (float32)."""

    def __init__(self, weights):
        check_params(weights.params, weights.arch)
        p = weights.params
        self.arch = weights.arch

        def gemm_form(w):  # (Cout, Cin, 3, 3) -> (Cout, 9 Cin), tap-major like the columns
            return np.ascontiguousarray(w.transpose(0, 2, 3, 1).reshape(w.shape[0], -1))

        def conv(name):
            return gemm_form(p[name + ".weight"]), p[name + ".bias"][:, None].copy()

        self.stem = conv("stem")
        self.held = (p["held.weight"], p["held.bias"][:, None]) if self.arch.derived else None
        self.blocks = [conv("blocks.%d.conv1" % k) + conv("blocks.%d.conv2" % k)
                       for k in range(self.arch.blocks)]
        self.gpool = [(p["blocks.%d.gpool.weight" % k], p["blocks.%d.gpool.bias" % k][:, None])
                      if self.arch.global_pool else None for k in range(self.arch.blocks)]
        self.policy_w = p["policy.weight"].reshape(1, -1).copy()
        self.policy_b = p["policy_cell_bias"] + p["policy.bias"][0]
        self.fc1 = (p["value_fc1.weight"].T.copy(), p["value_fc1.bias"])
        self.fc2 = (p["value_fc2.weight"].T.copy(), p["value_fc2.bias"])
        self._masks = {}

    def __call__(self, planes, seats=None):
        """planes (B, 5, 20, 20) -> logits (B, 400) and values relative to the
        mover (B, 4), a softmax. ``seats``: the movers' seats, for a
        canonical network (default: read from the planes)."""
        planes = np.asarray(planes, np.float32)
        extra = held = None
        if self.arch.derived:
            extra, held = derived_inputs.derive(planes)
        if self.arch.canonical:
            x, seats = orientation.canonical_input(planes, seats)
            if extra is not None:
                x = np.concatenate([x, orientation.turn_planes(extra, seats)], axis=1)
            logits, values = self._chunked(x, held)
            return orientation.unturn_policy(logits, seats), values
        if extra is not None:
            planes = np.concatenate([planes, extra], axis=1)
        return self._chunked(planes, held)

    def _chunked(self, x, held=None):
        if len(x) <= CHUNK:
            return self._forward(x, held)
        parts = [self._forward(x[i:i + CHUNK], None if held is None else held[i:i + CHUNK])
                 for i in range(0, len(x), CHUNK)]
        return np.concatenate([a for a, _ in parts]), np.concatenate([b for _, b in parts])

    def _interior(self, n):
        m = self._masks.get(n)
        if m is None:
            m = np.zeros((n, _WIDE, _WIDE), np.float32)
            m[:, 1:-1, 1:-1] = 1.0
            m = self._masks[n] = m.reshape(1, n * _PAD)
        return m

    @staticmethod
    def _conv(x, w, b, length, residual=None):
        """3 x 3 convolution (zero padding) + bias (+ residual) + ReLU; the
        result's border is not cleared yet. ``b``: (C, 1), or (C, n) for a
        bias per position."""
        cin = x.shape[0]
        cols = np.empty((9, cin, length), np.float32)
        for k, off in enumerate(_OFFSETS):
            cols[k] = x[:, _MARGIN + off:_MARGIN + off + length]
        out = w @ cols.reshape(9 * cin, length)
        out.reshape(len(out), b.shape[1], -1)[...] += b[:, :, None]
        if residual is not None:
            out += residual[:, _MARGIN:_MARGIN + length]
        np.maximum(out, 0.0, out=out)
        return out

    @staticmethod
    def _framed(out, interior):
        out *= interior
        y = np.zeros((out.shape[0], out.shape[1] + 2 * _MARGIN), np.float32)
        y[:, _MARGIN:-_MARGIN] = out
        return y

    def _forward(self, planes, held=None):
        n, k = planes.shape[:2]
        length = n * _PAD
        interior = self._interior(n)
        x = np.zeros((k, length + 2 * _MARGIN), np.float32)
        x[:, _MARGIN:-_MARGIN].reshape(k, n, _WIDE, _WIDE)[:, :, 1:-1, 1:-1] = \
            planes.transpose(1, 0, 2, 3)
        w0, b0 = self.stem
        if self.held is not None:  # the held pieces: a bias per position
            b0 = b0 + self.held[0] @ held.T + self.held[1]
        x = self._framed(self._conv(x, w0, b0, length), interior)
        for (w1, b1, w2, b2), gpool in zip(self.blocks, self.gpool):
            if gpool is not None:  # inputs >= 0 and a zero border: the max is the board's
                board = x[:, _MARGIN:-_MARGIN].reshape(x.shape[0], n, _PAD)
                pooled = np.concatenate([board.sum(axis=2) / CELLS, board.max(axis=2)])
                b1 = b1 + gpool[0] @ pooled + gpool[1]
            h = self._framed(self._conv(x, w1, b1, length), interior)
            x = self._framed(self._conv(h, w2, b2, length, residual=x), interior)
        c = x.shape[0]
        feats = x[:, _MARGIN:-_MARGIN].reshape(c, n, _WIDE, _WIDE)[:, :, 1:-1, 1:-1]
        feats = feats.reshape(c, n * CELLS)
        logits = (self.policy_w @ feats).reshape(n, CELLS) + self.policy_b
        pooled = feats.reshape(c, n, CELLS).mean(axis=2).T
        hidden = pooled @ self.fc1[0] + self.fc1[1]
        np.maximum(hidden, 0.0, out=hidden)
        v = hidden @ self.fc2[0] + self.fc2[1]
        return logits.astype(np.float32), softmax(v).astype(np.float32)


def softmax(v):
    v = v - v.max(axis=1, keepdims=True)
    e = np.exp(v)
    return e / e.sum(axis=1, keepdims=True)


def numpy_forward(weights, planes, seats=None):
    """One-off forward pass (a ``NumpyNet`` prepares the weights once)."""
    return NumpyNet(weights)(planes, seats)
