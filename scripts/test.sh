#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the normal build with its tests and
# the web application's tests, clang-tidy over the program's sources, one clang tree with
# AddressSanitizer and UndefinedBehaviorSanitizer for every test and the fuzz targets, and the
# ThreadSanitizer build of the threaded subsystems.
#   scripts/test.sh           the full gate (what CI runs)
#   scripts/test.sh --quick   the everyday loop: the normal build, its C++ tests and the web
#                             application's unit tests
set -euo pipefail
cd "$(dirname "$0")/.."
quick=false
case "${1:-}" in
  --quick) quick=true ;;
  "") ;;
  *) echo "usage: scripts/test.sh [--quick]" >&2; exit 2 ;;
esac
bash scripts/setup.sh

jobs=$(nproc)
# The compiler cache (installed by setup.sh) makes repeated runs on one machine fast.
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  # The tests get scratch XDG folders below; the cache and its settings stay the user's own
  # (found through XDG_CACHE_HOME and XDG_CONFIG_HOME, it would start empty every run).
  CCACHE_DIR=$(ccache --get-config cache_dir)
  export CCACHE_DIR
  user_config=${XDG_CONFIG_HOME:-$HOME/.config}/ccache/ccache.conf
  if [ -z "${CCACHE_CONFIGPATH:-}" ] && [ -f "$user_config" ]; then
    export CCACHE_CONFIGPATH=$user_config
  fi
  # Precompiled headers can be cached only with these; and every checkout of the project
  # shares the cache, wherever it lies.
  export CCACHE_SLOPPINESS=pch_defines,time_macros,include_file_mtime,include_file_ctime
  export CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=true
fi
export SOLVERA_CMAKE_LAUNCHER="${launcher[*]}"
# clang-tidy's results for files that did not change since they last passed.
export SOLVERA_TIDY_CACHE=${SOLVERA_TIDY_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/solvera-clang-tidy}
fuzz_seconds=${SOLVERA_FUZZ_SECONDS:-10}

# Tests never touch the user's own folders.
scratch=$(mktemp -d)
background=()
# A stage's whole tree of processes: its compilers and test programs too, not only its shell.
kill_tree() {
  local child
  for child in $(pgrep -P "$1"); do kill_tree "$child"; done
  kill -TERM "$1" 2>/dev/null || true
}
cleanup() {
  for pid in "${background[@]}"; do kill_tree "$pid"; done
  rm -rf "$scratch"
}
trap cleanup EXIT
# Each tree's tests get folders of their own, as they may run at the same time.
scratch_folders() {
  export XDG_CONFIG_HOME="$scratch/$1/config" XDG_DATA_HOME="$scratch/$1/data"
  export XDG_STATE_HOME="$scratch/$1/state" XDG_CACHE_HOME="$scratch/$1/cache"
}
scratch_folders normal
export SDL_AUDIODRIVER=${SDL_AUDIODRIVER:-dummy}

# Each stage says when it began, so a slow stage shows in the log.
stage() { echo "== $* ($(date +%T))"; }

stage "normal build"
# Line tables are all a backtrace needs; full debug information cost a third more time. The
# libraries' files are compiled in batches of sixteen (unity build): the headers they share are
# compiled once per batch, and a change recompiles one batch, not a whole library. clang-tidy
# checks the same batches.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" \
  -DCMAKE_UNITY_BUILD=ON -DCMAKE_UNITY_BUILD_BATCH_SIZE=16 "${launcher[@]}" >/dev/null
ninja -C build

if $quick; then
  stage "tests"
  ctest --test-dir build --output-on-failure -j "$jobs"
  bash scripts/web-test.sh build unit
  stage "quick tests passed"
  exit 0
fi

# The tests mostly wait (on sockets, timers, the browser): clang-tidy and the two sanitizer
# trees are built beside them at a lower priority, so that the tests keep the processors they
# ask for and the compilers take the rest. Each sanitizer tree's tests start as soon as that
# tree is built, beside whatever else still runs. clang-tidy has the lowest priority: nothing
# waits on it, so it takes what the builds leave. Every stage writes its own log, shown when
# the stage is waited for (all of it when the stage failed).
stage "clang-tidy and the sanitizer builds begin, beside the tests"
# The program's sources under src/ with the normal build's compile commands; the tests are
# left out.
(
  nice -n 15 python3 scripts/clang-tidy-cached.py -p build -j "$jobs" "^$PWD/src/(?!.*/tests/)"
) >"$scratch/tidy.log" 2>&1 &
background+=("$!")
tidy=$!

# One clang tree for both sanitizers and the fuzz targets; the ThreadSanitizer tree builds only
# the threaded subsystems' tests (server, light, audio, session, cloud, common: they hold the
# threads, queues and timers). Line tables are all a report needs. The clang tree is not
# optimised: it compiled 2.4 times slower at -O1, and its tests mostly wait. Each tree compiles
# its files in batches (unity build): the headers and templates they share are compiled once
# per batch.
tsan_tests=(server_tests dmx_tests audio_tests cloud_tests common_tests)
[ -f src/session/CMakeLists.txt ] && tsan_tests+=(session_tests)
unity=(-DCMAKE_UNITY_BUILD=ON -DCMAKE_UNITY_BUILD_BATCH_SIZE=16)
run_asan_tests() {
  scratch_folders asan
  stage "sanitizer tests (address, undefined)"
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  export LSAN_OPTIONS="suppressions=$PWD/scripts/lsan.supp:print_suppressions=0"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
    ctest --test-dir build-asan --output-on-failure -j "$jobs" -E '^Desktop\.' || return 1
  # The windowed program runs WebKit's helper processes and many GLib threads; LeakSanitizer's
  # stop-the-world tracer itself crashes there now and then, so these run without leak checks.
  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
    ctest --test-dir build-asan --output-on-failure -j "$jobs" -R '^Desktop\.' || return 1
  stage "fuzz targets (their corpus, then ${fuzz_seconds} s of new inputs each, ${jobs} at a time)"
  bash scripts/fuzz-long.sh --build build-asan --seconds "$fuzz_seconds" --jobs "$jobs"
}
run_tsan_tests() {
  scratch_folders tsan
  stage "thread sanitizer tests (server, light, audio, session, cloud and common)"
  TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/scripts/tsan.supp" \
    ctest --test-dir build-tsan --output-on-failure -j "$jobs" \
    -L "^($(IFS='|'; echo "${tsan_tests[*]}"))\$"
}
# The two trees are built one after the other, so that the first one's tests start early.
(
  stage "sanitizer build (address, undefined, fuzz targets)"
  CC=clang CXX=clang++ cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_C_FLAGS_DEBUG="-O0 -gline-tables-only" -DCMAKE_CXX_FLAGS_DEBUG="-O0 -gline-tables-only" \
    -DSOLVERA_SANITIZE=ON -DSOLVERA_FUZZ=ON -DSOLVERA_BENCH=OFF "${unity[@]}" "${launcher[@]}" >/dev/null &&
    nice -n 10 ninja -C build-asan || exit 1
  run_asan_tests >"$scratch/asan.log" 2>&1 &
  stage "thread sanitizer build"
  cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" -DSOLVERA_TSAN=ON -DSOLVERA_BENCH=OFF \
    -DSOLVERA_DESKTOP=OFF "${unity[@]}" "${launcher[@]}" >/dev/null &&
    nice -n 10 ninja -C build-tsan "${tsan_tests[@]}" || exit 1
  run_tsan_tests >"$scratch/tsan.log" 2>&1 || exit 1
  wait $! || exit 2
) >"$scratch/sanitizers.log" 2>&1 &
background+=("$!")
sanitizers=$!

# Waits for a background stage; shows its log, whole when it failed.
finished() {
  local pid=$1 name=$2; shift 2
  local status=0
  wait "$pid" || status=$?
  if [ "$status" -ne 0 ]; then
    for log in "$@"; do [ -f "$log" ] && cat "$log"; done
    echo "$name failed (exit status $status)" >&2
    exit 1
  fi
  # A summary without a matching line is no failure (under set -e a grep that finds nothing
  # would end the script without a word).
  for log in "$@"; do
    [ -f "$log" ] && grep -E '^== |tests passed|Total Test time|^fuzz_|^target|^clang-tidy:' "$log" || true
  done
  return 0
}

stage "tests"
ctest --test-dir build --output-on-failure -j "$jobs"
bash scripts/web-test.sh build

stage "sanitizer trees (their builds, tests and fuzz targets)"
finished "$sanitizers" "the sanitizer stage" "$scratch/sanitizers.log" "$scratch/asan.log" "$scratch/tsan.log"
stage "clang-tidy result"
finished "$tidy" "clang-tidy" "$scratch/tidy.log"
stage "all tests passed"
