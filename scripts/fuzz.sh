#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with Clang (AddressSanitizer and
# UndefinedBehaviorSanitizer) in ./build-fuzz and runs each for SECONDS
# (default 60), starting from its seed corpus in tests/fuzz/corpus/<target>.
# Fails if any target finds a crash, a leak, undefined behaviour, a timeout
# or a differential mismatch; the input that did it is in
# build-fuzz/artifacts/<target>/. Prints the executions of every target.
#   scripts/fuzz.sh [SECONDS [TARGET...]]
#   VANTREL_FUZZ_JOBS=N   run N targets at once (default 1)
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-60}"
shift || true
build="${VANTREL_FUZZ_BUILD_DIR:-$here/build-fuzz}"
jobs="${VANTREL_FUZZ_JOBS:-1}"

# Debian's clang, and the fuzzer runtime of that clang's own version (the
# unversioned libclang-rt-dev follows the default clang only).
"$here/scripts/install-deps.sh" clang libclang-rt-dev
major="$(clang -dumpversion | cut -d. -f1)"
if [ ! -f "$(clang -print-file-name=libclang_rt.fuzzer-x86_64.a)" ]; then
  "$here/scripts/install-deps.sh" "libclang-rt-$major-dev"
fi

CC=clang CXX=clang++ cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTREL_BUILD_FUZZERS=ON \
  -DVANTREL_BUILD_TESTS=OFF -DVANTREL_BUILD_BENCHMARKS=OFF >/dev/null
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for f in "$here"/tests/fuzz/*.cpp; do targets+=("$(basename "$f" .cpp)"); done
fi
cmake --build "$build" -j "${VANTREL_JOBS:-$(nproc)}" --target "${targets[@]/#/fuzz_}"

run() {
  local name="$1" work="$build/corpus/$1" artifacts="$build/artifacts/$1/" rc=0
  mkdir -p "$work" "$artifacts"
  # New inputs go to the work corpus; the seeds and kept crashes are read only.
  "$build/tests/fuzz/fuzz_$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$artifacts" -print_final_stats=1 \
    "$work" "$here/tests/fuzz/corpus/$name" >"$build/$name.log" 2>&1 || rc=$?
  echo "$rc" >"$build/$name.status"
}

for name in "${targets[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; done
  run "$name" &
done
wait
failed=0
printf '%-16s %12s  %s\n' target executions result
for name in "${targets[@]}"; do
  result=ok
  if [ "$(cat "$build/$name.status")" != 0 ]; then
    failed=1
    result="FAILED: $(grep -m1 -oE 'ERROR: [A-Za-z]+.*|MISMATCH: .*|runtime error: .*' "$build/$name.log" ||
      echo "see $build/$name.log")"
  fi
  executions="$(grep -oE 'number_of_executed_units: [0-9]+' "$build/$name.log" | grep -oE '[0-9]+$' || echo '?')"
  printf '%-16s %12s  %s\n' "$name" "$executions" "$result"
done
if [ "$failed" -ne 0 ]; then
  echo "fuzz: a target failed; its input is in $build/artifacts/<target>/, its output in $build/<target>.log" >&2
fi
exit "$failed"
