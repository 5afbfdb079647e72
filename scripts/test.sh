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
cleanup() {
  # The builder's compilers too, not only the shell that started them.
  for pid in "${background[@]}"; do pkill -TERM -P "$pid" 2>/dev/null || true; kill "$pid" 2>/dev/null || true; done
  rm -rf "$scratch"
}
trap cleanup EXIT
export XDG_CONFIG_HOME="$scratch/config" XDG_DATA_HOME="$scratch/data"
export XDG_STATE_HOME="$scratch/state" XDG_CACHE_HOME="$scratch/cache"
export SDL_AUDIODRIVER=${SDL_AUDIODRIVER:-dummy}

# Each stage says when it began, so a slow stage shows in the log.
stage() { echo "== $* ($(date +%T))"; }

stage "normal build"
# Line tables are all a backtrace needs; full debug information cost a third more time.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" \
  "${launcher[@]}" >/dev/null
ninja -C build

if $quick; then
  stage "tests"
  ctest --test-dir build --output-on-failure -j "$jobs"
  bash scripts/web-test.sh build unit
  stage "quick tests passed"
  exit 0
fi

# The tests mostly wait (on sockets, timers, the browser): clang-tidy and the two sanitizer
# trees are built beside them, at a lower priority, so that the tests keep the processors they
# ask for and the compilers take the rest. Their logs are shown when they are waited for.
stage "clang-tidy and the sanitizer builds begin, beside the tests"
# The program's sources under src/ with the normal build's compile commands; the tests are
# left out.
nice -n 10 python3 scripts/clang-tidy-cached.py -p build -j "$jobs" "^$PWD/src/(?!.*/tests/)" \
  >"$scratch/tidy.log" 2>&1 &
tidy=$!
background+=("$tidy")

# One clang tree for both sanitizers and the fuzz targets; the ThreadSanitizer tree builds only
# the threaded subsystems' tests (server, light, audio, session, cloud, common: they hold the
# threads, queues and timers) and the program the light tests start. Line tables are all a
# report needs. Each tree compiles its files in batches (unity build): the headers and
# templates they share are compiled once per batch instead of once per file.
tsan_tests=(server_tests dmx_tests audio_tests cloud_tests common_tests)
[ -f src/session/CMakeLists.txt ] && tsan_tests+=(session_tests)
unity=(-DCMAKE_UNITY_BUILD=ON -DCMAKE_UNITY_BUILD_BATCH_SIZE=16)
# The builder says on descriptor 3 when each tree is built (its exit status), so the tests of
# the first can run while the second builds.
mkfifo "$scratch/built"
exec 3<>"$scratch/built"
(
  set +e
  CC=clang CXX=clang++ cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_C_FLAGS_DEBUG="-O1 -gline-tables-only" -DCMAKE_CXX_FLAGS_DEBUG="-O1 -gline-tables-only" \
    -DSOLVERA_SANITIZE=ON -DSOLVERA_FUZZ=ON -DSOLVERA_BENCH=OFF "${unity[@]}" "${launcher[@]}" \
    >"$scratch/asan-build.log" 2>&1 &&
    nice -n 10 ninja -C build-asan >>"$scratch/asan-build.log" 2>&1
  echo $? >&3
  cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" -DSOLVERA_TSAN=ON -DSOLVERA_BENCH=OFF \
    -DSOLVERA_DESKTOP=OFF "${unity[@]}" "${launcher[@]}" >"$scratch/tsan-build.log" 2>&1 &&
    nice -n 10 ninja -C build-tsan "${tsan_tests[@]}" >>"$scratch/tsan-build.log" 2>&1
  echo $? >&3
) &
background+=("$!")
# Waits for the builder's word on the next tree; shows the end of its log when it failed.
built() {
  local status
  read -r status <&3
  if [ "$status" != 0 ]; then
    tail -n 60 "$scratch/$1-build.log"
    echo "the $1 build failed" >&2
    exit 1
  fi
  tail -n 1 "$scratch/$1-build.log"
}

stage "tests"
ctest --test-dir build --output-on-failure -j "$jobs"
bash scripts/web-test.sh build

stage "clang-tidy result"
if ! wait "$tidy"; then
  cat "$scratch/tidy.log"
  exit 1
fi
tail -n 1 "$scratch/tidy.log"

stage "sanitizer tests (address, undefined)"
built asan
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS="suppressions=$PWD/scripts/lsan.supp:print_suppressions=0"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j "$jobs" -E '^Desktop\.'
# The windowed program runs WebKit's helper processes and many GLib threads; LeakSanitizer's
# stop-the-world tracer itself crashes there now and then, so these run without leak checks.
ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j "$jobs" -R '^Desktop\.'

stage "fuzz targets (their corpus, then ${fuzz_seconds} s of new inputs each, ${jobs} at a time)"
bash scripts/fuzz-long.sh --build build-asan --seconds "$fuzz_seconds" --jobs "$jobs"

stage "thread sanitizer tests (server, light, audio, session, cloud and common)"
built tsan
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/scripts/tsan.supp" \
  ctest --test-dir build-tsan --output-on-failure -j "$jobs" \
  -L "^($(IFS='|'; echo "${tsan_tests[*]}"))\$"
stage "all tests passed"
