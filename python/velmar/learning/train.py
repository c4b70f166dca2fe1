"""``python3 -m velmar train``: trains the network of ``velmar.net.network`` on
self-play shards with PyTorch.

Data: the newest ``window`` games of the directories given (oldest
directory first; within one, by game index), split by game into a training
set and a held-out slice (``velmar.learning.metrics.holdout_games`` of the
game's index and ``holdout_seed``: the same games in every generation of a
run, never trained on). Every step draws a batch of rows (one pass over
the training rows per epoch, reshuffled each epoch) and minimises

    loss = policy + value_weight * value + l2

- policy: cross-entropy of the policy logits, softmaxed over the legal tiles
  only (plane 4), against the search's visit shares;
- value: cross-entropy of the softmaxed value head against ``payoff_mover``.
  Both are distributions over four players summing to 1, so this is the
  proper scoring rule for a categorical target; unlike squared error on a
  softmax its gradient (prediction - target) does not vanish when the head
  is confidently wrong;
- l2: weight_decay / 2 times the sum of squares of every parameter (the
  per-cell policy bias and the other biases included), minimised with Adam
  as part of the loss.

With auxiliary heads (``--aux-heads``) the loss adds ``ownership_weight`` and
``score_weight`` times their losses (``velmar.learning.losses``).

Rows whose ``full_search`` is False (a reduced search's visit shares) count
in the value loss only.

The held-out slice is evaluated before the first step, about ten times
during training and after the last: policy cross-entropy, top-1 agreement
with the most visited tile, value cross-entropy and squared error (mean over
rows and the four entries). Beside them: the top-1 agreement of a uniformly
random legal tile and the squared error of the constant 0.25. Before and
after training, the metrics of ``velmar.learning.metrics`` (decision rows
only; the value's squared error beside the seat-only predictor's, by phase)
go into the log and the training record (``metrics_before``, ``metrics``).

Output: the weights (``velmar.net.network`` format, the training record in
``meta.training``), written atomically when training has finished, and a JSON
log (``OUT`` without ``.npz`` plus ``.train.json`` unless given) rewritten
atomically at every evaluation. A stopped run (Ctrl-C, SIGTERM) writes no
weights; its log says ``"status": "interrupted"`` and how many steps were
done.
"""

import math
import os
import time
from dataclasses import asdict, dataclass, field, replace
from typing import Optional

import numpy as np

from velmar.common.files import write_json
from velmar.learning import metrics
from velmar.learning.losses import (aux_tensors, evaluate, evaluate_aux, honest_metrics, losses,
                                    tensors)
from velmar.learning.progress import Progress
from velmar.learning.window import (TrainError, batch_arrays, batches, load_window, mirror_rows,
                                   split_games)
from velmar.net import network


class Stopped(Exception):
    """SIGTERM arrived during training."""


@dataclass
class TrainSettings:
    steps: Optional[int] = None    # optimiser steps; None: derived from epochs
    epochs: float = 1.0            # passes over the training rows when steps is None
    batch_size: int = 256
    lr: float = 1e-3
    weight_decay: float = 1e-4
    value_weight: float = 1.0
    window: int = 0                # newest games used (0: every game)
    holdout: float = 0.05          # share of the window's games held out (at least one of two)
    holdout_seed: int = 0          # picks the held-out games: keep it for a whole run
    holdout_rows: int = 4096       # most held-out rows evaluated (evenly spaced)
    rotations: bool = False        # augment with the board's quarter turns
    reflections: bool = False      # and with the diagonal reflection (turn order reversed)
    seed: int = 0                  # fresh weights, batches
    arch: network.Architecture = network.Architecture()  # of fresh weights (no init)
    device: Optional[str] = None   # cuda when available, else cpu
    threads: int = 1               # CPU threads for torch (two were never faster here)
    evaluations: int = 10          # held-out evaluations during training
    log_every: int = 0             # steps per log entry (0: about 200 entries)
    minutes: Optional[float] = None  # stop after this long, weights written (None: no limit)
    ownership_weight: float = 0.5  # of the ownership loss (networks with auxiliary heads)
    score_weight: float = 0.5      # of the score loss (the same)


@dataclass
class TrainReport:
    out_path: str
    log_path: str
    steps: int
    positions: int                 # rows seen: steps x batch size
    seconds: float
    data: dict                     # dirs, games, rows, the split
    final: dict                    # mean losses of the last log interval
    holdout_before: Optional[dict]
    holdout: Optional[dict]        # after the last step
    record: dict = field(repr=False, default_factory=dict)


def check_settings(s):
    problems = []
    if s.steps is not None and s.steps < 1:
        problems.append("steps must be >= 1")
    if s.steps is None and not s.epochs > 0:
        problems.append("epochs must be > 0")
    if s.batch_size < 1:
        problems.append("batch size must be >= 1")
    if not s.lr > 0 or s.weight_decay < 0 or s.value_weight < 0:
        problems.append("lr must be > 0, weight decay and value weight >= 0")
    if s.window < 0 or not 0 <= s.holdout < 1 or s.holdout_rows < 1:
        problems.append("window must be >= 0, holdout in [0, 1), holdout rows >= 1")
    if s.ownership_weight < 0 or s.score_weight < 0:
        problems.append("ownership and score weights must be >= 0")
    if s.minutes is not None and not s.minutes > 0:
        problems.append("minutes must be > 0")
    if s.evaluations < 0 or s.log_every < 0 or s.threads < 1:
        problems.append("evaluations and log interval must be >= 0, threads >= 1")
    try:
        s.arch.check()
    except network.WeightsError as e:
        problems.append(str(e))
    if problems:
        raise TrainError("; ".join(problems))


# ---------------------------------------------------------------------------
# The training run

def _import_torch():
    # threads that sleep while they wait: spinning ones slow training many
    # times over when another process shares the cores
    os.environ.setdefault("OMP_WAIT_POLICY", "PASSIVE")
    try:
        import torch
        from velmar.net import torch_net
    except ImportError as e:
        raise TrainError("PyTorch is not available for this interpreter (%s); train with "
                         "/usr/bin/python3 and Debian's python3-torch" % e)
    return torch, torch_net


def _device(torch, name):
    if name is None:
        name = "cuda" if torch.cuda.is_available() else "cpu"
    try:
        device = torch.device(name)
    except RuntimeError as e:
        raise TrainError("bad device %r: %s" % (name, str(e).split(".")[0]))
    if device.type == "cuda" and not torch.cuda.is_available():
        raise TrainError("device %s: CUDA is not available here" % name)
    return device


def default_log_path(out_path):
    base = out_path[:-4] if out_path.endswith(".npz") else out_path
    return base + ".train.json"


def _initial_weights(init_path, settings):
    if init_path is None:
        return network.init_weights(settings.arch, settings.seed), {"seed": settings.seed}
    try:
        weights = network.load_weights(init_path)
    except (OSError, network.WeightsError) as e:
        raise TrainError("cannot read --init %s: %s" % (init_path, e))
    rec = weights.record or {}
    return weights, {"path": os.path.abspath(init_path), "total_steps": rec.get("total_steps", 0)}


def train(settings, data_dirs, init_path=None, out_path="weights.npz", log_path=None,
          progress=True):
    """Trains from ``init_path`` (or fresh weights of ``settings.arch``) on
    the window of ``data_dirs`` (oldest first) and writes the weights to
    ``out_path``. Raises TrainError for unusable data or settings, and
    KeyboardInterrupt or Stopped (SIGTERM) when stopped, after writing the
    log."""
    check_settings(settings)
    torch, torch_net = _import_torch()
    device = _device(torch, settings.device)
    if device.type == "cpu":
        torch.set_num_threads(settings.threads)
        network.keep_freed_memory()
    log_path = log_path or default_log_path(out_path)
    _make_dirs(out_path, log_path)
    t_start = time.perf_counter()
    win, train_rows, held_rows, data_info = _data(settings, data_dirs)
    weights, init = _initial_weights(init_path, settings)
    if weights.arch.canonical and settings.rotations:
        raise TrainError("--rotations does not go with a canonical network, which sees every "
                         "position from its mover's corner")
    steps = settings.steps or max(1, math.ceil(settings.epochs * len(train_rows)
                                               / settings.batch_size))
    log = {"command": "velmar train", "status": "running", "out": os.path.abspath(out_path),
           "settings": _settings_dict(replace(settings, arch=weights.arch)),
           "architecture": asdict(weights.arch), "init": init, "data": data_info,
           "steps_planned": steps, "steps_done": 0, "losses": [], "holdout": []}
    torch.manual_seed(settings.seed)
    net = torch_net.to_module(weights, device).train()
    before = evaluate(net, win, held_rows, device)
    if before:
        log["holdout"].append(dict(step=0, **before))
    seat_means = metrics.seat_predictor({"player": win.player[train_rows],
                                         "payoff_mover": win.payoff[train_rows]})
    log["metrics_before"] = honest_metrics(net, win, held_rows, seat_means, device)
    try:
        seconds, final, steps = _optimise(net, win, train_rows, held_rows, settings, steps,
                                          device, log, log_path,
                                          Progress(steps, enabled=progress))
    except BaseException as e:
        log.update(status="interrupted", error=repr(e))
        try:
            write_json(log_path, log, indent=1)
        except OSError:
            pass
        raise
    after = evaluate(net, win, held_rows, device)
    if after:
        log["holdout"].append(dict(step=steps, **after))
    log["metrics"] = honest_metrics(net, win, held_rows, seat_means, device)
    record = {"metrics_before": log["metrics_before"], "metrics": log["metrics"],
              "seat_predictor": np.round(seat_means, 4).tolist(),
              "steps": steps, "total_steps": init.get("total_steps", 0) + steps,
              "positions": steps * settings.batch_size, "seconds": round(seconds, 3),
              "init": init, "data": data_info, "settings": log["settings"],
              "final": final, "holdout_before": before, "holdout": after,
              "finished": time.strftime("%Y-%m-%dT%H:%M:%S")}
    if weights.arch.aux and len(held_rows):  # the held-out metrics of the auxiliary heads
        log["aux_holdout"] = record["aux_holdout"] = evaluate_aux(net, win, held_rows, device)
    network.save_weights(torch_net.from_module(net, record), out_path)
    log.update(status="finished", seconds=round(time.perf_counter() - t_start, 3),
               train_seconds=round(seconds, 3),
               positions_per_s=round(steps * settings.batch_size / max(seconds, 1e-9), 1))
    write_json(log_path, log, indent=1)
    return TrainReport(out_path, log_path, steps, steps * settings.batch_size, seconds, data_info,
                       final, before, after, record)


def _make_dirs(*paths):
    for path in paths:
        try:
            os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
        except OSError as e:
            raise TrainError("cannot create the directory of %s: %s" % (path, e))


def _data(settings, data_dirs):
    """The window, its split into training and held-out rows (the latter
    capped at ``holdout_rows``, evenly spaced) and a summary."""
    win = load_window(list(data_dirs), settings.window)
    train_rows, held_rows, held_games = split_games(win, settings.holdout, settings.holdout_seed)
    if len(train_rows) == 0:
        raise TrainError("no training rows in %s" % " ".join(data_dirs))
    if len(held_rows) > settings.holdout_rows:
        held_rows = held_rows[np.linspace(0, len(held_rows) - 1, settings.holdout_rows).astype(int)]
    info = {"dirs": [os.path.abspath(d) for d in data_dirs], "games": win.games,
            "rows": int(len(win.game)), "train_games": win.games - held_games,
            "train_rows": int(len(train_rows)), "holdout_games": held_games,
            "holdout_rows_evaluated": int(len(held_rows)),
            "policy_rows": int(win.full_search[train_rows].sum())}
    return win, train_rows, held_rows, info


LOSS_KEYS = ("loss", "policy", "value", "l2")
AUX_KEYS = ("ownership", "score")


def _optimise(net, win, train_rows, held_rows, settings, steps, device, log, log_path, bar):
    """The optimiser's steps; appends the mean losses of every interval and
    the held-out metrics to ``log`` (written at every evaluation). Returns
    the seconds spent, the last interval's mean losses and the steps done
    (fewer than ``steps`` when ``settings.minutes`` ran out first)."""
    import torch
    opt = torch.optim.Adam(net.parameters(), lr=settings.lr)
    rng = np.random.RandomState(settings.seed + 1)
    turns = np.random.RandomState(settings.seed + 2) if settings.rotations else None
    mirror = np.random.RandomState(settings.seed + 3) if settings.reflections else None
    log_every = settings.log_every or max(1, steps // 200)
    n_eval = settings.evaluations
    eval_at = {max(1, round(steps * k / n_eval)) for k in range(1, n_eval)} if n_eval else set()
    final = None
    t0 = time.perf_counter()
    deadline = t0 + 60.0 * settings.minutes if settings.minutes else None
    partial = not win.full_search[train_rows].all()
    aux, keys = net.arch.aux, LOSS_KEYS + (AUX_KEYS if net.arch.aux else ())
    running, interval = dict.fromkeys(keys, 0.0), dict.fromkeys(keys, 0.0)
    for step, idx in enumerate(batches(train_rows, settings.batch_size, rng), start=1):
        arrays = batch_arrays(win, idx, turns, aux=aux)
        movers = win.player[idx].astype(np.int64)
        if mirror is not None:
            mirror_rows(mirror, *arrays[:3], movers, *arrays[3:5])
        x, legal, target, payoff = tensors(torch, device, *arrays[:3])
        mask = torch.from_numpy(win.full_search[idx]).to(device) if partial else None
        out = losses(net, x, legal, target, payoff, settings.weight_decay, settings.value_weight,
                     mask, torch.from_numpy(movers).to(device),
                     aux_tensors(torch, device, *arrays[3:]) if aux else None,
                     (settings.ownership_weight, settings.score_weight))
        opt.zero_grad()
        out["loss"].backward()
        opt.step()
        log["steps_done"] = step
        for k in keys:
            v = float(out[k])
            running[k] = v if step == 1 else 0.98 * running[k] + 0.02 * v
            interval[k] += v
        n_in = (step - 1) % log_every + 1
        if deadline is not None and time.perf_counter() > deadline:
            steps = step
        if n_in == log_every or step == steps:
            final = {k: round(interval[k] / n_in, 6) for k in keys}
            seconds = round(time.perf_counter() - t0, 3)
            log["losses"].append(dict(step=step, seconds=seconds, **final))
            interval = dict.fromkeys(keys, 0.0)
        bar.update(step, running, settings.batch_size, force=step == steps)
        if step in eval_at:
            log["holdout"].append(dict(step=step, **(evaluate(net, win, held_rows, device) or {})))
            write_json(log_path, log, indent=1)
        if step == steps:
            return time.perf_counter() - t0, final, steps


def _settings_dict(s):
    d = asdict(s)
    d["arch"] = asdict(s.arch)
    return d
