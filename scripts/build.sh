#!/usr/bin/env bash
# Configures and builds the project in ./build (or $VANTREL_BUILD_DIR).
# Extra arguments go to CMake's configure step. VANTREL_BUILD_TARGETS, when
# set, names the only targets to build (space-separated).
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${VANTREL_BUILD_DIR:-$here/build}"
jobs="${VANTREL_JOBS:-$(nproc)}"

"$here/scripts/install-deps.sh"
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
targets=()
for target in ${VANTREL_BUILD_TARGETS:-}; do targets+=(--target "$target"); done
cmake --build "$build" -j "$jobs" "${targets[@]}"
