#!/usr/bin/env bash
# Cross-builds the project for 32-bit ARM (armhf) and runs its tests under
# qemu-arm-static: the C++ tests, and under the emulated PyPy the module's
# Python tests and those of the package's that go through the extensions (see
# python/CMakeLists.txt); those marked slow or subprocess are left out: the
# emulator is about ten times slower, and a subprocess started with
# sys.executable cannot run there.
set -euo pipefail
cd "$(dirname "$0")/.."
sysroot="${VELMAR_ARMHF_SYSROOT:-$PWD/.sysroot-armhf}"
scripts/armhf-sysroot.sh "$sysroot"
jobs=$(nproc)

cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake \
  -DVELMAR_ARMHF_SYSROOT="$sysroot" -DCMAKE_BUILD_TYPE=Release -DVELMAR_WERROR=ON \
  -DVELMAR_BENCH=OFF
cmake --build build-armhf -j"$jobs"
# The randomized comparisons with the brute-force reference take about 10 s
# of CPU each under the emulator: the first seed of them runs here, all of them
# natively. Each GoogleTest executable is one ctest entry here.
ref='*EveryTileAgreesWithTheReference'
others="$ref/1:$ref/2:$ref/3:$ref/4:$ref/5:$ref/6:$ref/7:$ref/8:$ref/9:$ref/??:$ref/???"
GTEST_FILTER="-$others" ctest --test-dir build-armhf --output-on-failure -j"$jobs"
