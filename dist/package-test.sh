#!/usr/bin/env bash
# Builds the Debian package from a built tree, unpacks it into a scratch root and runs the
# unpacked program there: package-test.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
for tool in cpack dpkg-deb dpkg-shlibdeps curl python3; do
  command -v "$tool" >/dev/null || { echo "$tool is not installed"; exit 77; }
done
scratch=$(mktemp -d)
program=
cleanup() {
  [ -n "$program" ] && kill "$program" 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT

(cd "$build" && cpack -G DEB -B "$scratch/package" >"$scratch/cpack.log" 2>&1) ||
  { cat "$scratch/cpack.log"; exit 1; }
deb=$(ls "$scratch"/package/solvera-pro_*_amd64.deb)
echo "package: $(basename "$deb") ($(du -k "$deb" | cut -f1) KiB)"

# Dependencies come from the linked libraries, not from a list kept by hand.
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for library in libgtk-4-1 libwebkitgtk-6.0-4 libsdl2-2.0-0 libcurl4 libsystemd0; do
  [[ $depends == *"$library"* ]] || { echo "missing dependency: $library"; exit 1; }
done

root=$scratch/root
dpkg-deb -x "$deb" "$root"
for file in usr/bin/solvera-pro usr/bin/solvera-pro-headless usr/share/solvera-pro/Info.json \
    usr/share/solvera-pro/public/index.html usr/share/solvera-pro/muse-bridge/SolveraMuseBridge \
    usr/share/applications/com.mirowen.SolveraPro.desktop \
    usr/share/metainfo/com.mirowen.SolveraPro.metainfo.xml \
    usr/share/icons/hicolor/scalable/apps/com.mirowen.SolveraPro.svg \
    usr/share/icons/hicolor/256x256/apps/com.mirowen.SolveraPro.png \
    usr/lib/systemd/user/solvera-pro-headless.service; do
  [ -e "$root/$file" ] || { echo "not in the package: $file"; exit 1; }
done
grep -qx 'ExecStart=/usr/bin/solvera-pro-headless' "$root/usr/lib/systemd/user/solvera-pro-headless.service" ||
  { echo "the unit does not start the installed program"; exit 1; }

version=$("$root/usr/bin/solvera-pro" --version)
[ "$version" = "Solvera Pro Audio+Light 1.0.0" ] || { echo "--version said: $version"; exit 1; }

# The unpacked program finds its resources beside itself and serves the packaged page.
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
export XDG_CONFIG_HOME=$scratch/config XDG_DATA_HOME=$scratch/data XDG_STATE_HOME=$scratch/state
mkfifo "$scratch/out"
"$root/usr/bin/solvera-pro" --headless --port "$port" >"$scratch/out" &
program=$!
exec 3<"$scratch/out"
read -r -t 30 ready <&3 || { echo "no ready line"; exit 1; }
[ "$ready" = "Solvera Pro Audio+Light: http://127.0.0.1:$port" ] || { echo "ready line: $ready"; exit 1; }
curl -sf "http://127.0.0.1:$port/" | cmp -s - "$root/usr/share/solvera-pro/public/index.html" ||
  { echo "the page is not the packaged one"; exit 1; }
kill -TERM "$program"
status=0
wait "$program" || status=$?
program=
[ "$status" = 0 ] || { echo "exit status after SIGTERM: $status"; exit 1; }
echo "unpacked program: version, ready line, page and orderly exit are right"
