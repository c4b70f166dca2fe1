"""Training data: shards on disk, loading.

One row per tile of every game (``game_rows``, from
``velmar.game.records``). A shard ``shard-NNNNN.npz`` is a NumPy .npz
archive (written with the standard library, so PyPy can write it too) with
these members, N rows and G games:

=================  =============  ==========================================
member             dtype, shape   content
=================  =============  ==========================================
``planes_bits``    uint8 (N,250)  the five input planes of the position the
                                  search saw, one bit per entry (bit i % 8
                                  of byte i // 8 is entry i of the 2,000
                                  plane-major floats); ``load`` unpacks it
``player``         int8 (N,)      the seat of the player to move (0..3)
``cell``           int16 (N,)     the tile taken (cell 0..399)
``policy``         float32 (N,400) the search's visit shares per cell, 0 on
                                  cells that were not legal tiles
``payoff``         float32 (N,4)  the game's final payoffs in seat order (the
                                  value target; ``greedy-data
                                  --value-playouts`` writes playouts' means)
``payoff_mover``   float32 (N,4)  the same, rotated to the mover's view:
                                  entry j is the payoff of the player
                                  seated j after the mover (0: the mover)
``game``           int32 (N,)     the game's index in the run
``tile``           int16 (N,)     the tile's index in its game (0, 1, ...)
``games``          int32 (G,)     the games in this shard
``scores``         int16 (G,4)    their final scores in seat order
``tiles``          int16 (G,)     their number of tiles
``full_search``    bool (N,)      whether the tile had a full search; only
                                  in runs with playout caps (absent: all)
=================  =============  ==========================================

``load(DIR)`` reads every shard of a directory (ignoring anything else,
such as a temporary file; refusing a shard that is not well formed with a
``ShardError`` that names the file and the member) and returns a dict of NumPy arrays with the
members above concatenated in (game, tile) order (``full_search``
always, True where a shard has none) plus ``planes``, uint8
(N, 5, 20, 20) with 0/1 entries (plane 0: squares of the player seated one
before the mover, 1: the mover's, 2: one after, 3: two after, 4: the cells
the mover may take next).
"""

import array
import ast
import glob
import os
import stat
import struct
import sys
import zipfile
import zlib

from velmar.common.files import atomic_file
from velmar.game.planes import BITS_SIZE, CELLS
from velmar.game.records import RecordError, game_rows  # noqa: F401 (the rows of a game)

SHARD_GLOB = "shard-[0-9][0-9][0-9][0-9][0-9].npz"
ROW_FIELDS = ("planes_bits", "player", "cell", "policy", "payoff", "payoff_mover", "game", "tile")
GAME_FIELDS = ("games", "scores", "tiles")
# field -> (array typecode, numpy descr, row width or None for a scalar row)
FIELDS = {
    "planes_bits": ("B", "|u1", BITS_SIZE),
    "player": ("b", "|i1", None),
    "cell": ("h", "<i2", None),
    "policy": ("f", "<f4", CELLS),
    "payoff": ("f", "<f4", 4),
    "payoff_mover": ("f", "<f4", 4),
    "game": ("i", "<i4", None),
    "tile": ("h", "<i2", None),
    "games": ("i", "<i4", None),
    "scores": ("h", "<i2", 4),
    "tiles": ("h", "<i2", None),
}
# Row members only some shards have: a run's playout caps write full_search.
OPTIONAL_FIELDS = {"full_search": ("B", "|b1", None)}
ALL_FIELDS = {**FIELDS, **OPTIONAL_FIELDS}
_LITTLE = sys.byteorder == "little"


def _npy_bytes(a, descr, width):
    count = len(a)
    shape = (count,) if width is None else (count // width, width)
    header = "{'descr': '%s', 'fortran_order': False, 'shape': %s, }" % (descr, repr(shape))
    pad = 64 - (10 + len(header) + 1) % 64
    header = header + " " * pad + "\n"
    data = a
    if not _LITTLE and a.itemsize > 1:
        data = array.array(a.typecode, a)
        data.byteswap()
    return b"\x93NUMPY\x01\x00" + struct.pack("<H", len(header)) + header.encode("latin1") \
        + data.tobytes()


def write_shard(path, games):
    """Writes the rows of ``games`` (dicts from ``game_rows``) as one .npz
    shard: to a temporary name in the same directory, flushed to disk, then
    renamed into place, so the shard either exists whole or not at all. An
    optional member is written when a game has it (True for those without)."""
    fields = {n: f for n, f in ALL_FIELDS.items() if n in FIELDS or any(n in g for g in games)}
    merged = {}
    for name, (code, _, _) in fields.items():
        a = array.array(code)
        for g in games:
            a.extend(g[name] if name in g else [1] * len(g["player"]))
        merged[name] = a
    with atomic_file(path, "wb") as f:
        with zipfile.ZipFile(f, "w", zipfile.ZIP_DEFLATED, compresslevel=6) as z:
            for name, (code, descr, width) in fields.items():
                z.writestr(name + ".npy", _npy_bytes(merged[name], descr, width))
    return len(merged["player"])


def shard_paths(directory):
    return sorted(glob.glob(os.path.join(directory, SHARD_GLOB)))


def shard_name(directory, index):
    return os.path.join(directory, "shard-%05d.npz" % index)


def shard_index(path):
    """The index in a shard's name: 7 for ``shard-00007.npz``."""
    return int(os.path.basename(path)[len("shard-"):-len(".npz")])


def next_indices(directory):
    """(next shard index, next game index) after the shards already in
    ``directory``; ShardError for a shard whose games cannot be read."""
    paths = shard_paths(directory)
    if not paths:
        return 0, 0
    top = -1
    for p in paths:
        games = read_shard_py(p, {"games"})["games"][1]
        if len(games):
            top = max(top, max(games))
    return shard_index(paths[-1]) + 1, top + 1


class ShardError(ValueError):
    """A shard that cannot be read or is not well formed. The message names
    the file and, where one is at fault, the member."""


# The range of every integer member: a value outside is not a game's.
MAX_TILES = 4 * 89  # every square of every piece
INT_RANGES = {
    "player": (0, 3),
    "cell": (0, CELLS - 1),
    "game": (0, 2**31 - 1),
    "tile": (0, MAX_TILES - 1),
    "games": (0, 2**31 - 1),
    "scores": (-89, 20),  # all squares left, up to all placed with the single square last
    "tiles": (1, MAX_TILES),
    "full_search": (0, 1),
}
_ITEMSIZE = {"|u1": 1, "|b1": 1, "|i1": 1, "<i2": 2, "<i4": 4, "<f4": 4}


def _open_regular(path):
    """The file opened for reading; a FIFO, a device or a directory named like
    a shard is refused rather than waited on."""
    try:
        fd = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0))
    except OSError as e:
        raise ShardError("%s: cannot open it: %s" % (path, e.strerror or e)) from None
    if not stat.S_ISREG(os.fstat(fd).st_mode):
        os.close(fd)
        raise ShardError("%s: not a regular file" % path)
    return os.fdopen(fd, "rb")


def _parse_npy(path, name, raw):
    """(shape, data bytes) of one .npy member, checked against FIELDS."""
    def bad(what):
        return ShardError("%s: member %s: %s" % (path, name, what))
    if raw[:6] != b"\x93NUMPY" or len(raw) < 10:
        raise bad("not an .npy array")
    if raw[6] == 1:
        hlen, start = struct.unpack_from("<H", raw, 8)[0], 10
    elif raw[6] in (2, 3) and len(raw) >= 12:
        hlen, start = struct.unpack_from("<I", raw, 8)[0], 12
    else:
        raise bad("unknown .npy version %d" % raw[6])
    try:
        header = ast.literal_eval(raw[start:start + hlen].decode("latin1"))
        descr, fortran, shape = header["descr"], header["fortran_order"], tuple(header["shape"])
    except (ValueError, SyntaxError, KeyError, TypeError, MemoryError, RecursionError):
        raise bad("unreadable .npy header") from None
    _, want, width = ALL_FIELDS[name]
    if descr != want:
        raise bad("dtype %r, expected %r" % (descr, want))
    if fortran:
        raise bad("Fortran order")
    ok_shape = (len(shape) == 1 if width is None else len(shape) == 2 and shape[1] == width)
    if not ok_shape or not all(type(d) is int and d >= 0 for d in shape):
        raise bad("shape %s, expected %s" % (shape, "(N,)" if width is None else "(N, %d)" % width))
    body = raw[start + hlen:]
    size = shape[0] * (width or 1) * _ITEMSIZE[descr]
    if len(body) != size:
        raise bad("%d bytes of data for shape %s, expected %d" % (len(body), shape, size))
    return shape, body


def _read_members(path, names):
    """name -> (shape, data bytes) for the members `names` (all when None)
    that the shard has; every member of ``FIELDS`` must be there."""
    wanted = [n for n in ALL_FIELDS if names is None or n in names]
    out = {}
    with _open_regular(path) as f:
        try:
            with zipfile.ZipFile(f) as z:
                present = set(z.namelist())
                for name in FIELDS:
                    if name + ".npy" not in present:
                        raise ShardError("%s: member %s is missing" % (path, name))
                for name in (n for n in wanted if n + ".npy" in present):
                    try:
                        raw = z.read(name + ".npy")
                    except (zipfile.BadZipFile, zlib.error, EOFError, OSError,
                            NotImplementedError, RuntimeError, ValueError) as e:
                        raise ShardError("%s: member %s: %s" % (path, name, e)) from None
                    out[name] = _parse_npy(path, name, raw)
        except ShardError:
            raise
        except (zipfile.BadZipFile, zlib.error, EOFError, OSError, ValueError) as e:
            raise ShardError("%s: not a readable .npz archive (%s)" % (path, e)) from None
    _check_counts(path, out)
    return out


def _check_counts(path, members):
    """Every row member has the same number of rows, every game member the
    same number of games."""
    for group in (ROW_FIELDS + tuple(OPTIONAL_FIELDS), GAME_FIELDS):
        counts = {n: members[n][0][0] for n in group if n in members}
        if len(set(counts.values())) > 1:
            raise ShardError("%s: members disagree on their length: %s" % (
                path, ", ".join("%s %d" % kv for kv in counts.items())))


def _check_int_range(path, name, low, high):
    """Raises unless the member's least value `low` and greatest `high` lie in its range."""
    lo, hi = INT_RANGES[name]
    if low < lo or high > hi:
        value = low if low < lo else high
        raise ShardError("%s: member %s: value %d outside %d..%d" % (path, name, value, lo, hi))


def read_shard_py(path, names=None):
    """Reads members of a shard with the standard library only: a dict of
    name -> (shape, array.array) (an optional member only where the shard
    has it). Raises ShardError for a file that is not a
    shard or whose members are missing or of the wrong dtype, shape or
    (integer members) range."""
    out = {}
    for name, (shape, body) in _read_members(path, names).items():
        a = array.array(ALL_FIELDS[name][0])
        a.frombytes(body)
        if not _LITTLE and a.itemsize > 1:
            a.byteswap()
        if name in INT_RANGES and len(a):
            _check_int_range(path, name, min(a), max(a))
        out[name] = (shape, a)
    return out


def _read_shard_np(path):
    """Every member of a shard as NumPy arrays, checked (see ``check_shard``)."""
    import numpy as np
    d = {}
    for name, (shape, body) in _read_members(path, None).items():
        d[name] = np.frombuffer(body, np.dtype(ALL_FIELDS[name][1])).reshape(shape)
    check_shard(path, d)
    return d


def check_shard(path, d):
    """Checks the content of a shard's members (NumPy arrays): integer
    ranges, policies and payoffs in [0, 1], every policy a distribution over
    the legal tiles of its position that covers the tile taken, the mover's
    payoffs the seat payoffs rotated, the rows of every game listed once and
    counted in ``tiles``, and ``full_search`` (where there) only 0 and 1."""
    import numpy as np

    def bad(name, what):
        return ShardError("%s: member %s: %s" % (path, name, what))

    def row(i):
        return "row %d (game %d, tile %d)" % (i, d["game"][i], d["tile"][i])
    for name in INT_RANGES:
        if name in d and d[name].size:
            a = d[name].view(np.uint8) if d[name].dtype == bool else d[name]
            _check_int_range(path, name, int(a.min()), int(a.max()))
    for name in ("policy", "payoff", "payoff_mover"):
        a = d[name]
        if not np.all((a >= 0.0) & (a <= 1.0)):  # NaN fails both
            raise bad(name, "a value outside [0, 1] or not a number")
    n = len(d["player"])
    if not n:
        return
    legal = np.unpackbits(d["planes_bits"], axis=1, bitorder="little")[:, 4 * CELLS:]
    off = (d["policy"] > 0) & (legal == 0)
    if off.any():
        i = int(np.argmax(off.any(axis=1)))
        raise bad("policy", "%s puts mass on cell %d, not a legal tile"
                  % (row(i), int(np.argmax(off[i]))))
    if not np.all(legal[np.arange(n), d["cell"]]):
        i = int(np.argmin(legal[np.arange(n), d["cell"]]))
        raise bad("cell", "%s takes cell %d, not a legal tile" % (row(i), int(d["cell"][i])))
    sums = d["policy"].sum(axis=1, dtype=np.float64)
    if not np.all(np.abs(sums - 1.0) <= 1e-3):
        i = int(np.argmax(np.abs(sums - 1.0)))
        raise bad("policy", "%s sums to %g, not 1" % (row(i), sums[i]))
    seats = (d["player"][:, None].astype(np.int64) + np.arange(4)[None, :]) % 4
    if not np.array_equal(np.take_along_axis(d["payoff"], seats, axis=1), d["payoff_mover"]):
        raise bad("payoff_mover", "not the payoffs seen from the mover's seat")
    games, counts = np.unique(d["game"], return_counts=True)
    if len(np.unique(d["games"])) != len(d["games"]):
        raise bad("games", "a game listed twice")
    listed = dict(zip(d["games"].tolist(), d["tiles"].tolist()))
    for g, k in zip(games.tolist(), counts.tolist()):
        if listed.get(g) != k:
            raise bad("tiles", "game %d has %d rows but %s tiles listed" % (g, k, listed.get(g)))


def _paths(path):
    """The shards of a directory, or the one file named."""
    return shard_paths(path) if os.path.isdir(path) or not os.path.exists(path) else [path]


def _no_game_twice(seen, path, games):
    for g in games:
        if g in seen:
            raise ShardError("%s: game %d is also in %s" % (path, g, seen[g]))
        seen[g] = path


def load(path):
    """Loads a directory of shards (or one shard file) into NumPy arrays,
    sorted by (game, tile); see the module's docstring for the fields.
    Raises ShardError, naming the file and the member, for a shard that is
    not well formed (``check_shard``) or a game found in two shards."""
    import numpy as np
    parts = {name: [] for name in ALL_FIELDS}
    seen = {}
    for p in _paths(path):
        d = _read_shard_np(p)
        _no_game_twice(seen, p, d["games"].tolist())
        d.setdefault("full_search", np.ones(len(d["player"]), bool))
        for name in ALL_FIELDS:
            parts[name].append(d[name])
    out = {}
    for name, (_, descr, width) in ALL_FIELDS.items():
        if parts[name]:
            out[name] = np.concatenate(parts[name])
        else:
            shape = (0,) if width is None else (0, width)
            out[name] = np.zeros(shape, np.dtype(descr))
    order = np.lexsort((out["tile"], out["game"]))
    for name in ROW_FIELDS + tuple(OPTIONAL_FIELDS):
        out[name] = out[name][order]
    gorder = np.argsort(out["games"], kind="stable")
    for name in GAME_FIELDS:
        out[name] = out[name][gorder]
    n = len(out["player"])
    out["planes"] = np.unpackbits(out["planes_bits"], axis=1, bitorder="little") \
        .reshape(n, 5, 20, 20)
    return out


def game_records(path):
    """The games in a directory of shards (or one shard) without NumPy:
    a dict game index -> {"history": [(player, cell)], "policy": rows or
    None, "scores": [...]}, history in tile order."""
    games = {}
    seen = {}
    for p in _paths(path):
        d = read_shard_py(p, {"player", "cell", "game", "tile", "games", "scores", "policy"})
        _no_game_twice(seen, p, d["games"][1])
        player, cell, game, tile = (d[k][1] for k in ("player", "cell", "game", "tile"))
        policy = d["policy"][1]
        for i in range(len(player)):
            rec = games.setdefault(game[i], {"history": {}, "policy": {}, "scores": None})
            rec["history"][tile[i]] = (player[i], cell[i])
            rec["policy"][tile[i]] = policy[i * CELLS:(i + 1) * CELLS]
        scores = d["scores"][1]
        for k, gi in enumerate(d["games"][1]):
            if gi in games:
                games[gi]["scores"] = list(scores[4 * k:4 * k + 4])
    for rec in games.values():
        rec["history"] = [rec["history"][t] for t in sorted(rec["history"])]
        rec["policy"] = [rec["policy"][t] for t in sorted(rec["policy"])]
    return games
