"""Simulations per second of velmar_self_play with an instant inference server.

The server is made of C-level callables (a bounded deque's append as `put`,
an itertools.repeat iterator's __next__ as `recv`), so what is measured is the
module itself: the search, the rules, building each request and reading each
reply. Reports the median of repeated whole games.

    PYTHONPATH=build/python /usr/bin/python3 bench/self_play_bench.py [--games N] [--sims S]
"""

import argparse
import collections
import contextlib
import io
import itertools
import platform
import statistics
import sys
import time

import velmar_self_play


class Config:
    def __init__(self, sims):
        self.sims_per_move = sims
        self.sample_moves = 30
        self.c_base = 19652.0
        self.c_init = 1.25
        self.dirichlet_alpha = 0.3
        self.exploration_fraction = 0.25


class Queue:
    def __init__(self, keep):
        # keep=0 drops each request at once, as a server that packs it does;
        # keep=1 holds the last one, as a plain in-process queue would.
        self.put = collections.deque(maxlen=keep).append


class Pipe:
    def __init__(self, reply):
        self.recv = itertools.repeat(reply).__next__


def play(sims, reply, keep=0):
    """One game; returns (tiles, seconds)."""
    sink = io.StringIO()
    start = time.perf_counter()
    with contextlib.redirect_stdout(sink), contextlib.redirect_stderr(sink):
        history, _, _ = velmar_self_play.generate_game_data(0, Config(sims), Queue(keep),
                                                            Pipe(reply))
    return len(history), time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--games", type=int, default=5)
    parser.add_argument("--sims", type=int, default=32)
    parser.add_argument("--keep", type=int, default=0, choices=(0, 1),
                        help="requests the fake queue holds on to (default 0)")
    args = parser.parse_args()

    reply = ([0.0] * 400, [0.25] * 4)
    play(1, reply)  # warm-up (and the JIT under PyPy)
    rates, tiles = [], []
    for _ in range(args.games):
        n, seconds = play(args.sims, reply, args.keep)
        tiles.append(n)
        # One root evaluation per tile plus one per simulation.
        rates.append(n * args.sims / seconds)
    impl = platform.python_implementation()
    print(f"{impl} {platform.python_version()}: sims_per_move={args.sims}, keep={args.keep}, "
          f"{args.games} games, "
          f"mean {statistics.mean(tiles):.0f} tiles/game")
    print(f"  simulations/s  median {statistics.median(rates):,.0f}  "
          f"(min {min(rates):,.0f}, max {max(rates):,.0f})")
    print(f"  per simulation {1e6 / statistics.median(rates):.1f} us")


if __name__ == "__main__":
    sys.exit(main())
