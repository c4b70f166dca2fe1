"""The rule players written as text: ``greedy`` (``velmar.game.greedy``)
and ``rollout[:K]`` (``velmar.game.rollout``). Parsing a text needs no
NumPy, so the arena and the ladder read their players anywhere (PyPy
included); the players themselves are imported when one is made."""

DEFAULT_K = 4
GREEDY = "greedy"
ROLLOUT = "rollout"


def is_rule(text):
    """Whether ``text`` names a rule player: ``greedy`` or ``rollout[:K]``."""
    return text == GREEDY or text == ROLLOUT or text.startswith(ROLLOUT + ":")


def rollout_k(text):
    """The ``k`` of ``rollout[:K]``; ValueError for a bad one."""
    head, sep, k = text.partition(":")
    if head != ROLLOUT:
        raise ValueError("not a rollout player: %r" % text)
    if not sep:
        return DEFAULT_K
    if not k.isdigit() or int(k) < 1:
        raise ValueError("rollout:K takes a whole number K >= 1, got %r" % k)
    return int(k)


def check_rule(text):
    """ValueError unless ``text`` names a rule player, with a good K."""
    if not is_rule(text):
        raise ValueError("a rule player is greedy or rollout[:K], not %r" % text)
    if text != GREEDY:
        rollout_k(text)


def rule_player(text, seed=None):
    """The player ``text`` (``greedy`` or ``rollout[:K]``) with its own
    random generator seeded by ``seed``."""
    from velmar.game.greedy import GreedyPlayer  # NumPy: only where a rule plays
    from velmar.game.rollout import RolloutPlayer
    if text == GREEDY:
        return GreedyPlayer(seed)
    return RolloutPlayer(rollout_k(text), seed)
