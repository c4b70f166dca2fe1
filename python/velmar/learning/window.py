"""The training window: the rows of the newest games of the shard
directories, their split by game and their batches."""

import os
from dataclasses import dataclass
from typing import List

import numpy as np

from velmar.game import data
from velmar.learning import aux_targets
from velmar.learning.metrics import holdout_games
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
    game_id: np.ndarray = None      # int64 (N,): the game's index in its run (its shards)
    player: np.ndarray = None       # int8 (N,): the mover's seat
    cell: np.ndarray = None         # int16 (N,): the tile taken
    tile: np.ndarray = None         # int16 (N,): the tile's index in its game
    full_search: np.ndarray = None  # bool (N,): the policy target is a full search's
    owner: np.ndarray = None   # int8 (G, 400): each cell's final owner by game rank (-1: none)
    scores: np.ndarray = None  # float32 (G, 4): final scores (velmar.learning.aux_targets)
    aux_ok: np.ndarray = None  # bool (G,): the game's rows are all there (aux targets valid)

    def rows(self, idx):
        """Rows ``idx`` as ``velmar.game.data.load`` names them (what
        ``velmar.learning.metrics`` takes), planes unpacked."""
        planes = np.unpackbits(self.bits[idx], axis=1, bitorder="little") \
            .reshape(len(idx), network.PLANES, network.SIDE, network.SIDE)
        return {"planes": planes, "policy": self.policy[idx].astype(np.float32),
                "payoff_mover": self.payoff[idx], "player": self.player[idx],
                "cell": self.cell[idx], "tile": self.tile[idx], "game": self.game_id[idx]}


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
        full = rows.get("full_search")
        full = np.ones(len(rows["game"]), bool) if full is None else np.asarray(full, bool)
        owner, scores, complete = aux_targets.game_boards(rows)
        kept = np.isin(np.unique(rows["game"]), games)
        parts.append((rows["planes_bits"][keep], rows["policy"][keep].astype(np.float16),
                      rows["payoff_mover"][keep], rank, len(games),
                      rows["game"][keep].astype(np.int64), rows["player"][keep],
                      rows["cell"][keep], rows["tile"][keep], full[keep],
                      owner[kept], scores[kept], complete[kept]))
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

    def flat(k, dtype):
        return np.concatenate([p[k] for p in parts]) if parts else np.zeros(0, dtype)
    return Window(cat(0, data.BITS_SIZE, np.uint8), cat(1, network.CELLS, np.float16),
                  cat(2, 4, np.float32),
                  np.concatenate(ranks) if ranks else np.zeros(0, np.int64), offset, list(dirs),
                  flat(5, np.int64), flat(6, np.int8), flat(7, np.int16), flat(8, np.int16),
                  flat(9, bool), cat(10, network.CELLS, np.int8), cat(11, 4, np.float32),
                  flat(12, bool))


def split_games(win, share, seed):
    """Row indices (train, held out) and the number of held-out games.

    The held-out games are those that ``velmar.learning.metrics.holdout_games``
    picks from their index in the run and ``seed``: the same games in every
    generation of a run that keeps the seed, so a game held out once is never
    trained on. With two or more games in the window at least one is held out
    (the window's newest, when the hash picks none) and at least one is
    trained on, where ``share`` > 0."""
    if share <= 0 or win.games < 2:
        return np.arange(len(win.game)), np.zeros(0, np.int64), 0
    ids, first = np.unique(win.game, return_index=True)  # window ranks, and a row of each
    is_held_game = holdout_games(win.game_id[first], seed, share)
    if not is_held_game.any():
        is_held_game[-1] = True
    if is_held_game.all():
        is_held_game[0] = False
    is_held = is_held_game[np.searchsorted(ids, win.game)]
    return np.flatnonzero(~is_held), np.flatnonzero(is_held), int(is_held_game.sum())


def batch_arrays(win, idx, rng=None, aux=False):
    """planes float32 (B, 5, 20, 20), policy (B, 400), payoff (B, 4) of rows
    ``idx``; with ``rng``, each position turned by a random quarter turn.
    With ``aux``, then also the rows' ``score_mover`` (B, 4), ``owner_mover``
    (B, 400, turned with the planes) and whether they are valid (B,)."""
    planes = np.unpackbits(win.bits[idx], axis=1, bitorder="little") \
        .reshape(len(idx), network.PLANES, network.SIDE, network.SIDE)
    policy = win.policy[idx].astype(np.float32)
    owner, score = None, None
    if aux:
        owner, score = aux_targets.row_targets(win.owner, win.scores, win.game[idx],
                                               win.player[idx])
        owner = owner.reshape(len(idx), network.SIDE, network.SIDE)
    if rng is not None:
        policy = policy.reshape(len(idx), network.SIDE, network.SIDE)
        turns = rng.randint(4, size=len(idx))
        for k in (1, 2, 3):
            sel = turns == k
            planes[sel] = np.rot90(planes[sel], k, axes=(2, 3))
            policy[sel] = np.rot90(policy[sel], k, axes=(1, 2))
            if aux:
                owner[sel] = np.rot90(owner[sel], k, axes=(1, 2))
        policy = policy.reshape(len(idx), network.CELLS)
    out = planes.astype(np.float32), policy, win.payoff[idx]
    if not aux:
        return out
    return out + (score, owner.reshape(len(idx), network.CELLS), win.aux_ok[win.game[idx]])


# A reflection through the board's main diagonal swaps the starting corners
# of seats 1 and 3 and keeps those of seats 0 and 2, so it reverses the turn
# order around the board: the player seated one after the mover takes the
# place of the one seated before it. With the planes, the targets and the
# seat relabelled that way, a reflected position is a position of the game
# up to the order in which its pieces were laid; it is only used where every
# player has a square, so that no player's start is in question.
MIRROR_PLANES = [2, 1, 0, 3, 4]   # before <-> after the mover
MIRROR_PLAYERS = [0, 3, 2, 1]     # mover-relative j -> -j
MIRROR_OWNER = np.array([0, 1, 4, 3, 2], np.int8)  # owner class 1 + j -> 1 - j


def mirror_rows(rng, planes, policy, payoff, seats, score=None, owner=None):
    """Reflects, in place, a random half of the rows where every player has a
    square: planes (B, 5, 20, 20), policy (B, 400), payoff (B, 4) and seats
    (B,), and with the auxiliary targets score (B, 4) and owner (B, 400).
    Returns the rows reflected."""
    everyone = planes[:, :4].reshape(len(planes), 4, -1).any(axis=2).all(axis=1)
    sel = np.flatnonzero(everyone & (rng.random_sample(len(planes)) < 0.5))
    if not len(sel):
        return sel
    n = network.SIDE
    planes[sel] = planes[sel][:, MIRROR_PLANES].transpose(0, 1, 3, 2)
    policy[sel] = policy[sel].reshape(-1, n, n).transpose(0, 2, 1).reshape(len(sel), -1)
    payoff[sel] = payoff[sel][:, MIRROR_PLAYERS]
    seats[sel] = (-seats[sel]) % 4
    if score is not None:
        score[sel] = score[sel][:, MIRROR_PLAYERS]
        owner[sel] = MIRROR_OWNER[owner[sel]].reshape(-1, n, n).transpose(0, 2, 1) \
            .reshape(len(sel), -1)
    return sel


def batches(rows, size, rng):
    """Endless batches of row indices: the rows in a fresh random order each
    pass, a batch running on into the next pass where needed."""
    pending = np.zeros(0, np.int64)
    while True:
        while len(pending) < size:
            pending = np.concatenate([pending, rng.permutation(rows)])
        yield pending[:size]
        pending = pending[size:]
