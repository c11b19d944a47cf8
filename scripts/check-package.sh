#!/usr/bin/env bash
# Builds the Debian package of a build directory with `cpack -G DEB`,
# installs it with dpkg -i, runs the installed vantrel-agent for a few seconds
# on a file that grows and checks its report, and purges the package again.
# Needs root or sudo. Runs on the system's own dpkg, so two runs on one machine
# take turns.
#   scripts/check-package.sh BUILD_DIR
set -euo pipefail
build="$(cd "${1:?usage: scripts/check-package.sh BUILD_DIR}" && pwd)"
jobs="${VANTREL_JOBS:-2}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

work="$(mktemp -d "${TMPDIR:-/tmp}/vantrel-package.XXXXXX")"
installed=""
writer_pid=""
cleanup() {
  if [ -n "$writer_pid" ]; then kill "$writer_pid" 2>/dev/null || true; wait "$writer_pid" 2>/dev/null || true; fi
  if [ -n "$installed" ]; then dpkg_run -P vantrel-agent >/dev/null 2>&1 || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "check-package: $*" >&2; exit 1; }

# dpkg refuses at once when another dpkg or apt holds its lock.
dpkg_run() {
  local try
  for try in $(seq 1 60); do
    if $SUDO dpkg "$@" 2>"$work/dpkg.err"; then return 0; fi
    grep -q "lock" "$work/dpkg.err" || { cat "$work/dpkg.err" >&2; return 1; }
    sleep 2
  done
  cat "$work/dpkg.err" >&2
  return 1
}

exec 9>"${TMPDIR:-/tmp}/vantrel-check-package.lock"
flock -w 600 9 || fail "another check-package run holds the lock"

cmake --build "$build" --target VantrelMonitor vantrel-agent -j "$jobs" >/dev/null
(cd "$build" && cpack -G DEB -B "$work/deb" >/dev/null) || fail "cpack -G DEB failed"
deb="$(find "$work/deb" -maxdepth 1 -name 'vantrel-agent_*.deb' -print -quit)"
[ -n "$deb" ] || fail "cpack made no vantrel-agent package"

installed=yes
dpkg_run -i "$deb" >/dev/null || fail "dpkg -i $deb failed"
for path in /usr/bin/vantrel-agent /usr/lib/libVantrelMonitor.so /usr/lib/libVantrelCommon.so \
            /usr/include/VantrelMonitor/monitor/IFileMonitor.h /usr/lib/cmake/VantrelMonitor/VantrelMonitorConfig.cmake \
            /usr/lib/systemd/system/vantrel-agent.service /etc/vantrel-agent.conf; do
  [ -e "$path" ] || fail "the package did not install $path"
done
grep -q '^ExecStart=/usr/bin/vantrel-agent --config /etc/vantrel-agent.conf$' \
  /usr/lib/systemd/system/vantrel-agent.service || fail "the unit does not run the agent on /etc/vantrel-agent.conf"

# The installed agent, on the installed configuration, on a file that grows.
log="$work/app.log"
echo first >"$log"
(for _ in $(seq 1 40); do echo more >>"$log"; sleep 0.2; done) &
writer_pid=$!
/usr/bin/vantrel-agent --config /etc/vantrel-agent.conf --interval 200 --duration 4 "$log" \
  >"$work/agent.out" 2>"$work/agent.err" || fail "the installed vantrel-agent failed: $(cat "$work/agent.err")"
grep -q "^watching 1 paths with FileMonitorNoFSRedirect every 200 ms$" "$work/agent.err" ||
  fail "the installed vantrel-agent did not start: $(cat "$work/agent.err")"
grep -q " $log [A-Z|]*GREW[A-Z|]* 0x" "$work/agent.out" ||
  fail "the installed vantrel-agent reported no growth: $(cat "$work/agent.out" "$work/agent.err")"

dpkg_run -P vantrel-agent >/dev/null || fail "dpkg -P vantrel-agent failed"
installed=""
for path in /usr/bin/vantrel-agent /usr/lib/libVantrelMonitor.so /usr/lib/systemd/system/vantrel-agent.service \
            /etc/vantrel-agent.conf; do
  [ ! -e "$path" ] || fail "purging the package left $path behind"
done
echo "check-package: $(basename "$deb") installs, runs vantrel-agent on a growing file and purges cleanly"
