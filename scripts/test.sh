#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the normal build, clang-tidy over the
# program's sources, the AddressSanitizer/UndefinedBehaviorSanitizer build, the ThreadSanitizer
# build of the threaded subsystems, and the fuzz targets for a short while.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

jobs=$(nproc)
# A compiler cache, when installed, makes repeated runs on one machine fast.
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
fi
export SOLVERA_CMAKE_LAUNCHER="${launcher[*]}"
fuzz_seconds=${SOLVERA_FUZZ_SECONDS:-30}

# Tests never touch the user's own folders.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export XDG_CONFIG_HOME="$scratch/config" XDG_DATA_HOME="$scratch/data"
export XDG_STATE_HOME="$scratch/state" XDG_CACHE_HOME="$scratch/cache"
export SDL_AUDIODRIVER=${SDL_AUDIODRIVER:-dummy}

# Each stage says when it began, so a slow stage shows in the log.
stage() { echo "== $* ($(date +%T))"; }

stage "normal build"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" >/dev/null
ninja -C build
ctest --test-dir build --output-on-failure -j "$jobs"
bash scripts/web-test.sh build

stage "clang-tidy (the checks of .clang-tidy; a finding fails the run)"
# The program's sources under src/ with the normal build's compile commands; the tests are
# left out to keep the stage short.
if ! run-clang-tidy -p build -j "$jobs" -quiet "^$PWD/src/(?!.*/tests/)" >"$scratch/tidy.log" 2>&1; then
  grep -v -e '^clang-tidy' -e 'warnings generated' "$scratch/tidy.log"
  exit 1
fi

stage "sanitizer build (address, undefined)"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DSOLVERA_SANITIZE=ON \
  -DSOLVERA_BENCH=OFF "${launcher[@]}" >/dev/null
ninja -C build-asan
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS="suppressions=$PWD/scripts/lsan.supp:print_suppressions=0"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j "$jobs" -E '^Desktop\.'
# The windowed program runs WebKit's helper processes and many GLib threads; LeakSanitizer's
# stop-the-world tracer itself crashes there now and then, so these run without leak checks.
ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j "$jobs" -R '^Desktop\.'

stage "thread sanitizer build (server, light, audio, cloud and common tests)"
# Only these test programs (and the program the light tests start) are built and run: they
# hold the threads, queues and timers.
tsan_tests=(server_tests dmx_tests audio_tests cloud_tests common_tests)
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSOLVERA_TSAN=ON \
  -DSOLVERA_BENCH=OFF -DSOLVERA_DESKTOP=OFF "${launcher[@]}" >/dev/null
ninja -C build-tsan "${tsan_tests[@]}"
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/scripts/tsan.supp" \
  ctest --test-dir build-tsan --output-on-failure -j "$jobs" \
  -L "^($(IFS='|'; echo "${tsan_tests[*]}"))\$"

stage "fuzz targets (${fuzz_seconds} s each, ${jobs} at a time)"
bash scripts/fuzz-long.sh --seconds "$fuzz_seconds" --jobs "$jobs"
stage "all tests passed"
