#!/usr/bin/env python3
"""Light against sound in a session played with no page: solvera-pro-headless --play of an
isochronic session (sine pulse, 10 Hz light and beat) with its sound through SDL's disk driver
and its light to an Art-Net node on loopback. The light's pulse is fitted to the frames' values
and arrival times, the sound's to the envelope of the written sound, whose samples are dated
by the file's growth; the offset between the two pulses, window by window, shows whether the
two keep one clock (a constant) or drift (a slope).

    python3 bench/light_sound_offset.py BUILD_DIR [MINUTES] [WINDOW_SECONDS]

The disk driver writes a block when its callback runs, while the program dates the sound at
the moment it would be heard: the expected offset is the output latency the program assumes
for the driver (its buffer) plus the user's extra latency (0 here).
"""
import array
import json
import math
import os
import random
import socket
import subprocess
import sys
import tempfile
import threading
import time

BEAT_HZ = 10.0
RATE = 44100
BLOCK_FRAMES = 220  # ~5 ms, about one carrier period: the envelope without the carrier


def fit_phase(points, start, hz):
    """Least-squares a + b cos + c sin at hz over (t, v); the time of the fitted peak after start."""
    w = 2 * math.pi * hz
    s = [[0.0] * 3 for _ in range(3)]
    r = [0.0] * 3
    for t, v in points:
        x = (1.0, math.cos(w * (t - start)), math.sin(w * (t - start)))
        for i in range(3):
            r[i] += x[i] * v
            for j in range(3):
                s[i][j] += x[i] * x[j]
    # Gaussian elimination on the 3x3 normal equations.
    m = [row[:] + [r[i]] for i, row in enumerate(s)]
    for i in range(3):
        p = max(range(i, 3), key=lambda k: abs(m[k][i]))
        m[i], m[p] = m[p], m[i]
        for k in range(i + 1, 3):
            f = m[k][i] / m[i][i]
            for j in range(i, 4):
                m[k][j] -= f * m[i][j]
    x = [0.0] * 3
    for i in (2, 1, 0):
        x[i] = (m[i][3] - sum(m[i][j] * x[j] for j in range(i + 1, 3))) / m[i][i]
    phase = math.atan2(x[2], x[1]) % (2 * math.pi)
    return start + phase / w, math.hypot(x[1], x[2])


def linear_fit(xs, ys):
    n = len(xs)
    mx, my = sum(xs) / n, sum(ys) / n
    sxx = sum((x - mx) ** 2 for x in xs)
    sxy = sum((x - mx) * (y - my) for x, y in zip(xs, ys))
    slope = sxy / sxx
    return slope, my - slope * mx


def main():
    build = sys.argv[1]
    minutes = float(sys.argv[2]) if len(sys.argv) > 2 else 10
    window = float(sys.argv[3]) if len(sys.argv) > 3 else 10
    scratch = tempfile.mkdtemp()
    env = dict(os.environ, XDG_CONFIG_HOME=scratch + "/c", XDG_DATA_HOME=scratch + "/d",
               XDG_STATE_HOME=scratch + "/s", SDL_AUDIODRIVER="disk",
               SDL_DISKAUDIOFILE=scratch + "/sound.raw")
    length = int(minutes * 60) + 20
    end = "%d:%02d:%02d" % (length // 3600, length % 3600 // 60, length % 60)
    session = {"id": "uitlijning", "title": "Uitlijning", "audioMode": "isochronic", "phases": [
        {"name": "Tien", "start": "00:00", "end": end, "audioFrequencyHz": "10", "lightFrequencyHz": "10",
         "carrierFrequencyHz": "200", "colorHex": "#ffffff", "rgbIntensity": 100, "whiteIntensity": 0,
         "pulseVolume": 60, "musicVolume": 0, "noiseVolume": 0, "reverbMix": 0,
         "pulseShape": "sine", "audioPulseShape": "sine"}]}
    with open(scratch + "/s.svpsession", "w") as f:
        json.dump(session, f)

    node = "127.92.%d.%d" % (random.randint(1, 250), random.randint(1, 250))
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
    sock.bind((node, 6454))
    sock.settimeout(0.5)
    frames = []  # (arrival s, first channel)
    growth = []  # (s, file size) at each change
    done = threading.Event()

    def receive():
        while not done.is_set():
            try:
                data = sock.recv(2048)
            except socket.timeout:
                continue
            t = time.monotonic()
            if len(data) > 18 and data[:8] == b"Art-Net\0" and data[9] == 0x50:
                frames.append((t, data[18]))

    def watch():
        path, last = scratch + "/sound.raw", -1
        while not done.is_set():
            try:
                size = os.path.getsize(path)
            except OSError:
                size = -1
            t = time.monotonic()
            if size != last and size > 0:
                growth.append((t, size))
                last = size
            time.sleep(0.0005)

    threads = [threading.Thread(target=receive), threading.Thread(target=watch)]
    for th in threads:
        th.start()
    program = subprocess.Popen(
        [build + "/solvera-pro-headless", "--headless", "--play", scratch + "/s.svpsession",
         "--output", "artnet:" + node, "--accept-photosensitivity-warning"],
        env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    out = program.communicate()[0]
    done.set()
    for th in threads:
        th.join()

    # Each change of size is a block written at (about) its callback: its first frame's date.
    # The driver's pace is not even (it sleeps between blocks), so the dates come from a line
    # fitted to every few seconds of growth, which takes out the polling's steps.
    import bisect
    bytes_per_frame = 8  # float stereo
    points = [((size - 512 * bytes_per_frame) / bytes_per_frame, t) for t, size in growth]
    chunk = 400
    pieces = []  # (first frame, slope, intercept)
    worst = 0.0
    for i in range(0, len(points) - chunk // 2, chunk):
        part = points[i:i + chunk]
        if len(part) < 10:
            break
        slope, intercept = linear_fit([p[0] for p in part], [p[1] for p in part])
        worst = max(worst, max(abs(p[1] - (slope * p[0] + intercept)) for p in part))
        pieces.append((part[0][0], slope, intercept))
    starts = [p[0] for p in pieces]

    def date(frame):
        _, slope, intercept = pieces[max(0, bisect.bisect_right(starts, frame) - 1)]
        return slope * frame + intercept

    whole_slope, _ = linear_fit([p[0] for p in points], [p[1] for p in points])
    sound = array.array("f")
    with open(scratch + "/sound.raw", "rb") as f:
        sound.frombytes(f.read())
    left = sound[0::2]
    envelope = []
    for i in range(0, len(left) - BLOCK_FRAMES, BLOCK_FRAMES):
        piece = left[i:i + BLOCK_FRAMES]
        envelope.append((date(i + BLOCK_FRAMES / 2), sum(map(abs, piece)) / BLOCK_FRAMES))
    residual = worst
    slope = whole_slope

    period = 1 / BEAT_HZ
    first, last = frames[0][0] + 12, frames[-1][0] - 15  # past the fade-in, before the fade-out
    offsets = []
    fi = ei = 0
    t = first
    while t + window <= last:
        while fi < len(frames) and frames[fi][0] < t:
            fi += 1
        while ei < len(envelope) and envelope[ei][0] < t:
            ei += 1
        fj, ej = fi, ei
        while fj < len(frames) and frames[fj][0] < t + window:
            fj += 1
        while ej < len(envelope) and envelope[ej][0] < t + window:
            ej += 1
        light, light_depth = fit_phase(frames[fi:fj], t, BEAT_HZ)
        heard, sound_depth = fit_phase(envelope[ei:ej], t, BEAT_HZ)
        d = (light - heard + period / 2) % period - period / 2
        offsets.append((t - first, d * 1000, light_depth, sound_depth))
        t += window
    if not offsets:
        print("too short a run")
        return
    values = [o[1] for o in offsets]
    mean = sum(values) / len(values)
    spread = math.sqrt(sum((v - mean) ** 2 for v in values) / len(values))
    drift, _ = linear_fit([o[0] for o in offsets], values)
    print("light vs written sound, %.1f min, %d windows of %.0f s, %d frames, %d blocks dated (largest residual of a local fit %.1f ms)"
          % ((last - first) / 60, len(values), window, len(frames), len(growth), residual * 1000))
    print("sound written at %.1f frames/s by the fit" % (1 / slope))
    print("offset (light later than the sound as written): mean %.2f ms, sd %.2f ms, min %.2f, max %.2f"
          % (mean, spread, min(values), max(values)))
    print("drift: %.4f ms per minute (%.3f ms over the run)" % (drift * 60, drift * (last - first)))
    for o in offsets[:: max(1, len(offsets) // 12)]:
        print("  at %6.0f s: %7.2f ms" % (o[0], o[1]))
    print("".join("  | " + line + "\n" for line in out.splitlines()), end="")


if __name__ == "__main__":
    main()
