"""The canonical orientation: turning positions to the mover's corner,
reading the mover's seat from the planes, and the canonical network."""

import os

import pytest

np = pytest.importorskip("numpy", reason="NumPy is not available for this interpreter")

from velmar.net import network, orientation  # noqa: E402

from selfplay_helpers import REPO, need_extension, random_game  # noqa: E402


def game_positions(seeds):
    """(planes float32 (N, 5, 20, 20), movers) of every tile of random games."""
    need_extension()
    from velmar import rules
    planes, movers = [], []
    for seed in seeds:
        history, _, _ = random_game(seed)
        g = rules.Game()
        for p, c in history:
            planes.append(g.representation())
            movers.append(p)
            g.apply(c)
    return np.array(planes, np.float32).reshape(-1, 5, 20, 20), np.array(movers)


def reference_forward(weights, planes, seats=None):
    """The network written out plainly: np.rot90 for the turns, padded
    convolutions by einsum; (logits, mover-relative values)."""
    p = weights.params
    x = np.asarray(planes, np.float64)
    if weights.arch.canonical:
        x = np.stack([np.rot90(a, s, axes=(1, 2)) for a, s in zip(x, seats)])
        onehot = np.eye(4)[seats][:, :, None, None] * np.ones((1, 1, 20, 20))
        x = np.concatenate([x, onehot], axis=1)

    def conv(x, name):
        xp = np.pad(x, ((0, 0), (0, 0), (1, 1), (1, 1)))
        w = p[name + ".weight"].astype(np.float64)
        out = sum(np.einsum("oi,bihw->bohw", w[:, :, dy, dx], xp[:, :, dy:dy + 20, dx:dx + 20])
                  for dy in range(3) for dx in range(3))
        return out + p[name + ".bias"][None, :, None, None]

    x = np.maximum(conv(x, "stem"), 0)
    for k in range(weights.arch.blocks):
        h = np.maximum(conv(x, "blocks.%d.conv1" % k), 0)
        x = np.maximum(x + conv(h, "blocks.%d.conv2" % k), 0)
    logits = np.einsum("c,bchw->bhw", p["policy.weight"][0, :, 0, 0], x) + p["policy.bias"][0]
    logits += p["policy_cell_bias"].reshape(20, 20)
    if weights.arch.canonical:
        logits = np.stack([np.rot90(a, -s) for a, s in zip(logits, seats)])
    hidden = np.maximum(x.mean(axis=(2, 3)) @ p["value_fc1.weight"].T + p["value_fc1.bias"], 0)
    return logits.reshape(len(x), 400), network.softmax(hidden @ p["value_fc2.weight"].T
                                                        + p["value_fc2.bias"])


def perturbed(arch, seed):
    """Weights with every parameter random (zero biases would hide faults)."""
    w = network.init_weights(arch, seed)
    rng = np.random.RandomState(seed)
    w.params = {k: (v + 0.1 * rng.standard_normal(v.shape)).astype(np.float32)
                for k, v in w.params.items()}
    return w


@pytest.fixture(scope="module")
def positions():
    return game_positions(range(1, 7))


def test_turns_are_quarter_turns_and_undo(positions):
    rng = np.random.RandomState(0)
    x = rng.standard_normal((8, 3, 20, 20)).astype(np.float32)
    seats = np.arange(8) % 4
    turned = orientation.turn_planes(x, seats)
    assert all(np.array_equal(turned[i], np.rot90(x[i], seats[i], axes=(1, 2)))
               for i in range(8))
    policy = x[:, 0].reshape(8, 400)
    assert np.array_equal(orientation.turn_policy(policy, seats), turned[:, 0].reshape(8, 400))
    planes, _ = positions
    for s in range(4):
        seats = np.full(len(planes), s)
        back = [orientation.unturn_policy(plane.reshape(len(planes), 400), seats)
                for plane in orientation.turn_planes(planes, seats).transpose(1, 0, 2, 3)]
        assert np.array_equal(np.stack(back, axis=1).reshape(planes.shape), planes)


def test_the_seat_read_from_the_planes_is_the_movers(positions):
    planes, movers = positions
    assert len(planes) > 1000 and set(movers) == {0, 1, 2, 3}
    assert np.array_equal(orientation.mover_seats(planes), movers)
    turned = orientation.turn_planes(planes, movers).reshape(len(planes), 5, 400)
    own = planes.reshape(len(planes), 5, 400)[:, 1]
    # the mover's corner lands on cell 0, and before its first piece is down
    # every square and legal cell it has lies near cell 0
    assert np.array_equal(turned[:, 1, 0], own[np.arange(len(own)), np.take(
        orientation.CORNERS, movers)])
    fresh = turned[:, 1, 0] == 0
    assert fresh.sum() >= 6 * 4
    outside = (turned[fresh][:, [1, 4]] * (1 - orientation.REGIONS[:, 0])).sum()
    assert outside == 0


def test_a_position_that_tells_no_seat_is_refused(positions):
    planes = positions[0][:3].copy()
    planes[1] = 0
    planes[1, 0] = planes[0, 0]  # the others' squares tell nothing
    with pytest.raises(orientation.SeatUnknown, match="position 1 "):
        orientation.mover_seats(planes)


def twins(planes, movers):
    """Each position turned a quarter clockwise: the same game seen from the
    next seat (each player's corner is the next seat's)."""
    return np.rot90(planes, -1, axes=(2, 3)).copy(), (movers + 1) % 4


@pytest.mark.parametrize("seat_weights", [False, True])
def test_a_canonical_network_answers_a_turned_position_alike(positions, seat_weights):
    planes, movers = positions[0][::23], positions[1][::23]
    twin, twin_movers = twins(planes, movers)
    assert np.array_equal(orientation.mover_seats(twin), twin_movers)
    w = perturbed(network.Architecture(1, 8, 16, canonical=True), 3)
    if not seat_weights:
        w.params["stem.weight"][:, 5:] = 0.0
    net = network.NumpyNet(w)
    logits, values = net(planes)
    t_logits, t_values = net(twin)
    turned_back = np.rot90(t_logits.reshape(-1, 20, 20), 1, axes=(1, 2)).reshape(-1, 400)
    same = np.array_equal(turned_back, logits) and np.array_equal(t_values, values)
    # the board alone is seen alike; the seat, given as input, may differ
    assert same != seat_weights
    plain = network.NumpyNet(perturbed(network.Architecture(1, 8, 16), 3))
    p_logits = np.rot90(plain(twin)[0].reshape(-1, 20, 20), 1, axes=(1, 2)).reshape(-1, 400)
    assert not np.allclose(p_logits, plain(planes)[0], atol=1e-3)


@pytest.mark.parametrize("source", ["weights/best.npz", "weights/gen-0091.npz", "canonical"])
def test_numpy_forward_matches_the_network_written_out(positions, source):
    planes, movers = positions[0][::41], positions[1][::41]
    if source == "canonical":
        w = perturbed(network.Architecture(2, 8, 16, canonical=True), 5)
    else:
        w = network.load_weights(os.path.join(REPO, source))
        assert not w.arch.canonical and w.params["stem.weight"].shape[1] == 5
    logits, values = network.NumpyNet(w)(planes)
    ref_logits, ref_values = reference_forward(w, planes, movers)
    scale = max(1.0, np.abs(ref_logits).max())
    assert np.abs(logits - ref_logits).max() <= 1e-4 * scale
    assert np.allclose(values, ref_values, atol=1e-5)


def test_canonical_weight_files(tmp_path):
    w = perturbed(network.Architecture(1, 8, 16, canonical=True), 2)
    path = str(tmp_path / "c.npz")
    network.save_weights(w, path)
    back = network.load_weights(path)
    assert back.arch == w.arch and back.params["stem.weight"].shape == (8, 9, 3, 3)
    np.savez(str(tmp_path / "bare.npz"), **w.params)  # no metadata: read from the shapes
    assert network.load_weights(str(tmp_path / "bare.npz")).arch.canonical
    network.save_weights(network.init_weights(network.Architecture(1, 8)), path)
    with np.load(path) as f:  # a plain network's file is written as before
        assert "canonical" not in str(f[network.META_ARCH])
