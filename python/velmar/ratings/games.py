"""The ladder's games: the seating design, paired openings, and the games
themselves, in this process or over worker processes. The rating fit
(``velmar.ratings.fit``) needs only the records these return.

Design. The games come in blocks; within a block every player holds every
seat equally often and all of the block's games start from the same
opening, so an opening that favours a seat favours every player equally.
With four players a block is the 24 orders of the four; with more, the 24
orders of one choice of four, the choices taken in turn; with three, the 36
seatings in which each holds at least one seat and none two more than
another; with two, each alone against three copies of the other in each
seat (8 games).

Opening. Before the players take over, each seat's first
``opening_pieces`` pieces are drawn at random, uniformly among its complete
placements of five squares (of any size where none has five), from the
block's seed.
"""

from __future__ import annotations

import itertools
import multiprocessing
import random
import sys
import time
from dataclasses import dataclass, field
from typing import List, Optional

from velmar.ratings.players import Evaluators, LadderError, LadderPlayer, make_player

SEATS = 4


@dataclass
class LadderGame:
    game: int
    block: int
    seating: List[str]           # the player's name in each seat
    scores: List[int]            # in seat order
    payoffs: List[float]         # in seat order
    tiles: List[List[int]] = field(default_factory=list)  # (seat, cell) per tile
    opening_tiles: int = 0
    seconds: float = 0.0


def design(n_players: int) -> List[List[tuple]]:
    """The blocks of seatings (tuples of the player index in each seat)."""
    if n_players < 2:
        raise LadderError("a ladder needs at least two players")
    if n_players == 2:
        return [[tuple(a if s == seat else 1 - a for s in range(SEATS))
                 for a in (0, 1) for seat in range(SEATS)]]
    if n_players == 3:
        block = [s for s in itertools.product(range(3), repeat=SEATS)
                 if min(s.count(p) for p in range(3)) >= 1]
        return [block]
    return [list(itertools.permutations(four))
            for four in itertools.combinations(range(n_players), SEATS)]


def block_size(n_players: int) -> int:
    return len(design(n_players)[0])


def seating_of(blocks, g):
    size = len(blocks[0])
    k = g // size
    return k, blocks[k % len(blocks)][g % size]


def play_opening(game, pieces, rng):
    """Draws each seat's first ``pieces`` pieces; returns the tiles taken."""
    from velmar.game import greedy
    tab = greedy.table()
    taken = 0
    for _ in range(pieces * SEATS):
        p = game.current_player()
        if p is None:
            break
        cand = greedy.complete_placements(game.cells, game.pieces[p], p, tab)
        five = cand[tab.size[cand] == 5]
        pool = five if len(five) else cand
        pick = int(pool[rng.randrange(len(pool))])
        for x in sorted(tab.cells[pick].tolist()):
            if x != greedy.NONE:
                game.apply(x)
                taken += 1
    return taken


def play_game(choosers, opening_pieces=1, opening_rng=None):
    """One game; ``choosers[seat].choose(game)`` picks that seat's tiles.
    Returns (tiles as (seat, cell) pairs, scores, payoffs, opening tiles)."""
    from velmar import rules
    game = rules.Game()
    n_open = play_opening(game, opening_pieces, opening_rng or random.Random()) \
        if opening_pieces else 0
    while not game.is_over:
        seat = game.current_player()
        game.apply(choosers[seat].choose(game))
    tiles = [[int(p), int(c)] for p, c in game.history]
    return tiles, [int(x) for x in game.get_score()], [float(x) for x in game.get_payoff()], n_open


class _Job:
    """What every game needs, sent once to each worker."""

    def __init__(self, players, seed, opening_pieces):
        self.players = players
        self.seed = seed
        self.opening_pieces = opening_pieces
        self.blocks = design(len(players))


_JOB: Optional[_Job] = None
_EVALUATORS: Optional[Evaluators] = None


def _init_worker(job):
    global _JOB, _EVALUATORS
    _JOB, _EVALUATORS = job, Evaluators()


def _one_game(g):
    job = _JOB
    block, seating = seating_of(job.blocks, g)
    choosers = [make_player(job.players[p], _EVALUATORS, "%d:%d:%d" % (job.seed, g, seat), seat)
                for seat, p in enumerate(seating)]
    t0 = time.perf_counter()
    tiles, scores, payoffs, n_open = play_game(
        choosers, job.opening_pieces, random.Random("%d:opening:%d" % (job.seed, block)))
    return LadderGame(g, block, [job.players[p].name for p in seating], scores, payoffs,
                      tiles, n_open, round(time.perf_counter() - t0, 3))


def play_games(players: List[LadderPlayer], games: int, workers: int = 1, seed: int = 0,
               opening_pieces: int = 1, progress=None) -> List[LadderGame]:
    """Plays games 0 .. ``games`` - 1 of the design; returns the finished
    ones in game order. ``progress(n_done)`` is called after each game. A
    KeyboardInterrupt stops the games and returns what finished."""
    job = _Job(players, seed, opening_pieces)
    done = {}
    if workers <= 1:
        _init_worker(job)
        try:
            for g in range(games):
                done[g] = _one_game(g)
                if progress:
                    progress(len(done))
        except KeyboardInterrupt:
            pass
        return [done[g] for g in sorted(done)]
    ctx = multiprocessing.get_context("fork")
    pool = ctx.Pool(workers, initializer=_init_worker, initargs=(job,))
    try:
        for rec in pool.imap_unordered(_one_game, range(games)):
            done[rec.game] = rec
            if progress:
                progress(len(done))
        pool.close()
    except KeyboardInterrupt:
        pool.terminate()
    except BaseException:  # a game that failed: its error goes on, the pool ends
        pool.terminate()
        raise
    finally:
        pool.join()
    return [done[g] for g in sorted(done)]


def check_players(players: List[LadderPlayer]):
    """Makes every evaluator once, so a bad one fails before the games."""
    names = [p.name for p in players]
    if len(set(names)) != len(names):
        raise LadderError("player names must differ: %s" % ", ".join(names))
    evaluators = Evaluators()
    for p in players:
        if p.kind == "search":
            evaluators.get(p.search.evaluator)


def progress_printer(total, out=sys.stderr):
    t0 = time.time()
    state = {"tenth": 0}

    def show(n):
        tenth = 10 * n // max(total, 1)
        if tenth > state["tenth"] or n == total:
            state["tenth"] = tenth
            elapsed = time.time() - t0
            out.write("ladder: %d/%d games, %.1f games/min\n"
                      % (n, total, 60.0 * n / max(elapsed, 1e-9)))
            out.flush()
    return show
