#!/usr/bin/env bash
# Installs what the benchmarks need beyond the build (scripts/install-deps.sh):
# libuv, the peer that bench/run.py cpu measures against, and matplotlib for
# bench/plot.py. The build and the tests do not need them. Then rebuilds, so
# that bench/vantrel_peer is built with libuv.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
"$here/scripts/install-deps.sh" libuv1-dev python3-matplotlib
"$here/scripts/build.sh"
