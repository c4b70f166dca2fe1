#!/usr/bin/env bash
# From a fresh machine to training data: installs what the project needs,
# builds the extensions into ./build, plays a few self-play games with the
# embedded uniform evaluator on every core, writes the training data and
# renders the last game.
#
#   scripts/play.sh [OUT_DIR] [extra options for python3 -m velmar play]
#
# Defaults: OUT_DIR=out/play, 4 games at 64 simulations per tile. Any option
# of `python3 -m velmar play` may follow (a later --games or --sims wins).
set -euo pipefail
cd "$(dirname "$0")/.."
out="${1:-out/play}"
shift || true

scripts/setup.sh
# Only the CPython extensions (and the libraries they link): no test binaries
# or benchmarks, which scripts/test.sh builds.
cmake -S . -B build -DVELMAR_PYTHON=ON
cmake --build build -j"$(nproc)" --target extensions_cpython

export PYTHONPATH="$PWD/build/python:$PWD/python${PYTHONPATH:+:$PYTHONPATH}"
export OPENBLAS_NUM_THREADS=1
status=0
/usr/bin/python3 -m velmar play --games 4 --sims 64 --workers "$(nproc)" \
  --evaluator uniform --out "$out" "$@" || status=$?
if ls "$out"/shard-*.npz >/dev/null 2>&1; then
  /usr/bin/python3 -m velmar show "$out" --html
fi
exit "$status"
