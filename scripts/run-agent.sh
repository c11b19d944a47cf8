#!/usr/bin/env bash
# Builds the agent and the component (not the tests and benchmarks, so that
# a first run is short) and runs vantrel-agent; arguments go to the agent.
# With none it watches its embedded default (/var/log) until Ctrl-C.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
export VANTREL_BUILD_DIR="${VANTREL_BUILD_DIR:-$here/build}"
VANTREL_BUILD_TARGETS="vantrel-agent VantrelMonitor" "$here/scripts/build.sh" >&2
agent="$VANTREL_BUILD_DIR/agent/vantrel-agent"
if [ ! -x "$agent" ]; then
  echo "vantrel-agent was not built: $agent is missing." >&2
  exit 1
fi
exec "$agent" "$@"
