#!/usr/bin/env bash
# apt-get update that never fails the caller. A mirror in the middle of a sync
# serves some index files of the wrong size for a while; apt then keeps the
# lists it did fetch, and the packages the caller needs can usually still be
# had. So: one more try after a pause, then go on with a warning, and let the
# install or download that follows fail with its own clear line if something
# needed really cannot be had.
# Usage: scripts/apt-update.sh   (as root, or with sudo on PATH)
set -uo pipefail
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
for pause in 10 0; do
  $sudo apt-get update -qq && exit 0
  ((pause)) || break
  echo "apt-update: apt-get update failed; trying again in ${pause}s" >&2
  sleep "$pause"
done
echo "apt-update: apt-get update failed twice; going on with the package lists there are" >&2
exit 0
