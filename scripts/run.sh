#!/usr/bin/env bash
# Installs what is missing, builds, and starts the program (extra arguments are passed on).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build solvera-pro
exec ./build/solvera-pro "$@"
