#!/usr/bin/env bash
# Installs a build into a temporary prefix and uses it as another project
# would: builds examples/ against it with find_package(VantrelMonitor), runs
# the example on a file that grows, and runs the installed vantrel-agent,
# which must find its library in the install. Also checks that the library
# exports only the public API.
#   scripts/check-install.sh BUILD_DIR
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:?usage: scripts/check-install.sh BUILD_DIR}" && pwd)"
jobs="${VANTREL_JOBS:-2}"

work="$(mktemp -d "${TMPDIR:-/tmp}/vantrel-install.XXXXXX")"
reader_pid=""
cleanup() {
  if [ -n "$reader_pid" ]; then kill "$reader_pid" 2>/dev/null || true; wait "$reader_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "check-install: $*" >&2; exit 1; }

prefix="$work/prefix"
cmake --build "$build" --target VantrelMonitor vantrel-agent -j "$jobs" >/dev/null
cmake --install "$build" --prefix "$prefix" >/dev/null

lib="$(find "$prefix" -name libVantrelMonitor.so -print -quit)"
[ -n "$lib" ] || fail "libVantrelMonitor.so was not installed"
[ -n "$(find "$prefix" -name libVantrelCommon.so -print -quit)" ] || fail "libVantrelCommon.so was not installed"
[ -x "$prefix/bin/vantrel-agent" ] || fail "vantrel-agent was not installed"
for header in VantrelCommon/ServiceComponent.h Platform/Win32Api.h VantrelMonitor/monitor/IFileMonitor.h \
              VantrelMonitor/monitor/statonly/FileMonitorStatOnly.h \
              VantrelMonitor/monitor/nofsredirect/FileMonitorNoFSRedirect.h \
              VantrelMonitor/factory/IFileMonitorFactory.h; do
  [ -f "$prefix/include/$header" ] || fail "header $header was not installed"
done

# Only the entry point and the classes of WindowsAgentCommon leave the library.
extra="$(nm -D --defined-only -C "$lib" | cut -d' ' -f3- |
  grep -v -E '^(_make_FileMonitorFactory$|WindowsAgentCommon::|(typeinfo|typeinfo name|vtable) for WindowsAgentCommon::|(non-)?virtual thunk to WindowsAgentCommon::)' || true)"
[ -z "$extra" ] || fail "libVantrelMonitor.so exports more than its public API:
$extra"

# Another project: find_package, build, run.
cmake -S "$here/examples" -B "$work/example" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/example" -j "$jobs" >/dev/null
data="$work/data"
mkdir "$data"
echo first > "$data/app.log"
"$work/example/log_reader" 60 "$data/app.log" >"$work/reader.out" 2>"$work/reader.err" &
reader_pid=$!
for _ in $(seq 1 120); do
  echo more >> "$data/app.log"
  if grep -q "app.log 0x.* GREW" "$work/reader.out"; then break; fi
  sleep 0.5
done
grep -q "app.log 0x.* GREW" "$work/reader.out" || fail "the example saw no growth: $(cat "$work/reader.out" "$work/reader.err")"
kill "$reader_pid"; wait "$reader_pid" 2>/dev/null || true; reader_pid=""

# The installed agent finds the installed library beside itself (bin/../lib).
"$prefix/bin/vantrel-agent" --duration 1 "$data" >"$work/agent.out" 2>"$work/agent.err" ||
  fail "the installed vantrel-agent failed: $(cat "$work/agent.err")"
grep -q "^watching 1 paths with FileMonitorNoFSRedirect every 1000 ms$" "$work/agent.err" ||
  fail "the installed vantrel-agent did not start: $(cat "$work/agent.err")"

echo "check-install: the installed package builds and runs the example, and vantrel-agent runs from the install"
