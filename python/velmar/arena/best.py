"""``best``: the shipped network (``weights/best.npz``) with the search
settings its file records under "search" in its training record: sims,
c_base, c_init and the search options it was shipped with. A player written
``NAME=best[:PATH][,KEY=V...]`` becomes ``NAME=numpy:PATH`` with those
settings; keys given on the command line win."""

import os

BEST_SIMS = 32
BEST_PATH = os.path.normpath(os.path.join(os.path.dirname(__file__), "..", "..", "..",
                                          "weights", "best.npz"))
# settings a weight file may record, and the player key that sets each
_RECORDED = {"sims": "sims", "sims_per_move": "sims", "c_base": "c_base", "c_init": "c_init"}
# recorded search options, and the player key of each
_OPTIONS = {"fpu_reduction": "fpu", "canonical_order": "canonical", "reuse_tree": "reuse",
            "skip_forced": "skip", "gumbel": "gumbel", "gumbel_m": "gumbel_m",
            "rollout_weight": "rollout"}


class BestError(ValueError):
    """The weight file of ``best`` cannot be read."""


def is_best(evaluator):
    return evaluator == "best" or evaluator.startswith("best:")


def recorded_search(path):
    """The player keys a weight file records under "search" ({} when none):
    sims, c_base, c_init, and fpu, reuse, skip, ... for its search options
    (a switch as 0 or 1)."""
    from velmar.net import network  # NumPy: only where best is asked for (not under PyPy)
    try:
        record = network.load_weights(path).record or {}
    except (OSError, network.WeightsError) as e:
        raise BestError("best: cannot read %s (%s)" % (path, e))
    found = record.get("search") if isinstance(record.get("search"), dict) else {}
    out = {_RECORDED[k]: v for k, v in found.items() if k in _RECORDED}
    options = found.get("options")
    for option, value in (options.items() if isinstance(options, dict) else ()):
        if option in _OPTIONS and value not in (None, False):
            out[_OPTIONS[option]] = int(value) if isinstance(value, bool) else value
    return out


def best_text(name, evaluator, settings):
    """The player text ``NAME=numpy:PATH,KEY=V,...`` that ``best[:PATH]``
    with ``settings`` (the KEY=V items given) stands for, and a note on
    where its settings came from."""
    path = evaluator.partition(":")[2] or BEST_PATH
    recorded = recorded_search(path)
    given = {item.partition("=")[0].strip().replace("-", "_") for item in settings}
    defaults = ["sims=%d" % int(recorded.get("sims", BEST_SIMS))] if "sims" not in given else []
    for key, value in recorded.items():
        if key != "sims" and key not in given:
            defaults.append("%s=%s" % (key, value))
    note = ("search settings recorded in the file" if recorded else
            "the file records no search settings: %d simulations unless given" % BEST_SIMS)
    return ",".join(["%s=numpy:%s" % (name, path)] + defaults + list(settings)), note
