#!/usr/bin/env bash
# What playing a session with no page costs: solvera-pro-headless --play with beat, pink noise,
# music (a generated library) and hall reverb, its sound through SDL's disk driver into
# /dev/null at real-time pace and its light to an Art-Net node on loopback; the process's share
# of one core (processor time over wall time) and its resident memory.
#   bash bench/play_cost.sh BUILD_DIR [SECONDS]
set -euo pipefail
build=$1 seconds=${2:-120}
scratch=$(mktemp -d)
export XDG_CONFIG_HOME=$scratch/c XDG_DATA_HOME=$scratch/d XDG_STATE_HOME=$scratch/s
library="$XDG_DATA_HOME/Solvera Pro/Music Library"
mkdir -p "$library"
program=
sink=
cleanup() {
  [[ -n $program ]] && kill "$program" 2>/dev/null || true
  [[ -n $sink ]] && kill "$sink" 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT

# Music that decodes the whole time: two FLAC tracks of the session's mood.
for n in 1 2; do
  sox -q -n -r 44100 -c 2 "$library/calm$n.flac" synth 240 pinknoise band $((300 * n)) 200 tremolo 0.$n 40 vol 0.3
done
printf '{"tracks":[{"file":"calm1.flac","mood":"calm"},{"file":"calm2.flac","mood":"calm"}]}' >"$library/manifest.json"

length=$((seconds + 60))
end=$(printf '%02d:%02d' $((length / 60)) $((length % 60)))
cat >"$scratch/cost.svpsession" <<EOF
{"id":"kosten","title":"Kosten","audioMode":"binaural","phases":[
 {"name":"Alles","start":"00:00","end":"$end","audioFrequencyHz":"10","lightFrequencyHz":"10",
  "carrierFrequencyHz":"200","colorHex":"#4a7fc1","rgbIntensity":80,"whiteIntensity":10,
  "pulseVolume":50,"musicVolume":50,"noiseVolume":30,"noiseType":"pink","musicMood":"calm",
  "reverbPreset":"hall","reverbMix":40,"pulseShape":"sine","audioPulseShape":"sine"}]}
EOF

# An Art-Net node on a loopback address of its own that takes and drops the frames.
node=127.91.$((RANDOM % 250 + 1)).$((RANDOM % 250 + 1))
python3 -c '
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind((sys.argv[1], 6454))
while True: s.recv(2048)' "$node" &
sink=$!

SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE=/dev/null "$build/solvera-pro-headless" --headless \
  --play "$scratch/cost.svpsession" --output "artnet:$node" --accept-photosensitivity-warning \
  >"$scratch/out" 2>&1 &
program=$!

ticks=$(getconf CLK_TCK)
cpu() { awk '{print $14 + $15}' "/proc/$program/stat"; }
now() { date +%s.%N; }
# Past the fade-in, with the music decoding.
sleep 15
c0=$(cpu) t0=$(now)
sleep "$seconds"
c1=$(cpu) t1=$(now)
rss=$(awk '/^VmRSS/ {print $2}' "/proc/$program/status")
hwm=$(awk '/^VmHWM/ {print $2}' "/proc/$program/status")
threads=$(awk '/^Threads/ {print $2}' "/proc/$program/status")
share=$(echo "scale=2; 100 * ($c1 - $c0) / $ticks / ($t1 - $t0)" | bc)
echo "play with beat, noise, music and reverb, light to Art-Net: ${share} % of one core over ${seconds} s"
echo "resident memory: ${rss} KiB now, ${hwm} KiB at most; ${threads} threads"
grep -v CRITICAL "$scratch/out" | sed 's/^/  | /'
