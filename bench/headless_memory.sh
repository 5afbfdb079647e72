#!/usr/bin/env bash
# Resident memory of the windowless program while it streams a pulsed light frame to a
# loopback Art-Net node and plays a tone: bench/headless_memory.sh BUILD_DIR [MINUTES]
set -euo pipefail
build=$1 minutes=${2:-10}
scratch=$(mktemp -d)
export XDG_CONFIG_HOME=$scratch/c XDG_DATA_HOME=$scratch/d XDG_STATE_HOME=$scratch/s
export SDL_AUDIODRIVER=${SDL_AUDIODRIVER:-dummy}
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
mkfifo "$scratch/out"
"$build/solvera-pro-headless" --port "$port" >"$scratch/out" &
program=$!
trap 'kill $program 2>/dev/null || true; rm -rf "$scratch"' EXIT
exec 3<"$scratch/out"
read -r -t 30 _ <&3
rss() { awk '/^VmRSS/ {print $2}' "/proc/$program/status"; }
frame() {
  curl -sf -o /dev/null -d "{\"targetIp\":\"127.0.0.1\",\"universe\":0,\"dmx\":[$1,128,64,32],\
\"pulseHz\":7.83,\"pulseChannels\":[1,2,3],\"pulseShape\":\"sine\"}" "http://127.0.0.1:$port/dmx"
}
echo "after start: $(rss) KiB"
frame 255
curl -sf -o /dev/null -d '{"mode":"isochronic","carrier":200,"beat":10,"volume":0.3}' \
  "http://127.0.0.1:$port/audio/start"
for ((m = 1; m <= minutes; m++)); do
  # A new frame every 3 s, as a session's phases bring them.
  for ((i = 0; i < 20; i++)); do frame $((i * 12)); sleep 3; done
  echo "after $m min of light and tone: $(rss) KiB"
done
