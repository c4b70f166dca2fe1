"""Players that run in the calling process: the greedy rule, and searches
whose evaluator answers synchronously (no server, no pipes).

A player is written ``NAME=SPEC`` as in the arena: SPEC is ``greedy``,
``rollout[:K]``,
``best[:PATH][,KEY=V...]`` (the shipped network, ``weights/best.npz``, with
the search settings its file records, else ``BEST_SIMS`` simulations), or
any evaluator the arena takes (``uniform``, ``heuristic[:T[:W]]``,
``numpy:W.npz``, ...) with the arena's search settings (``sims=N``, ``c_base``,
``c_init``, ``noise``, ``alpha``) and search options (``fpu=X``, ``canonical=1``,
``reuse=1``, ``skip=1``, ``gumbel=1``, ``gumbel_m=M``, ``rollout=W``).
"""

from __future__ import annotations

import dataclasses
import random
from dataclasses import dataclass
from typing import Optional

from velmar.arena.best import BestError, best_text, is_best
from velmar.arena.players import ArenaError, PlayerSpec, search_tile
from velmar.game.planes import decode_reply, make_packer
from velmar.game.rule_players import is_rule, rule_player
from velmar.serving.evaluators import EvaluatorUnavailable
from velmar.serving.factory import make_evaluator


class LadderError(ArenaError):
    """A bad option or a player that cannot start (the command exits 2)."""


@dataclass(frozen=True)
class LadderPlayer:
    """A named player: ``kind`` is "greedy", "rollout" or "search" (then
    ``search`` is the arena's ``PlayerSpec`` of its evaluator and settings)."""

    name: str
    spec: str                      # as given on the command line
    kind: str
    search: Optional[PlayerSpec] = None
    note: str = ""                 # where the settings came from

    @classmethod
    def parse(cls, text: str) -> "LadderPlayer":
        head, *settings = text.split(",")
        name, sep, what = head.partition("=")
        name, what = name.strip(), what.strip()
        if not sep or not name or not what:
            raise LadderError("a player is NAME=SPEC[,KEY=VALUE...], got %r" % text)
        spec = text.partition("=")[2].strip()
        if is_rule(what):
            _arena_spec(text)  # the arena's checks of a rule player
            return cls(name, spec, what.partition(":")[0])
        if is_best(what):
            return _best(name, spec, what, settings)
        return cls(name, spec, "search", _arena_spec(text))

    def describe(self):
        if self.search is None:
            return "%s (%s)" % (self.name, self.spec)
        out = self.search.describe()
        return out + (" [%s]" % self.note if self.note else "")

    def to_json(self):
        out = {"name": self.name, "spec": self.spec, "kind": self.kind, "note": self.note}
        if self.search is not None:
            out["search"] = dataclasses.asdict(self.search)
        return out


def _best(name, spec, what, settings):
    try:
        text, note = best_text(name, what, settings)
    except BestError as e:
        raise LadderError(str(e)) from None
    return LadderPlayer(name, spec, "search", _arena_spec(text), note)


def _arena_spec(text):
    try:
        return PlayerSpec.parse(text)
    except ArenaError as e:
        raise LadderError(str(e)) from None


class InProcessEvaluator:
    """``put``/``recv`` for ``velmar.rules.search`` (as its inference queue
    and its pipe): each request is answered by the evaluator at once, over
    the same wire format as the server's (packed planes in, reply bytes
    out)."""

    def __init__(self, evaluator):
        self.evaluator = evaluator
        self.pack = make_packer()
        self.requests = 0
        self._reply = None
        self._last_raw = None
        self._last = None

    def put(self, request):
        _, planes = request
        self._reply = self.evaluator.evaluate_bits(self.pack(planes), 1)[0]
        self.requests += 1

    def recv(self):
        raw, self._reply = self._reply, None
        if raw is None:
            raise RuntimeError("recv() without a request")
        if raw != self._last_raw:
            self._last, self._last_raw = decode_reply(raw), raw
        return self._last


class SearchPlayer:
    """Chooses each tile by ``velmar.rules.search`` with an in-process
    evaluator: the most visited tile, ties at random (a Gumbel root's
    winner); a forced tile is taken without a search. ``search_id`` keeps
    the trees a player reuses apart from the other players' of its game."""

    def __init__(self, spec: PlayerSpec, evaluator, seed=None, search_id=0):
        self.config = spec.search.config()
        self.call_options = spec.search.call_options()
        self.client = InProcessEvaluator(evaluator)
        self.rng = random.Random(seed)
        self.search_id = search_id

    def choose(self, game):
        from velmar import rules
        legal = game.legal_tiles()
        if len(legal) == 1:
            return legal[0]
        return search_tile(rules.search, game, self.config, self.client, self.search_id,
                           self.call_options, self.rng, False)


class UniformTiles:
    """A legal tile uniformly at random (no search): the weakest baseline."""

    def __init__(self, seed=None):
        self.rng = random.Random(seed)

    def choose(self, game):
        legal = game.legal_tiles()
        return legal[self.rng.randrange(len(legal))]


class Evaluators:
    """One evaluator per evaluator specification, made on first use."""

    def __init__(self):
        self.made = {}

    def get(self, text):
        if text not in self.made:
            try:
                self.made[text] = make_evaluator(text)
            except (ValueError, OSError, EvaluatorUnavailable) as e:
                raise LadderError("evaluator %r: %s" % (text, e))
        return self.made[text]


def make_player(player: LadderPlayer, evaluators: Evaluators, seed, seat=0):
    """The object that chooses ``player``'s tiles in one game from ``seat``."""
    if player.search is None:
        return rule_player(player.spec, seed)
    return SearchPlayer(player.search, evaluators.get(player.search.evaluator), seed, seat)
