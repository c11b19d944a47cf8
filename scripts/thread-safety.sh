#!/usr/bin/env bash
# Builds the libraries and the agent with Clang's thread-safety analysis
# (-Wthread-safety, an error like every warning of our own code) in
# ./build-clang: a member read without the lock that guards it, or a call
# without the lock its callee requires, fails the build. Builds only; the
# tests run in the other builds.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${VANTREL_CLANG_BUILD_DIR:-$here/build-clang}"

"$here/scripts/install-deps.sh" clang
CC=clang CXX=clang++ cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS=-Wthread-safety \
  -DVANTREL_BUILD_TESTS=OFF -DVANTREL_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$build" -j "${VANTREL_JOBS:-$(nproc)}"
