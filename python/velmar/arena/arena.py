"""``python3 -m velmar arena``: matches between players, each an evaluator
with its own search settings.

Seating. With two players the first is the candidate and the second the
baseline: each game seats the candidate in one seat and the baseline in the
other three, the candidate's seat rotating 0, 1, 2, 3, so every seat gets the
same number of games (the game count must be a multiple of 4). With three or
four players the games cycle through every seating in which each player
holds at least one seat and no player two more than another (36 seatings
for three players, the 24 orders for four); with more, through every choice
of four players in order. Either way each player sits in each seat equally
often once the game count is a multiple of the rotation's length.

Every tile is chosen by the mover's own search (``velmar.rules.search``
with the mover's evaluator and settings; a tile that is the only legal one
is taken without a search): the most visited tile, ties broken at random,
except in the first ``sample_tiles`` tiles of a game, which are drawn in
proportion to visits so that games differ. Root noise follows each
player's ``dirichlet_alpha`` and ``exploration_fraction`` (off unless
given: an arena measures strength, not exploration).

Games run in worker processes against one batched inference server
(``velmar.serving.server``) that hosts every player's evaluator; a request's route
is the index of the player whose search sends it. Players whose evaluator
specifications are the same string share one evaluator in the server.

A player's win share is its payoffs summed over its games divided by its
games (a shared first place shares the payoff, as the payoffs do), with a
95 % Wilson score interval (a payoff total in [0, 1] has a variance of at
most p(1 - p), so the interval is conservative when first places are
shared). Its par share is what equal players would win: a quarter per seat
it holds (1/4 for a candidate against three baseline copies, 3/4 for those
copies together).

Python: ``run_arena([PlayerSpec.parse("big=heuristic,sims=128"), ...], games=200)``
returns an ``ArenaResult`` (``velmar.arena.results``: the records, the tally,
the JSON file, the chart and the printed table).
"""

from __future__ import annotations

import argparse
import itertools
import multiprocessing
import multiprocessing.connection
import os
import pickle
import random
import signal
import sys
import threading
import time
import types
from dataclasses import dataclass
from typing import List, Optional

from velmar.arena.results import (SEATS, ArenaResult, GameRecord, chart, fmt_duration,
                                  report, tally, to_json, write_json)
from velmar.arena.results import PlayerResult, SeatResult, wilson_interval  # noqa: F401 (API)

DEFAULT_SAMPLE_TILES = 8


class ArenaError(ValueError):
    """A bad option or an arena that cannot start (the command exits 2)."""


# ---------------------------------------------------------------------------
# Players

_SETTING_NAMES = {"sims": "sims", "c_base": "c_base", "c_init": "c_init",
                  "alpha": "dirichlet_alpha", "dirichlet_alpha": "dirichlet_alpha",
                  "noise": "exploration_fraction", "exploration_fraction": "exploration_fraction"}


@dataclass(frozen=True)
class PlayerSpec:
    """A player: a name, an evaluator specification (as ``velmar play
    --evaluator`` takes) and its search settings."""

    name: str
    evaluator: str = "uniform"
    sims: int = 64
    c_base: float = 19652.0
    c_init: float = 1.25
    dirichlet_alpha: float = 0.3
    exploration_fraction: float = 0.0

    @classmethod
    def parse(cls, text: str) -> "PlayerSpec":
        """From ``NAME=EVALUATOR[,KEY=VALUE...]``; keys: sims, c_base,
        c_init, alpha (dirichlet_alpha), noise (exploration_fraction)."""
        head, *settings = text.split(",")
        name, sep, evaluator = head.partition("=")
        if not sep or not name.strip() or not evaluator.strip():
            raise ArenaError("a player is NAME=EVALUATOR[,sims=N,...], got %r" % text)
        values = {}
        for item in settings:
            key, sep, value = item.partition("=")
            key = key.strip().replace("-", "_")
            if not sep or key not in _SETTING_NAMES:
                raise ArenaError("player %r: unknown setting %r (sims, c_base, c_init, alpha, "
                                 "noise)" % (name, item))
            attr = _SETTING_NAMES[key]
            try:
                values[attr] = int(value) if attr == "sims" else float(value)
            except ValueError:
                raise ArenaError("player %r: %s=%r is not a number" % (name, key, value)) from None
        spec = cls(name.strip(), evaluator.strip(), **values)
        spec.check()
        return spec

    def check(self):
        if self.sims < 1 or self.sims >= 2 ** 32:
            raise ArenaError("player %r: sims must be at least 1" % self.name)
        if not (self.c_base > 0 and self.dirichlet_alpha > 0
                and 0.0 <= self.exploration_fraction <= 1.0):
            raise ArenaError("player %r: c_base and alpha must be > 0, noise within [0, 1]"
                             % self.name)

    def search_config(self, sample_moves=0):
        """The object ``velmar.rules.search`` reads its settings from."""
        return types.SimpleNamespace(
            sims_per_move=self.sims, sample_moves=sample_moves, c_base=self.c_base,
            c_init=self.c_init, dirichlet_alpha=self.dirichlet_alpha,
            exploration_fraction=self.exploration_fraction)

    def describe(self):
        out = "%s (%s, %d sims" % (self.name, self.evaluator, self.sims)
        if self.exploration_fraction:
            out += ", noise %g alpha %g" % (self.exploration_fraction, self.dirichlet_alpha)
        defaults = PlayerSpec(self.name)
        if (self.c_base, self.c_init) != (defaults.c_base, defaults.c_init):
            out += ", c_base %g c_init %g" % (self.c_base, self.c_init)
        return out + ")"


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


def play_game(seating, configs, client, rng, sample_tiles, search=None):
    """One game; returns (tiles as (seat, cell) pairs, payoffs, scores).

    ``seating``: the player index in each seat; ``configs``: each player's
    search settings; the request id of a search is its player's index.
    """
    from velmar import rules
    if search is None:
        search = rules.search
    game = rules.Game()
    tiles = []
    while not game.is_over:
        seat = game.current_player()
        legal = game.legal_tiles()
        if len(legal) == 1:
            cell = legal[0]
        else:
            player = seating[seat]
            visits = search(game, configs[player], client, client, id=player)
            cell = choose_tile(visits, rng, len(tiles) < sample_tiles)
        tiles.append((seat, cell))
        game.apply(cell)
    return tiles, [float(x) for x in game.get_payoff()], [int(x) for x in game.get_score()]


# ---------------------------------------------------------------------------
# Worker process

class _StoppingClient:
    """A ``Client`` that gives up once the worker is asked to stop: at the
    next request, or at once while it waits for a reply."""

    def __init__(self, client, state):
        self.client = client
        self.state = state

    def put(self, request):
        if self.state["stop"]:
            raise SystemExit(self.state["stop"])
        self.state["inside"] = True
        try:
            self.client.put(request)
        finally:
            self.state["inside"] = False

    def recv(self):
        self.state["inside"] = True
        try:
            if self.state["stop"]:
                raise SystemExit(self.state["stop"])
            return self.client.recv()
        finally:
            self.state["inside"] = False


def _send(conn, msg):
    conn.send_bytes(pickle.dumps(msg, protocol=pickle.HIGHEST_PROTOCOL))


def _worker_main(w, job, request_fd, reply_fd, conn, counter, close_fds):
    from velmar.serving.server import Client
    for fd in close_fds:
        try:
            os.close(fd)
        except OSError:
            pass
    state = {"stop": 0, "inside": False}

    def on_signal(signum, frame):
        state["stop"] = 128 + signum
        if state["inside"]:
            raise SystemExit(128 + signum)

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)
    configs = [p.search_config(job["sample_tiles"]) for p in job["players"]]
    proxy = _StoppingClient(Client(w, request_fd, reply_fd), state)
    rotation = job["seatings"]
    status = 0
    while not state["stop"]:
        with counter.get_lock():
            g = counter.value
            if g >= job["games"]:
                break
            counter.value = g + 1
        seating = rotation[g % len(rotation)]
        rng = random.Random("%d:%d" % (job["seed"], g))
        t0 = time.perf_counter()
        try:
            tiles, payoffs, scores = play_game(seating, configs, proxy, rng, job["sample_tiles"])
        except BaseException as e:  # noqa: B902 - what the search raises may be anything
            if state["stop"]:
                _send(conn, ("interrupted", g))
                break
            _send(conn, ("error", g, "%s: %s" % (type(e).__name__, e)))
            status = 1
            break
        _send(conn, ("game", g, tiles, payoffs, scores, time.perf_counter() - t0))
    _send(conn, ("done", w))
    conn.close()
    return status


def _worker_entry(*args):
    code = 1
    try:
        code = _worker_main(*args)
    finally:
        os._exit(code)


# ---------------------------------------------------------------------------
# Main process

def _check(players, games, workers, sample_tiles):
    if len(players) < 2:
        raise ArenaError("an arena needs at least two players (--player NAME=EVALUATOR,...)")
    names = [p.name for p in players]
    if len(set(names)) != len(names):
        raise ArenaError("player names must differ: %s" % ", ".join(names))
    for p in players:
        p.check()
    rotation = seatings(len(players))
    if games < 1 or games % len(rotation):
        raise ArenaError("--games must be a positive multiple of %d, the length of the seating "
                         "rotation for %d players, so every seat gets the same number of games"
                         % (len(rotation), len(players)))
    if workers < 1 or sample_tiles < 0:
        raise ArenaError("--workers must be >= 1 and --sample-tiles >= 0")
    return rotation


class _Run:
    def __init__(self, players, games, rotation, progress):
        self.players = players
        self.games_requested = games
        self.rotation = rotation
        self.progress = progress
        self.finished = {}
        self.lost = []
        self.errors = []
        self.stop_signal = 0
        self.t0 = time.time()
        self.last_line = 0.0
        self.reported = 0        # tenths of the games reported (not a terminal)
        self.reported_games = 0
        self.tty = sys.stderr.isatty()

    def record(self, g, tiles, payoffs, scores, seconds):
        names = [self.players[p].name for p in self.rotation[g % len(self.rotation)]]
        self.finished[g] = GameRecord(g, names, [list(t) for t in tiles], payoffs, scores,
                                      round(seconds, 3))


def run_arena(players: List[PlayerSpec], games: int, workers: int = 2,
              out_dir: Optional[str] = os.path.join("out", "arena"),
              sample_tiles: int = DEFAULT_SAMPLE_TILES, seed: Optional[int] = None,
              max_batch: int = 64, batch_wait_ms: Optional[float] = None,
              server_python: Optional[str] = None, device: Optional[str] = None,
              progress: bool = False) -> ArenaResult:
    """Plays ``games`` games between ``players`` and returns the results.

    Writes ``arena.json`` (every game and the totals) and ``arena.png`` (the
    win shares with their intervals and the par shares) into ``out_dir``
    unless it is None. Raises ``ArenaError`` for bad arguments or a server
    that cannot start. SIGINT and SIGTERM (when called from the main thread)
    stop the workers; what finished is still tallied and written, and the
    result says ``interrupted_by`` (``exit_status`` 130 or 143); a worker that
    fails makes ``exit_status`` 1. Check ``result.complete``.
    """
    from velmar.serving import server as srv
    players = list(players)
    rotation = _check(players, games, workers, sample_tiles)
    try:
        from velmar import rules
    except ImportError as e:
        raise ArenaError("cannot import velmar.rules (%s); build it with cmake and put "
                         "<build>/python on PYTHONPATH" % e)
    if not hasattr(rules, "search"):
        raise ArenaError("this build of velmar.rules has no search(); rebuild it")
    if seed is None:
        seed = random.SystemRandom().randrange(2 ** 31)
    if server_python is None and sys.implementation.name == "pypy" and os.path.exists(
            "/usr/bin/python3") and any(p.evaluator != "uniform" for p in players):
        server_python = "/usr/bin/python3"  # NumPy and PyTorch live there, not in PyPy
    if out_dir is not None:
        os.makedirs(out_dir, exist_ok=True)
    workers = min(workers, games)
    request_r, request_w = os.pipe()
    replies = [os.pipe() for _ in range(workers)]
    try:
        server = srv.start_server({i: p.evaluator for i, p in enumerate(players)}, request_r,
                                  [w for _, w in replies], request_w, max_batch=max_batch,
                                  batch_wait_ms=batch_wait_ms, device=device,
                                  python=server_python)
    except (srv.ServerStartError, OSError) as e:
        os.close(request_w)
        for r, _ in replies:
            os.close(r)
        raise ArenaError(str(e))
    finally:
        os.close(request_r)
        for _, w in replies:
            os.close(w)
    st = _Run(players, games, rotation, progress)
    job = dict(players=players, games=games, seatings=rotation, sample_tiles=sample_tiles,
               seed=seed)
    old = {}
    if threading.current_thread() is threading.main_thread():
        def on_signal(signum, frame):
            st.stop_signal = st.stop_signal or signum
        for sig in (signal.SIGINT, signal.SIGTERM):
            old[sig] = signal.signal(sig, on_signal)
    status = 1
    try:
        status = _run_workers(st, job, server, request_w, [r for r, _ in replies], workers)
    finally:
        for sig, handler in old.items():
            signal.signal(sig, handler)
        server_stats = server.stop()
        try:
            os.close(request_w)
        except OSError:
            pass
    result = _result(st, seed, sample_tiles, status, server_stats)
    if out_dir is not None:
        result.json_path = os.path.join(out_dir, "arena.json")
        result.png_path = chart(result, os.path.join(out_dir, "arena.png"))
        write_json(result.json_path, to_json(result, players, server.info))
    return result


def _run_workers(st, job, server, request_w, reply_rs, workers):
    ctx = multiprocessing.get_context("fork")
    counter = ctx.Value("i", 0)
    procs, conns = [], {}
    try:
        for w in range(workers):
            r, wconn = ctx.Pipe(duplex=False)
            others = [fd for i, fd in enumerate(reply_rs) if i != w]
            p = ctx.Process(target=_worker_entry, name="velmar-arena-%d" % w,
                            args=(w, job, request_w, reply_rs[w], wconn, counter, others))
            p.start()
            wconn.close()
            procs.append(p)
            conns[r] = w
    finally:
        for fd in reply_rs:
            os.close(fd)
    return _supervise(st, server, procs, conns)


def _supervise(st, server, procs, conns):
    live = {p.sentinel: (w, p) for w, p in enumerate(procs)}
    done = set()
    status = 0
    stopping_since = None
    while conns or live:
        for r in multiprocessing.connection.wait(list(conns) + list(live), timeout=0.25):
            if r in conns:
                try:
                    msg = pickle.loads(r.recv_bytes())
                except (EOFError, OSError):
                    del conns[r]
                    r.close()
                    continue
                w = conns[r]
                if msg[0] == "game":
                    st.record(*msg[1:])
                elif msg[0] == "interrupted":
                    st.lost.append({"game": msg[1], "reason": "interrupted"})
                elif msg[0] == "error":
                    st.errors.append("worker %d, game %d: %s" % (w, msg[1], msg[2]))
                    st.lost.append({"game": msg[1], "reason": "failed"})
                    status = 1
                elif msg[0] == "done":
                    done.add(w)
            else:
                w, p = live.pop(r)
                p.join()
                server.worker_gone(w)
                if w not in done and p.exitcode != 0:
                    how = ("killed by signal %d" % -p.exitcode if p.exitcode < 0
                           else "exit status %d" % p.exitcode)
                    st.errors.append("worker %d died (%s)" % (w, how))
                    status = 1
        if server.popen.poll() is not None and not st.stop_signal:
            st.errors.append("the inference server exited (status %s)" % server.popen.returncode)
            st.stop_signal = -1
            status = 1
        if st.stop_signal and stopping_since is None:
            stopping_since = time.time()
            for _, p in live.values():
                _kill(p.pid, signal.SIGTERM)
        if stopping_since is not None and time.time() - stopping_since > 15:
            for _, p in live.values():
                _kill(p.pid, signal.SIGKILL)
        _progress(st)
    _progress(st, final=True)
    return status


def _kill(pid, sig):
    try:
        os.kill(pid, sig)
    except OSError:
        pass


def _progress(st, final=False):
    if not st.progress:
        return
    now = time.time()
    n = len(st.finished)
    share = ""
    if n:
        first = tally(st.players[:1], list(st.finished.values()))[0]
        share = " | %s %.3f [%.3f, %.3f], par %.3f" % (first.name, first.win_share, first.low,
                                                       first.high, first.par)
    elapsed = max(now - st.t0, 1e-9)
    left = (st.games_requested - n) * elapsed / n if n else None
    line = "arena: %d/%d games%s | %.1f games/min | %s left" % (
        n, st.games_requested, share, 60.0 * n / elapsed, fmt_duration(left))
    if st.stop_signal:
        line += " | stopping"
    if st.tty:  # one line, redrawn in place
        if final or now - st.last_line >= 0.5:
            st.last_line = now
            sys.stderr.write("\r" + line.ljust(79) + ("\n" if final else ""))
            sys.stderr.flush()
        return
    # not a terminal: a line at every tenth of the games, and the last one
    tenth = 10 * n // max(1, st.games_requested)
    if tenth > st.reported or (final and n != st.reported_games):
        st.reported, st.reported_games = tenth, n
        sys.stderr.write(line + "\n")
        sys.stderr.flush()


def _result(st, seed, sample_tiles, status, server_stats):
    games = [st.finished[g] for g in sorted(st.finished)]
    exit_status = 128 + st.stop_signal if st.stop_signal > 0 else status
    if st.errors and exit_status == 0:
        exit_status = 1
    kind = "candidate" if len(st.players) == 2 else "rotation"
    return ArenaResult(players=tally(st.players, games), games=games,
                       games_requested=st.games_requested, seating=kind,
                       sample_tiles=sample_tiles, seed=seed,
                       seconds=round(time.time() - st.t0, 3), lost=sorted(st.lost, key=str),
                       errors=st.errors,
                       interrupted_by=(signal.Signals(st.stop_signal).name
                                       if st.stop_signal > 0 else None),
                       exit_status=exit_status, server=server_stats)


def main(argv=None):
    ap = argparse.ArgumentParser(
        prog="python3 -m velmar arena",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Matches between players, each an evaluator with its own search settings; "
                    "win shares with 95 % intervals.",
        epilog="Seating: with two players the first is the candidate and the second the "
               "baseline; each game seats\nthe candidate in one seat and three copies of the "
               "baseline in the others, the candidate's seat\nrotating so every seat gets the "
               "same number of games (--games a multiple of 4). With three or\nfour players "
               "the games cycle through every seating in which each player holds at least "
               "one\nseat and none two more than another (36 for three, 24 for four); with "
               "more, every choice of\nfour players in order. Every tile is chosen by the "
               "mover's own search: the most visited tile,\nties at random, drawn in "
               "proportion to visits in the first --sample-tiles tiles.\n\n"
               "Exit status: 0 all went well; 130/143 stopped by SIGINT/SIGTERM (what "
               "finished is written);\n1 a worker failed; 2 bad options or an evaluator "
               "that could not start.")
    ap.add_argument("--player", action="append", default=[], metavar="NAME=EVALUATOR[,KEY=V]",
                    help="a player: a name, an evaluator (uniform, heuristic[:T[:W]], "
                         "numpy[:W.npz], torch[:W], package.module.factory[:ARG]) and search "
                         "settings sims=N (default 64), c_base, c_init, noise (exploration "
                         "fraction, default 0: no root noise), alpha (Dirichlet, default 0.3); "
                         "repeat for each player, the candidate first")
    ap.add_argument("--games", type=int, default=100,
                    help="games to play (default %(default)s)")
    ap.add_argument("--workers", type=int, default=os.cpu_count() or 1,
                    help="worker processes (default: the number of cores, %(default)s)")
    ap.add_argument("--sample-tiles", type=int, default=DEFAULT_SAMPLE_TILES,
                    help="the first this many tiles of a game are drawn in proportion to "
                         "visits, so that games differ (default %(default)s)")
    ap.add_argument("--seed", type=int, default=None,
                    help="seed of the tile draws and tie breaks (default: a random one, "
                         "recorded in the JSON)")
    ap.add_argument("--out", default=os.path.join("out", "arena"),
                    help="directory for arena.json and arena.png (default %(default)s)")
    ap.add_argument("--max-batch", type=int, default=64,
                    help="largest batch the server evaluates at once (default %(default)s)")
    ap.add_argument("--batch-wait-ms", type=float, default=None,
                    help="how long the server waits for a fuller batch (default: the "
                         "evaluators' own)")
    ap.add_argument("--device", default=None, help="torch device (default: cuda if available)")
    ap.add_argument("--server-python", default=None,
                    help="interpreter for the server (default: this one, except "
                         "/usr/bin/python3 for a NumPy evaluator under PyPy)")
    ap.add_argument("--quiet", action="store_true", help="no progress line")
    args = ap.parse_args(argv)
    try:
        players = [PlayerSpec.parse(text) for text in args.player]
        result = run_arena(players, args.games, workers=args.workers, out_dir=args.out,
                           sample_tiles=args.sample_tiles, seed=args.seed,
                           max_batch=args.max_batch, batch_wait_ms=args.batch_wait_ms,
                           server_python=args.server_python, device=args.device,
                           progress=not args.quiet)
    except ArenaError as e:
        print("arena: %s" % e, file=sys.stderr)
        return 2
    report(result)
    return result.exit_status
