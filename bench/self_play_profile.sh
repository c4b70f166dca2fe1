#!/usr/bin/env bash
# Where a simulation's time goes: runs the module benchmark under `perf record`
# and splits the samples between the module's own code, the interpreter and
# the rest (libc, kernel).
#
#   bench/self_play_profile.sh [BUILD_DIR] [INTERPRETER]
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
interp="${2:-/usr/bin/python3}"
command -v perf >/dev/null || { echo "perf is not installed (Debian: linux-perf)"; exit 0; }
data=$(mktemp)
trap 'rm -f "$data"' EXIT
PYTHONPATH="$build/python" perf record -q -o "$data" "$interp" bench/self_play_bench.py --games 2 >/dev/null 2>&1
perf report -i "$data" --no-children --sort dso 2>/dev/null | awk '
  /%/ { share = $1 + 0; name = $2
        if (name ~ /velmar_self_play/) own += share
        else if (name ~ /python|pypy/) interp += share
        else rest += share }
  END { printf "module code %.1f %%, interpreter %.1f %%, other (libc, kernel) %.1f %%\n", own, interp, rest }'
