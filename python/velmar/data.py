"""Training data: turning game records into rows, shards on disk, loading.

One row per tile of every game. A shard ``shard-NNNNN.npz`` is a NumPy .npz
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
``payoff``         float32 (N,4)  the game's final payoffs in seat order
``payoff_mover``   float32 (N,4)  the same, rotated to the mover's view:
                                  entry j is the payoff of the player
                                  seated j after the mover (0: the mover)
``game``           int32 (N,)     the game's index in the run
``tile``           int16 (N,)     the tile's index in its game (0, 1, ...)
``games``          int32 (G,)     the games in this shard
``scores``         int16 (G,4)    their final scores in seat order
``tiles``          int16 (G,)     their number of tiles
=================  =============  ==========================================

``load(DIR)`` reads every shard of a directory (ignoring anything else,
such as a temporary file) and returns a dict of NumPy arrays with the
members above concatenated in (game, tile) order plus ``planes``, uint8
(N, 5, 20, 20) with 0/1 entries (plane 0: squares of the player seated one
before the mover, 1: the mover's, 2: one after, 3: two after, 4: the cells
the mover may take next).
"""

import array
import ast
import glob
import os
import struct
import sys
import zipfile

from velmar.server import BITS_SIZE, CELLS, pack_planes

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
_LITTLE = sys.byteorder == "little"


class RecordError(ValueError):
    """A game record that the rules do not confirm."""


def game_rows(game_index, history, policies, payoffs, rules=None):
    """Replays one game record with the rules and returns its rows as a dict
    of ``array.array`` (plus the game's scores), checking the record on the
    way: each tile is the mover's and legal, each policy covers legal tiles
    only, and the payoffs are those of the final position."""
    if rules is None:
        from velmar import rules
    if len(history) != len(policies):
        raise RecordError("%d tiles but %d policies" % (len(history), len(policies)))
    g = rules.Game()
    n = len(history)
    bits = bytearray()
    player = array.array("b")
    cell = array.array("h")
    policy = array.array("f", bytes(4 * CELLS * n))
    for i, ((p, c), pol) in enumerate(zip(history, policies)):
        if g.current_player() != p:
            raise RecordError("tile %d: player %s recorded, %s to move"
                              % (i, p, g.current_player()))
        rep = g.representation()
        legal = rep[4]
        bits += pack_planes(rep)
        base = i * CELLS
        for x, share in pol:
            if not legal[x]:
                raise RecordError("tile %d: the policy names cell %d, not a legal tile" % (i, x))
            policy[base + x] = share
        player.append(p)
        cell.append(c)
        g.apply(c)
    if not g.is_over:
        raise RecordError("the game is not over after its %d tiles" % n)
    final = [float(x) for x in g.get_payoff()]
    if [float(x) for x in payoffs] != final:
        raise RecordError("payoffs %s differ from the final position's %s" % (list(payoffs), final))
    payoff = array.array("f", final * n)
    mover = array.array("f")
    for p in player:
        mover.extend(final[(p + j) % 4] for j in range(4))
    rows = {
        "planes_bits": array.array("B", bytes(bits)),
        "player": player,
        "cell": cell,
        "policy": policy,
        "payoff": payoff,
        "payoff_mover": mover,
        "game": array.array("i", [game_index] * n),
        "tile": array.array("h", range(n)),
        "games": array.array("i", [game_index]),
        "scores": array.array("h", [int(s) for s in g.get_score()]),
        "tiles": array.array("h", [n]),
    }
    return rows


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
    renamed into place, so the shard either exists whole or not at all."""
    merged = {}
    for name, (code, _, _) in FIELDS.items():
        a = array.array(code)
        for g in games:
            a.extend(g[name])
        merged[name] = a
    directory = os.path.dirname(os.path.abspath(path))
    tmp = os.path.join(directory, ".%s.tmp-%d" % (os.path.basename(path), os.getpid()))
    try:
        with open(tmp, "wb") as f:
            with zipfile.ZipFile(f, "w", zipfile.ZIP_DEFLATED, compresslevel=6) as z:
                for name, (code, descr, width) in FIELDS.items():
                    z.writestr(name + ".npy", _npy_bytes(merged[name], descr, width))
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
    return len(merged["player"])


def shard_paths(directory):
    return sorted(glob.glob(os.path.join(directory, SHARD_GLOB)))


def shard_name(directory, index):
    return os.path.join(directory, "shard-%05d.npz" % index)


def read_shard_py(path, names=None):
    """Reads members of a shard with the standard library only: a dict of
    name -> (shape, array.array)."""
    out = {}
    with zipfile.ZipFile(path) as z:
        for member in z.namelist():
            name = member[:-4]
            if names is not None and name not in names:
                continue
            raw = z.read(member)
            if raw[:6] != b"\x93NUMPY":
                raise ValueError("%s in %s is not an .npy member" % (member, path))
            if raw[6] == 1:
                hlen = struct.unpack_from("<H", raw, 8)[0]
                start = 10
            else:
                hlen = struct.unpack_from("<I", raw, 8)[0]
                start = 12
            header = ast.literal_eval(raw[start:start + hlen].decode("latin1"))
            descr = header["descr"]
            code = {"|u1": "B", "|i1": "b", "<i2": "h", "<i4": "i", "<f4": "f"}[descr]
            a = array.array(code)
            a.frombytes(raw[start + hlen:])
            if not _LITTLE and a.itemsize > 1:
                a.byteswap()
            out[name] = (tuple(header["shape"]), a)
    return out


def load(path):
    """Loads a directory of shards (or one shard file) into NumPy arrays,
    sorted by (game, tile); see the module's docstring for the fields."""
    import numpy as np
    paths = [path] if os.path.isfile(path) else shard_paths(path)
    parts = {name: [] for name in FIELDS}
    for p in paths:
        with np.load(p) as f:
            for name in FIELDS:
                parts[name].append(f[name])
    out = {}
    for name, (_, descr, width) in FIELDS.items():
        if parts[name]:
            out[name] = np.concatenate(parts[name])
        else:
            shape = (0,) if width is None else (0, width)
            out[name] = np.zeros(shape, np.dtype(descr))
    order = np.lexsort((out["tile"], out["game"]))
    for name in ROW_FIELDS:
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
    paths = [path] if os.path.isfile(path) else shard_paths(path)
    games = {}
    for p in paths:
        d = read_shard_py(p, {"player", "cell", "game", "tile", "games", "scores", "policy"})
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

