"""The position encoding and the inference wire format, in one place.

A position reaches an evaluator as five planes of 400 cells (plane 0: the
squares of the player seated one before the mover, 1: the mover's, 2: one
after, 3: two after, 4: the cells the mover may take next), 2,000 floats
each 0.0 or 1.0, plane-major. Packed, they are 250 bytes, one bit per entry:
bit ``i % 8`` of byte ``i // 8`` is entry ``i``. The training shards store
the same 250 bytes (``planes_bits``).

A request is a header of three little-endian 32-bit integers (kind, reply
channel, route) followed by the packed planes: ``REQUEST_SIZE`` (262) bytes,
small enough for one atomic pipe write. A reply is 400 float32 policy
logits followed by 4 float32 values in seat order (``REPLY_SIZE`` bytes,
little-endian).

The C++ side (``velmar.rules.pack_planes`` and the module's inference
client) writes the same layout; the tests check that the two agree.
"""

import array
import struct
import sys

try:
    from velmar import rules as _rules
    SIDE, CELLS, PLAYERS = _rules.BOARD_SIDE, _rules.NUM_CELLS, _rules.NUM_PLAYERS
except ImportError:  # the pure-Python parts work without the extension
    _rules = None
    SIDE, CELLS, PLAYERS = 20, 400, 4

PLANES = 5
BITS_SIZE = PLANES * CELLS // 8  # 250
HEADER = struct.Struct("<iii")  # kind, reply channel, route (request id)
REQUEST_SIZE = HEADER.size + BITS_SIZE  # 262
REPLY_SIZE = (CELLS + PLAYERS) * 4  # 1616

KIND_REQUEST = 0
KIND_CHANNEL_GONE = 1
KIND_STOP = 2

_FLOATS = struct.Struct("<%df" % (PLANES * CELLS))
_TO_DIGITS = bytes.maketrans(b"\x00\x3f", b"01")
_LITTLE = sys.byteorder == "little"


def pack_planes_struct(planes):
    """Packs five lists of 400 floats (each 0.0 or 1.0) into 250 bytes.

    CPython version: ``struct`` turns the floats into float32 bytes in C; the
    high byte of each float is 0x3F for 1.0 and 0x00 for 0.0; those bytes,
    read as binary digits (first entry least significant), give the bits.
    """
    p0, p1, p2, p3, p4 = planes
    raw = _FLOATS.pack(*p0, *p1, *p2, *p3, *p4)
    digits = raw[3::4].translate(_TO_DIGITS)
    return int(digits[::-1], 2).to_bytes(BITS_SIZE, "little")


def pack_planes_loop(planes):
    """Packs the planes with a plain loop (what a tracing JIT runs best)."""
    out = bytearray(BITS_SIZE)
    i = 0
    for plane in planes:
        for v in plane:
            if v:
                out[i >> 3] |= 1 << (i & 7)
            i += 1
    return bytes(out)


pack_planes = (pack_planes_loop if sys.implementation.name == "pypy"
               else pack_planes_struct)


def make_packer():
    """The fastest packer here: the rules extension's C loop under CPython,
    the plain loop (which the JIT compiles) under PyPy."""
    if sys.implementation.name == "pypy":
        return pack_planes_loop
    if _rules is not None:
        return _rules.pack_planes
    return pack_planes_struct


def unpack_planes_py(bits):
    """Inverse of ``pack_planes`` without NumPy: 5 lists of 400 floats."""
    flat = [float((bits[i >> 3] >> (i & 7)) & 1) for i in range(PLANES * CELLS)]
    return [flat[k * CELLS:(k + 1) * CELLS] for k in range(PLANES)]


def unpack_planes(bits, n):
    """n packed positions (n * 250 bytes) as a float32 array (n, 5, 20, 20)."""
    import numpy as np
    flat = np.unpackbits(np.frombuffer(bits, dtype=np.uint8), bitorder="little")
    return flat.reshape(n, PLANES, SIDE, SIDE).astype(np.float32)


def encode_reply(logits, values):
    """One reply message from 400 logits and 4 values (seat order)."""
    a = array.array("f", logits)
    a.extend(values)
    if len(a) != CELLS + PLAYERS:
        raise ValueError("a reply needs 400 logits and 4 values, got %d numbers" % len(a))
    if not _LITTLE:
        a.byteswap()
    return a.tobytes()


def encode_replies(logits, values):
    """The replies of a batch from arrays (n, 400) and (n, 4)."""
    import numpy as np
    n = len(logits)
    out = np.empty((n, CELLS + PLAYERS), dtype="<f4")
    out[:, :CELLS] = logits
    out[:, CELLS:] = values
    raw = out.tobytes()
    return [raw[i * REPLY_SIZE:(i + 1) * REPLY_SIZE] for i in range(n)]


def decode_reply(data):
    """(logits, values) as lists of floats from one reply message."""
    a = array.array("f")
    a.frombytes(data)
    if not _LITTLE:
        a.byteswap()
    return a[:CELLS].tolist(), a[CELLS:].tolist()
