"""Inputs derived from the planes (pieces held, piece in progress, open
corners) against the game's own state, and the networks that take them."""

import random

import pytest

np = pytest.importorskip("numpy", reason="NumPy is not available for this interpreter")

from selfplay_helpers import need_extension  # noqa: E402
from velmar.game.greedy import SHAPES, GreedyPlayer, orientations  # noqa: E402
from velmar.net import derived, network  # noqa: E402

EDGES = ((0, 1), (1, 0), (0, -1), (-1, 0))
DIAGONALS = ((1, 1), (1, -1), (-1, 1), (-1, -1))


def reference(game, in_progress):
    """The derived inputs from the game's state with plain loops: pieces from
    ``Game.pieces``, the piece in progress as tracked while playing, corners
    from ``Game.cells``."""
    from velmar import rules
    mover = game.current_player()
    owner = [(b & 15) - 1 for b in game.cells]
    planes = np.zeros((5, 20, 20), np.float32)
    held = np.zeros((4, 21), np.float32)
    for cell in in_progress[mover]:
        planes[0, cell // 20, cell % 20] = 1
    for j in range(4):
        p = (mover + j - 1) % 4
        held[j, list(game.pieces[p])] = 1

        def own(r, c):
            return 0 <= r < 20 and 0 <= c < 20 and owner[r * 20 + c] == p
        for r in range(20):
            for c in range(20):
                if owner[r * 20 + c] >= 0 or any(own(r + dr, c + dc) for dr, dc in EDGES):
                    continue
                if any(own(r + dr, c + dc) for dr, dc in DIAGONALS):
                    planes[1 + j, r, c] = 1
        start = rules.START_CORNERS[p]
        if p not in owner and owner[start] < 0:
            planes[1 + j, start // 20, start % 20] = 1
    return planes, held.ravel()


def play(seed, greedy):
    """Every position of one game (planes and the reference inputs); the
    tiles are a greedy player's or random."""
    from velmar import rules
    g, rng, bot = rules.Game(), random.Random(seed), GreedyPlayer(seed)
    in_progress = [[], [], [], []]
    positions, expected = [], []
    while not g.is_over:
        positions.append(np.array(g.representation(), np.float32).reshape(5, 20, 20))
        expected.append(reference(g, in_progress))
        p, left = g.current_player(), len(g.pieces[g.current_player()])
        tile = bot.choose(g) if greedy else rng.choice(g.legal_tiles())
        g.apply(tile)
        in_progress[p] = [] if len(g.pieces[p]) < left else in_progress[p] + [tile]
    return np.stack(positions), expected


@pytest.fixture(scope="module")
def games():
    need_extension()
    return [play(s, greedy) for s, greedy in [(1, False), (2, False), (3, False), (4, True),
                                                (5, True), (6, True)]]


def test_derived_inputs_match_the_game_state(games):
    kinds_placed, mid_piece, no_square = set(), 0, 0
    for positions, expected in games:
        planes, held = derived.derive(positions)
        for i, (want_planes, want_held) in enumerate(expected):
            assert np.array_equal(planes[i], want_planes), i
            assert np.array_equal(held[i], want_held), i
            kinds_placed |= set(np.flatnonzero(want_held.reshape(4, 21).min(axis=0) == 0))
            mid_piece += want_planes[0].any()
            no_square += (positions[i, :4].reshape(4, -1).max(axis=1) == 0).any()
    # the games exercised every kind, pieces in progress and empty seats
    assert kinds_placed == set(range(21)) and mid_piece > 100 and no_square >= 6 * 3


def test_every_orientation_of_every_piece_is_recognised():
    """Each kind, every orientation, at several places (the board's edges
    included), beside pieces of the other kinds touching it at corners."""
    rng = np.random.RandomState(0)
    for kind, shape in enumerate(SHAPES):
        for squares in orientations(shape):
            h, w = 1 + max(r for r, _ in squares), 1 + max(c for _, c in squares)
            planes = np.zeros((3, 5, 20, 20), np.float32)
            for i, (r0, c0) in enumerate([(0, 0), (20 - h, 20 - w),
                                          (rng.randint(21 - h), rng.randint(21 - w))]):
                for r, c in squares:
                    planes[i, 3, r0 + r, c0 + c] = 1
                planes[i, 1, 0, 0] = planes[i, 4, 19, 19] = 1  # the mover, not mid-piece
            _, held = derived.derive(planes)
            missing = held.reshape(3, 4, 21) == 0
            assert missing[:, 3].sum(axis=1).tolist() == [1, 1, 1]
            assert missing[:, 3, kind].all(), (shape, squares)


@pytest.mark.parametrize("canonical", [False, True])
def test_numpy_and_torch_forwards_agree_and_old_files_load(games, tmp_path, canonical):
    torch = pytest.importorskip("torch", reason="PyTorch is not installed for this interpreter")
    from velmar.net import torch_net
    positions = np.concatenate([games[0][0][::23], games[3][0][::23]])  # more than one chunk
    plain = network.init_weights(network.Architecture(1, 8, 16, canonical=canonical), 4)
    path = str(tmp_path / "w.npz")
    network.save_weights(plain, path)
    back = network.load_weights(path)
    assert back.arch == plain.arch and not back.arch.derived
    for a, b in zip(network.numpy_forward(back, positions),
                    network.numpy_forward(plain, positions)):
        assert np.array_equal(a, b)
    arch = network.Architecture(2, 8, 16, canonical=canonical, global_pool=True, derived=True)
    rng = np.random.RandomState(1)
    w = network.init_weights(arch, 4)
    assert w.params["stem.weight"].shape[1] == arch.input_planes == (14 if canonical else 10)
    w = network.Weights(arch, {k: v + 0.2 * rng.standard_normal(v.shape).astype(np.float32)
                               for k, v in w.params.items()})
    network.save_weights(w, path)
    w = network.load_weights(path)
    assert w.arch == arch
    logits, values = network.NumpyNet(w)(positions)
    with torch.no_grad():
        t_logits, t_values = torch_net.to_module(w)(torch.from_numpy(positions))
    assert np.allclose(logits, t_logits.numpy(), rtol=1e-4, atol=1e-3)
    assert np.allclose(values, torch.softmax(t_values, dim=1).numpy(), atol=1e-5)
    # the held pieces and the derived planes both reach the outputs
    for name in ("held.weight", "stem.weight"):
        cut = dict(w.params)
        cut[name] = cut[name].copy()
        if name == "held.weight":
            cut[name][:] = 0
        else:
            cut[name][:, -derived.EXTRA_PLANES:] = 0
        cut_values = network.numpy_forward(network.Weights(arch, cut), positions)[1]
        assert not np.allclose(values, cut_values, atol=1e-4), name


@pytest.mark.subprocess
def test_velmar_train_with_derived_inputs_end_to_end(tmp_path):
    from test_train import run_train, write_games
    from velmar.learning.loop import LoopSettings
    need_extension()
    write_games(tmp_path / "games", [21, 22, 23])
    out = tmp_path / "d.npz"
    r = run_train("--data", tmp_path / "games", "--out", out, "--steps", 5, "--batch-size", 32,
                  "--blocks", 1, "--channels", 8, "--derived-inputs", "--rotations", "--quiet")
    assert r.returncode == 0, r.stderr
    w = network.load_weights(str(out))
    assert w.arch == network.Architecture(1, 8, network.Architecture().value_hidden, derived=True)
    assert w.record["steps"] == 5 and w.record["metrics"]["policy"]
    assert not np.allclose(w.params["held.weight"],
                           network.init_weights(w.arch, 0).params["held.weight"])
    r = run_train("--data", tmp_path / "games", "--out", tmp_path / "x.npz", "--init", out,
                  "--derived-inputs")
    assert r.returncode == 2 and "describe a fresh net" in r.stderr
    assert LoopSettings(iterations=1, derived_inputs=True).architecture().derived
