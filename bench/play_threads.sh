#!/bin/sh
# Evaluations per second and mean batch of velmar play at several
# (workers, threads) settings, for one evaluator (default sleep:2).
# usage: bench/play_threads.sh [EVALUATOR] [GAMES] [SIMS] [MAX_BATCH]
set -e
ev=${1:-sleep:2}
games=${2:-0}
sims=${3:-64}
max_batch=${4:-64}
root=$(cd "$(dirname "$0")/.." && pwd)
export PYTHONPATH="$root/build/python:$root/python${PYTHONPATH:+:$PYTHONPATH}"
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
for t in 1 8 32 64; do
  g=$games; [ "$g" -gt 0 ] || g=$((2 * t))
  /usr/bin/python3 -m velmar play --quiet --workers 2 --threads $t --games $g --sims $sims --max-batch $max_batch \
    --evaluator "$ev" --out "$out/t$t" >/dev/null
  /usr/bin/python3 - "$out/t$t/summary.json" "$t" "$(cut -d' ' -f1-3 /proc/loadavg)" <<'PY'
import json, sys
s = json.load(open(sys.argv[1]))
print("workers 2 threads %3s: %8.0f evaluations/s, mean batch %6.2f, %d games in %.1fs (load %s)"
      % (sys.argv[2], s["evaluations_per_second"], s["server"]["mean_batch"],
         s["games_finished"], s["seconds"], sys.argv[3]))
PY
done
