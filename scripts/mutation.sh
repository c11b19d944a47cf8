#!/usr/bin/env bash
# A short mutation check of the monitor core: a fixed draw of small faults,
# one at a time, put into the committed monitor/ sources, each built and run
# against the whole suite. Prints one line a mutant and the score last.
#   scripts/mutation.sh [COUNT [SEED]]
# The score informs and never fails the run (draws vary, and a survivor may be
# a change that makes no difference); without the tool the check is skipped.
set -uo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
tool="${VANTREL_MUTATE_TOOL:-$here/../shared/tools/mutate.py}"
if [ ! -f "$tool" ] || ! command -v python3 >/dev/null; then
  echo "mutation check skipped: needs python3 and $tool"
  exit 0
fi
cd "$here"
python3 "$tool" --n "${1:-15}" --seed "${2:-1}" --only '^monitor/' --test-limit 240 \
  --work "${TMPDIR:-/tmp}/vantrel-mutation" || echo "mutation check could not run (status $?)"
exit 0
