"""Helpers for the tests of velmar play, the server, the data and the pictures."""

import json
import os
import random
import subprocess
import sys

import pytest

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def need_extension():
    """Skips unless the compiled velmar_self_play and velmar.rules import."""
    try:
        import velmar_self_play  # noqa: F401
        from velmar import rules  # noqa: F401
    except ImportError as e:
        pytest.skip("the compiled extensions are not built for this interpreter: %s" % e)


def random_game(seed, rules=None):
    """A finished game played with random legal tiles, as a
    (history, policies, payoffs) record with made-up visit shares."""
    if rules is None:
        from velmar import rules
    rng = random.Random(seed)
    g = rules.Game()
    history, policies = [], []
    while not g.is_over:
        legal = g.legal_tiles()
        tile = rng.choice(legal)
        shares = [(x, 1.0 if x == tile else 0.0) for x in legal]
        history.append((g.current_player(), tile))
        policies.append(shares)
        g.apply(tile)
    return history, policies, [float(x) for x in g.get_payoff()]


def velmar_env():
    env = dict(os.environ)
    # the directories that make velmar and the extensions importable here
    import velmar
    import velmar_self_play
    dirs = [os.path.dirname(p) for p in velmar.__path__]
    dirs.append(os.path.dirname(velmar_self_play.__file__))
    dirs += [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
    env["PYTHONPATH"] = os.pathsep.join(dict.fromkeys(dirs))
    env.setdefault("OPENBLAS_NUM_THREADS", "1")
    return env


def play_command(out, *args):
    return [sys.executable, "-m", "velmar", "play", "--out", str(out), *map(str, args)]


def run_play(out, *args, timeout=120):
    return subprocess.run(play_command(out, *args), env=velmar_env(), capture_output=True,
                          text=True, timeout=timeout, cwd=REPO)


def summary(out):
    with open(os.path.join(str(out), "summary.json")) as f:
        return json.load(f)
