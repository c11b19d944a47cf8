#!/usr/bin/env bash
# A short mutation check of the monitor core: a fixed draw of small faults,
# one at a time, put into the committed monitor/ sources, each built and run
# against the whole suite. Prints one line a mutant and the score last.
#   scripts/mutation.sh [COUNT [SEED [SECONDS]]]
# With SECONDS the check ends by then, and the score counts the mutants that
# were done.
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
work="${TMPDIR:-/tmp}/vantrel-mutation"
log="$(mktemp)"
trap 'rm -f "$log"' EXIT
limit=()
[ -n "${3:-}" ] && limit=(timeout "$3")
"${limit[@]}" python3 "$tool" --n "${1:-15}" --seed "${2:-1}" --only '^monitor/' --test-limit 240 \
  --work "$work" | tee "$log"
status=${PIPESTATUS[0]}
if [ "$status" -eq 124 ]; then
  # The tool runs each build and test run in a session of its own: end what
  # it left behind, found by the working directory of one of its processes.
  for p in /proc/[0-9]*; do
    case "$(readlink "$p/cwd" 2>/dev/null)" in
      "$work"*) pkill -9 -s "$(ps -o sid= -p "${p#/proc/}" | tr -d " ")" 2>/dev/null ;;
    esac
  done
  killed=$(grep -c '^killed' "$log")
  survived=$(grep -c '^survived' "$log")
  echo "mutation check stopped after $3 s"
  echo "mutation score of the mutants done: $killed killed of $((killed + survived)); $survived survived"
elif [ "$status" -ne 0 ]; then
  echo "mutation check could not run (status $status)"
fi
exit 0
