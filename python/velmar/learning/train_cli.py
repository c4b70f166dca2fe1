"""The command line of ``python3 -m velmar train`` (``velmar.learning.train``
does the work)."""

import argparse
import signal
import sys
from dataclasses import replace

from velmar.learning.train import Stopped, TrainSettings, train
from velmar.learning.window import TrainError
from velmar.net import network
from velmar.net.init_weights import add_architecture_switches


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        self.exit(2, "train: %s (see --help)\n" % message)


def _parser():
    d = TrainSettings()
    ap = _Parser(prog="python3 -m velmar train",
                 description="Train the policy/value network on self-play shards (PyTorch).")
    ap.add_argument("--data", nargs="+", required=True, metavar="DIR",
                    help="shard directories written by velmar play, oldest first")
    ap.add_argument("--out", required=True, help="weights to write (.npz)")
    ap.add_argument("--init", default=None, metavar="W.npz",
                    help="weights to start from (default: a fresh net from --seed)")
    ap.add_argument("--log", default=None,
                    help="JSON log (default: OUT without .npz, plus .train.json)")
    ap.add_argument("--blocks", type=int, default=None,
                    help="residual blocks of a fresh net (default %d)" % d.arch.blocks)
    ap.add_argument("--channels", type=int, default=None,
                    help="channels of a fresh net (default %d)" % d.arch.channels)
    ap.add_argument("--value-hidden", type=int, default=None,
                    help="hidden units of a fresh net's value head (default %d)"
                         % d.arch.value_hidden)
    add_architecture_switches(ap, default=None)
    ap.add_argument("--ownership-weight", type=float, default=d.ownership_weight,
                    help="weight of the ownership loss (default %(default)s)")
    ap.add_argument("--score-weight", type=float, default=d.score_weight,
                    help="weight of the score loss (default %(default)s)")
    ap.add_argument("--seed", type=int, default=d.seed,
                    help="seed of fresh weights and the batches")
    ap.add_argument("--window", type=int, default=d.window,
                    help="train on the newest N games (default: every game)")
    length = ap.add_mutually_exclusive_group()
    length.add_argument("--steps", type=int, default=None, help="optimiser steps")
    length.add_argument("--epochs", type=float, default=None,
                        help="passes over the training rows (default 1, when --steps is absent)")
    ap.add_argument("--minutes", type=float, default=None,
                    help="stop after this many minutes of training and write the weights")
    ap.add_argument("--batch-size", type=int, default=d.batch_size, help="(default %(default)s)")
    ap.add_argument("--lr", type=float, default=d.lr,
                    help="Adam's learning rate (default %(default)s)")
    ap.add_argument("--weight-decay", type=float, default=d.weight_decay,
                    help="L2 coefficient on the weights (default %(default)s)")
    ap.add_argument("--value-weight", type=float, default=d.value_weight,
                    help="weight of the value loss (default %(default)s)")
    ap.add_argument("--holdout", type=float, default=d.holdout,
                    help="share of the games held out for the metrics (default %(default)s)")
    ap.add_argument("--holdout-seed", type=int, default=d.holdout_seed,
                    help="picks the held-out games by their index; keep it for a whole run "
                         "(default %(default)s)")
    ap.add_argument("--rotations", action="store_true",
                    help="augment with the board's quarter turns")
    ap.add_argument("--reflections", action="store_true",
                    help="augment with the reflection through the board's diagonal, which "
                         "reverses the turn order, where every player has a square")
    ap.add_argument("--device", default=None, help="torch device (default: cuda if available)")
    ap.add_argument("--threads", type=int, default=d.threads,
                    help="CPU threads for torch (default %(default)s: on this project's 2-core "
                         "machine two threads were slower than one at every network size)")
    ap.add_argument("--quiet", action="store_true", help="no progress line")
    return ap


def settings_from_args(args):
    fresh = {k: v for k, v in (("blocks", args.blocks), ("channels", args.channels),
                               ("value_hidden", args.value_hidden),
                               ("canonical", args.canonical), ("aux", args.aux_heads or None),
                               ("global_pool", args.global_pool or None),
                               ("derived", args.derived_inputs or None)) if v is not None}
    if fresh and args.init:
        raise TrainError("--blocks, --channels, --value-hidden, --canonical, --aux-heads, "
                         "--global-pool and --derived-inputs describe a fresh net; the "
                         "architecture of --init is that of its file")
    return TrainSettings(steps=args.steps, epochs=args.epochs if args.epochs is not None else 1.0,
                         batch_size=args.batch_size, lr=args.lr, weight_decay=args.weight_decay,
                         value_weight=args.value_weight, window=args.window, holdout=args.holdout,
                         holdout_seed=args.holdout_seed, minutes=args.minutes,
                         rotations=args.rotations, reflections=args.reflections,
                         seed=args.seed,
                         arch=replace(network.Architecture(), **fresh), device=args.device,
                         threads=args.threads, ownership_weight=args.ownership_weight,
                         score_weight=args.score_weight)


def _on_sigterm(signum, frame):
    raise Stopped()


def main(argv=None):
    args = _parser().parse_args(argv)
    previous = signal.signal(signal.SIGTERM, _on_sigterm)
    try:
        settings = settings_from_args(args)
        report = train(settings, args.data, args.init, args.out, args.log, progress=not args.quiet)
    except TrainError as e:
        print("train: %s" % e, file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("\ntrain: interrupted; no weights written", file=sys.stderr)
        return 130
    except Stopped:
        print("\ntrain: stopped (SIGTERM); no weights written", file=sys.stderr)
        return 143
    finally:
        signal.signal(signal.SIGTERM, previous)
    h0, h1 = report.holdout_before, report.holdout
    print("weights: %s (%d steps, %d positions, %.1f s, %.0f positions/s); log: %s"
          % (report.out_path, report.steps, report.positions, report.seconds,
             report.positions / max(report.seconds, 1e-9), report.log_path))
    if h1:
        print("held out (%d games): policy top-1 %.3f -> %.3f (random tile %.3f), value mse "
              "%.4f -> %.4f (constant 0.25: %.4f)"
              % (report.data["holdout_games"], h0["policy_top1"], h1["policy_top1"],
                 h1["policy_top1_uniform"], h0["value_mse"], h1["value_mse"],
                 h1["value_mse_uniform"]))
    return 0
