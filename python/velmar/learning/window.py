"""The training window: the rows of the newest games of the shard
directories, their split by game and their batches."""

import os
from dataclasses import dataclass
from typing import List

import numpy as np

from velmar.game import data
from velmar.net import network


class TrainError(Exception):
    """Training cannot run with these data, weights or settings."""


@dataclass
class Window:
    bits: np.ndarray      # uint8 (N, 250): packed planes
    policy: np.ndarray    # float16 (N, 400): visit shares (half the memory of float32)
    payoff: np.ndarray    # float32 (N, 4), relative to the mover
    game: np.ndarray      # int64 (N,): the game's rank in the window, 0 = oldest
    games: int
    dirs: List[str]
    full_search: np.ndarray = None  # bool (N,): the row's tile had a full search


def load_window(dirs, window=0):
    """The rows of the newest ``window`` games (every game for 0) of the
    shard directories, given oldest first."""
    parts, total = [], 0
    for d in reversed(dirs):
        if not os.path.exists(d):
            raise TrainError("no such data directory: %s" % d)
        try:
            rows = data.load(d)
        except (OSError, ValueError, KeyError) as e:
            raise TrainError("cannot read the shards in %s: %s" % (d, e))
        games = np.unique(rows["game"])
        if window:
            games = games[max(0, len(games) - (window - total)):]
        keep = np.isin(rows["game"], games)
        _, rank = np.unique(rows["game"][keep], return_inverse=True)
        parts.append((rows["planes_bits"][keep], rows["policy"][keep].astype(np.float16),
                      rows["payoff_mover"][keep], rank, len(games), rows["full_search"][keep]))
        del rows
        total += len(games)
        if window and total >= window:
            break
    parts.reverse()
    offset, ranks = 0, []
    for p in parts:
        ranks.append(p[3].astype(np.int64) + offset)
        offset += p[4]

    def cat(k, width, dtype):
        return np.concatenate([p[k] for p in parts]) if parts else np.zeros((0, width), dtype)
    return Window(cat(0, data.BITS_SIZE, np.uint8), cat(1, network.CELLS, np.float16),
                  cat(2, 4, np.float32),
                  np.concatenate(ranks) if ranks else np.zeros(0, np.int64), offset, list(dirs),
                  cat(5, 0, bool).reshape(-1))


def split_games(win, share, seed):
    """Row indices (train, held out), split by game."""
    rng = np.random.RandomState(seed)
    held = 0 if win.games < 2 or share <= 0 else max(1, int(round(share * win.games)))
    held_games = rng.choice(win.games, held, replace=False) if held else np.zeros(0, np.int64)
    is_held = np.isin(win.game, held_games)
    return np.flatnonzero(~is_held), np.flatnonzero(is_held), int(held)


def batch_arrays(win, idx, rng=None):
    """planes float32 (B, 5, 20, 20), policy (B, 400), payoff (B, 4) of rows
    ``idx``; with ``rng``, each position turned by a random quarter turn."""
    planes = np.unpackbits(win.bits[idx], axis=1, bitorder="little") \
        .reshape(len(idx), network.PLANES, network.SIDE, network.SIDE)
    policy = win.policy[idx].astype(np.float32)
    if rng is not None:
        policy = policy.reshape(len(idx), network.SIDE, network.SIDE)
        turns = rng.randint(4, size=len(idx))
        for k in (1, 2, 3):
            sel = turns == k
            planes[sel] = np.rot90(planes[sel], k, axes=(2, 3))
            policy[sel] = np.rot90(policy[sel], k, axes=(1, 2))
        policy = policy.reshape(len(idx), network.CELLS)
    return planes.astype(np.float32), policy, win.payoff[idx]


def batches(rows, size, rng):
    """Endless batches of row indices: the rows in a fresh random order each
    pass, a batch running on into the next pass where needed."""
    pending = np.zeros(0, np.int64)
    while True:
        while len(pending) < size:
            pending = np.concatenate([pending, rng.permutation(rows)])
        yield pending[:size]
        pending = pending[size:]
