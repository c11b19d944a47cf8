#!/usr/bin/env bash
# Installs the Debian packages that the build and the tests need, when any is
# missing, and any further packages named as arguments (the benchmarks' own).
# Safe to run again: it does nothing when everything is there.
#   scripts/install-deps.sh [PACKAGE...]
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libace-dev libboost-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libcli11-dev nlohmann-json3-dev
  logrotate
  "$@"
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}" >&2
SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  SUDO="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q >&2
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}" >&2
