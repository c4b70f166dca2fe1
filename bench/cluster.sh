#!/usr/bin/env bash
# Games per hour of `velmar play --cluster local:2 --workers 1` against plain
# `velmar play --workers 2` (the same two play workers), with the uniform and
# the numpy evaluator, and the mean overhead per cluster task (a task's wall
# time less the time its own play run reports). Usage: bench/cluster.sh [BUILD]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
export PYTHONPATH=$build/python:$root/python:/usr/lib/python3/dist-packages OPENBLAS_NUM_THREADS=1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
uptime
one() {  # name, args...
  local name=$1; shift
  /usr/bin/python3 -m velmar play --quiet --out "$tmp/$name" "$@" >/dev/null
  /usr/bin/python3 -c "import json,sys; s=json.load(open(sys.argv[1])); c=s.get('cluster') or {}
print('%-28s %5.1f games/h  %6.0f sims/s  task overhead %s s' % (sys.argv[2], s['games_per_hour'],
      s['simulations_per_second'], c.get('task_overhead_seconds_mean', '-')))" \
    "$tmp/$name/summary.json" "$name"
}
for ev in "uniform --sims ${UNIFORM_SIMS:-32} --games ${UNIFORM_GAMES:-8}" \
          "numpy --sims ${NUMPY_SIMS:-8} --games ${NUMPY_GAMES:-4}"; do
  set -- $ev
  one "plain-$1" --evaluator "$@" --workers 2
  one "cluster-$1" --evaluator "$@" --workers 1 --cluster local:2 --block-games ${BLOCK:-4}
done
uptime
