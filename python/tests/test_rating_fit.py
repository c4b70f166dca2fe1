"""The rating fit recovers known strengths from simulated finishing orders;
the standings' shares and margins on hand-made games."""

import itertools
from types import SimpleNamespace as Game

import pytest

np = pytest.importorskip("numpy")

from velmar.ratings import fit  # noqa: E402


def simulate(strengths, seat_terms, n_blocks, rng, ties=0.0):
    """Plackett-Luce games: utility = strength + seat term + Gumbel noise,
    the order of the utilities is the finishing order; every order of the
    four players in every block. With ``ties``, that share of the games
    ends with the top two level."""
    names = ["p%d" % i for i in range(len(strengths))]
    games = []
    for _ in range(n_blocks):
        for seating in itertools.permutations(range(4)):
            u = np.array([strengths[p] + seat_terms[s] for s, p in enumerate(seating)])
            u = u + rng.gumbel(size=4)
            scores = (-np.argsort(np.argsort(-u))).tolist()  # 0 for the first, -3 for the last
            if rng.random_sample() < ties:
                scores = [0 if x == -1 else x for x in scores]
            games.append(Game(seating=[names[p] for p in seating], scores=scores,
                              payoffs=[1.0 if x == max(scores) else 0.0 for x in scores]))
    return names, games


@pytest.mark.parametrize("seed,ties,anchor", [(1, 0.0, None), (2, 0.2, "p0"), (3, 0.0, "p2")])
def test_the_fit_recovers_known_strengths(seed, ties, anchor):
    rng = np.random.RandomState(seed)
    true = np.array([0.0, 0.9, -0.6, 0.3])     # in logits
    seats = np.array([0.3, 0.1, -0.1, -0.3])
    names, games = simulate(true, seats, 60, rng, ties)  # 1,440 games
    f = fit.fit_ratings(names, games, anchor=anchor, bootstrap=60, seed=seed)
    want = true * fit.ELO
    want = want - (want[names.index(anchor)] if anchor else want.mean())
    assert np.abs(f.ratings - want).max() < 35  # Elo points; one logit is 174
    assert np.abs(f.seat_terms - seats * fit.ELO).max() < 35
    assert f.pairs == 6 * len(games)
    assert np.all(f.low <= f.ratings + 1e-9) and np.all(f.ratings <= f.high + 1e-9)
    inside = (f.low - 15 <= want) & (want <= f.high + 15)
    assert inside.all()
    if anchor:
        assert f.ratings[names.index(anchor)] == 0 and f.low[names.index(anchor)] == 0
    # the order is right and the gaps are resolved
    assert list(np.argsort(f.ratings)) == list(np.argsort(true))


def test_more_games_give_narrower_intervals():
    rng = np.random.RandomState(5)
    names, few = simulate([0.0, 0.5, 1.0, 1.5], [0, 0, 0, 0], 4, rng)
    _, many = simulate([0.0, 0.5, 1.0, 1.5], [0, 0, 0, 0], 40, rng)
    a = fit.fit_ratings(names, few, bootstrap=80)
    b = fit.fit_ratings(names, many, bootstrap=80)
    assert np.all(b.high - b.low < 0.6 * (a.high - a.low))


def test_level_results_give_level_ratings_and_a_clean_sweep_stays_finite():
    names = ["a", "b", "c", "d"]
    level = [Game(seating=list(s), scores=[-5] * 4, payoffs=[0.25] * 4)
             for s in itertools.permutations(names)]
    f = fit.fit_ratings(names, level, bootstrap=10)
    assert np.allclose(f.ratings, 0, atol=1e-6) and np.allclose(f.seat_terms, 0, atol=1e-6)
    sweep = [Game(seating=list(s), scores=[-names.index(n) for n in s], payoffs=[0] * 4)
             for s in itertools.permutations(names)]
    f = fit.fit_ratings(names, sweep, bootstrap=0)
    assert np.all(np.isfinite(f.ratings)) and list(np.argsort(-f.ratings)) == [0, 1, 2, 3]
    assert f.low is None


def test_standings_split_shared_wins_and_measure_the_margin():
    games = [
        Game(seating=["a", "b", "c", "d"], scores=[5, 5, -3, -10], payoffs=[0.5, 0.5, 0, 0]),
        Game(seating=["b", "a", "d", "c"], scores=[-1, -2, -8, 0], payoffs=[0, 0, 0, 1.0]),
        Game(seating=["a", "a", "a", "b"], scores=[-4, -6, -7, 2], payoffs=[0, 0, 0, 1.0]),
    ]
    st = {s.name: s for s in fit.standings(["a", "b", "c", "d"], games)}
    a, b, c, d = st["a"], st["b"], st["c"], st["d"]
    assert (a.games, a.seats, b.games, c.games) == (3, 5, 3, 2)
    assert a.win_share == pytest.approx(0.5 / 3) and b.win_share == pytest.approx(0.5)
    assert a.par == pytest.approx(5 / 4 / 3) and c.par == pytest.approx(0.25)
    # margins per seat held: own score minus the best other seat's
    assert a.margin == pytest.approx((0 + -2 + -6 + -8 + -9) / 5)
    assert b.margin == pytest.approx((0 + -1 + 6) / 3)
    assert d.margin == pytest.approx((-15 + -8) / 2) and d.win_share == 0
    assert (a.alone_games, a.alone_share, b.alone_games, b.alone_share) == (2, 0.25, 3, 0.5)
    assert a.per_seat == [0.25, 0.0, 0.0, None]
    assert a.low < a.win_share < a.high
