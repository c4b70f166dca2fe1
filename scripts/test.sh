#!/usr/bin/env bash
# Sets up, builds and runs every test: the release build (C++ tests and the
# Python tests under CPython and PyPy), then the C++ tests again under
# AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
jobs=$(nproc)

# Everything, also in a build folder configured before without some parts.
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DVELMAR_WERROR=ON -DVELMAR_PYTHON=ON \
  -DVELMAR_BENCH=ON
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

# -O1 with line tables only: half the compile time of an optimised build
# with full debug information, and readable sanitizer reports.
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1" \
  -DVELMAR_WERROR=ON -DVELMAR_SANITIZE=ON -DVELMAR_PYTHON=OFF
cmake --build build-asan -j"$jobs"
ctest --test-dir build-asan --output-on-failure -j"$jobs"

# The same tests cross-built for 32-bit ARM and run under emulation.
scripts/test-armhf.sh
