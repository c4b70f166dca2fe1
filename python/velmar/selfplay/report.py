"""What ``velmar play`` reports: the progress line, summary.json and the
summary printed at the end.
"""

import dataclasses
import json
import os
import sys
import time

from velmar.common.files import write_json
from velmar.common.text import fmt_duration


@dataclasses.dataclass
class FinishedGame:
    """A game a worker delivered: its index, length, payoffs and scores per
    seat, and the worker's timings (worker, seconds, cpu, requests, put,
    wait, decode, rows_seconds)."""
    game: int
    tiles: int
    payoffs: list
    scores: list
    stats: dict


TYPICAL_TILES = 300  # a guess of a game's length until one has finished


def progress(st, counts, workers_n):
    args = st.args
    sims = st.search.sims_per_move
    elapsed = max(time.time() - st.t0, 1e-9)
    evals = sum(counts)
    done_tiles = sum(f.tiles for f in st.finished)
    done_evals = sum(f.stats["requests"] for f in st.finished)
    caps = st.search.options or {}
    if "fast_sims" in caps:  # requests per tile, as expected with playout caps
        share = caps["full_share"]
        sims = share * sims + (1 - share) * caps["fast_sims"]
    live_tiles = max(0, evals - done_evals) / (sims + 1)
    tiles = done_tiles + live_tiles
    per_game = done_tiles / len(st.finished) if st.finished else TYPICAL_TILES
    left_tiles = max(0.0, args.games * per_game - tiles)
    rate = tiles / elapsed
    left = left_tiles / rate if rate > 0 else None
    in_flight = st.in_flight()
    line = ("games %d/%d (%d in flight) | %d tiles, %.1f tiles/s | %.0f sims/s | %s left"
            % (len(st.finished), args.games, in_flight, tiles, rate, evals / elapsed,
               fmt_duration(left)))
    if st.stopping:
        line += " | stopping"
    sys.stderr.write("\r" + line.ljust(78))
    sys.stderr.flush()


def write_summary(st, summary):
    """Writes OUT/summary.json; where that fails, says so in one line and
    prints the summary on stdout instead. Returns whether it was written."""
    path = os.path.join(st.args.out, "summary.json")
    try:
        write_json(path, summary)
        return True
    except OSError as e:
        print("play: cannot write %s: %s; the summary follows" % (path, e.strerror or e),
              file=sys.stderr)
        json.dump(summary, sys.stdout, indent=2)
        sys.stdout.write("\n")
        return False


def _per_worker(finished):
    """Each worker's games and its time split, summed over its threads."""
    per_worker = {}
    for f in finished:
        s = f.stats
        a = per_worker.setdefault(s["worker"], dict(games=0, seconds=0.0, cpu=0.0, put=0.0,
                                                    wait=0.0, decode=0.0, requests=0,
                                                    rows_seconds=0.0))
        a["games"] += 1
        for k in ("seconds", "cpu", "put", "wait", "decode", "requests", "rows_seconds"):
            a[k] += s[k]
    workers = []
    for w in sorted(per_worker):
        a = per_worker[w]
        sec = a["seconds"] or 1e-12
        workers.append({
            "worker": w, "games": a["games"], "seconds_in_games": round(a["seconds"], 3),
            "requests": a["requests"],
            "module_share": round((sec - a["put"] - a["wait"] - a["decode"]) / sec, 4),
            "transport_share": round((a["put"] + a["decode"]) / sec, 4),
            "waiting_share": round(a["wait"] / sec, 4),
            "cpu_share": round(a["cpu"] / sec, 4),
            "microseconds_per_request": round(1e6 * sec / max(1, a["requests"]), 1),
            "record_seconds": round(a["rows_seconds"], 3),
        })
    return workers


def _seat_totals(finished):
    wins, outright, scores = [0.0] * 4, [0] * 4, [0.0] * 4
    for f in finished:
        for p in range(4):
            wins[p] += f.payoffs[p]
            outright[p] += f.payoffs[p] == 1.0
            scores[p] += f.scores[p]
    return wins, outright, scores


def run_config(search, evaluator, seed, **more):
    """The summary's record of a run's settings (``options`` only where a
    search option is on)."""
    d = search.as_dict()
    out = dict(sims=d.pop("sims_per_move"), **d)
    if search.options:
        out["options"] = search.recorded_options()
    out.update(evaluator=str(evaluator), seed=seed, python=sys.implementation.name, **more)
    return out


def with_playout_caps(summary, search, full_tiles):
    """With playout caps, the summary's simulations count the fast tiles at
    their own simulations, and ``full_search_tiles`` says how many tiles had
    a full search; without them the summary is left as it is."""
    fast = (search.options or {}).get("fast_sims")
    if fast is not None:
        tiles, sims = summary["tiles"], search.sims_per_move
        simulations = full_tiles * sims + (tiles - full_tiles) * fast
        scale = simulations / (tiles * sims) if tiles else 0.0
        summary.update(simulations=simulations, full_search_tiles=full_tiles,
                       simulations_per_second=summary["simulations_per_second"] * scale)
    return summary


def summary(st, workers_n, status):
    args = st.args
    sims = st.search.sims_per_move
    elapsed = time.time() - st.t0
    n = len(st.finished)
    tiles = sum(f.tiles for f in st.finished)
    wins, outright, scores = _seat_totals(st.finished)
    exit_status = st.exit_status(status)
    requests = sum(f.stats["requests"] for f in st.finished)
    full_tiles = sum(f.stats.get("full_search_tiles", 0) for f in st.finished)

    def rate(x):
        return x / elapsed if elapsed > 0 else 0.0
    return with_playout_caps({
        "games_requested": args.games,
        "games_finished": n,
        "games_lost": [{"game": g, "reason": r} for g, r in sorted(st.lost)],
        "games_not_written": sorted(st.games),
        "tiles": tiles,
        "simulations": tiles * sims,
        "wins_per_seat": wins,
        "outright_wins_per_seat": outright,
        "mean_scores": [s / n for s in scores] if n else None,
        "seconds": round(elapsed, 3),
        "games_per_hour": rate(n * 3600.0),
        "tiles_per_second": rate(tiles),
        "simulations_per_second": rate(tiles * sims),
        "evaluations_per_second": rate(requests),
        "workers": workers_n,
        "per_worker": _per_worker(st.finished),
        "server": st.server_stats,
        "config": run_config(st.search, args.evaluator, args.seed, threads=st.threads),
        "shards": [{"path": os.path.basename(s["path"]), "games": s["games"], "rows": s["rows"]}
                   for s in st.shards],
        "interrupted_by": st.interrupted_by(),
        "errors": st.errors,
        "exit_status": exit_status,
    }, st.search, full_tiles)


def print_summary(s, args, written=True):
    out = sys.stdout
    print("played %d of %d games (%d tiles, %d simulations) in %s with %d worker(s)"
          % (s["games_finished"], s["games_requested"], s["tiles"], s["simulations"],
             fmt_duration(s["seconds"]), s["workers"]), file=out)
    if s["games_finished"]:
        print("wins per seat: %s (outright: %s)"
              % (", ".join("%.2f" % x for x in s["wins_per_seat"]),
                 ", ".join(map(str, s["outright_wins_per_seat"]))), file=out)
        print("mean scores:   %s" % ", ".join("%.1f" % x for x in s["mean_scores"]), file=out)
        print("throughput:    %.1f games/h, %.1f tiles/s, %.0f simulations/s"
              % (s["games_per_hour"], s["tiles_per_second"], s["simulations_per_second"]),
              file=out)
        for w in s["per_worker"]:
            print("worker %d:      %.0f%% in the module, %.0f%% packing/decoding, %.0f%% waiting "
                  "for the server; on a core %.0f%% of the time"
                  % (w["worker"], 100 * w["module_share"], 100 * w["transport_share"],
                     100 * w["waiting_share"], 100 * w["cpu_share"]), file=out)
    if s["server"]:
        print("server:        %d requests in %d batches (mean %.2f)"
              % (s["server"]["requests"], s["server"]["batches"], s["server"]["mean_batch"]),
              file=out)
    for e in s["errors"]:
        print("error: %s" % e, file=out)
    if s["games_lost"]:
        print("lost (unfinished) games: %s" % ", ".join(
            "%d (%s)" % (x["game"], x["reason"]) for x in s["games_lost"]), file=out)
    if s["games_not_written"]:
        print("finished but not written: %d game(s): %s" % (
            len(s["games_not_written"]), ", ".join(map(str, s["games_not_written"]))), file=out)
    if s["interrupted_by"]:
        print("interrupted by %s" % s["interrupted_by"], file=out)
    print("data: %d shard(s) in %s, summary %s"
          % (len(s["shards"]), args.out, "in " + os.path.join(args.out, "summary.json")
             if written else "not written (printed above)"), file=out)
    out.flush()
