"""``python3 -m velmar loop``: self-play, train, evaluate, repeat.

Layout of RUN (``--dir``)::

    gen-0000.npz            random weights (seeded), the first generation
    selfplay/gen-NNNN/      shards and summary.json of G games by gen NNNN
    gen-NNNN.npz            trained on the window, initialised from gen NNNN-1
    arena/gen-NNNN/OPP/     arena.json + arena.png: gen NNNN against three OPP
    arena/final/OPP/        the last generation's larger final arena
    ladder/gen-NNNN/        ladder.json + ladder.png: gen NNNN against greedy
    loop.json               settings and one record per iteration
    loop.png                the learning curve

Each iteration has three steps: ``selfplay`` (``velmar play`` in a
subprocess with the current generation as its evaluator), ``train``
(``velmar.learning.train.train`` on the newest ``window`` games of every self-play
directory so far) and ``arena`` (``velmar.arena.arena.run_arena``: the new
generation against three copies of uniform, of heuristic and of the
previous generation, all at the same simulations; the search options of
the run, playout caps aside, are the new generation's and the previous
one's in the arena too, the fixed baselines search without). With
``--ladder-every K`` every K-th generation also plays a two-player ladder
against the greedy rule (``velmar.ratings``), which the network never
trains against: its rating with greedy at 0, and each side's win share
alone against three of the other, against the hours of the run make the
learning curve. ``loop.json`` is
rewritten atomically after every step. A step counts as done when its
record is in ``loop.json`` and its output is there and complete; otherwise
it is redone from scratch, and every record after it is dropped. So a rerun
with the same ``--dir`` resumes after the last finished step.

Exit status: 0, 130 (SIGINT) or 143 (SIGTERM) after a stop, 1 when a step
fails, 2 for bad options.
"""

import argparse
import os
import shutil
import signal
import subprocess
import sys
import time
from dataclasses import asdict, dataclass, field
from typing import List, Optional

from velmar.common.files import read_json, write_json
from velmar.common.settings import (OPTION_FLAGS, SearchSettings, SettingsError,
                                    add_option_arguments, options_from_args)
from velmar.learning import train as tr
from velmar.learning.curve import DEFAULT_OPPONENTS, OPPONENTS, plot
from velmar.learning.loop_matches import (LoopFailed, LoopStopped, arena_done, gen_path,
                                          ladder_done, run_ladder_step, run_one_arena)
from velmar.net import network
from velmar.net.init_weights import add_architecture_switches

LOOP_FLAGS = {"sims_per_move": "--sims", "sample_moves": "--sample-moves",
              "exploration_fraction": "--exploration-fraction", **OPTION_FLAGS}
# Search options that shape self-play's targets only: a match plays without them.
SELFPLAY_ONLY = ("fast_sims", "full_share")


class LoopError(ValueError):
    """Bad options (exit 2)."""


@dataclass
class LoopSettings:
    iterations: Optional[int] = None
    hours: Optional[float] = None
    games: int = 32               # self-play games per iteration
    sims: int = 16                # self-play simulations per tile
    match_sims: Optional[int] = None  # the arena's and the ladder's (None: sims)
    arena_games: int = 40         # per opponent, middle iterations (multiple of 4)
    arena_every: int = 1          # the arena step in every K-th iteration only
    ladder_every: int = 0         # a ladder against greedy every K-th generation (0: none)
    ladder_games: int = 64        # games of that ladder (a multiple of 8)
    final_arena_games: int = 0    # per baseline for the last generation (0: none)
    opponents: List[str] = field(default_factory=lambda: list(DEFAULT_OPPONENTS))
    workers: int = os.cpu_count() or 1
    evaluator: str = "numpy"      # numpy or torch, for self-play and arena
    sample_moves: int = 30
    exploration_fraction: float = 0.25
    window: int = 0               # newest games trained on (0: all)
    steps: Optional[int] = None
    epochs: float = 1.0
    batch_size: int = 256
    lr: float = 1e-3
    weight_decay: float = 1e-4
    blocks: int = 1
    channels: int = 16
    canonical: bool = False       # a fresh generation 0 sees positions from the mover's corner
    seed: int = 0
    init: Optional[str] = None    # weights of generation 0 (default: fresh, from seed)
    options: Optional[dict] = None  # search options of self-play (and arena, caps aside)
    aux_heads: bool = False       # a fresh generation 0 with ownership and score heads
    global_pool: bool = False     # ... and with global pooling in its blocks
    derived_inputs: bool = False  # ... and with inputs derived from the planes

    def check(self):
        bad = []
        if (self.iterations is None) == (self.hours is None):
            bad.append("give one of --iterations and --hours")
        if self.iterations is not None and self.iterations < 1:
            bad.append("--iterations must be >= 1")
        if self.hours is not None and not self.hours > 0:
            bad.append("--hours must be > 0")
        if self.games < 1 or self.sims < 1 or self.workers < 1:
            bad.append("games, sims and workers must be >= 1")
        if self.match_sims is not None and self.match_sims < 1:
            bad.append("--match-sims must be >= 1")
        if self.arena_every < 1 or self.ladder_every < 0:
            bad.append("--arena-every must be >= 1, --ladder-every >= 0")
        if self.ladder_every and (self.ladder_games < 8 or self.ladder_games % 8):
            bad.append("--ladder-games must be a positive multiple of 8 (got %d)"
                       % self.ladder_games)
        for n in (self.arena_games, self.final_arena_games):
            if n < 0 or n % 4:
                bad.append("arena games must be a multiple of 4 (got %d)" % n)
        if self.evaluator not in ("numpy", "torch"):
            bad.append("--evaluator is numpy or torch")
        if any(o not in OPPONENTS for o in self.opponents):
            bad.append("opponents are %s" % ", ".join(OPPONENTS))
        if self.steps is not None and self.steps < 1:
            bad.append("--steps must be >= 1")
        try:
            self.selfplay_search()
        except SettingsError as e:
            bad.append(e.named(LOOP_FLAGS))
        if (self.aux_heads or self.global_pool or self.derived_inputs) and self.init:
            bad.append("--aux-heads, --global-pool and --derived-inputs describe a fresh "
                       "generation 0; with --init the architecture is that of its file")
        try:
            self.architecture().check()
        except network.WeightsError as e:
            bad.append(str(e))
        if bad:
            raise LoopError("; ".join(bad))

    def architecture(self):
        return network.Architecture(self.blocks, self.channels, canonical=self.canonical,
                                    aux=self.aux_heads, global_pool=self.global_pool,
                                    derived=self.derived_inputs)

    def selfplay_search(self):
        """The search settings of the self-play games."""
        return SearchSettings(sims_per_move=self.sims, sample_moves=self.sample_moves,
                              exploration_fraction=self.exploration_fraction,
                              options=self.options)

    def arena_sims(self):
        """The simulations per tile of the arena's and the ladder's searches."""
        return self.sims if self.match_sims is None else self.match_sims

    def arena_options(self):
        """The search options of the run's generations in an arena."""
        kept = {k: v for k, v in (self.options or {}).items() if k not in SELFPLAY_ONLY}
        return kept or None


# ---------------------------------------------------------------------------
# Paths and records

def selfplay_dir(run, g):
    return os.path.join(run, "selfplay", "gen-%04d" % g)


def load_state(run, settings):
    state = read_json(os.path.join(run, "loop.json")) or {}
    recorded = asdict(settings)
    if not settings.options:
        del recorded["options"]
    for k in ("aux_heads", "global_pool", "derived_inputs"):
        if not recorded[k]:
            del recorded[k]
    return {"settings": recorded, "started": state.get("started", time.time()),
            "iterations": state.get("iterations", []), "final": state.get("final")}


def save_state(run, state):
    write_json(os.path.join(run, "loop.json"), state, indent=1)
    try:
        plot(state, os.path.join(run, "loop.png"))
    except Exception as e:  # a picture is never worth losing a run
        sys.stderr.write("loop: cannot draw the learning curve: %s\n" % e)


# ---------------------------------------------------------------------------
# Steps: each checks whether its output is complete, else redoes it

def selfplay_done(run, g, settings):
    s = read_json(os.path.join(selfplay_dir(run, g), "summary.json"))
    return bool(s) and s.get("exit_status") == 0 and s.get("games_finished") == settings.games


def run_selfplay(run, g, settings):
    out = selfplay_dir(run, g)
    shutil.rmtree(out, ignore_errors=True)
    cmd = [sys.executable, "-m", "velmar", "play", "--games", str(settings.games),
           "--workers", str(settings.workers), *settings.selfplay_search().command_line(),
           "--evaluator", "%s:%s" % (settings.evaluator, gen_path(run, g)),
           "--out", out, "--quiet"]
    proc = subprocess.Popen(cmd)
    old = signal.signal(signal.SIGTERM, lambda s, f: proc.send_signal(signal.SIGTERM))
    try:
        while True:
            try:
                rc = proc.wait()
                break
            except KeyboardInterrupt:  # the child got SIGINT from the terminal too
                proc.send_signal(signal.SIGINT)
    finally:
        signal.signal(signal.SIGTERM, old)
    if rc in (130, 143, -2, -15):
        raise LoopStopped(130 if rc in (130, -2) else 143)
    if rc != 0 or not selfplay_done(run, g, settings):
        raise LoopFailed("self-play of gen %d exited with %d" % (g, rc))
    s = read_json(os.path.join(out, "summary.json"))
    return {"games": s["games_finished"], "positions": sum(x["rows"] for x in s["shards"]),
            "tiles": s["tiles"], "games_per_hour": round(s["games_per_hour"], 1)}


def train_done(run, g):
    try:
        network.load_weights(gen_path(run, g))
        return True
    except (OSError, network.WeightsError, ValueError):
        return False


def run_train(run, g, settings):
    ts = tr.TrainSettings(steps=settings.steps, epochs=settings.epochs,
                          batch_size=settings.batch_size, lr=settings.lr,
                          weight_decay=settings.weight_decay, window=settings.window,
                          seed=settings.seed + g, device="cpu")
    dirs = [selfplay_dir(run, k) for k in range(g)]

    def on_term(signum, frame):
        raise tr.Stopped()
    old = signal.signal(signal.SIGTERM, on_term)
    try:
        rep = tr.train(ts, dirs, gen_path(run, g - 1), gen_path(run, g),
                       log_path=os.path.join(run, "train", "gen-%04d.train.json" % g),
                       progress=False)
    except KeyboardInterrupt:
        raise LoopStopped(130)
    except tr.Stopped:
        raise LoopStopped(143)
    except tr.TrainError as e:
        raise LoopFailed("training gen %d: %s" % (g, e))
    finally:
        signal.signal(signal.SIGTERM, old)
    held = rep.holdout or {}
    return {"steps": rep.steps, "train_positions": rep.positions,
            "window_games": rep.data.get("games"), "final": rep.final,
            "holdout": held, "holdout_before": rep.holdout_before}


# ---------------------------------------------------------------------------
# The loop

def _timed(fn, *args):
    t = time.time()
    out = fn(*args)
    return out, round(time.time() - t, 1)


def iteration(run, state, g, settings, log):
    """Iteration g: self-play with gen g-1, train gen g, arena of gen g."""
    recs = state["iterations"]
    rec = recs[g - 1] if len(recs) >= g else None
    if rec is None:
        rec = {"generation": g, "steps_done": []}
        recs.append(rec)

    def drop_from(step):
        done = rec["steps_done"]
        if step in done:
            del done[done.index(step):]
        del recs[g:]
        state["final"] = None

    if "selfplay" not in rec["steps_done"] or not selfplay_done(run, g - 1, settings):
        drop_from("selfplay")
        log("gen %d: self-play %d games at %d sims" % (g - 1, settings.games, settings.sims))
        rec["selfplay"], rec["selfplay_seconds"] = _timed(run_selfplay, run, g - 1, settings)
        rec["steps_done"].append("selfplay")
        save_state(run, state)
    if "train" not in rec["steps_done"] or not train_done(run, g):
        drop_from("train")
        log("gen %d: training" % g)
        rec["train"], rec["train_seconds"] = _timed(run_train, run, g, settings)
        rec["steps_done"].append("train")
        save_state(run, state)
    arena_games = settings.arena_games if g % settings.arena_every == 0 else 0
    if "arena" not in rec["steps_done"] or not all(
            arena_done(run, g, o, arena_games) for o in settings.opponents if arena_games):
        drop_from("arena")
        t = time.time()
        rec["arena"] = {}
        for o in settings.opponents if arena_games else ():
            log("gen %d: arena against three %s (%d games)" % (g, o, settings.arena_games))
            rec["arena"][o] = run_one_arena(run, g, g, o, settings.arena_games, settings)
            save_state(run, state)
        rec["arena_seconds"] = round(time.time() - t, 1)
        rec["steps_done"].append("arena")
        save_state(run, state)
        log(summary_line(rec))
    if settings.ladder_every and g % settings.ladder_every == 0 and (
            "ladder" not in rec["steps_done"] or not ladder_done(run, g, settings.ladder_games)):
        drop_from("ladder")
        log("gen %d: ladder against greedy (%d games)" % (g, settings.ladder_games))
        rec["ladder"], rec["ladder_seconds"] = _timed(run_ladder_step, run, g, settings)
        rec["steps_done"].append("ladder")
        save_state(run, state)
        r = rec["ladder"]
        log("gen %d  rating %+.0f vs greedy  alone %.3f  greedy alone %.3f"
            % (g, r["rating"], r["alone_share"], r["greedy_alone_share"]))


def final_arena(run, state, g, settings, log):
    n = settings.final_arena_games
    fin = state.get("final")
    if fin and fin.get("generation") == g and all(
            arena_done(run, None, o, n) for o in fin.get("results", {})):
        return
    t = time.time()
    fin = state["final"] = {"generation": g, "games": n, "results": {}}
    for o in ("uniform", "heuristic"):
        log("final: gen %d against three %s (%d games)" % (g, o, n))
        fin["results"][o] = run_one_arena(run, None, g, o, n, settings)
        fin["seconds"] = round(time.time() - t, 1)
        save_state(run, state)


def summary_line(rec):
    parts = ["gen %d" % rec["generation"]]
    for o, r in rec.get("arena", {}).items():
        parts.append("%s %.3f [%.3f, %.3f]" % (o, r["win_share"], *r["interval"]))
    return "  ".join(parts)


def run_loop(run, settings, log=None):
    """Runs (or resumes) the loop in ``run``; returns the state (loop.json)."""
    settings.check()
    log = log or (lambda s: print("loop: " + s, flush=True))
    os.makedirs(run, exist_ok=True)
    state = load_state(run, settings)
    if not train_done(run, 0):
        first = (network.load_weights(settings.init) if settings.init
                 else network.init_weights(settings.architecture(), settings.seed))
        network.save_weights(first, gen_path(run, 0))
    t0 = time.time()
    g = 1
    while True:
        if settings.iterations is not None and g > settings.iterations:
            break
        if (settings.hours is not None and g > len(state["iterations"])
                and time.time() - t0 > settings.hours * 3600):
            break
        iteration(run, state, g, settings, log)
        g += 1
    if settings.final_arena_games:
        final_arena(run, state, g - 1, settings, log)
    save_state(run, state)
    return state


# ---------------------------------------------------------------------------
# Command line

class _Parser(argparse.ArgumentParser):
    def error(self, message):
        raise LoopError(message)


def _parser():
    d = LoopSettings()
    ap = _Parser(prog="python3 -m velmar loop",
                 description="Self-play, train, arena, repeat; resumes in the same --dir.")
    ap.add_argument("--dir", required=True, help="the run's directory")
    ap.add_argument("--iterations", type=int)
    ap.add_argument("--hours", type=float)
    ap.add_argument("--games-per-iteration", dest="games", type=int, default=d.games)
    ap.add_argument("--sims", type=int, default=d.sims,
                    help="simulations per tile in self-play (default %(default)s)")
    ap.add_argument("--match-sims", type=int, default=None, metavar="N",
                    help="simulations per tile in the arena and the ladder (default: --sims)")
    ap.add_argument("--arena-games", type=int, default=d.arena_games,
                    help="arena games per opponent each iteration (default %(default)s)")
    ap.add_argument("--final-arena-games", type=int, default=d.final_arena_games,
                    help="games against each baseline for the last generation (default: none)")
    ap.add_argument("--arena-every", type=int, default=d.arena_every, metavar="K",
                    help="the arena in every K-th iteration only (default %(default)s)")
    ap.add_argument("--ladder-every", type=int, default=d.ladder_every, metavar="K",
                    help="every K-th generation plays a ladder against greedy (default: never)")
    ap.add_argument("--ladder-games", type=int, default=d.ladder_games,
                    help="games of that ladder, a multiple of 8 (default %(default)s)")
    ap.add_argument("--opponents", default=",".join(d.opponents),
                    help="arena opponents each iteration, of uniform, heuristic, previous and "
                         "greedy (default %(default)s)")
    ap.add_argument("--workers", type=int, default=d.workers)
    ap.add_argument("--evaluator", default=d.evaluator, help="numpy or torch")
    ap.add_argument("--sample-moves", "--sample-tiles", dest="sample_moves", type=int,
                    default=d.sample_moves,
                    help="self-play tiles drawn in proportion to visits (default %(default)s)")
    ap.add_argument("--exploration-fraction", type=float, default=d.exploration_fraction)
    ap.add_argument("--window", type=int, default=d.window,
                    help="newest games trained on (default: all)")
    ap.add_argument("--steps", type=int, default=None)
    ap.add_argument("--epochs", type=float, default=d.epochs)
    ap.add_argument("--batch-size", type=int, default=d.batch_size)
    ap.add_argument("--lr", type=float, default=d.lr)
    ap.add_argument("--weight-decay", type=float, default=d.weight_decay)
    ap.add_argument("--blocks", type=int, default=d.blocks)
    ap.add_argument("--channels", type=int, default=d.channels)
    add_architecture_switches(ap)
    ap.add_argument("--seed", type=int, default=d.seed)
    ap.add_argument("--init", default=None, metavar="W.npz",
                    help="start from these weights (generation 0) instead of fresh ones")
    add_option_arguments(ap)
    return ap


def settings_from_args(args):
    kw = {k: v for k, v in vars(args).items() if k != "dir" and k not in OPTION_FLAGS}
    kw["opponents"] = [o.strip() for o in args.opponents.split(",") if o.strip()]
    kw["options"] = options_from_args(args)
    s = LoopSettings(**kw)
    s.check()
    return s


def main(argv=None):
    try:
        args = _parser().parse_args(argv)
        settings = settings_from_args(args)
    except LoopError as e:
        sys.stderr.write("loop: %s\n" % e)
        return 2
    try:
        run_loop(args.dir, settings)
    except LoopStopped as e:
        sys.stderr.write("loop: stopped; run again with --dir %s to resume\n" % args.dir)
        return e.status
    except KeyboardInterrupt:
        return 130
    except (LoopFailed, OSError, network.WeightsError) as e:
        sys.stderr.write("loop: %s\n" % e)
        return 1
    return 0
