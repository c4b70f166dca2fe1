"""Tests of the training-data rows, shards and loader."""

import array
import os
import struct
import zipfile

import pytest

from velmar.game import data
from velmar.game.planes import unpack_planes_py

from selfplay_helpers import need_extension, random_game


@pytest.fixture(scope="module")
def games():
    need_extension()
    return [random_game(seed) for seed in (11, 12, 13)]


def test_game_rows_follow_the_replay(games):
    from velmar import rules
    history, policies, payoffs = games[0]
    rows = data.game_rows(5, history, policies, payoffs)
    n = len(history)
    assert len(rows["player"]) == n and len(rows["cell"]) == n
    assert len(rows["planes_bits"]) == 250 * n and len(rows["policy"]) == 400 * n
    assert list(rows["game"]) == [5] * n and list(rows["tile"]) == list(range(n))
    assert list(rows["games"]) == [5] and list(rows["tiles"]) == [n]
    g = rules.Game()
    for i, (p, c) in enumerate(history):
        assert unpack_planes_py(rows["planes_bits"][250 * i:250 * (i + 1)]) == g.representation()
        assert rows["player"][i] == p and rows["cell"][i] == c
        row = rows["policy"][400 * i:400 * (i + 1)]
        assert [x for x in range(400) if row[x]] == [c]
        assert list(rows["payoff"][4 * i:4 * i + 4]) == payoffs
        assert list(rows["payoff_mover"][4 * i:4 * i + 4]) == [payoffs[(p + j) % 4]
                                                              for j in range(4)]
        g.apply(c)
    assert list(rows["scores"]) == list(g.get_score())


def test_value_targets_replace_the_payoffs_rotated_to_each_mover(games):
    history, policies, payoffs = games[0]
    n = len(history)
    values = [[1.0 if j == i % 4 else 0.0 for j in range(4)] for i in range(n)]
    rows = data.game_rows(0, history, policies, payoffs, values=values)
    for i, (p, _) in enumerate(history):
        assert list(rows["payoff"][4 * i:4 * i + 4]) == values[i]
        assert list(rows["payoff_mover"][4 * i:4 * i + 4]) == [values[i][(p + j) % 4]
                                                              for j in range(4)]
    for bad in (values[:-1], [[0.5, 0.5, 0.0]] * n, [[1.5, -0.5, 0.0, 0.0]] * n):
        with pytest.raises(data.RecordError):
            data.game_rows(0, history, policies, payoffs, values=bad)


def corrupt(record, what):
    history, policies, payoffs = [list(x) for x in record]
    if what == "player":
        p, c = history[3]
        history[3] = ((p + 1) % 4, c)
    elif what == "illegal policy":
        policies[2] = policies[2] + [(399, 0.0)]
    elif what == "payoffs":
        payoffs = payoffs[1:] + payoffs[:1]
    elif what == "lengths":
        policies = policies[:-1]
    elif what == "unfinished":
        history, policies = history[:-1], policies[:-1]
    return history, policies, payoffs


@pytest.mark.parametrize("what", ["player", "illegal policy", "payoffs", "lengths", "unfinished"])
def test_game_rows_refuse_a_bad_record(games, what):
    bad = corrupt(games[0], what)
    if what == "payoffs" and bad[2] == games[0][2]:
        pytest.skip("rotating the payoffs left them unchanged")
    with pytest.raises(data.RecordError):
        data.game_rows(0, *bad)


def test_shards_round_trip_without_numpy(games, tmp_path):
    rows = [data.game_rows(i, *g) for i, g in enumerate(games)]
    n = data.write_shard(data.shard_name(str(tmp_path), 0), rows[:2])
    data.write_shard(data.shard_name(str(tmp_path), 1), rows[2:])
    assert n == len(games[0][0]) + len(games[1][0])
    assert sorted(os.listdir(str(tmp_path))) == ["shard-00000.npz", "shard-00001.npz"]
    back = data.read_shard_py(data.shard_name(str(tmp_path), 0))
    for name, (_, _, width) in data.FIELDS.items():
        shape, arr = back[name]
        assert list(arr) == list(rows[0][name]) + list(rows[1][name]), name
        assert shape[0] * (width or 1) == len(arr)
    recs = data.game_records(str(tmp_path))
    assert sorted(recs) == [0, 1, 2]
    for i, g in enumerate(games):
        assert recs[i]["history"] == [tuple(x) for x in g[0]]


def test_load_gives_numpy_arrays_in_game_order(games, tmp_path):
    np = pytest.importorskip("numpy")
    rows = [data.game_rows(i, *g) for i, g in enumerate(games)]
    # written out of order, with a stray temporary file and another file beside
    data.write_shard(data.shard_name(str(tmp_path), 0), [rows[2], rows[0]])
    data.write_shard(data.shard_name(str(tmp_path), 1), [rows[1]])
    (tmp_path / ".shard-00002.npz.tmp-1").write_bytes(b"half a shard")
    (tmp_path / "summary.json").write_text("{}")
    d = data.load(str(tmp_path))
    n = sum(len(g[0]) for g in games)
    assert d["planes"].shape == (n, 5, 20, 20) and d["planes"].dtype == np.uint8
    assert d["policy"].shape == (n, 400) and d["policy"].dtype == np.float32
    assert d["payoff"].shape == (n, 4) and d["payoff_mover"].shape == (n, 4)
    assert d["games"].tolist() == [0, 1, 2]
    expect_game = sum(([i] * len(g[0]) for i, g in enumerate(games)), [])
    assert d["game"].tolist() == expect_game
    assert d["cell"].tolist() == [c for g in games for _, c in g[0]]
    assert d["tile"].tolist() == [t for g in games for t in range(len(g[0]))]
    # the planes unpack to what the rules say
    from velmar import rules
    g = rules.Game()
    for i, (p, c) in enumerate(games[0][0]):
        assert d["planes"][i].reshape(5, 400).tolist() == [[int(v) for v in pl]
                                                           for pl in g.representation()]
        g.apply(c)
    one = data.load(data.shard_name(str(tmp_path), 1))
    assert one["games"].tolist() == [1]
    empty = data.load(str(tmp_path / "nothing-here"))
    assert empty["planes"].shape == (0, 5, 20, 20) and empty["policy"].shape == (0, 400)


def test_full_search_round_trips_and_is_true_where_a_shard_has_none(games, tmp_path):
    pytest.importorskip("numpy")
    from velmar.learning.window import load_window
    n = [len(g[0]) for g in games]
    flags = [i % 3 == 0 for i in range(n[1])]
    data.write_shard(data.shard_name(str(tmp_path), 0), [data.game_rows(0, *games[0])])
    rows = [data.game_rows(2, *games[2]),  # no flags: all full
            data.game_rows(1, *games[1], full_search=flags)]
    data.write_shard(data.shard_name(str(tmp_path), 1), rows)
    expect = [True] * n[0] + flags + [True] * n[2]
    d = data.load(str(tmp_path))
    assert d["full_search"].dtype == bool and d["full_search"].tolist() == expect
    assert load_window([str(tmp_path)]).full_search.tolist() == expect
    assert "full_search" not in data.read_shard_py(data.shard_name(str(tmp_path), 0))
    assert list(data.read_shard_py(data.shard_name(str(tmp_path), 1))["full_search"][1]) == \
        [1] * n[2] + [int(x) for x in flags]
    with pytest.raises(data.RecordError):
        data.game_rows(1, *games[1], full_search=flags[:-1])


def test_a_failed_write_leaves_no_shard(games, tmp_path, monkeypatch):
    rows = [data.game_rows(0, *games[0])]
    calls = []
    real = zipfile.ZipFile.writestr

    def failing(self, name, payload, *a, **k):
        calls.append(name)
        if len(calls) == 3:
            raise KeyboardInterrupt
        return real(self, name, payload, *a, **k)

    monkeypatch.setattr(zipfile.ZipFile, "writestr", failing)
    with pytest.raises(KeyboardInterrupt):
        data.write_shard(data.shard_name(str(tmp_path), 0), rows)
    assert os.listdir(str(tmp_path)) == []


# --- damaged shards -----------------------------------------------------------

def npy(descr, shape, body):
    header = "{'descr': %r, 'fortran_order': False, 'shape': %r, }" % (descr, shape)
    header += " " * (63 - (10 + len(header)) % 64) + "\n"
    return b"\x93NUMPY\x01\x00" + struct.pack("<H", len(header)) + header.encode() + body


def values_of(raw, name):
    shape, body = data._parse_npy("member", name, raw)
    a = array.array(data.FIELDS[name][0])
    a.frombytes(body)
    return shape, list(a)


def retyped(name, code, descr, width=None, fn=list):
    """The member `name` rewritten with another dtype (or width)."""
    def change(members):
        _, values = values_of(members[name], name)
        a = array.array(code, fn(values))
        if descr.startswith(">"):
            a.byteswap()
        n = len(a) // (width or 1)
        members[name] = npy(descr, (n,) if width is None else (n, width), a.tobytes())
    return change


def edited(name, fn):
    code, descr, width = data.FIELDS[name]
    return retyped(name, code, descr, width, fn)


def move_mass_to_an_occupied_cell(values):
    row = 5  # the cell taken at tile 0 is occupied from tile 1 on
    first = values[0:400].index(max(values[0:400]))
    values[400 * row:400 * (row + 1)] = [0.0] * 400
    values[400 * row + first] = 1.0
    return values


def full_search_member(values):
    """Adds a full_search member with values(rows)."""
    def change(members):
        shape, _ = values_of(members["player"], "player")
        body = bytes(values(shape[0]))
        members["full_search"] = npy("|b1", (len(body),), body)
    return change


def flip_a_compressed_byte(raw):
    """Flips a byte in the middle of the compressed cells."""
    import io
    with zipfile.ZipFile(io.BytesIO(raw)) as z:
        info = z.getinfo("cell.npy")
    at = info.header_offset + 30 + len(info.filename) + len(info.extra) + info.compress_size // 2
    return raw[:at] + bytes([raw[at] ^ 0xFF]) + raw[at + 1:]


FILE, MEMBERS = "file", "members"
# (id, what is changed, the change, the member the error names or None,
# whether the standard-library reader refuses it too)
DAMAGE = [
    ("empty", FILE, lambda raw: b"", None, True),
    ("truncated-half", FILE, lambda raw: raw[:len(raw) // 2], None, True),
    ("truncated-tail", FILE, lambda raw: raw[:-20], None, True),
    ("not-a-zip", FILE, lambda raw: b"not a shard at all\n" * 50, None, True),
    ("compressed-byte-flipped", FILE, flip_a_compressed_byte, None, True),
    ("member-missing", MEMBERS, lambda m: m.pop("policy"), "policy", True),
    ("member-not-npy", MEMBERS, lambda m: m.update(cell=b"garbage"), "cell", True),
    ("npy-header-garbage", MEMBERS,
     lambda m: m.update(cell=b"\x93NUMPY\x01\x00\x0a\x00{{{{{{{{{\n"), "cell", True),
    ("policy-float64", MEMBERS, retyped("policy", "d", "<f8", 400), "policy", True),
    ("player-int64", MEMBERS, retyped("player", "q", "<i8"), "player", True),
    ("cell-big-endian", MEMBERS, retyped("cell", "h", ">i2"), "cell", True),
    ("policy-399-wide", MEMBERS, retyped(
        "policy", "f", "<f4", 399, fn=lambda v: [x for i, x in enumerate(v) if i % 400 != 399]),
     "policy", True),
    ("cell-9999", MEMBERS, edited("cell", lambda v: [9999] + v[1:]), "cell", True),
    ("cell-minus-5", MEMBERS, edited("cell", lambda v: v[:3] + [-5] + v[4:]), "cell", True),
    ("player-7", MEMBERS, edited("player", lambda v: [7] + v[1:]), "player", True),
    ("rows-disagree", MEMBERS, edited("tile", lambda v: v[:-1]), None, True),
    ("policy-on-occupied-cell", MEMBERS, edited("policy", move_mass_to_an_occupied_cell),
     "policy", False),
    ("policy-nan", MEMBERS, edited("policy", lambda v: [float("nan")] + v[1:]), "policy", False),
    ("policy-sum-half", MEMBERS, edited("policy", lambda v: [x / 2 for x in v]), "policy", False),
    ("cell-not-legal", MEMBERS, edited("cell", lambda v: [399] + v[1:]), "cell", False),
    ("payoff-mover-unrotated", MEMBERS, edited("payoff_mover", lambda v: v[1:4] + v[:1] + v[4:]),
     "payoff_mover", False),
    ("tiles-miscounted", MEMBERS, edited("tiles", lambda v: [v[0] + 1] + v[1:]), "tiles", False),
    ("full-search-2", MEMBERS, full_search_member(lambda n: [1] * (n - 1) + [2]),
     "full_search", False),
    ("full-search-short", MEMBERS, full_search_member(lambda n: [1] * (n - 1)), None, False),
]


def damaged_shard(games, directory, what, change):
    path = data.shard_name(str(directory), 0)
    data.write_shard(path, [data.game_rows(0, *games[0]), data.game_rows(1, *games[1])])
    if what == FILE:
        with open(path, "rb") as f:
            raw = change(f.read())
        with open(path, "wb") as f:
            f.write(raw)
        return path
    with zipfile.ZipFile(path) as z:
        members = {n[:-4]: z.read(n) for n in z.namelist()}
    change(members)
    with zipfile.ZipFile(path, "w") as z:
        for name, raw in members.items():
            z.writestr(name + ".npy", raw)
    return path


@pytest.mark.parametrize("what, change, name, py", [d[1:] for d in DAMAGE],
                         ids=[d[0] for d in DAMAGE])
def test_damaged_shard_is_refused_naming_file_and_member(games, tmp_path, what, change, name, py):
    path = damaged_shard(games, tmp_path, what, change)
    readers = [data.game_records] if py else []
    try:
        import numpy  # noqa: F401
        readers.append(data.load)
    except ImportError:
        pass
    if not readers:
        pytest.skip("needs NumPy")
    for read in readers:
        with pytest.raises(data.ShardError) as info:
            read(str(tmp_path))
        message = str(info.value)
        assert message.startswith(path + ": ") and "\n" not in message, message
        if name:
            assert "member %s" % name in message, message


@pytest.mark.parametrize("kind", ["fifo", "directory"])
def test_a_shard_name_that_is_not_a_regular_file_is_refused(games, tmp_path, kind):
    path = data.shard_name(str(tmp_path), 1)
    data.write_shard(data.shard_name(str(tmp_path), 0), [data.game_rows(0, *games[0])])
    os.mkfifo(path) if kind == "fifo" else os.mkdir(path)
    readers = [data.game_records, data.read_shard_py]
    try:
        import numpy  # noqa: F401
        readers.append(data.load)
    except ImportError:
        pass
    for read in readers:
        with pytest.raises(data.ShardError, match="not a regular file"):
            read(path if read is data.read_shard_py else str(tmp_path))


def test_a_game_in_two_shards_is_refused(games, tmp_path):
    rows = data.game_rows(4, *games[0])
    data.write_shard(data.shard_name(str(tmp_path), 0), [rows])
    data.write_shard(data.shard_name(str(tmp_path), 1), [rows, data.game_rows(5, *games[1])])
    with pytest.raises(data.ShardError, match="game 4 is also in"):
        data.game_records(str(tmp_path))
