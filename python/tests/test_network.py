"""The network family: weight files and the NumPy forward pass (the PyTorch
module's agreement with it is tested with the evaluators in test_server)."""

import os

import pytest

np = pytest.importorskip("numpy", reason="NumPy is not available for this interpreter")

from velmar.net import network  # noqa: E402


def random_planes(n, seed):
    rng = np.random.RandomState(seed)
    return (rng.random_sample((n, 5, 20, 20)) < 0.3).astype(np.float32)


@pytest.mark.parametrize("blocks, channels", [(0, 16), (2, 8)])
def test_weight_file_round_trip(tmp_path, blocks, channels):
    arch = network.Architecture(blocks, channels, 12)
    w = network.init_weights(arch, seed=5)
    w.record = {"steps": 3, "data": {"games": 2}}
    path = str(tmp_path / "w.npz")
    network.save_weights(w, path)
    assert os.listdir(str(tmp_path)) == ["w.npz"]  # no temporary file left
    back = network.load_weights(path)
    assert back.arch == arch and back.record == w.record
    assert set(back.params) == set(network.param_shapes(arch))
    for name, value in w.params.items():
        assert np.array_equal(back.params[name], value)
    # a state dict saved without the metadata is read by its shapes
    np.savez(str(tmp_path / "plain.npz"), **w.params)
    assert network.load_weights(str(tmp_path / "plain.npz")).arch == arch
    # seeds give different nets, the same seed the same one
    assert np.array_equal(network.init_weights(arch, 5).params["stem.weight"],
                          w.params["stem.weight"])
    assert not np.array_equal(network.init_weights(arch, 6).params["stem.weight"],
                              w.params["stem.weight"])


def test_weight_files_that_do_not_fit_are_refused(tmp_path):
    w = network.init_weights(network.Architecture(1, 8), 0)
    cases = {
        "missing": {k: v for k, v in w.params.items() if k != "blocks.0.conv2.bias"},
        "shape": dict(w.params, **{"policy_cell_bias": np.zeros(399, np.float32)}),
        "extra": dict(w.params, **{"blocks.0.conv3.weight": np.zeros(1, np.float32)}),
        "recorded": dict(w.params, **{network.META_ARCH: np.array('{"blocks": 2, "channels": 8, '
                                                                  '"value_hidden": 32}')}),
    }
    for name, members in cases.items():
        np.savez(str(tmp_path / name), **members)
        with pytest.raises(network.WeightsError):
            network.load_weights(str(tmp_path / (name + ".npz")))
    (tmp_path / "text.npz").write_text("not a zip file")
    with pytest.raises(network.WeightsError):
        network.load_weights(str(tmp_path / "text.npz"))
    with pytest.raises(network.WeightsError):
        network.init_weights(network.Architecture(-1, 8))


@pytest.mark.parametrize("blocks", [0, 2])
def test_numpy_forward_keeps_positions_apart(blocks):
    """A batch longer than a chunk gives each position what it gets alone:
    the zero border between the positions laid side by side holds."""
    w = network.init_weights(network.Architecture(blocks, 8), 1)
    rng = np.random.RandomState(2)
    w.params = {k: (v + 0.2 * rng.standard_normal(v.shape)).astype(np.float32)
                for k, v in w.params.items()}
    net = network.NumpyNet(w)
    planes = random_planes(network.CHUNK + 5, 3)
    planes[0] = 1.0  # a full board beside its neighbours
    logits, values = net(planes)
    assert logits.shape == (len(planes), 400) and logits.dtype == np.float32
    assert np.allclose(values.sum(axis=1), 1.0, atol=1e-6) and (values > 0).all()
    for i in (0, 1, network.CHUNK - 1, network.CHUNK, len(planes) - 1):
        one_l, one_v = net(planes[i:i + 1])
        assert np.allclose(one_l[0], logits[i], atol=1e-5)
        assert np.allclose(one_v[0], values[i], atol=1e-6)
    # the output depends on the input (a wrong layout can zero it out)
    assert not np.allclose(logits[0], logits[1])
