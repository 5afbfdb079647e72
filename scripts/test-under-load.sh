#!/usr/bin/env bash
# Runs the whole test command several times in a row while every processor is kept busy, to
# show that no test depends on a quiet machine. Stops at the first failing round.
#   scripts/test-under-load.sh [rounds] [--load 'shell command'] [-- command ...]
# rounds defaults to 3; the command defaults to scripts/test.sh. The load is one busy loop per
# processor, or the given shell command once per processor (useful work such as a long fuzz
# run); a load command that ends is followed by a busy loop, so the load lasts all rounds.
set -euo pipefail
cd "$(dirname "$0")/.."

rounds=3
load_command=''
if [ $# -gt 0 ] && [[ $1 =~ ^[0-9]+$ ]]; then
  rounds=$1
  shift
fi
if [ "${1:-}" = "--load" ]; then
  [ $# -ge 2 ] || { echo "--load needs a shell command" >&2; exit 2; }
  load_command=$2
  shift 2
fi
[ "${1:-}" = "--" ] && shift
command=("$@")
[ ${#command[@]} -eq 0 ] && command=(bash scripts/test.sh)

# Each load job gets a process group of its own (job control), so that ending it also ends
# whatever its command started. Same session as the rounds: the scheduler then shares the
# processors between the load and the tests' own threads, as on a machine busy with other work.
load=()
stop_load() {
  for pid in "${load[@]}"; do kill -- "-$pid" 2>/dev/null || true; done
  for pid in "${load[@]}"; do wait "$pid" 2>/dev/null || true; done
}
trap stop_load EXIT
set -m
for _ in $(seq "$(nproc)"); do
  bash -c "${load_command:+$load_command;} while :; do :; done" </dev/null &
  load+=("$!")
done
set +m
echo "load: ${#load[@]} × ${load_command:-busy loop} (pids ${load[*]})"

for round in $(seq "$rounds"); do
  echo "== round $round of $rounds: ${command[*]}"
  started=$(date +%s)
  if ! "${command[@]}"; then
    echo "round $round FAILED after $(($(date +%s) - started)) s" >&2
    exit 1
  fi
  echo "round $round passed in $(($(date +%s) - started)) s"
done
echo "all $rounds rounds passed under load"
