"""The players of an arena and what one of its games is.

A player is a name, an evaluator specification (as ``velmar play
--evaluator`` takes) and its own search settings and search options. The
seating rotation says which player sits in which seat in each game; a game
chooses every tile by the mover's own search (``velmar.rules.search``; a
tile that is the only legal one is taken without a search): the most
visited tile, ties broken at random, except in the first ``sample_tiles``
tiles, which are drawn in proportion to visits so that games differ. A
player with the Gumbel root takes its search's winner after those tiles.

Some evaluators are names rather than evaluators: ``greedy`` is the greedy
rule (``velmar.game.greedy``: whole placements, no search, no request to
the server), ``rollout[:K]`` the rollout rule (``velmar.game.rollout``: the
greedy rule's K best placements, each judged by a greedy playout; no
request to the server either), and ``best[:PATH]`` the shipped network with
the search settings its file records (``velmar.arena.best``).
"""

import dataclasses
import itertools
import random
from typing import List

from velmar.arena.best import BestError, best_text, is_best
from velmar.arena.results import SEATS
from velmar.common.settings import EvaluatorSpec, SearchSettings, SettingsError
from velmar.game.rule_players import check_rule, is_rule, rule_player

DEFAULT_SAMPLE_TILES = 8
# An arena measures strength, not exploration: no root noise unless given.
ARENA_SEARCH = SearchSettings(sims_per_move=64, sample_moves=DEFAULT_SAMPLE_TILES,
                              exploration_fraction=0.0)

# A player's keys and the settings they set.
PLAYER_KEYS = {"sims": "sims_per_move", "c_base": "c_base", "c_init": "c_init",
               "alpha": "dirichlet_alpha", "dirichlet_alpha": "dirichlet_alpha",
               "noise": "exploration_fraction", "exploration_fraction": "exploration_fraction"}
# A player's keys of the search options: key -> (option, a switch or its type).
OPTION_KEYS = {"fpu": ("fpu_reduction", float), "canonical": ("canonical_order", bool),
               "reuse": ("reuse_tree", bool), "skip": ("skip_forced", bool),
               "gumbel": ("gumbel", bool), "gumbel_m": ("gumbel_m", int),
               "rollout": ("rollout_weight", float)}
# Playout caps shape self-play's training targets; a match has none to shape.
SELFPLAY_ONLY = {"fast": "fast_sims", "fast_sims": "fast_sims", "full": "full_share",
                 "full_share": "full_share"}
KEY_NAMES = {"sims_per_move": "sims", "c_base": "c_base", "c_init": "c_init",
             "dirichlet_alpha": "alpha", "exploration_fraction": "noise",
             "sample_moves": "--sample-tiles"}
KEY_NAMES.update({option: key for key, (option, _) in OPTION_KEYS.items()})
ALL_KEYS = ("sims, c_base, c_init, alpha, noise, fpu, canonical, reuse, skip, gumbel, gumbel_m, "
            "rollout")


class ArenaError(ValueError):
    """A bad option or an arena that cannot start (the command exits 2)."""


@dataclasses.dataclass(frozen=True)
class PlayerSpec:
    """A player: a name, an evaluator specification and its search settings."""

    name: str
    evaluator: str = "uniform"
    search: SearchSettings = ARENA_SEARCH

    @classmethod
    def make(cls, name, evaluator="uniform", sims=ARENA_SEARCH.sims_per_move):
        """A player with the arena's search settings at ``sims`` simulations."""
        return cls(name, evaluator, dataclasses.replace(ARENA_SEARCH, sims_per_move=sims))

    @classmethod
    def parse(cls, text: str) -> "PlayerSpec":
        """From ``NAME=EVALUATOR[,KEY=VALUE...]``; keys: sims, c_base,
        c_init, alpha (dirichlet_alpha), noise (exploration_fraction), and
        the search options fpu=X, canonical=1, reuse=1, skip=1, gumbel=1,
        gumbel_m=M, rollout=W (a switch is 0 or 1; rollout=0 is off)."""
        head, *settings = text.split(",")
        name, sep, evaluator = head.partition("=")
        if not sep or not name.strip() or not evaluator.strip():
            raise ArenaError("a player is NAME=EVALUATOR[,sims=N,...], got %r" % text)
        name = name.strip()
        if is_best(evaluator.strip()):
            try:
                return cls.parse(best_text(name, evaluator.strip(), settings)[0])
            except BestError as e:
                raise ArenaError("player %r: %s" % (name, e)) from None
        if is_rule(evaluator.strip()):
            return cls._rule(name, evaluator.strip(), settings)
        values, options = {}, {}
        for item in settings:
            key, sep, value = item.partition("=")
            key = key.strip().replace("-", "_")
            if sep and key in OPTION_KEYS:
                option, kind = OPTION_KEYS[key]
                options[option] = _option_value(name, key, value.strip(), kind)
                if option == "rollout_weight" and options[option] == 0:
                    del options[option]  # rollout=0: no playouts (a recorded weight is undone)
                continue
            if sep and key in SELFPLAY_ONLY:
                raise ArenaError("player %r: %s is a self-play setting (playout caps choose "
                                 "which tiles train the policy); a match plays every tile with "
                                 "its full search" % (name, key))
            if not sep or key not in PLAYER_KEYS:
                raise ArenaError("player %r: unknown setting %r (%s)" % (name, item, ALL_KEYS))
            attr = PLAYER_KEYS[key]
            try:
                values[attr] = int(value) if attr == "sims_per_move" else float(value)
            except ValueError:
                raise ArenaError("player %r: %s=%r is not a number" % (name, key, value)) from None
        try:
            search = dataclasses.replace(ARENA_SEARCH, **values, options=options or None)
        except SettingsError as e:
            raise ArenaError("player %r: %s" % (name, e.named(KEY_NAMES))) from None
        spec = cls(name, evaluator.strip(), search)
        spec.check()
        return spec

    @classmethod
    def _rule(cls, name, rule, settings):
        """A rule player: ``greedy`` or ``rollout[:K]``, no settings."""
        if settings:
            raise ArenaError("player %r: %s takes no settings" % (name, rule.partition(":")[0]))
        try:
            check_rule(rule)
        except ValueError as e:
            raise ArenaError("player %r: %s" % (name, e)) from None
        return cls(name, rule)

    @property
    def rule(self):
        """Whether a rule (greedy, rollout) chooses this player's tiles, not a search."""
        return is_rule(self.evaluator)

    def check(self):
        if self.rule:
            return
        try:
            EvaluatorSpec.parse(self.evaluator)
        except SettingsError as e:
            raise ArenaError("player %r: %s" % (self.name, e)) from None
        for option in SELFPLAY_ONLY.values():
            if option in (self.search.options or {}):
                raise ArenaError("player %r: %s is a self-play setting; a match plays every "
                                 "tile with its full search" % (self.name, option))

    @property
    def sims(self):
        return self.search.sims_per_move

    @property
    def c_base(self):
        return self.search.c_base

    @property
    def c_init(self):
        return self.search.c_init

    @property
    def dirichlet_alpha(self):
        return self.search.dirichlet_alpha

    @property
    def exploration_fraction(self):
        return self.search.exploration_fraction

    def as_json(self):
        """The player as arena.json records it (``options`` where it has any)."""
        if self.rule:
            return dict(name=self.name, evaluator=self.evaluator)
        out = dict(name=self.name, evaluator=self.evaluator, sims=self.sims, c_base=self.c_base,
                   c_init=self.c_init, dirichlet_alpha=self.dirichlet_alpha,
                   exploration_fraction=self.exploration_fraction)
        if self.search.options:
            out["options"] = self.search.recorded_options()
        return out

    def describe(self):
        if self.rule:
            return "%s (%s)" % (self.name, self.evaluator)
        out = "%s (%s, %d sims" % (self.name, self.evaluator, self.sims)
        if self.exploration_fraction:
            out += ", noise %g alpha %g" % (self.exploration_fraction, self.dirichlet_alpha)
        if (self.c_base, self.c_init) != (ARENA_SEARCH.c_base, ARENA_SEARCH.c_init):
            out += ", c_base %g c_init %g" % (self.c_base, self.c_init)
        for key, (option, kind) in OPTION_KEYS.items():
            value = (self.search.options or {}).get(option)
            if value is not None:
                out += ", %s" % key if kind is bool else ", %s %g" % (key, value)
        return out + ")"


def _option_value(name, key, value, kind):
    """A player's value of a search option: a switch is 0 or 1."""
    if kind is bool:
        if value not in ("0", "1"):
            raise ArenaError("player %r: %s must be 0 or 1, not %r" % (name, key, value))
        return value == "1"
    try:
        return kind(value)
    except ValueError:
        raise ArenaError("player %r: %s=%r is not %s" % (
            name, key, value, "an integer" if kind is int else "a number")) from None


def seatings(n_players: int) -> List[tuple]:
    """The rotation of seatings: tuples of the player index in each seat."""
    if n_players < 2:
        raise ArenaError("an arena needs at least two players")
    if n_players == 2:
        return [tuple(0 if s == seat else 1 for s in range(SEATS)) for seat in range(SEATS)]
    if n_players > SEATS:
        return list(itertools.permutations(range(n_players), SEATS))
    out = []
    for seating in itertools.product(range(n_players), repeat=SEATS):
        counts = [seating.count(p) for p in range(n_players)]
        if min(counts) >= 1 and max(counts) - min(counts) <= 1:
            out.append(seating)
    return out


def choose_tile(visits, rng, draw):
    """The most visited cell (ties at random), or with ``draw`` a cell drawn
    in proportion to visits. ``visits``: (cell, count) pairs."""
    if not visits:
        raise ValueError("a search returned no tiles")
    total = sum(n for _, n in visits)
    if draw and total > 0:
        k = rng.randrange(total)
        for cell, n in visits:
            k -= n
            if k < 0:
                return cell
    best = max(n for _, n in visits)
    return rng.choice([cell for cell, n in visits if n == best])


def search_tile(search, game, config, client, player, call_options, rng, draw):
    """The tile a player's search (``velmar.rules.search``, request id
    ``player``) takes: ``choose_tile`` on its visits, which a search with
    options gives under "visits" of a dict; a Gumbel root's winner (its
    "tile") is taken once the opening draws are over."""
    found = search(game, config, client, client, id=player, **call_options)
    if isinstance(found, dict):
        if not draw and call_options.get("options", {}).get("gumbel"):
            return found["tile"]
        found = found["visits"]
    return choose_tile(found, rng, draw)


def play_game(seating, configs, client, rng, sample_tiles, search=None, call_options=None,
              rules_players=None):
    """One game; returns (tiles as (seat, cell) pairs, payoffs, scores).

    ``seating``: the player index in each seat; ``configs``: each player's
    search settings (and ``call_options`` each player's keywords of the
    search call); the request id of a search is its player's index.
    ``rules_players``: player index -> an object whose ``choose(game)``
    gives the tile, for players that do not search (greedy).
    """
    from velmar import rules
    if search is None:
        search = rules.search
    call_options = call_options or [{}] * len(configs)
    rules_players = rules_players or {}
    game = rules.Game()
    tiles = []
    while not game.is_over:
        seat = game.current_player()
        player = seating[seat]
        legal = game.legal_tiles()
        if player in rules_players:
            cell = rules_players[player].choose(game)
        elif len(legal) == 1:
            cell = legal[0]
        else:
            cell = search_tile(search, game, configs[player], client, player,
                               call_options[player], rng, len(tiles) < sample_tiles)
        tiles.append((seat, cell))
        game.apply(cell)
    return tiles, [float(x) for x in game.get_payoff()], [int(x) for x in game.get_score()]


class MatchJob:
    """What an arena game is for the game runner: game g seats the players
    as the rotation's entry g says and draws with a generator seeded by the
    arena's seed and g, so a game's draws do not depend on which worker or
    thread plays it."""

    def __init__(self, players, rotation, sample_tiles, seed):
        self.searches = [dataclasses.replace(p.search, sample_moves=sample_tiles)
                         for p in players]
        self.rotation = rotation
        self.sample_tiles = sample_tiles
        self.seed = seed
        self.configs = [s.config() for s in self.searches]
        self.call_options = [s.call_options() for s in self.searches]
        self.rules = [p.evaluator if p.rule else None for p in players]

    def prepare(self):
        try:
            from velmar import rules  # noqa: F401
        except ImportError as e:
            return "cannot import velmar.rules: %s" % e
        return None

    def play(self, game, channel, client, stats):
        seating = self.rotation[game % len(self.rotation)]
        rng = random.Random("%d:%d" % (self.seed, game))
        made, rules_players = {}, {}
        for i, text in enumerate(self.rules):
            if text is not None:  # one plan at a time serves every seat of a rule
                if text not in made:
                    made[text] = rule_player(text, rng.randrange(2 ** 31))
                rules_players[i] = made[text]
        return play_game(seating, self.configs, client, rng, self.sample_tiles,
                         call_options=self.call_options, rules_players=rules_players)
