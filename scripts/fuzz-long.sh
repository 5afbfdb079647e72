#!/usr/bin/env bash
# Builds the fuzz targets and runs each for a while, then reports executions and crashes per
# target. Each run first replays the target's corpus (the seeds in fuzz/corpus and what earlier
# runs kept), then tries new inputs. The test command runs it briefly in its sanitizer tree;
# run it by hand for long sessions:
#   scripts/fuzz-long.sh [--seconds N] [--runs N] [--jobs N] [--build DIR] [target ...]
# --seconds: time per target (default 3600); --runs: stop a target after this many executions
# (default: no limit); --jobs: targets run side by side (default: the number of processors);
# --build: an existing tree configured with SOLVERA_FUZZ (default: build-fuzz, made here with
# optimisation for long runs).
# Exits 1 when any target found a crash; the inputs are kept in <build>/artifacts.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=3600
runs=-1
jobs=$(nproc)
build=
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --jobs) jobs=$2; shift 2 ;;
    --build) build=$2; shift 2 ;;
    *) targets+=("$1"); shift ;;
  esac
done

if [ -z "$build" ]; then
  build=build-fuzz
  CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DSOLVERA_FUZZ=ON -DSOLVERA_BENCH=OFF -DSOLVERA_DESKTOP=OFF ${SOLVERA_CMAKE_LAUNCHER:-} \
    >/dev/null
fi
ninja -C "$build" fuzz-targets
if [ ${#targets[@]} -eq 0 ]; then
  for target in "$build"/fuzz/fuzz_*; do
    [ -x "$target" ] && targets+=("$(basename "$target")")
  done
fi

logs=$build/logs
artifacts=$build/artifacts
mkdir -p "$logs" "$artifacts"
# The file-reading targets write a scratch file per input: memory, not disk, when there is one.
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then export TMPDIR=/dev/shm; fi

run_target() {
  local name=$1 corpus=$build/corpus/$1
  mkdir -p "$corpus"
  # The time-out is generous: a slow input on a busy machine is not a finding.
  "$build/fuzz/$name" -max_total_time="$seconds" -runs="$runs" -timeout=60 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$artifacts/$name-" \
    "$corpus" "fuzz/corpus/${name#fuzz_}" >"$logs/$name.log" 2>&1 || true
}
export -f run_target
export seconds runs logs artifacts build
for name in "${targets[@]}"; do rm -f "$logs/$name.log" "$artifacts/$name-"*; done
printf '%s\n' "${targets[@]}" | xargs -P "$jobs" -I{} bash -c 'run_target {}'

failed=0
printf '%-24s %14s %10s %8s %8s\n' target executions exec/s seconds crashes
for name in "${targets[@]}"; do
  log=$logs/$name.log
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
  took=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log" | tail -n 1)
  crashes=$(find "$artifacts" -name "$name-*" | wc -l)
  printf '%-24s %14s %10s %8s %8s\n' "$name" "${executions:-?}" "${rate:-?}" "${took:--}" \
    "$crashes"
  if [ "$crashes" -gt 0 ] || ! grep -q '^stat::number_of_executed_units' "$log"; then
    failed=1
    echo "--- $name: see $log" >&2
    grep -m 5 -E 'ERROR|SUMMARY|deadly signal|Test unit written' "$log" >&2 || true
  fi
done
if [ "$failed" -ne 0 ]; then
  echo "fuzz: findings above" >&2
  exit 1
fi
echo "fuzz: no crashes"
