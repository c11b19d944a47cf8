#!/usr/bin/env bash
# Builds the Debian packages of a build directory with `cpack -G DEB` and
# checks them as Debian and an administrator would:
#   - lintian reports no error and no warning on either package;
#   - the binaries are stripped, the unit's systemd-analyze security
#     exposure is at most 4.0 and systemd-analyze verify has nothing to say;
#   - dpkg -i enables and starts the service, the installed agent runs (with
#     no more privilege than the unit leaves it, it still reads a file that
#     only root may read and switches to a Credentials entry), logrotate
#     rotates its log and asks it to reopen the file;
#   - reinstalling (an upgrade to a rebuilt copy) restarts the service and
#     never stops it first; dpkg -r stops it and leaves none of the package's
#     files; dpkg -P leaves nothing at all.
# systemctl and deb-systemd-invoke are replaced by stubs that record their
# calls, so that the maintainer scripts act as under a running systemd
# without starting anything. Needs root or sudo. Runs on the system's own
# dpkg, so two runs on one machine take turns.
#   scripts/check-package.sh BUILD_DIR
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:?usage: scripts/check-package.sh BUILD_DIR}" && pwd)"
jobs="${VANTREL_JOBS:-2}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
"$here/scripts/install-deps.sh" lintian systemd logrotate util-linux file binutils

work="$(mktemp -d "${TMPDIR:-/tmp}/vantrel-package.XXXXXX")"
chmod 755 "$work"
installed=""
made_run_dirs=()
writer_pid=""
cleanup() {
  if [ -n "$writer_pid" ]; then kill "$writer_pid" 2>/dev/null || true; wait "$writer_pid" 2>/dev/null || true; fi
  if [ -n "$installed" ]; then dpkg_run -P vantrel-agent-dev vantrel-agent >/dev/null 2>&1 || true; fi
  local dir
  for dir in "${made_run_dirs[@]}"; do $SUDO rmdir "$dir" 2>/dev/null || true; done
  $SUDO rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "check-package: $*" >&2; exit 1; }

# Stubs of the service manager's commands: each call is one line in calls.
# What only edits unit links (deb-systemd-helper enables with "systemctl
# preset") goes on to the real systemctl, which does it without a manager.
stubs="$work/stubs"
mkdir "$stubs"
real_systemctl="$(command -v systemctl)"
for command in systemctl deb-systemd-invoke; do
  {
    echo '#!/bin/sh'
    echo "echo \"$command \$*\" >>'$work/calls'"
    if [ "$command" = systemctl ]; then
      echo "case \" \$* \" in *' preset '*|*' enable '*|*' disable '*|*' is-enabled '*) SYSTEMD_OFFLINE=1 exec '$real_systemctl' \"\$@\" ;; esac"
    fi
  } >"$stubs/$command"
  chmod 755 "$stubs/$command"
done
touch "$work/calls"
chmod 666 "$work/calls"
calls() { cat "$work/calls"; : >"$work/calls"; }

# dpkg refuses at once when another dpkg or apt holds its lock.
dpkg_run() {
  local try
  for try in $(seq 1 60); do
    if $SUDO env PATH="$stubs:$PATH" dpkg "$@" 2>"$work/dpkg.err"; then return 0; fi
    grep -q "lock" "$work/dpkg.err" || { cat "$work/dpkg.err" >&2; return 1; }
    sleep 2
  done
  cat "$work/dpkg.err" >&2
  return 1
}

exec 9>"${TMPDIR:-/tmp}/vantrel-check-package.lock"
flock -w 600 9 || fail "another check-package run holds the lock"

cmake --build "$build" --target VantrelMonitor vantrel-agent -j "$jobs" >/dev/null
(cd "$build" && cpack -G DEB -B "$work/deb" >"$work/cpack.out" 2>&1) || fail "cpack -G DEB failed: $(cat "$work/cpack.out")"
agent_deb="$(find "$work/deb" -maxdepth 1 -name 'vantrel-agent_*.deb' -print -quit)"
dev_deb="$(find "$work/deb" -maxdepth 1 -name 'vantrel-agent-dev_*.deb' -print -quit)"
[ -n "$agent_deb" ] && [ -n "$dev_deb" ] || fail "cpack did not make both packages: $(ls "$work/deb")"

# Debian's own check. An override needs a comment that says why.
lintian --fail-on error,warning --display-info "$agent_deb" "$dev_deb" >"$work/lintian.out" 2>&1 ||
  fail "lintian finds fault with the packages:
$(cat "$work/lintian.out")"
echo "check-package: lintian: $(grep -c . "$work/lintian.out" || true) lines of information, no error or warning"

# Stripped binaries, and the unit's rating.
dpkg-deb -x "$agent_deb" "$work/content"
for file in "$work"/content/usr/bin/vantrel-agent "$work"/content/usr/lib/*/libVantrel*.so.*.*.* \
            "$work"/content/usr/lib/libVantrel*.so.*.*.*; do
  [ -e "$file" ] || continue
  ! readelf -S "$file" | grep -q -E '\.(debug_info|symtab)' || fail "${file#"$work"/content} is not stripped"
done
echo "check-package: $(basename "$agent_deb"): Installed-Size $(dpkg-deb -f "$agent_deb" Installed-Size) KiB"
unit="$work/content/usr/lib/systemd/system/vantrel-agent.service"
[ -f "$unit" ] || fail "the package holds no vantrel-agent.service"
(cd "$(dirname "$unit")" && systemd-analyze security --offline=true --threshold=40 vantrel-agent.service \
  >"$work/security.out" 2>&1) || fail "the unit is rated above 4.0: $(tail -n 20 "$work/security.out")"
echo "check-package: unit $(grep -o 'Overall exposure level.*' "$work/security.out")"

# Installed as under a running systemd: enabled, then started.
# The scripts ask for /run/systemd/system to tell a running systemd; it is
# made for the check when missing, and taken away again.
for dir in /run/systemd /run/systemd/system; do
  if [ ! -d "$dir" ]; then $SUDO mkdir "$dir"; made_run_dirs=("$dir" "${made_run_dirs[@]}"); fi
done
installed=yes
dpkg_run -i "$agent_deb" "$dev_deb" >/dev/null || fail "dpkg -i failed"
[ "$(calls | grep -c '^deb-systemd-invoke start vantrel-agent.service$')" -eq 1 ] ||
  fail "installing did not start the service once"
[ -L /etc/systemd/system/multi-user.target.wants/vantrel-agent.service ] || fail "installing did not enable the service"
for path in /usr/bin/vantrel-agent /usr/lib/systemd/system/vantrel-agent.service /etc/vantrel-agent.conf \
            /etc/logrotate.d/vantrel-agent /usr/share/man/man1/vantrel-agent.1.gz \
            /usr/share/doc/vantrel-agent/copyright /usr/share/doc/vantrel-agent-dev/copyright \
            /usr/include/VantrelMonitor/monitor/IFileMonitor.h /usr/lib/cmake/VantrelMonitor/VantrelMonitorConfig.cmake; do
  [ -e "$path" ] || fail "the packages did not install $path"
done
# The runtime libraries with the agent, their link names with the headers.
[ "$(dpkg -S libVantrelMonitor.so | cut -d: -f1 | sort -u | tr '\n' ' ')" = "vantrel-agent vantrel-agent-dev " ] ||
  fail "the libraries are not split as Debian splits them: $(dpkg -S libVantrelMonitor.so)"
unit=/usr/lib/systemd/system/vantrel-agent.service
grep -q '^ExecStart=/usr/bin/vantrel-agent --config /etc/vantrel-agent.conf$' "$unit" ||
  fail "the unit does not run the agent on /etc/vantrel-agent.conf"
# systemd ignores a key that it does not know, with only a warning: a
# misspelt sandbox option would quietly not apply.
systemd-analyze verify --man=no "$unit" >"$work/verify.out" 2>&1 || true
[ ! -s "$work/verify.out" ] || fail "systemd-analyze verify finds fault with the unit: $(cat "$work/verify.out")"
for doc in $(sed -n 's/^Documentation=//p' "$unit"); do
  if [[ "$doc" =~ ^file://(.*)$ ]]; then
    page="${BASH_REMATCH[1]}"
  elif [[ "$doc" =~ ^man:([^\(]+)\(([0-9])\)$ ]]; then
    page="/usr/share/man/man${BASH_REMATCH[2]}/${BASH_REMATCH[1]}.${BASH_REMATCH[2]}.gz"
  else
    fail "the unit's Documentation $doc is neither a file nor a manual page"
  fi
  [ -f "$page" ] || fail "the unit's Documentation $doc does not exist"
done

# The installed agent with the privilege that the unit leaves it: only the
# unit's capabilities, no new privileges. It watches a file that only its
# owner may read, in a folder only its owner may list, and a file as a
# Credentials entry, both growing.
caps="$(sed -n 's/^CapabilityBoundingSet=//p' "$unit" | tr 'A-Z ' 'a-z,' | sed 's/cap_//g')"
[ -n "$caps" ] || fail "the unit does not bound its capabilities"
private="$work/private"
mkdir -m 700 "$private"
echo first >"$private/secret.log"
chmod 600 "$private/secret.log"
chown -R 65533:65533 "$private" 2>/dev/null || $SUDO chown -R 65533:65533 "$private"
shared="$work/shared.log"
echo first >"$shared"
chmod 644 "$shared"
cat >"$work/agent.conf" <<EOF
Credentials = 7 65534:65534
Watch = private/secret.log
Watch = shared.log @7
EOF
(for _ in $(seq 1 25); do
   $SUDO sh -c "echo more >>'$private/secret.log'; echo more >>'$shared'"
   sleep 0.2
 done) &
writer_pid=$!
$SUDO setpriv --bounding-set=-all,+"${caps//,/,+}" --inh-caps=-all --no-new-privs \
  /usr/bin/vantrel-agent --config "$work/agent.conf" --interval 200 --duration 4 --events GREW \
  >"$work/agent.out" 2>"$work/agent.err" || fail "the installed vantrel-agent failed: $(cat "$work/agent.err")"
wait "$writer_pid" || true
writer_pid=""
grep -q "^watching 2 paths with FileMonitorNoFSRedirect every 200 ms$" "$work/agent.err" ||
  fail "the installed vantrel-agent did not start: $(cat "$work/agent.err")"
! grep -q "cannot be switched to" "$work/agent.err" ||
  fail "with the unit's capabilities the agent cannot switch credentials: $(cat "$work/agent.err")"
for file in "$private/secret.log" "$shared"; do
  grep -q " $file [A-Z|]*GREW[A-Z|]* 0x" "$work/agent.out" ||
    fail "with the unit's capabilities the agent saw no growth of $file: $(cat "$work/agent.out" "$work/agent.err")"
done

# Its own log rotated: logrotate moves it and asks the service to reload.
$SUDO mkdir -p /var/log/vantrel-agent
echo "a line of the agent's log" | $SUDO tee /var/log/vantrel-agent/vantrel-agent.log >/dev/null
calls >/dev/null
$SUDO env PATH="$stubs:$PATH" logrotate -f -s "$work/logrotate.state" /etc/logrotate.d/vantrel-agent ||
  fail "logrotate refused /etc/logrotate.d/vantrel-agent"
[ -e /var/log/vantrel-agent/vantrel-agent.log.1 ] || fail "logrotate did not rotate the agent's log"
calls | grep -q '^systemctl .*reload vantrel-agent.service$' || fail "logrotate did not ask the service to reopen its log"

# An upgrade to a rebuilt copy: restarted, never stopped on the way.
dpkg_run -i "$agent_deb" "$dev_deb" >/dev/null || fail "dpkg -i over the installed packages failed"
calls >"$work/upgrade.calls"
grep -q '^deb-systemd-invoke restart vantrel-agent.service$' "$work/upgrade.calls" ||
  fail "the upgrade did not restart the service: $(cat "$work/upgrade.calls")"
! grep -q ' stop ' "$work/upgrade.calls" || fail "the upgrade stopped the service: $(cat "$work/upgrade.calls")"

# Removed: stopped, and none of its files left (the configuration stays).
dpkg-query -L vantrel-agent vantrel-agent-dev | sort -u >"$work/files"
dpkg_run -r vantrel-agent-dev vantrel-agent >/dev/null || fail "dpkg -r failed"
grep -q '^deb-systemd-invoke stop vantrel-agent.service$' "$work/calls" || fail "removing did not stop the service"
while read -r path; do
  [ -d "$path" ] && [ ! -L "$path" ] && continue
  [ "$path" = /etc/logrotate.d/vantrel-agent ] && continue  # a conffile stays until the purge
  [ ! -e "$path" ] && [ ! -L "$path" ] || fail "removing the packages left $path behind"
done <"$work/files"

# Purged: nothing at all, neither files nor the service's links and state.
dpkg_run -P vantrel-agent-dev vantrel-agent >/dev/null || fail "dpkg -P failed"
installed=""
left="$(find /etc /var/lib/systemd /usr/bin /usr/lib /usr/include /usr/share \( -name 'vantrel-agent*' -o -name '*Vantrel*' \) 2>/dev/null || true)"
if [ -e /var/log/vantrel-agent ]; then left="$left /var/log/vantrel-agent"; fi
[ -z "$left" ] || fail "purging the packages left behind:
$left"
echo "check-package: $(basename "$agent_deb") and $(basename "$dev_deb") pass lintian, install, run, upgrade, remove and purge cleanly"
