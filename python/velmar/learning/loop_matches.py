"""The loop's matches: a generation against fixed opponents in the arena
(``arena/gen-NNNN/OPP``) and in a ladder against the greedy rule
(``ladder/gen-NNNN``), and the paths of a run's generations."""

import os
import shutil
from dataclasses import replace

from velmar.arena.arena import run_arena
from velmar.arena.players import PlayerSpec
from velmar.arena.results import wilson_interval
from velmar.common.files import read_json
from velmar.ratings.ladder import run_ladder
from velmar.ratings.players import LadderPlayer


class LoopFailed(RuntimeError):
    """A step failed (exit 1)."""


class LoopStopped(Exception):
    def __init__(self, status):
        super().__init__(status)
        self.status = status


def gen_path(run, g):
    return os.path.join(run, "gen-%04d.npz" % g)


def ladder_dir(run, g):
    return os.path.join(run, "ladder", "gen-%04d" % g)


def arena_dir(run, g, opponent):
    return os.path.join(run, "arena", "final" if g is None else "gen-%04d" % g, opponent)


def generation_spec(name, evaluator, settings):
    """A generation of the run as an arena player, with the run's options."""
    spec = PlayerSpec.make(name, evaluator, settings.arena_sims())
    return replace(spec, search=replace(spec.search, options=settings.arena_options()))


def opponent_spec(run, g, opponent, settings):
    if opponent == "previous":
        return generation_spec("gen-%04d" % (g - 1), "numpy:" + gen_path(run, g - 1), settings)
    return PlayerSpec.make(opponent, opponent, settings.arena_sims())


def arena_done(run, g, opponent, games):
    j = read_json(os.path.join(arena_dir(run, g, opponent), "arena.json"))
    return bool(j) and j.get("exit_status") == 0 and len(j.get("games", [])) == games


def run_one_arena(run, g, cand_gen, opponent, games, settings):
    out = arena_dir(run, g, opponent)
    shutil.rmtree(out, ignore_errors=True)
    cand = generation_spec("gen-%04d" % cand_gen,
                           "%s:%s" % (settings.evaluator, gen_path(run, cand_gen)), settings)
    opp = opponent_spec(run, cand_gen, opponent, settings)
    res = run_arena([cand, opp], games, workers=settings.workers, out_dir=out,
                    seed=settings.seed * 1000 + cand_gen)
    if res.exit_status in (130, 143):
        raise LoopStopped(res.exit_status)
    if not res.complete:
        raise LoopFailed("arena of gen %d against %s: %s" % (cand_gen, opponent,
                                                             "; ".join(res.errors) or "incomplete"))
    p = res.players[0]
    return {"games": games, "win_share": p.win_share, "interval": [p.low, p.high],
            "par": p.par, "above_par": p.above_par, "seconds": round(res.seconds, 1)}


def ladder_done(run, g, games):
    j = read_json(os.path.join(ladder_dir(run, g), "ladder.json"))
    return bool(j) and j.get("games_finished") == games


def run_ladder_step(run, g, settings):
    """Generation g (the run's arena settings) against the greedy rule."""
    out = ladder_dir(run, g)
    shutil.rmtree(out, ignore_errors=True)
    cand = LadderPlayer("gen-%04d" % g, gen_path(run, g), "search",
                        generation_spec("gen-%04d" % g, "numpy:" + gen_path(run, g), settings))
    try:
        res = run_ladder([cand, LadderPlayer.parse("greedy=greedy")], settings.ladder_games,
                         workers=settings.workers, out_dir=out, anchor="greedy",
                         seed=settings.seed * 1000 + g)
    except KeyboardInterrupt:
        raise LoopStopped(130)
    if not res.complete:
        raise LoopFailed("ladder of gen %d: %d of %d games"
                         % (g, len(res.games), res.games_requested))
    f = res.fit
    net, greedy = res.standings
    return {"games": settings.ladder_games, "rating": round(float(f.ratings[0]), 1),
            "interval": ([round(float(f.low[0]), 1), round(float(f.high[0]), 1)]
                         if f.low is not None else None),
            "alone_share": net.alone_share, "alone_interval": wilson_of(net),
            "greedy_alone_share": greedy.alone_share, "greedy_alone_interval": wilson_of(greedy),
            "seconds": round(res.seconds, 1)}


def wilson_of(st):
    low, high = wilson_interval(st.alone_share, st.alone_games)
    return [low, high]
