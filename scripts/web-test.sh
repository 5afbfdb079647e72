#!/usr/bin/env bash
# Tests of the web application: node unit tests of its modules, end-to-end tests in Debian's
# Chromium against the headless program of the given build folder (default: build), an
# accessibility check of every page with axe-core, then the script-message flows in the
# program's own window under a virtual display.
#   scripts/web-test.sh [BUILD] [unit]   (unit: only the node unit tests)
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=$(cd "${1:-build}" && pwd)
only_unit=false
[ "${2:-}" = "unit" ] && only_unit=true

if [ ! -x "$build_dir/solvera-pro" ]; then
  echo "web-test: $build_dir/solvera-pro is missing; build it first" >&2
  exit 1
fi
chromium=${SOLVERA_CHROMIUM:-/usr/bin/chromium}
if [ ! -x "$chromium" ]; then
  echo "web-test: $chromium is missing (scripts/setup.sh installs it)" >&2
  exit 1
fi

# npm ci only when the installed packages do not match the lock file.
cd web-tests
if ! cmp -s package-lock.json node_modules/.solvera-installed-lock 2>/dev/null; then
  npm ci --no-audit --no-fund --loglevel=error
  cp package-lock.json node_modules/.solvera-installed-lock
fi

# Tests never touch the user's own folders; the browser gets a fresh profile of its own.
export SOLVERA_BUILD_DIR="$build_dir" SOLVERA_CHROMIUM="$chromium"
echo "== web: unit tests"
node --test unit/
$only_unit && exit 0
echo "== web: browser tests"
node --test --test-concurrency=1 --test-timeout=180000 e2e/
# axe-core over every page in every state a user meets; serious or critical findings fail.
echo "== web: accessibility"
node --test --test-concurrency=1 --test-timeout=180000 a11y/
# The control page in the program's own window; the tests skip themselves where no virtual
# display can be made (Xvfb, dbus-daemon, xdotool).
echo "== web: desktop window tests"
node --test --test-concurrency=1 --test-timeout=300000 desktop/
