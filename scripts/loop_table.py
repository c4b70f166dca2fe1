#!/usr/bin/env python3
"""Prints a loop run's per-generation table (Markdown) from RUN/loop.json.

usage: scripts/loop_table.py RUN [EVERY]   (EVERY: one row in EVERY
generations, the last always; default 1)"""
import json
import sys


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


def main(argv):
    if len(argv) not in (2, 3):
        sys.exit(__doc__)
    with open(argv[1] + "/loop.json") as f:
        state = json.load(f)
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
