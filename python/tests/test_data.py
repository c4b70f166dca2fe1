"""Tests of the training-data rows, shards and loader."""

import os
import zipfile

import pytest

from velmar import data
from velmar.server import unpack_planes_py

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
        assert list(rows["payoff_mover"][4 * i:4 * i + 4]) == [payoffs[(p + j) % 4] for j in range(4)]
        g.apply(c)
    assert list(rows["scores"]) == list(g.get_score())


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
