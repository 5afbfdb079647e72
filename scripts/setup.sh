#!/usr/bin/env bash
# Installs the Debian packages this project needs, only those that are missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang clang-tidy libclang-rt-14-dev ccache mold
  libgtk-4-dev libwebkitgtk-6.0-dev libglib2.0-dev libasio-dev nlohmann-json3-dev
  libcurl4-openssl-dev libssl-dev libarchive-dev libsdl2-dev libicu-dev
  libgtest-dev libgmock-dev libbenchmark-dev libfftw3-dev python3-dbusmock
  libsndfile1-dev libflac-dev libsamplerate0-dev libpulse-dev pulseaudio pulseaudio-utils
  sox libsox-fmt-all flac vorbis-tools opus-tools
  xvfb xauth xdotool dbus dbus-x11 playerctl xclip procps
  libsystemd-dev systemd desktop-file-utils appstream dpkg-dev librsvg2-bin x11-apps
  wrk nginx chromium nodejs npm ca-certificates
  libola-dev ola tshark
)

missing=()
for p in "${packages[@]}"; do
  if [ "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null)" != "install ok installed" ]; then
    missing+=("$p")
  fi
done
# node and npm may come from outside Debian on some machines; keep those.
if command -v node >/dev/null && command -v npm >/dev/null; then
  filtered=()
  for p in "${missing[@]}"; do
    case "$p" in nodejs|npm) ;; *) filtered+=("$p") ;; esac
  done
  missing=("${filtered[@]}")
fi

if [ "${#missing[@]}" -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
