"""Auxiliary targets (final owners and scores) and the heads trained on them."""

import json

import pytest

np = pytest.importorskip("numpy", reason="NumPy is not available for this interpreter")
torch = pytest.importorskip("torch", reason="PyTorch is not installed for this interpreter")

from selfplay_helpers import need_extension  # noqa: E402
from test_train import run_train, write_games  # noqa: E402
from velmar.game import data  # noqa: E402
from velmar.learning import train  # noqa: E402
from velmar.learning.aux_targets import SCORE_SCALE, aux_targets  # noqa: E402
from velmar.net import network, torch_net  # noqa: E402

# owner class of an occupied cell by its input plane (0: the player seated
# before the mover, 1: the mover, 2 and 3: those after it)
PLANE_CLASS = np.array([4, 1, 2, 3])


def hand_game(drop=None):
    """Game 7: five tiles by seats 0, 1, 2, 3, 1; scores 10, -2, 4, 0 (mean
    3). Game 8 beside it: two tiles. ``drop`` spoils game 8 one way."""
    rows = {"player": [0, 1, 2, 3, 1, 2, 3], "cell": [5, 21, 399, 0, 6, 50, 51],
            "game": [7, 7, 7, 7, 7, 8, 8], "tile": [0, 1, 2, 3, 4, 0, 1],
            "games": [8, 7], "scores": [[1, 2, 3, 4], [10, -2, 4, 0]], "tiles": [2, 5]}
    if drop == "row":
        rows["tiles"] = [3, 5]
    elif drop == "tile index":
        rows["tile"][6] = 2
    elif drop == "cell twice":
        rows["cell"][6] = 50
    elif drop == "not listed":
        rows.update(games=[7], scores=[[10, -2, 4, 0]], tiles=[5])
    order = [6, 2, 0, 5, 4, 1, 3]  # any row order
    return {k: np.asarray(v)[order] if k in ("player", "cell", "game", "tile") else np.asarray(v)
            for k, v in rows.items()}, order


@pytest.mark.parametrize("drop", [None, "row", "tile index", "cell twice", "not listed"])
def test_hand_made_game(drop):
    rows, order = hand_game(drop)
    t = aux_targets(rows)
    at = {order[i]: i for i in range(len(order))}  # original row -> position
    for orig, owner_cells, score in [
            (1, {5: 4, 21: 1, 399: 2, 0: 3, 6: 1}, [-5, 1, -3, 7]),
            (2, {5: 3, 21: 4, 399: 1, 0: 2, 6: 4}, [1, -3, 7, -5])]:
        i = at[orig]
        expected = np.zeros(400, np.int8)
        expected[list(owner_cells)] = list(owner_cells.values())
        assert np.array_equal(t["owner_mover"][i], expected)
        assert np.allclose(t["score_mover"][i] * SCORE_SCALE, score)
        assert t["mask"][i]
    other = [at[5], at[6]]
    if drop is None:  # seat 3 moves at tile 1: seat 2's cell 50 is one before
        assert t["mask"][other].all()
        assert t["owner_mover"][at[6]][[50, 51]].tolist() == [4, 1]
        assert np.allclose(t["score_mover"][at[6]] * SCORE_SCALE, [1.5, -1.5, -0.5, 0.5])
    else:
        assert not t["mask"][other].any()
        assert not t["owner_mover"][other].any() and not t["score_mover"][other].any()


@pytest.fixture(scope="module")
def games(tmp_path_factory):
    need_extension()
    d = tmp_path_factory.mktemp("aux_games")
    write_games(d, [21, 22, 23, 24])
    return str(d)


def test_random_games_against_a_replay(games):
    from velmar import rules
    rows = data.load(games)
    t = aux_targets(rows)
    assert t["mask"].all()
    for gi, scores in zip(rows["games"], rows["scores"]):
        sel = np.flatnonzero(rows["game"] == gi)
        g = rules.Game()
        for c in rows["cell"][sel]:
            g.apply(int(c))
        assert list(g.get_score()) == scores.tolist()
        owner = np.array([(b & 0x0F) - 1 for b in g.cells])
        rel = (np.array(g.get_score()) - np.mean(g.get_score())) / SCORE_SCALE
        for i in sel[::17]:
            p = int(rows["player"][i])
            want = np.where(owner < 0, 0, 1 + (owner - p) % 4)
            assert np.array_equal(t["owner_mover"][i], want)
            assert np.allclose(t["score_mover"][i], np.roll(rel, -p), atol=1e-6)
    # every square on the board when a row was played keeps its owner to the end
    taken = rows["planes"][:, :4].reshape(-1, 4, 400)
    for k in range(4):
        assert (t["owner_mover"][taken[:, k] == 1] == PLANE_CLASS[k]).all()


def test_turned_batches_turn_the_owners_with_the_planes(games):
    win = train.load_window([games])
    idx = np.arange(0, len(win.game), 3)
    planes, _, _, score, owner, valid = train.batch_arrays(win, idx, np.random.RandomState(5),
                                                           aux=True)
    assert valid.all() and score.shape == (len(idx), 4)
    taken = planes[:, :4].reshape(len(idx), 4, 400) > 0.5
    for k in range(4):
        assert (owner[taken[:, k]] == PLANE_CLASS[k]).all()
    assert (owner > 0).sum(axis=1).min() > 0
    assert np.allclose(score.sum(axis=1), 0.0, atol=1e-5)


def test_old_weight_files_load_and_plain_files_are_written_as_before(tmp_path):
    plain = network.init_weights(network.Architecture(1, 8, 16), 3)
    network.save_weights(plain, str(tmp_path / "w.npz"))
    with np.load(str(tmp_path / "w.npz")) as f:
        assert json.loads(str(f[network.META_ARCH])) == {"blocks": 1, "channels": 8,
                                                         "value_hidden": 16}
    np.savez(str(tmp_path / "bare.npz"), **plain.params)  # no metadata at all
    loaded = network.load_weights(str(tmp_path / "bare.npz"))
    assert loaded.arch == plain.arch and not loaded.arch.aux
    planes = (np.random.RandomState(0).random_sample((3, 5, 20, 20)) < 0.2).astype(np.float32)
    for a, b in zip(network.numpy_forward(loaded, planes), network.numpy_forward(plain, planes)):
        assert np.array_equal(a, b)
    with pytest.raises(network.WeightsError, match="at least one block"):
        network.Architecture(0, 8, global_pool=True).check()


@pytest.mark.parametrize("aux, global_pool", [(True, False), (False, True), (True, True)])
def test_numpy_and_torch_forwards_agree_and_files_keep_the_architecture(tmp_path, aux,
                                                                        global_pool):
    arch = network.Architecture(2, 8, 16, aux=aux, global_pool=global_pool)
    fresh = network.init_weights(arch, 4)
    plain = network.init_weights(network.Architecture(2, 8, 16), 4)
    assert all(np.array_equal(fresh.params[k], v) for k, v in plain.params.items())
    rng = np.random.RandomState(2)
    planes = (rng.random_sample((20, 5, 20, 20)) < 0.3).astype(np.float32)
    # a fresh net's extras change nothing: the pooled bias starts at zero
    with torch.no_grad():
        for a, b in zip(torch_net.to_module(fresh)(torch.from_numpy(planes)),
                        torch_net.to_module(plain)(torch.from_numpy(planes))):
            assert torch.equal(a, b)
    w = network.Weights(arch, {k: v + 0.3 * rng.standard_normal(v.shape).astype(np.float32)
                               for k, v in fresh.params.items()})
    network.save_weights(w, str(tmp_path / "w.npz"))
    w = network.load_weights(str(tmp_path / "w.npz"))
    assert w.arch == arch
    logits, values = network.NumpyNet(w)(planes)  # two chunks
    with torch.no_grad():
        t_logits, t_values = torch_net.to_module(w)(torch.from_numpy(planes))
    assert np.allclose(logits, t_logits.numpy(), rtol=1e-4, atol=1e-3)
    assert np.allclose(values, torch.softmax(t_values, dim=1).numpy(), atol=1e-5)
    if global_pool:  # the pooled bias does move a trained net's outputs
        cut = dict(w.params, **{k: 0 * v for k, v in w.params.items() if "gpool.weight" in k})
        assert not np.allclose(network.numpy_forward(network.Weights(arch, cut), planes)[0],
                               logits, atol=1e-3)


@pytest.mark.subprocess
def test_velmar_train_with_aux_heads_end_to_end(tmp_path, games):
    out = tmp_path / "aux.npz"
    r = run_train("--data", games, "--out", out, "--steps", 6, "--batch-size", 32, "--blocks", 1,
                  "--channels", 8, "--aux-heads", "--ownership-weight", 2, "--quiet")
    assert r.returncode == 0, r.stderr
    w = network.load_weights(str(out))
    assert w.arch == network.Architecture(1, 8, network.Architecture().value_hidden, aux=True)
    assert w.record["settings"]["ownership_weight"] == 2.0
    aux = w.record["aux_holdout"]
    assert 0 < aux["ownership_ce"] < np.log(5) + 0.5 and 0 <= aux["ownership_accuracy"] <= 1
    assert aux["score_mse_zero"] > 0
    last = json.loads((tmp_path / "aux.train.json").read_text())["losses"][-1]
    assert last["loss"] == pytest.approx(last["policy"] + last["value"] + last["l2"]
                                         + 2.0 * last["ownership"] + 0.5 * last["score"], rel=1e-4)
    assert network.NumpyNet(w)(np.zeros((2, 5, 20, 20), np.float32))[0].shape == (2, 400)
    r = run_train("--data", games, "--out", tmp_path / "x.npz", "--init", out, "--aux-heads")
    assert r.returncode == 2 and "describe a fresh net" in r.stderr


def test_a_canonical_net_gives_its_ownership_on_the_board_like_its_policy(games):
    arch = network.Architecture(1, 8, 16, canonical=True, aux=True, global_pool=True)
    p = dict(network.init_weights(arch, 6).params, policy_cell_bias=np.zeros(400, np.float32))
    p["ownership.weight"] = np.repeat(p["policy.weight"], 5, axis=0)  # every class: the policy
    p["ownership.bias"] = np.repeat(p["policy.bias"], 5)
    rows = data.load(games)
    pick = np.concatenate([np.flatnonzero(rows["player"] == s)[::40] for s in range(4)])
    with torch.no_grad():
        logits, _, owner, _ = torch_net.to_module(network.Weights(arch, p)).forward_all(
            torch.from_numpy(rows["planes"][pick].astype(np.float32)))
    for k in range(5):
        assert torch.allclose(owner[:, k], logits, atol=1e-5)


class AlwaysHalf:
    """An rng whose draws all fall below one half: every row that may be
    reflected is."""

    def random_sample(self, n):
        return np.zeros(n)


def test_a_reflected_position_is_consistent_with_its_targets_and_seat(tmp_path):
    need_extension()
    from velmar.learning.window import batch_arrays, load_window, mirror_rows
    from velmar.net import orientation
    write_games(tmp_path / "d", [21, 22])
    win = load_window([str(tmp_path / "d")])
    idx = np.arange(len(win.game))
    planes, policy, payoff, score, owner, _ = batch_arrays(win, idx, aux=True)
    before = [a.copy() for a in (planes, policy, payoff, score, owner)]
    movers = win.player[idx].astype(np.int64)
    sel = mirror_rows(AlwaysHalf(), planes, policy, payoff, movers, score, owner)
    everyone = before[0][:, :4].reshape(len(idx), 4, -1).any(axis=2).all(axis=1)
    assert np.array_equal(sel, np.flatnonzero(everyone)) and 0 < len(sel) < len(idx)
    rest = np.flatnonzero(~everyone)
    for a, b in zip((planes, policy, payoff, score, owner), before):
        assert np.array_equal(a[rest], b[rest])
    # the board's geometry tells the reflected mover's seat, and every square
    # of a plane is owned at the end by the player that plane now stands for
    assert np.array_equal(orientation.mover_seats(planes[sel]), movers[sel])
    assert np.array_equal(movers[sel], (-win.player[sel]) % 4)
    flat = planes[sel].reshape(len(sel), 5, 400)
    for k in range(4):
        assert (owner[sel][flat[:, k] > 0] == PLANE_CLASS[k]).all()
    # the tile taken stays legal, the payoffs and scores are the same numbers
    assert ((policy[sel] > 0) <= (flat[:, 4] > 0)).all()
    assert np.allclose(policy[sel].sum(axis=1), before[1][sel].sum(axis=1))
    for a, b in ((payoff, before[2]), (score, before[3])):
        assert np.allclose(np.sort(a[sel], axis=1), np.sort(b[sel], axis=1))
        assert np.array_equal(a[sel][:, [0, 2]], b[sel][:, [0, 2]])
