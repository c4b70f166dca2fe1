"""The rollout rule: the greedy rule with one look to the end of the game.

At the start of its turn the player takes the ``k`` placements the greedy
rule scores best (``velmar.game.greedy``; ``rollout`` by name is k = 4) and plays the game
out once after each, the greedy rule in every seat, ties at random. It takes
the placement whose playout ends best for it: its payoff first, then its
final score minus the best other player's. With one candidate, or k = 1, it
is the greedy rule. It plays the placement tile by tile as the greedy rule
does, and completes a piece begun by somebody else the same way.

It searches nothing the network could not: a playout is the greedy rule's
own game. It costs about ``k`` greedy games per decision early on (some
80 ms a decision with k = 4, about 7 s for a game of four such players on
one core).

Players written as text: ``greedy`` and ``rollout[:K]``
(``velmar.game.rule_players``).
"""

import numpy as np

from velmar.game.greedy import GreedyPlayer


class RolloutPlayer(GreedyPlayer):
    """The greedy rule's candidates, judged by one greedy playout each."""

    def __init__(self, k, seed=None):
        super().__init__(seed)
        if k < 1:
            raise ValueError("rollout: k must be at least 1, got %d" % k)
        self.k = k
        self.playouts = 0

    def pick(self, game, player, cand, scores):
        if self.k == 1 or len(cand) == 1:
            return super().pick(game, player, cand, scores)
        order = np.argsort(-scores, kind="stable")[:self.k]
        ends = [self.playout(game, player, cand[j]) for j in order]
        top = max(ends)
        best = [j for j, end in zip(order, ends) if end == top]
        return cand[best[self.rng.randrange(len(best))]]

    def playout(self, game, player, cells):
        """(payoff, score margin) of ``player`` after the placement of
        ``cells`` and a greedy game to the end."""
        after = game.copy()
        for cell in cells:
            after.apply(cell)
        greedy_to_end(after, self.rng.randrange(2 ** 62))
        self.playouts += 1
        score = after.get_score()
        margin = score[player] - max(s for q, s in enumerate(score) if q != player)
        return after.get_payoff()[player], margin


def greedy_to_end(game, seed):
    """Plays ``game`` to its end with the greedy rule in every seat."""
    game.play_greedy(seed)
    return game


def mean_playout(game, n, rng):
    """The mean payoffs, in seat order, of ``n`` greedy games from ``game``
    (its own payoffs once it is over); ``game`` is left as it is."""
    if game.is_over:
        return [float(x) for x in game.get_payoff()]
    total = np.zeros(4)
    for _ in range(n):
        total += greedy_to_end(game.copy(), rng.randrange(2 ** 62)).get_payoff()
    return [float(x) for x in total / n]
