#!/usr/bin/env bash
# Installs every Debian package the project needs. Idempotent: when all are
# present it only checks and returns.
set -euo pipefail

packages=(
  g++ cmake make ccache
  libgtest-dev libgmock-dev libbenchmark-dev
  python3 python3-dev python3-pytest python3-numpy
  pypy3 pypy3-dev python3-exceptiongroup python3-tomli python3-hypothesis
  python3-pil libopenblas0-pthread chromium python3-distributed
  python3-torch python3-matplotlib flake8
  python3-venv python3-setuptools python3-wheel
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  "$(dirname "$0")/apt-update.sh"
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" || {
    echo "setup: could not install ${missing[*]} (apt-get install failed; see above)" >&2
    exit 1
  }
fi
