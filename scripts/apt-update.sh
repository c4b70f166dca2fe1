#!/usr/bin/env bash
# apt-get update, tried again after a pause when it fails: a mirror that is
# being synchronised serves index files of the wrong size for a while.
# Usage: scripts/apt-update.sh   (as root, or with sudo on PATH)
set -uo pipefail
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
for pause in 10 30 60 0; do
  $sudo apt-get update -qq && exit 0
  ((pause)) || break
  echo "apt-update: apt-get update failed; trying again in ${pause}s" >&2
  sleep "$pause"
done
echo "apt-update: apt-get update failed four times" >&2
exit 1
