"""The settings every command shares, each parsed and checked once.

- ``SearchSettings``: the six search settings of the module's ``Config``
  record and the search options (``OPTION_CHECKS``: first-play values,
  canonical order, reused trees, forced tiles, playout caps, a Gumbel root),
  checked against the ranges the module reads them in (unsigned 32-bit
  counts, 32-bit floats). A command builds one from its command line and
  hands it down as it is, to the module call in every game thread.
- ``EvaluatorSpec``: what an ``--evaluator`` value names, with the one help
  text every command shows.
- ``ServerOptions``: the inference server's options, the same flags in
  every command that starts a server.
"""

import dataclasses
import math
import os
import struct
import sys
import types
from typing import Mapping, Optional

U32_MAX = 2**32 - 1
I32_MAX = 2**31 - 1
F32_MAX = 3.4028234663852886e38
MAX_BATCH = 65536  # far beyond any number of game threads a machine can run


class SettingsError(ValueError):
    """A setting out of its range. ``field`` names the setting, ``want``
    says what it must be; ``named(names)`` words it with the name the user
    typed (a flag, a player's key)."""

    def __init__(self, message, field=None, want=None, value=None, template=None):
        super().__init__(message)
        self.field, self.want, self.value = field, want, value
        self.template = template  # str.format text with a {setting} for each name in it

    def named(self, names):
        if self.template is not None:
            return self.template.format_map(_Names(names))
        if self.field is None:
            return str(self)
        return "%s must be %s, not %s" % (names.get(self.field, self.field), self.want,
                                          self.value)


class _Names(dict):
    """A setting's name where ``named`` was given none for it."""

    def __missing__(self, key):
        return key


def _is_int(x):
    return isinstance(x, int) and not isinstance(x, bool)


def _is_number(x):
    return isinstance(x, (int, float)) and not isinstance(x, bool)


def _f32_positive(x):
    """Whether x is finite and positive once stored as a 32-bit float."""
    return (_is_number(x) and math.isfinite(x) and 0 < x <= F32_MAX
            and struct.unpack("f", struct.pack("f", x))[0] > 0)


def _f32_finite(x):
    return _is_number(x) and math.isfinite(x) and abs(x) <= F32_MAX


SEARCH_CHECKS = (
    ("sims_per_move", lambda x: _is_int(x) and 1 <= x <= U32_MAX,
     "an integer from 1 to %d (a policy target needs at least one simulation)" % U32_MAX),
    ("sample_moves", lambda x: _is_int(x) and 0 <= x <= U32_MAX,
     "an integer from 0 to %d" % U32_MAX),
    ("c_base", _f32_positive, "a finite number above 0"),
    ("c_init", lambda x: _f32_finite(x) and x >= 0, "a finite number, 0 or more"),
    ("dirichlet_alpha", _f32_positive, "a finite number above 0"),
    ("exploration_fraction", lambda x: _is_number(x) and 0 <= x <= 1, "a fraction from 0 to 1"),
)


def _count(x):
    return _is_int(x) and 1 <= x <= U32_MAX


_FLAG = (lambda x: isinstance(x, bool), "True or False")
# The search options the module takes: key -> (check, what it must be).
OPTION_CHECKS = {
    "fpu_reduction": (lambda x: _f32_finite(x) and x >= 0, "a finite number, 0 or more"),
    "canonical_order": _FLAG,
    "reuse_tree": _FLAG,
    "skip_forced": _FLAG,
    "fast_sims": (_count, "an integer from 1 to %d" % U32_MAX),
    "full_share": (lambda x: _f32_positive(x) and x <= 1, "a fraction above 0, at most 1"),
    "gumbel": _FLAG,
    "gumbel_m": (_count, "an integer from 1 to %d" % U32_MAX),
    "rollout_weight": (lambda x: _f32_positive(x) and x <= 1, "a fraction above 0, at most 1"),
}
# Options that need or exclude each other: (wrong, message with a {name} per setting).
OPTION_RULES = (
    (lambda o: "fast_sims" in o and "full_share" not in o, "{fast_sims} needs {full_share}"),
    (lambda o: "full_share" in o and "fast_sims" not in o, "{full_share} needs {fast_sims}"),
    (lambda o: "gumbel_m" in o and o.get("gumbel") is not True, "{gumbel_m} needs {gumbel}"),
    (lambda o: o.get("reuse_tree") is True and o.get("gumbel") is True,
     "{reuse_tree} cannot be combined with {gumbel}"),
)

# The command-line flag of each setting and option.
SEARCH_FLAGS = {"sims_per_move": "--sims", "sample_moves": "--sample-tiles",
                "c_base": "--c-base", "c_init": "--c-init",
                "dirichlet_alpha": "--dirichlet-alpha",
                "exploration_fraction": "--exploration-fraction"}
OPTION_FLAGS = {key: "--" + key.replace("_", "-") for key in OPTION_CHECKS}


class _Options(dict):
    """The search options of a ``SearchSettings``: a dict (so JSON and
    ``dataclasses.asdict`` take it as one) that cannot be changed."""

    def _frozen(self, *args, **kwargs):
        raise TypeError("search options cannot be changed; make a new SearchSettings")

    __setitem__ = __delitem__ = clear = pop = popitem = setdefault = update = _frozen
    __ior__ = _frozen

    def __reduce__(self):
        return (type(self), (dict(self),))


def check_options(options, sims_per_move):
    """The options as a ``SearchSettings`` keeps them: checked (SettingsError
    naming the first key at fault), switches that are off left out, None
    when nothing is left (every option off: the module's plain search)."""
    if not isinstance(options, Mapping):
        raise SettingsError("options must be a mapping, not %r" % (options,))
    options = dict(options)
    for key, value in options.items():
        if key not in OPTION_CHECKS:
            raise SettingsError("unknown search option %r (%s)" % (key, ", ".join(OPTION_CHECKS)))
        ok, want = OPTION_CHECKS[key]
        if not ok(value):
            raise SettingsError("%s must be %s, not %r" % (key, want, value), key, want, value)
    for wrong, template in OPTION_RULES:
        if wrong(options):
            raise SettingsError(template.format_map(_Names()), template=template)
    fast = options.get("fast_sims")
    if fast is not None and fast > sims_per_move:
        template = ("{fast_sims} must be at most {sims_per_move} (a fast search is a smaller "
                    "one), not %d > %d" % (fast, sims_per_move))
        raise SettingsError(template.format_map(_Names()), template=template)
    kept = {k: v for k, v in options.items() if v is not False}
    return _Options(kept) if kept else None


@dataclasses.dataclass(frozen=True)
class SearchSettings:
    """The search settings of every game of a run. Building one checks it
    (``SettingsError`` for the first setting out of range); ``options`` is a
    mapping of search options (``OPTION_CHECKS``), kept as a dict that
    cannot be changed, or None when none is on; it is passed to the module's
    calls as the keyword ``options`` when there is one."""

    sims_per_move: int = 800
    sample_moves: int = 30
    c_base: float = 19652.0
    c_init: float = 1.25
    dirichlet_alpha: float = 0.3
    exploration_fraction: float = 0.25
    options: Optional[Mapping[str, object]] = dataclasses.field(default=None, hash=False)

    def __post_init__(self):
        for name, ok, want in SEARCH_CHECKS:
            value = getattr(self, name)
            if not ok(value):
                raise SettingsError("%s must be %s, not %s" % (name, want, value), name, want,
                                    value)
        if self.options is not None:
            object.__setattr__(self, "options", check_options(self.options, self.sims_per_move))

    @classmethod
    def from_args(cls, args, defaults=None):
        """From the flags of ``add_search_arguments``; SettingsError for one
        out of range (``named(search_flags(args))`` words it with the flag
        as it was typed)."""
        sample = args.sample_tiles if args.sample_tiles is not None else args.sample_moves
        if sample is None:
            sample = (defaults or cls()).sample_moves
        return cls(args.sims, sample, args.c_base, args.c_init, args.dirichlet_alpha,
                   args.exploration_fraction, options_from_args(args))

    def config(self):
        """The object the module reads its ``Config`` from, attribute by attribute."""
        return types.SimpleNamespace(**self.as_dict())

    def call_options(self):
        """The keywords of a module call: ``options`` where there are any."""
        return {"options": dict(self.options)} if self.options else {}

    def as_dict(self):
        """The six settings by name (as summaries record them)."""
        return {name: getattr(self, name) for name, _, _ in SEARCH_CHECKS}

    def recorded_options(self):
        """The options as records keep them: a plain dict, or None."""
        return dict(self.options) if self.options else None

    def command_line(self):
        """The flags that give these settings to ``velmar play``."""
        out = []
        for name, value in self.as_dict().items():
            out += [SEARCH_FLAGS[name], str(value)]
        return out + options_command_line(self.options)


def options_command_line(options):
    """The flags that give these search options (a switch is on when named)."""
    out = []
    for key in OPTION_CHECKS:
        value = (options or {}).get(key)
        if value is True:
            out.append(OPTION_FLAGS[key])
        elif value is not None and value is not False:
            out += [OPTION_FLAGS[key], repr(value)]
    return out


def options_from_args(args):
    """The search options of the flags of ``add_option_arguments`` (those
    the parser has and the command line gave), or None."""
    out = {}
    for key in OPTION_CHECKS:
        value = getattr(args, key, None)
        if value is not None and value is not False:
            out[key] = value
    return out or None


def search_flags(args):
    """The flag of each search setting as the command line gave it."""
    flags = dict(SEARCH_FLAGS, **OPTION_FLAGS)
    if getattr(args, "sample_moves", None) is not None and args.sample_tiles is None:
        flags["sample_moves"] = "--sample-moves"
    return flags


def add_search_arguments(ap, defaults=SearchSettings()):
    d = defaults
    ap.add_argument("--sims", type=int, default=d.sims_per_move,
                    help="simulations per tile (default %(default)s, as AlphaZero)")
    ap.add_argument("--sample-tiles", type=int, default=None,
                    help="tiles are drawn in proportion to visits while fewer than this many "
                         "have been searched, the most visited afterwards (the module's "
                         "sample_moves, counted in tiles; default %d, as AlphaZero's 30 moves)"
                         % d.sample_moves)
    ap.add_argument("--sample-moves", type=int, default=None,
                    help="the same as --sample-tiles (its former name)")
    ap.add_argument("--c-base", type=float, default=d.c_base,
                    help="PUCT exploration base (default %(default)s, AlphaZero)")
    ap.add_argument("--c-init", type=float, default=d.c_init,
                    help="PUCT exploration initial value (default %(default)s, AlphaZero)")
    ap.add_argument("--dirichlet-alpha", type=float, default=d.dirichlet_alpha,
                    help="concentration of the root noise (default %(default)s, AlphaZero chess)")
    ap.add_argument("--exploration-fraction", type=float, default=d.exploration_fraction,
                    help="weight of the root noise (default %(default)s, AlphaZero)")
    add_option_arguments(ap)


def add_option_arguments(ap):
    """The flags of the search options (each off unless given)."""
    g = ap.add_argument_group("search options (all off unless given)")
    g.add_argument("--fpu-reduction", type=float, default=None, metavar="X",
                   help="an unvisited child's value is its parent's minus X times the square "
                        "root of the priors of the children visited so far, not 0")
    g.add_argument("--canonical-order", action="store_true", default=None,
                   help="the tiles of a placement are searched in one order only, smallest "
                        "cell first, so simulations spread over placements")
    g.add_argument("--reuse-tree", action="store_true", default=None,
                   help="the subtree under the tile taken serves the next search")
    g.add_argument("--skip-forced", action="store_true", default=None,
                   help="a tile that is the only legal one is taken without a search")
    g.add_argument("--fast-sims", type=int, default=None, metavar="N",
                   help="playout caps: a tile gets a full search (--sims, root noise) with "
                        "chance --full-share, else a fast one of N simulations without noise; "
                        "the shards' full_search column says which")
    g.add_argument("--full-share", type=float, default=None, metavar="P",
                   help="the chance of a full search with --fast-sims (0 < P <= 1)")
    g.add_argument("--gumbel", action="store_true", default=None,
                   help="the root is searched by sequential halving over tiles drawn by "
                        "Gumbel-top-k (it replaces root noise); the policy recorded is the "
                        "improved one")
    g.add_argument("--gumbel-m", type=int, default=None, metavar="M",
                   help="tiles sampled at the root with --gumbel (default 16)")
    g.add_argument("--rollout-weight", type=float, default=None, metavar="W",
                   help="a leaf's values are (1 - W) times the network's plus W times the "
                        "payoff of one greedy playout from it (0 < W <= 1)")


# ---------------------------------------------------------------------------
# Evaluators

EVALUATOR_KINDS = ("uniform", "sleep", "heuristic", "numpy", "torch")
EVALUATOR_HELP = (
    "uniform (every logit 0, every value 0.25; costs nothing), sleep:MS (uniform answers "
    "after MS milliseconds per batch, for measuring batching), heuristic[:T[:W]] (values "
    "from each player's squares and open corners), numpy[:W.npz] or torch[:W] (the network, "
    "a seeded random one without weights) or package.module.factory[:ARG] (called as "
    "factory(ARG, seed=..., device=...))")


@dataclasses.dataclass(frozen=True)
class EvaluatorSpec:
    """What an ``--evaluator`` value names: ``kind`` (one of
    ``EVALUATOR_KINDS``, or ``factory``), ``name`` (the kind, or the
    factory's dotted path) and ``arg`` (the text after the first colon, or
    None). ``str()`` gives the value back as it was typed."""

    text: str
    kind: str
    name: str
    arg: Optional[str]

    @classmethod
    def parse(cls, text):
        if isinstance(text, EvaluatorSpec):
            return text
        name, _, arg = str(text).partition(":")
        arg = arg or None
        if name in EVALUATOR_KINDS:
            kind = name
        elif "." in name:
            kind = "factory"
        else:
            raise SettingsError("unknown evaluator %r (uniform, sleep:MS, heuristic, "
                                "numpy[:PATH], torch[:PATH] or package.module.factory[:ARG])"
                                % text)
        if kind == "uniform" and arg:
            raise SettingsError("the uniform evaluator takes no argument")
        if kind == "sleep" and arg is None:
            raise SettingsError("the sleep evaluator needs its latency: sleep:MS")
        return cls(str(text), kind, name, arg)

    def __str__(self):
        return self.text

    @property
    def free(self):
        """Whether an evaluation costs nothing (no batching to wait for)."""
        return self.kind == "uniform"

    @property
    def weights_file(self):
        """The weight file a network evaluator names, or None."""
        return self.arg if self.kind in ("numpy", "torch") else None


# ---------------------------------------------------------------------------
# The inference server's options

@dataclasses.dataclass(frozen=True)
class ServerOptions:
    max_batch: int = 64
    batch_wait_ms: Optional[float] = None
    device: Optional[str] = None
    server_python: Optional[str] = None

    def __post_init__(self):
        if not (_is_int(self.max_batch) and 1 <= self.max_batch <= MAX_BATCH):
            raise SettingsError("", "max_batch", "an integer from 1 to %d" % MAX_BATCH,
                                self.max_batch)
        wait = self.batch_wait_ms
        if not (wait is None or (_is_number(wait) and math.isfinite(wait) and wait >= 0)):
            raise SettingsError("", "batch_wait_ms", "a finite number, 0 or more", wait)

    @classmethod
    def from_args(cls, args):
        return cls(args.max_batch, args.batch_wait_ms, args.device, args.server_python)

    def python_for(self, evaluators):
        """The server's interpreter: the one given, else this one, except
        /usr/bin/python3 under PyPy when an evaluator needs NumPy (NumPy and
        PyTorch live there, not in PyPy)."""
        if (self.server_python is None and sys.implementation.name == "pypy"
                and any(not EvaluatorSpec.parse(e).free for e in evaluators)
                and os.path.exists("/usr/bin/python3")):
            return "/usr/bin/python3"
        return self.server_python


SERVER_FLAGS = {"max_batch": "--max-batch", "batch_wait_ms": "--batch-wait-ms"}


def add_server_arguments(ap, defaults=ServerOptions()):
    ap.add_argument("--max-batch", type=int, default=defaults.max_batch,
                    help="largest batch the server evaluates at once (default %(default)s)")
    ap.add_argument("--batch-wait-ms", type=float, default=defaults.batch_wait_ms,
                    help="how long the server waits for more requests while fewer are pending "
                         "than game threads are running (default: the evaluators' own, 0 for "
                         "uniform)")
    ap.add_argument("--device", default=defaults.device,
                    help="torch device (default: cuda if available)")
    ap.add_argument("--server-python", default=defaults.server_python,
                    help="interpreter for the server process (default: this one, except "
                         "/usr/bin/python3 for an evaluator that needs NumPy under PyPy)")
