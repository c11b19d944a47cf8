#!/usr/bin/env bash
# Installs what the benchmarks need beyond the build (scripts/install-deps.sh):
# libuv, the peer that bench/run.py cpu measures against, and matplotlib for
# bench/plot.py. The build and the tests do not need them. Then rebuilds, so
# that bench/vantrel_peer is built with libuv.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
"$here/scripts/install-deps.sh"
packages=(libuv1-dev python3-matplotlib)
missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then
    SUDO="sudo"
  fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q >&2
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}" >&2
fi
"$here/scripts/build.sh"
