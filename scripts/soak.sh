#!/usr/bin/env bash
# Runs both monitor kinds under churn for a few minutes and fails unless
# memory, threads and descriptors are back at their start.
#   scripts/soak.sh [SECONDS]      default 180; uses the build in ./build
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
export VANTREL_BUILD_DIR="${VANTREL_BUILD_DIR:-$here/build}"
"$here/scripts/build.sh"
"$VANTREL_BUILD_DIR/tests/soak/monitor_soak" "${1:-180}"
