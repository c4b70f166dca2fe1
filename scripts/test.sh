#!/usr/bin/env bash
# Sets up, builds and runs every test: the release build (C++ tests and the
# Python tests under CPython and PyPy), then the C++ tests and the module's
# Python tests again under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
jobs=$(nproc)

# The Python package and its tests follow one style (.flake8).
flake8 python bench scripts

# Everything, also in a build folder configured before without some parts.
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DVELMAR_WERROR=ON -DVELMAR_PYTHON=ON \
  -DVELMAR_BENCH=ON
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

# pip install . into a fresh virtual environment (Debian's setuptools, no
# build isolation, nothing downloaded), then the commands from another folder
# without PYTHONPATH. Built with the release build's options, so that its
# objects come from ccache's cache (see CMakeLists.txt).
pip_tmp=$(mktemp -d)
trap 'rm -rf "$pip_tmp"' EXIT
/usr/bin/python3 -m venv --system-site-packages "$pip_tmp/venv"
CMAKE_BUILD_PARALLEL_LEVEL="$jobs" VELMAR_CMAKE_ARGS="-DVELMAR_WERROR=ON" \
  "$pip_tmp/venv/bin/pip" install -q --no-build-isolation --no-index --no-cache-dir .
(cd "$pip_tmp" && env -u PYTHONPATH venv/bin/python -m velmar --help >/dev/null &&
  env -u PYTHONPATH venv/bin/velmar play --games 1 --sims 2 --workers 1 --evaluator uniform \
    --out "$pip_tmp/play" --quiet >/dev/null)
test -s "$pip_tmp/play/shard-00000.npz" || { echo "test: the installed velmar wrote no shard" >&2; exit 1; }
rm -rf "$pip_tmp"

# -O1 with line tables only: half the compile time of an optimised build
# with full debug information, and readable sanitizer reports. The
# extensions are built for CPython only, for the module's Python tests below.
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1" \
  -DVELMAR_WERROR=ON -DVELMAR_SANITIZE=ON -DVELMAR_PYTHONS=/usr/bin/python3
cmake --build build-asan -j"$jobs"
# The C++ tests; the Python tests need the sanitizer runtimes preloaded.
ctest --test-dir build-asan --output-on-failure -j"$jobs" -E '_py_|^python_package_'

# The module's Python tests (its randomized boundary test included) with the
# sanitized extensions in an unsanitized interpreter: the runtimes are
# preloaded, leaks are not reported (the interpreter keeps its objects at
# exit), and pytest captures sys.stdout/sys.stderr only, so that a report
# written to the process's stderr is seen.
LD_PRELOAD="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)" \
  ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 OPENBLAS_NUM_THREADS=1 \
  PYTHONPATH="$PWD/build-asan/python:$PWD/python:/usr/lib/python3/dist-packages" \
  PYTHONDONTWRITEBYTECODE=1 \
  /usr/bin/python3 -m pytest -q -p no:cacheprovider --capture=sys self_play/tests

# The same tests cross-built for 32-bit ARM and run under emulation.
scripts/test-armhf.sh
