#!/usr/bin/env bash
# The README's arena figures in one command: builds ./build if needed and
# plays the three matches, 200 games each on 2 workers (about 5 minutes a
# match on a 2-core machine), writing OUT_DIR/<match>/arena.json and
# arena.png.
#
#   scripts/arena.sh [OUT_DIR] [extra options for python3 -m velmar arena]
#
# Defaults: OUT_DIR=out/arena. Options after OUT_DIR go to every match
# (a later --games or --workers wins).
set -euo pipefail
cd "$(dirname "$0")/.."
out="${1:-out/arena}"
shift || true

scripts/setup.sh
cmake -S . -B build -DVELMAR_BENCH=OFF
cmake --build build -j"$(nproc)"

export PYTHONPATH="$PWD/build/python:$PWD/python${PYTHONPATH:+:$PYTHONPATH}"
export OPENBLAS_NUM_THREADS=1
match() {
  local name=$1
  shift
  echo "== $name (load: $(cut -d' ' -f1-3 /proc/loadavg))"
  /usr/bin/python3 -m velmar arena --games 200 --workers 2 --out "$out/$name" "$@"
}
match heuristic-128-vs-8 --seed 1 --player big=heuristic,sims=128 --player small=heuristic,sims=8 "$@"
match heuristic-vs-uniform-64 --seed 2 --player heur=heuristic,sims=64 --player unif=uniform,sims=64 "$@"
match uniform-128-vs-8 --seed 3 --player big=uniform,sims=128 --player small=uniform,sims=8 "$@"
