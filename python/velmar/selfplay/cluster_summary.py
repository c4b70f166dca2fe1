"""The summary.json of a cluster run: the keys of ``velmar play``'s, plus
the games per machine and the overhead per task."""

import signal
import time

from velmar.selfplay.report import run_config, with_playout_caps


def _merge_workers(subs):
    merged = {}
    for machine, sub in subs:
        for w in sub["per_worker"]:
            a = merged.setdefault((machine, w["worker"]), dict(
                machine=machine, worker=w["worker"], games=0, seconds_in_games=0.0, requests=0))
            a["games"] += w["games"]
            a["seconds_in_games"] = round(a["seconds_in_games"] + w["seconds_in_games"], 3)
            a["requests"] += w["requests"]
    return [merged[k] for k in sorted(merged)]


def _server(subs):
    req = sum((s.get("server") or {}).get("requests", 0) for _, s in subs)
    batches = sum((s.get("server") or {}).get("batches", 0) for _, s in subs)
    return {"requests": req, "batches": batches, "mean_batch": req / batches if batches else 0.0}


def summary(run, client):
    a = run.args
    elapsed = time.time() - run.t0
    games = run.games
    n = len(games)
    tiles = sum(v[0] for v in games.values())
    wins, outright, scores = [0.0] * 4, [0] * 4, [0.0] * 4
    per_machine = {}
    for t, pay, sc, machine in games.values():
        per_machine[machine] = per_machine.get(machine, 0) + 1
        for p in range(4):
            wins[p] += pay[p]
            outright[p] += pay[p] == 1.0
            scores[p] += sc[p]
    B = a.block_games
    lost = []
    for b, why in sorted(run.failed.items()):
        lost += [{"game": run.first + g, "reason": "failed: " + why}
                 for g in range(b * B, min(a.games, (b + 1) * B))]
    written = {g for s in run.shards for g in s["games"]}
    missing = [g for g in range(run.first, run.first + a.games) if g not in games]
    failed_games = {x["game"] for x in lost}
    lost += [{"game": g, "reason": "interrupted"} for g in missing if g not in failed_games]
    errors = ["block %d: %s" % (b, w) for b, w in sorted(run.failed.items())]
    if run.write_error:
        errors.append(run.write_error)
    overhead = [t - s for t, s in run.task_seconds]
    requests = sum(w["requests"] for w in _merge_workers(run.sub))
    status = 128 + run.stop_signal if run.stop_signal else (1 if errors else 0)
    rate = (lambda x: x / elapsed if elapsed > 0 else 0.0)
    full_tiles = sum(sub.get("full_search_tiles", 0) for _, sub in run.sub)
    return with_playout_caps({
        "games_requested": a.games,
        "games_finished": n,
        "games_lost": sorted(lost, key=lambda x: x["game"]),
        "games_not_written": sorted(set(games) - written),
        "tiles": tiles,
        "simulations": tiles * run.search.sims_per_move,
        "wins_per_seat": wins,
        "outright_wins_per_seat": outright,
        "mean_scores": [s / n for s in scores] if n else None,
        "seconds": round(elapsed, 3),
        "games_per_hour": rate(n * 3600.0),
        "tiles_per_second": rate(tiles),
        "simulations_per_second": rate(tiles * run.search.sims_per_move),
        "evaluations_per_second": rate(requests),
        "workers": a.workers,
        "per_worker": _merge_workers(run.sub),
        "server": _server(run.sub),
        "config": run_config(run.search, a.evaluator, a.seed),
        "shards": run.shards,
        "interrupted_by": signal.Signals(run.stop_signal).name if run.stop_signal else None,
        "errors": errors,
        "exit_status": status,
        "cluster": {"address": a.cluster, "block_games": B, "tasks": len(run.task_seconds),
                    "dask_threads": sum(client.nthreads().values()),
                    "task_overhead_seconds_mean":
                        round(sum(overhead) / len(overhead), 3) if overhead else None},
        "per_machine": per_machine,
    }, run.search, full_tiles)
