#!/usr/bin/env bash
# The proof run: the training loop from random weights on this machine's
# cores, then a large final arena of the last generation against three
# uniform and three heuristic players at the same simulations.
#
#   scripts/loop.sh [RUN_DIR] [extra options for python3 -m velmar loop]
#
# Rerun with the same RUN_DIR to resume after the last finished step.
set -euo pipefail
cd "$(dirname "$0")/.."
run="${1:-out/loop}"
shift || true
cmake -S . -B build -DVELMAR_PYTHON=ON >/dev/null
cmake --build build -j"$(nproc)" --target extensions_cpython >/dev/null
export PYTHONPATH="$PWD/build/python:$PWD/python${PYTHONPATH:+:$PYTHONPATH}"
export OPENBLAS_NUM_THREADS=1
exec /usr/bin/python3 -m velmar loop --dir "$run" --hours 1.25 \
  --games-per-iteration 48 --sims 8 --window 480 --epochs 2 --batch-size 256 \
  --lr 2e-3 --blocks 0 --channels 16 --arena-games 16 --opponents uniform,heuristic,previous \
  --final-arena-games 400 "$@"
