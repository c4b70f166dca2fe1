#!/usr/bin/env bash
# The training loop from random weights on this machine: self-play with the
# current generation, train the next on the newest games, measure it in the
# arena against uniform and heuristic players and the previous generation,
# then a final arena of the last generation against three uniform players.
#
#   scripts/loop.sh [RUN_DIR] [extra options for python3 -m velmar loop]
#
# Rerunning with the same RUN_DIR resumes after the last finished step.
set -euo pipefail
cd "$(dirname "$0")/.."
run="${1:-out/loop}"
shift || true

scripts/setup.sh
cmake -S . -B build -DVELMAR_PYTHON=ON >/dev/null
cmake --build build -j"$(nproc)" --target extensions_cpython

export PYTHONPATH="$PWD/build/python:$PWD/python${PYTHONPATH:+:$PYTHONPATH}"
export OPENBLAS_NUM_THREADS=1
exec /usr/bin/python3 -m velmar loop --dir "$run" --hours 0.3 --games-per-iteration 64 \
  --sims 16 --arena-games 24 --final-arena-games 400 --window 400 --epochs 2 --lr 0.002 \
  --workers "$(nproc)" "$@"
