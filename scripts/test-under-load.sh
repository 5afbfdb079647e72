#!/usr/bin/env bash
# Runs the whole test command several times in a row while every processor is kept busy, to
# show that no test depends on a quiet machine. Stops at the first failing round.
#   scripts/test-under-load.sh [rounds] [-- command ...]
# rounds defaults to 3; the command defaults to scripts/test.sh.
set -euo pipefail
cd "$(dirname "$0")/.."

rounds=3
if [ $# -gt 0 ] && [ "$1" != "--" ]; then
  rounds=$1
  shift
fi
[ "${1:-}" = "--" ] && shift
command=("$@")
[ ${#command[@]} -eq 0 ] && command=(bash scripts/test.sh)

# One busy loop per processor at normal priority, ended with the script however it ends.
load=()
stop_load() {
  for pid in "${load[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${load[@]}"; do wait "$pid" 2>/dev/null || true; done
}
trap stop_load EXIT
for _ in $(seq "$(nproc)"); do
  bash -c 'while :; do :; done' &
  load+=("$!")
done
echo "load: ${#load[@]} busy loops (pids ${load[*]})"

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
