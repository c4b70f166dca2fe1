"""``python3 -m velmar loop``: self-play, train, measure, repeat.

Each iteration i plays ``--games-per-iteration`` games with generation i
(``velmar play`` with ``numpy:RUN/gen-i.npz``, into ``RUN/selfplay/gen-i``),
trains generation i + 1 from generation i on the newest ``--window`` games
of every self-play directory (``velmar.train``), and plays the arena: the new
generation against three copies of each fixed baseline (uniform and
heuristic, at the same simulations) and against generation i.

Every step leaves a mark only once it is complete: the self-play directory
a ``done.json`` written after ``velmar play`` exited 0, a generation its
weights (written atomically by training), an arena its ``result.json``. A
rerun with the same ``--dir`` skips what is marked and redoes a half-done
step from scratch, so Ctrl-C or a kill loses nothing finished.
``RUN/loop.json`` (one record per iteration) and ``RUN/learning-curve.png``
are rebuilt from the marks after every step.
"""

import argparse
import json
import os
import shutil
import signal
import subprocess
import sys
import time
from dataclasses import dataclass

BASELINES = ("uniform", "heuristic")


class LoopError(Exception):
    """Bad options or a step that failed."""


class Interrupted(Exception):
    def __init__(self, status):
        super().__init__(status)
        self.status = status


@dataclass
class LoopSettings:
    run_dir: str
    iterations: int = 0          # 0: until --hours
    hours: float = 0.0           # 0: until --iterations
    games: int = 64              # self-play games per iteration
    sims: int = 16
    arena_games: int = 24        # per opponent, a multiple of 4
    final_arena_games: int = 0   # against uniform after the last iteration
    workers: int = 2
    window: int = 400            # newest games trained on
    epochs: float = 2.0
    batch_size: int = 256
    lr: float = 2e-3
    blocks: int = 1
    channels: int = 16
    sample_moves: int = 30
    seed: int = 0


def gen_path(run, g):
    return os.path.join(run, "gen-%04d.npz" % g)


def selfplay_dir(run, g):
    return os.path.join(run, "selfplay", "gen-%04d" % g)


def arena_dir(run, g, opponent):
    return os.path.join(run, "arena", "gen-%04d-vs-%s" % (g, opponent))


def write_json(path, obj):
    tmp = path + ".tmp"
    with open(tmp, "w") as f:
        json.dump(obj, f, indent=1)
        f.flush()
        os.fsync(f.fileno())
    os.replace(tmp, path)


def read_json(path):
    try:
        with open(path) as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


def fresh(path):
    """Removes what a half-done step left."""
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)


# ---- the steps ---------------------------------------------------------------

def initial_generation(s):
    from velmar import network
    path = gen_path(s.run_dir, 0)
    if not os.path.exists(path):
        arch = network.Architecture(blocks=s.blocks, channels=s.channels)
        network.save_weights(network.init_weights(arch, seed=s.seed), path)


def self_play(s, g):
    out = selfplay_dir(s.run_dir, g)
    done = os.path.join(out, "done.json")
    if read_json(done):
        return read_json(done)
    fresh(out)
    cmd = [sys.executable, "-m", "velmar", "play", "--games", str(s.games), "--sims",
           str(s.sims), "--workers", str(s.workers), "--sample-moves", str(s.sample_moves),
           "--evaluator", "numpy:" + gen_path(s.run_dir, g), "--out", out, "--quiet",
           "--seed", str(s.seed + g)]
    t0 = time.time()
    code = subprocess.run(cmd, stdout=subprocess.DEVNULL).returncode
    if code in (130, 143):
        raise Interrupted(code)
    if code != 0:
        raise LoopError("self-play of generation %d failed (exit %d): see %s/summary.json"
                        % (g, code, out))
    summary = read_json(os.path.join(out, "summary.json")) or {}
    mark = {"games": summary.get("games_finished"), "tiles": summary.get("tiles"),
            "seconds": time.time() - t0}
    write_json(done, mark)
    return mark


def train_generation(s, g):
    """Trains generation g from generation g - 1 on the window."""
    out = gen_path(s.run_dir, g)
    log = os.path.join(s.run_dir, "train-%04d.json" % g)
    if os.path.exists(out):
        return read_json(log) or {}
    from velmar import network, train
    settings = train.TrainSettings(epochs=s.epochs, batch_size=s.batch_size, lr=s.lr,
                                   window=s.window, seed=s.seed + g,
                                   arch=network.Architecture(blocks=s.blocks,
                                                             channels=s.channels))
    dirs = [selfplay_dir(s.run_dir, k) for k in range(g)]
    t0 = time.time()
    try:
        report = train.train(settings, dirs, init_path=gen_path(s.run_dir, g - 1),
                             out_path=out + ".part.npz", log_path=log + ".log",
                             progress=False)
    except KeyboardInterrupt:
        raise Interrupted(130)
    except train.TrainError as e:
        raise LoopError("training generation %d: %s" % (g, e))
    mark = {"steps": report.steps, "positions": report.positions,
            "rows": report.data.get("rows"), "games": report.data.get("games"),
            "final": report.final, "holdout": report.holdout, "seconds": time.time() - t0}
    write_json(log, mark)
    os.replace(out + ".part.npz", out)  # the weights mark the step done
    return mark


def arena(s, g, opponent, games):
    from velmar.arena import PlayerSpec, run_arena
    out = arena_dir(s.run_dir, g, opponent)
    done = os.path.join(out, "result.json")
    if read_json(done):
        return read_json(done)
    fresh(out)
    me = PlayerSpec("gen-%04d" % g, "numpy:" + gen_path(s.run_dir, g), sims=s.sims)
    baseline = opponent.replace("final-", "")
    if baseline in BASELINES:
        other = PlayerSpec(baseline, baseline, sims=s.sims)
    else:  # "previous"
        other = PlayerSpec("gen-%04d" % (g - 1), "numpy:" + gen_path(s.run_dir, g - 1),
                           sims=s.sims)
    t0 = time.time()
    result = run_arena([me, other], games=games, workers=s.workers, out_dir=out,
                       seed=s.seed * 1000 + g)
    if result.interrupted_by:
        raise Interrupted(143 if result.interrupted_by == "SIGTERM" else 130)
    if not result.complete:
        raise LoopError("arena of generation %d against %s failed: %s"
                        % (g, opponent, "; ".join(result.errors) or "games lost"))
    p = result.player(me.name)
    mark = {"opponent": opponent, "games": len(result.games), "win_share": p.win_share,
            "low": p.low, "high": p.high, "par": p.par, "mean_score": p.mean_score,
            "seconds": time.time() - t0}
    write_json(done, mark)
    return mark


def iteration(s, g):
    """Generation g - 1 plays, generation g is trained and measured."""
    play = self_play(s, g - 1)
    trained = train_generation(s, g)
    results = {o: arena(s, g, o, s.arena_games) for o in BASELINES + ("previous",)}
    return {"generation": g, "selfplay": play, "train": trained, "arena": results}


# ---- records and the picture -------------------------------------------------

def records(run):
    """One record per finished iteration, read back from the marks."""
    out, g = [], 1
    while os.path.exists(gen_path(run, g)):
        played = read_json(os.path.join(selfplay_dir(run, g - 1), "done.json"))
        summary = read_json(os.path.join(selfplay_dir(run, g - 1), "summary.json")) or {}
        if played:  # games and positions (one row per tile) as the run counted them
            played.update(games=summary.get("games_finished"), tiles=summary.get("tiles"))
        rec = {"generation": g, "selfplay": played,
               "train": read_json(os.path.join(run, "train-%04d.json" % g)), "arena": {}}
        for o in BASELINES + ("previous", "final-uniform"):
            r = read_json(os.path.join(arena_dir(run, g, o), "result.json"))
            if r:
                rec["arena"][o] = r
        out.append(rec)
        g += 1
    return out


def write_records(run):
    recs = records(run)
    write_json(os.path.join(run, "loop.json"), {"iterations": recs})
    try:
        plot(recs, os.path.join(run, "learning-curve.png"))
    except ImportError:
        pass
    return recs


def plot(recs, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    fig, ax = plt.subplots(figsize=(7, 4))
    for o, color in zip(BASELINES + ("previous",), ("tab:blue", "tab:orange", "tab:green")):
        pts = [(r["generation"], r["arena"][o]) for r in recs if o in r["arena"]]
        if not pts:
            continue
        xs = [x for x, _ in pts]
        ys = [a["win_share"] for _, a in pts]
        err = [[a["win_share"] - a["low"] for _, a in pts], [a["high"] - a["win_share"]
                                                            for _, a in pts]]
        ax.errorbar(xs, ys, yerr=err, marker="o", capsize=3, color=color,
                    label="vs 3 x %s" % o)
    ax.axhline(0.25, color="gray", linestyle="--", label="par 1/4")
    ax.set_xlabel("generation")
    ax.set_ylabel("win share (95 % interval)")
    ax.set_ylim(0, 1)
    ax.legend(loc="upper left", fontsize=8)
    ax.set_title("velmar loop: the new generation against fixed and previous players")
    fig.tight_layout()
    tmp = path + ".tmp.png"
    fig.savefig(tmp, dpi=90)
    plt.close(fig)
    os.replace(tmp, path)


# ---- the run -------------------------------------------------------------------

def iteration_done(run_dir, g):
    return os.path.exists(os.path.join(arena_dir(run_dir, g, "previous"), "result.json"))


def run(s):
    os.makedirs(s.run_dir, exist_ok=True)
    initial_generation(s)
    t0 = time.time()
    g = 1
    while iteration_done(s.run_dir, g) or not (
            (s.iterations and g > s.iterations)
            or (s.hours and time.time() - t0 > s.hours * 3600)):
        iteration(s, g)
        recs = write_records(s.run_dir)
        print("loop: generation %d: %s" % (g, summary_line(recs[g - 1])), flush=True)
        g += 1
    if s.final_arena_games and g > 1:
        arena(s, g - 1, "final-uniform", s.final_arena_games)
    return write_records(s.run_dir)


def summary_line(rec):
    parts = []
    for o, a in sorted(rec["arena"].items()):
        parts.append("vs %s %.3f [%.3f, %.3f]" % (o, a["win_share"], a["low"], a["high"]))
    return "; ".join(parts)


# ---- the command line ------------------------------------------------------------

def parser():
    d = LoopSettings(run_dir="")
    ap = argparse.ArgumentParser(prog="python3 -m velmar loop", description=__doc__.split("\n")[0])
    ap.add_argument("--dir", required=True, help="the run's directory (resumed when it exists)")
    for name, help_text in (
            ("iterations", "iterations to run (0: until --hours)"),
            ("hours", "stop starting iterations after this long (0: until --iterations)"),
            ("games", "self-play games per iteration"),
            ("sims", "simulations per tile, in self-play and in the arena"),
            ("arena_games", "arena games against each opponent (a multiple of 4)"),
            ("final_arena_games", "after the last iteration, games of the last generation "
                                  "against three uniform players"),
            ("workers", "worker processes for self-play and the arena"),
            ("window", "newest games trained on"), ("epochs", "passes over the window"),
            ("batch_size", "training batch"), ("lr", "learning rate"),
            ("blocks", "residual blocks of generation 0"), ("channels", "its channels"),
            ("sample_moves", "self-play: tiles drawn in proportion to visits"),
            ("seed", "seed of generation 0, self-play, training and the arena")):
        flag = "--" + name.replace("_", "-") if name != "games" else "--games-per-iteration"
        ap.add_argument(flag, dest=name, type=type(getattr(d, name)),
                        default=getattr(d, name), help=help_text)
    return ap


def check(s):
    if not (s.iterations or s.hours):
        raise LoopError("give --iterations or --hours")
    if min(s.iterations, s.hours, s.final_arena_games, s.sample_moves, s.seed) < 0:
        raise LoopError("counts, hours and the seed must not be negative")
    if s.games < 1 or s.sims < 1 or s.workers < 1 or s.window < 1 or s.batch_size < 1:
        raise LoopError("games, sims, workers, window and batch size must be >= 1")
    if s.arena_games < 4 or s.arena_games % 4 or s.final_arena_games % 4:
        raise LoopError("arena games must be positive multiples of 4 (balanced seats)")
    if not (s.epochs > 0 and s.lr > 0):
        raise LoopError("epochs and the learning rate must be > 0")


def _on_sigterm(signum, frame):
    raise Interrupted(143)


def main(argv=None):
    args = parser().parse_args(argv)
    s = LoopSettings(run_dir=args.dir, **{k: v for k, v in vars(args).items() if k != "dir"})
    try:
        check(s)
    except LoopError as e:
        sys.stderr.write("loop: %s\n" % e)
        return 2
    signal.signal(signal.SIGTERM, _on_sigterm)
    try:
        run(s)
    except Interrupted as e:
        write_records(s.run_dir)
        sys.stderr.write("loop: interrupted; finished steps are kept, rerun to resume\n")
        return e.status
    except KeyboardInterrupt:
        write_records(s.run_dir)
        sys.stderr.write("loop: interrupted; finished steps are kept, rerun to resume\n")
        return 130
    except LoopError as e:
        write_records(s.run_dir)
        sys.stderr.write("loop: %s\n" % e)
        return 1
    return 0
