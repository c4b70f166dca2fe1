#!/usr/bin/env python3
"""Prints a loop run's per-generation table (Markdown) from RUN/loop.json.

usage: scripts/loop_table.py RUN [EVERY]   (EVERY: one row in EVERY
generations, the last always; default 1)
       scripts/loop_table.py RUN ladder    (the generations rated against
greedy: hours, rating, both win shares alone, held-out value error)"""
import json
import os
import sys

STEP_SECONDS = ("selfplay_seconds", "train_seconds", "arena_seconds", "ladder_seconds")


def cell(rec, opp):
    r = rec.get("arena", {}).get(opp)
    if not r:
        return "–"
    return "%.3f [%.3f, %.3f]" % (r["win_share"], r["interval"][0], r["interval"][1])


def row(rec):
    t = rec.get("train", {})
    h = t.get("holdout", {})
    sp = rec.get("selfplay", {})
    secs = "%.0f / %.0f / %.0f" % tuple(rec.get(k, 0) or 0 for k in
                                         ("selfplay_seconds", "train_seconds", "arena_seconds"))
    return "| %d | %s | %s | %.3f / %.4f | %s | %s | %s | %s |" % (
        rec["generation"], sp.get("positions", "–"), t.get("steps", "–"),
        h.get("policy_top1", float("nan")), h.get("value_mse", float("nan")),
        cell(rec, "uniform"), cell(rec, "heuristic"), cell(rec, "previous"), secs)


def share(x, interval):
    return "%.3f [%.3f, %.3f]" % (x, interval[0], interval[1])


def value_cells(run, g):
    """Held-out value MSE beside the seat-only predictor's, all rows and
    tiles 0-99, from the generation's training log."""
    try:
        with open(os.path.join(run, "train", "gen-%04d.train.json" % g)) as f:
            v = json.load(f)["metrics"]["value"]
    except (OSError, KeyError, ValueError):
        return "– | –"
    return " | ".join("%.4f / %.4f" % (v[k]["mse"], v[k]["mse_seat"]) for k in ("all", "0-99"))


def ladder_table(run, state):
    print("| gen | hours | rating vs greedy (Elo) | gen alone vs 3 greedy | greedy alone vs 3 gen "
          "| value MSE / seat-only, all | tiles 0-99 |")
    print("|---|---|---|---|---|---|---|")
    seconds = 0.0
    for rec in state["iterations"]:
        seconds += sum(rec.get(k) or 0 for k in STEP_SECONDS)
        r = rec.get("ladder")
        if not r:
            continue
        low, high = r["interval"] or (float("nan"), float("nan"))
        print("| %d | %.2f | %+.0f [%+.0f, %+.0f] | %s | %s | %s |" % (
            rec["generation"], seconds / 3600, r["rating"], low, high,
            share(r["alone_share"], r["alone_interval"]),
            share(r["greedy_alone_share"], r["greedy_alone_interval"]),
            value_cells(run, rec["generation"])))


def main(argv):
    if len(argv) not in (2, 3):
        sys.exit(__doc__)
    with open(argv[1] + "/loop.json") as f:
        state = json.load(f)
    if argv[2:] == ["ladder"]:
        return ladder_table(argv[1], state)
    every = int(argv[2]) if len(argv) == 3 else 1
    recs = [r for r in state["iterations"] if "arena" in r.get("steps_done", [])]
    print("| gen | self-play positions | train steps | held-out top-1 / value MSE "
          "| vs 3 uniform | vs 3 heuristic | vs 3 previous | self-play / train / arena s |")
    print("|---|---|---|---|---|---|---|---|")
    for k, rec in enumerate(recs):
        if rec["generation"] % every == 0 or k == len(recs) - 1 or rec["generation"] == 1:
            print(row(rec))
    total = {k: sum(r.get(k, 0) or 0 for r in recs)
             for k in ("selfplay_seconds", "train_seconds", "arena_seconds")}
    all_s = sum(total.values()) or 1.0
    print()
    print("Time in %d iterations: self-play %.0f s (%.0f %%), training %.0f s (%.0f %%), "
          "arena %.0f s (%.0f %%)." % (
              len(recs), total["selfplay_seconds"], 100 * total["selfplay_seconds"] / all_s,
              total["train_seconds"], 100 * total["train_seconds"] / all_s,
              total["arena_seconds"], 100 * total["arena_seconds"] / all_s))


if __name__ == "__main__":
    main(sys.argv)
