#!/usr/bin/env bash
# Creates a 32-bit ARM (armhf) root folder holding PyPy, pytest and the
# runtime libraries they need, for running the cross-built tests under
# qemu-arm-static. Also installs the host tools of the armhf build (the cross
# compiler, the emulator and the GoogleTest sources).
#
# Usage: scripts/armhf-sysroot.sh [SYSROOT]   (default: <repo>/.sysroot-armhf)
#
# Idempotent: when the folder already holds this package list (a stamp file
# records it) it only checks and returns.
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
sysroot="${1:-${VELMAR_ARMHF_SYSROOT:-$repo/.sysroot-armhf}}"

host_packages=(qemu-user-static g++-arm-linux-gnueabihf googletest cmake make)
armhf_packages=(
  pypy3 pypy3-lib libc6 libgcc-s1 libstdc++6 libbz2-1.0 libexpat1 libffi8
  libgdbm6 liblzma5 libncursesw6 libtinfo6 libsqlite3-0 libssl3 zlib1g
)
all_packages=(
  pypy3-dev python3-pytest python3-pluggy python3-iniconfig python3-packaging
  python3-attr python3-exceptiongroup python3-tomli
)

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
apt_updated=0
apt_update() {
  if ((!apt_updated)); then
    "$repo/scripts/apt-update.sh"
    apt_updated=1
  fi
}

missing=()
for p in "${host_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "armhf-sysroot: installing host packages ${missing[*]}"
  apt_update
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" || {
    echo "armhf-sysroot: could not install the host packages ${missing[*]} (apt-get install failed; see above)" >&2
    exit 1
  }
fi

stamp_text="$(printf '%s\n' "${armhf_packages[@]/%/:armhf}" "${all_packages[@]}" "compiled: pytest")"
stamp="$sysroot/.velmar-sysroot-stamp"
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$stamp_text" ]; then
  exit 0
fi

mkdir -p "$sysroot"
# Several builds may ask for the same folder at once: one creates it.
exec 9>"$sysroot/.lock"
flock 9
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$stamp_text" ]; then
  exit 0
fi

if ! dpkg --print-foreign-architectures | grep -qx armhf; then
  echo "armhf-sysroot: adding the armhf architecture to dpkg"
  $sudo dpkg --add-architecture armhf
fi
# The package lists name armhf packages only after an update that followed
# the architecture's addition.
if ! apt-cache show pypy3:armhf >/dev/null 2>&1; then
  "$repo/scripts/apt-update.sh"
fi

echo "armhf-sysroot: downloading into $sysroot"
debs="$(mktemp -d)"
trap 'rm -rf "$debs"' EXIT
chmod 777 "$debs"
download() {
  (cd "$debs" && apt-get download -qq "${armhf_packages[@]/%/:armhf}" "${all_packages[@]}")
}
# Old package lists can name versions the archive no longer holds: update
# and try once more before giving up.
download || { "$repo/scripts/apt-update.sh"; download; } || {
  echo "armhf-sysroot: could not download the armhf packages (apt-get download failed; see above)" >&2
  exit 1
}

find "$sysroot" -mindepth 1 -maxdepth 1 ! -name .lock -exec rm -rf {} +
for deb in "$debs"/*.deb; do
  dpkg-deb -x "$deb" "$sysroot"
done

# Absolute symbolic links inside the folder would point into the host's own
# files when followed from outside the emulator: make them relative.
find "$sysroot" -type l -lname '/*' -print0 |
  while IFS= read -r -d '' link; do
    target="$(readlink "$link")"
    ln -sfn "$(realpath -m --relative-to="$(dirname "$link")" "$sysroot$target")" "$link"
  done

# Debian compiles the Python files when it installs the packages; here one
# pytest run under the emulator writes the compiled files of every module a
# test run needs, which saves each later run seconds of emulated compiling.
warm="$(mktemp -d)"
printf 'def test_warm():\n    pass\n' >"$warm/test_warm.py"
env -u PYTHONDONTWRITEBYTECODE qemu-arm-static -L "$sysroot" "$sysroot/usr/bin/pypy3" \
  -m pytest -q -p no:cacheprovider "$warm" >/dev/null
rm -rf "$warm"

printf '%s\n' "$stamp_text" >"$stamp"
echo "armhf-sysroot: ready"
