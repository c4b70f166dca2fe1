"""Training metrics on a hand-made set of rows, worked out by hand, and the
held-out games of a run."""

import math

import pytest

np = pytest.importorskip("numpy")

from velmar.learning import metrics  # noqa: E402


def tiny_rows():
    """Five rows of two games: (game, tile, mover, legal tiles, visit shares,
    tile taken, mover-relative payoffs). Row 0 is a forced tile."""
    spec = [
        (10, 0, 0, [7], {7: 1.0}, 7, [0, 0, 0, 1]),
        (10, 50, 1, [0, 1], {0: 0.75, 1: 0.25}, 0, [1, 0, 0, 0]),
        (10, 150, 2, [2, 3, 4], {2: 0.5, 3: 0.5}, 4, [0, 0, 0, 1]),
        (11, 320, 1, [5, 6], {6: 1.0}, 6, [0.5, 0.5, 0, 0]),
        (11, 250, 0, [8, 9], {8: 1.0}, 8, [0, 1, 0, 0]),
    ]
    n = len(spec)
    rows = {"planes": np.zeros((n, 5, 20, 20), np.uint8), "policy": np.zeros((n, 400), np.float32),
            "game": np.array([s[0] for s in spec], np.int32),
            "tile": np.array([s[1] for s in spec], np.int16),
            "player": np.array([s[2] for s in spec], np.int8),
            "cell": np.array([s[5] for s in spec], np.int16),
            "payoff_mover": np.array([s[6] for s in spec], np.float32)}
    for i, (_, _, _, legal, shares, _, _) in enumerate(spec):
        rows["planes"][i, 4].reshape(-1)[legal] = 1
        for cell, share in shares.items():
            rows["policy"][i, cell] = share
    return rows


def tiny_logits():
    logits = np.zeros((5, 400), np.float32)
    logits[1, 0] = math.log(3.0)  # priors 0.75, 0.25: agrees
    logits[2, 4] = 1.0            # picks 4, which was taken but not most visited
    logits[3, 5] = 2.0            # picks 5: disagrees
    logits[3, 100] = 50.0         # an illegal cell never counts
    return logits                 # row 4: a tie, the lower cell (8) wins


def test_policy_metrics_by_hand():
    rows = tiny_rows()
    assert metrics.decision_rows(rows).tolist() == [1, 2, 3, 4]
    m = metrics.policy_metrics(tiny_logits(), rows)
    assert m["rows"] == 4
    assert m["top1"] == pytest.approx(2 / 4)
    assert m["top1_taken"] == pytest.approx(3 / 4)
    assert m["top1_uniform"] == pytest.approx((1 / 2 + 2 / 3 + 1 / 2 + 1 / 2) / 4)
    ce = [-(0.75 * math.log(0.75) + 0.25 * math.log(0.25)), math.log(math.e + 2),
          math.log(1 + math.e ** 2), math.log(2)]
    assert m["cross_entropy"] == pytest.approx(sum(ce) / 4, rel=1e-5)
    held = metrics.policy_metrics(tiny_logits(), rows, np.array([0, 3]))
    assert held["rows"] == 1 and held["top1"] == 0.0
    assert metrics.policy_metrics(tiny_logits(), rows, np.array([0]))["top1"] is None


def test_value_metrics_beside_the_seat_predictor_by_hand():
    rows = tiny_rows()
    seat = metrics.seat_predictor(rows, np.array([0, 1, 2]))  # game 10 trains
    assert seat.tolist() == [[0, 0, 0, 1], [1, 0, 0, 0], [0, 0, 0, 1], [0.25] * 4]
    values = np.full((5, 4), 0.25)
    values[3] = [0.5, 0.5, 0, 0]
    m = metrics.value_metrics(values, rows, seat, np.array([3, 4]))  # game 11 is held out
    assert m["all"] == {"rows": 2, "mse": pytest.approx((0 + 0.1875) / 2),
                        "mse_seat": pytest.approx((0.125 + 0.5) / 2)}
    assert m["200-299"] == {"rows": 1, "mse": pytest.approx(0.1875), "mse_seat": 0.5}
    assert m["300+"] == {"rows": 1, "mse": 0.0, "mse_seat": pytest.approx(0.125)}
    assert m["0-99"] == {"rows": 0, "mse": None, "mse_seat": None}
    everything = metrics.value_metrics(values, rows, seat)
    assert [everything[k]["rows"] for k in ("all", "0-99", "100-199")] == [4, 1, 1]
    both = metrics.training_metrics(tiny_logits(), values, rows, np.array([0, 1, 2]),
                                    np.array([3, 4]))
    assert both["value"] == m and both["policy"]["rows"] == 2


@pytest.mark.parametrize("seed", [0, 7, 12345678901])
def test_held_out_games_are_fixed_by_the_seed(seed):
    ids = np.arange(20000)
    held = metrics.holdout_games(ids, seed, 0.1)
    assert 0.09 < held.mean() < 0.11
    # the same games whatever else is asked, and as the run grows
    assert np.array_equal(metrics.holdout_games(ids[5000:6000], seed, 0.1), held[5000:6000])
    assert not np.array_equal(metrics.holdout_games(ids, seed + 1, 0.1), held)
    assert np.all(metrics.holdout_games(ids, seed, 0.2)[held])  # a larger share holds more
    rows = {"game": np.repeat(ids[:300], 3)}
    train, test = metrics.split_rows(rows, seed, 0.1)
    assert len(train) + len(test) == 900 and not set(train) & set(test)
    assert not set(rows["game"][train]) & set(rows["game"][test])


def test_a_bad_share_is_refused():
    with pytest.raises(ValueError):
        metrics.holdout_games([1, 2], 0, 1.0)
