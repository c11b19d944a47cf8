#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test.
#   scripts/test.sh                  plain build in ./build
#   scripts/test.sh address|thread   the same under a sanitizer, in ./build-<name>
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
sanitizer="${1:-}"

if [ -n "$sanitizer" ]; then
  export VANTREL_BUILD_DIR="${VANTREL_BUILD_DIR:-$here/build-$sanitizer}"
  "$here/scripts/build.sh" -DVANTREL_SANITIZER="$sanitizer" -DVANTREL_BUILD_BENCHMARKS=OFF
  if [ "$sanitizer" = thread ]; then
    export TSAN_OPTIONS="${TSAN_OPTIONS:-} halt_on_error=1 second_deadlock_stack=1 suppressions=$here/tests/tsan.supp"
  fi
else
  export VANTREL_BUILD_DIR="${VANTREL_BUILD_DIR:-$here/build}"
  "$here/scripts/build.sh"
fi

cd "$VANTREL_BUILD_DIR"
ctest --output-on-failure -j "${VANTREL_JOBS:-$(nproc)}" --timeout 600

if [ -z "$sanitizer" ] && [ -x "$here/scripts/check-install.sh" ]; then
  "$here/scripts/check-install.sh" "$VANTREL_BUILD_DIR"
fi
