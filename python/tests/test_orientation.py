"""Positions turned to the mover's corner, the seat read from the planes,
and the canonical network."""

import os

import pytest

np = pytest.importorskip("numpy", reason="NumPy is not available for this interpreter")

from velmar.net import network, orientation  # noqa: E402

from selfplay_helpers import REPO, need_extension, random_game  # noqa: E402


@pytest.fixture(scope="module")
def positions():
    """(planes (N, 5, 20, 20), movers) of every tile of six random games."""
    need_extension()
    from velmar import rules
    planes, movers = [], []
    for seed in range(1, 7):
        g = rules.Game()
        for p, c in random_game(seed)[0]:
            planes.append(g.representation())
            movers.append(p)
            g.apply(c)
    return np.array(planes, np.float32).reshape(-1, 5, 20, 20), np.array(movers)


def test_turns_and_the_seat_read_from_the_planes(positions):
    planes, movers = positions
    assert np.array_equal(orientation.mover_seats(planes), movers)
    for s in range(4):
        turned = orientation.turn_planes(planes, np.full(len(planes), s))
        assert np.array_equal(turned, np.rot90(planes, s, axes=(2, 3)))
        back = orientation.unturn_policy(turned.reshape(-1, 400), np.repeat(s, 5 * len(planes)))
        assert np.array_equal(back.reshape(planes.shape), planes)
    # turned by its seat, a mover yet without its corner plays near cell 0
    t = orientation.turn_planes(planes, movers).reshape(-1, 5, 400)
    fresh = t[:, 1, 0] == 0
    assert fresh.sum() >= 24 and not (t[fresh][:, [1, 4]] * (1 - orientation.REGIONS[:, 0])).any()
    with pytest.raises(orientation.SeatUnknown, match="position 1 "):
        orientation.mover_seats(np.concatenate([planes[:1], 0 * planes[:1]]))


@pytest.mark.parametrize("seat_weights", [False, True])
def test_a_canonical_network_sees_a_turned_position_alike(positions, seat_weights):
    """Turned a quarter clockwise, a position is the game seen from the next
    seat: the board looks the same to the network, only the seat differs."""
    planes, movers = positions[0][::23], positions[1][::23]
    twin = np.rot90(planes, -1, axes=(2, 3)).copy()
    assert np.array_equal(orientation.mover_seats(twin), (movers + 1) % 4)
    w = network.init_weights(network.Architecture(1, 8, 16, canonical=True), 3)
    rng = np.random.RandomState(3)
    w.params = {k: v + 0.1 * rng.standard_normal(v.shape).astype(np.float32)
                for k, v in w.params.items()}
    if not seat_weights:
        w.params["stem.weight"][:, 5:] = 0.0
    net = network.NumpyNet(w)
    (logits, values), (t_logits, t_values) = net(planes), net(twin)
    back = np.rot90(t_logits.reshape(-1, 20, 20), 1, axes=(1, 2)).reshape(-1, 400)
    assert (np.array_equal(back, logits) and np.array_equal(t_values, values)) != seat_weights


def test_weight_files_old_and_canonical(positions, tmp_path):
    torch = pytest.importorskip("torch", reason="PyTorch is not installed for this interpreter")
    from velmar.net import torch_net
    planes, seats = positions[0][::41], (positions[1][::41] + 1) % 4
    for name in ("boot-plain.npz", "gen-0091.npz"):  # files from before canonical nets
        w = network.load_weights(os.path.join(REPO, "weights", name))
        assert not w.arch.canonical and w.params["stem.weight"].shape[1] == 5
        logits, values = network.NumpyNet(w)(planes, seats)  # a plain net ignores seats
        with torch.no_grad():
            t_logits, t_values = torch_net.to_module(w)(torch.from_numpy(planes))
        assert np.allclose(logits, t_logits.numpy(), atol=1e-4)
        assert np.allclose(values, torch.softmax(t_values, 1).numpy(), atol=1e-5)
    w = network.init_weights(network.Architecture(1, 8, 16, canonical=True), 2)
    np.savez(str(tmp_path / "bare.npz"), **w.params)  # no metadata: read from the shapes
    assert network.load_weights(str(tmp_path / "bare.npz")).arch == w.arch
