#!/usr/bin/env python3
"""Light against sound in a session played with no page: solvera-pro-headless --play of an
isochronic session (sine pulse, 10 Hz light and beat), its light to an Art-Net node on loopback
and its sound through a clocked device: a private PulseAudio server (own runtime folder, a null
sink only, nothing of a system or user server touched), recorded from the null sink's monitor.
The light's pulse is fitted to the frames' values and arrival times, the sound's to the
envelope of the recorded sound, window by window; the offset between the two shows whether they
keep one clock (a constant) or drift (a slope).

    python3 bench/light_sound_offset.py BUILD_DIR [MINUTES] [WINDOW_SECONDS] [--disk]
    LIGHT_SOUND_DUMP=FILE ... keeps the dated series; bench/light_sound_offset.py FILE [WINDOW] --dump
    analyses them again

The null sink runs on the system clock. A recorded sample is dated by the count of samples
before it: a line fitted through (samples received, time of receipt) for its rate, moved down
to the earliest receipts (a read can only be late), so a sample is dated when the sink rendered
it. The sink renders up to its own latency ahead of the moment it would leave a sound card:
the bench prints that latency, and the stream's, as the sound server reports them.

--disk plays through SDL's disk driver instead and dates the written file by its growth; that
driver does not keep real time (it runs fast, in bursts), so the figure scatters by tens of ms.
"""
import array
import audioop
import bisect
import json
import math
import os
import random
import re
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

BEAT_HZ = 10.0
RATE = 44100
BLOCK_FRAMES = 220  # ~5 ms, about one carrier period: the envelope without the carrier
CALLBACK_FRAMES = 512  # the disk driver's callback; a sound server gets 4096 and its own figure
SO_TIMESTAMPNS = 35  # Linux; SCM_TIMESTAMPNS has the same number


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


def percentile(values, p):
    v = sorted(values)
    return v[min(len(v) - 1, max(0, int(round(p / 100 * (len(v) - 1)))))]


def wait_for(condition, limit, what):
    deadline = time.monotonic() + limit
    while not condition():
        if time.monotonic() > deadline:
            raise SystemExit("gave up waiting for " + what)
        time.sleep(0.01)


class PrivatePulse:
    """A PulseAudio server of the bench's own: runtime, state and config in a scratch folder,
    one null sink at the program's rate and format, reached only through its own socket."""

    def __init__(self, scratch):
        self.dir = scratch + "/pulse"
        os.makedirs(self.dir + "/run", mode=0o700)
        self.socket = self.dir + "/run/native"
        self.env = dict(os.environ, XDG_RUNTIME_DIR=self.dir, PULSE_RUNTIME_PATH=self.dir + "/run",
                        PULSE_STATE_PATH=self.dir + "/state", XDG_CONFIG_HOME=self.dir + "/config",
                        HOME=self.dir, PULSE_SERVER="unix:" + self.socket)
        self.env.pop("DBUS_SESSION_BUS_ADDRESS", None)
        self.log = open(self.dir + "/log", "w")
        self.process = subprocess.Popen(
            ["pulseaudio", "--daemonize=no", "--exit-idle-time=-1", "-n", "--use-pid-file=no",
             "--system=no", "--disallow-module-loading", "--log-target=stderr", "--log-level=warn",
             "--load=module-native-protocol-unix auth-anonymous=1 socket=" + self.socket,
             "--load=module-null-sink sink_name=bench rate=%d format=float32le channels=2" % RATE],
            env=self.env, stdout=self.log, stderr=self.log)
        wait_for(lambda: os.path.exists(self.socket) or self.process.poll() is not None, 20, "the sound server")
        if self.process.poll() is not None:
            raise SystemExit("the sound server did not start: " + open(self.dir + "/log").read())

    def pactl(self, *args):
        return subprocess.run(["pactl"] + list(args), env=self.env, capture_output=True, text=True).stdout

    def stop(self):
        self.process.terminate()
        self.process.wait(10)
        self.log.close()


class Recorder:
    """parec from the null sink's monitor, mono s16 at the sink's rate with a short fragment;
    per read the count of frames received so far and the time; the envelope on the fly."""

    def __init__(self, pulse):
        self.process = subprocess.Popen(
            ["parec", "--device=bench.monitor", "--format=s16le", "--rate=%d" % RATE, "--channels=1",
             "--latency-msec=5", "--raw", "--client-name=bench"],
            env=pulse.env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, bufsize=0)
        self.receipts = []  # (frames received, monotonic s)
        self.envelope = []  # (centre frame, rms)
        self.frames = 0
        self.thread = threading.Thread(target=self.read)
        self.thread.start()

    def read(self):
        fd = self.process.stdout.fileno()
        pending = b""
        step = BLOCK_FRAMES * 2
        while True:
            data = os.read(fd, 65536)
            t = time.monotonic()
            if not data:
                break
            pending += data
            self.frames += len(data) / 2
            self.receipts.append((self.frames, t))
            base = self.frames - len(pending) / 2  # frame of pending's first byte
            used = 0
            while len(pending) - used >= step:
                self.envelope.append((base + used / 2 + BLOCK_FRAMES / 2,
                                      audioop.rms(pending[used:used + step], 2)))
                used += step
            pending = pending[used:]

    def stop(self):
        self.process.terminate()
        self.thread.join()
        self.process.wait(10)


def pulse_dating(receipts):
    """Rate and origin of the recording: the least-squares line through the receipts for the
    rate, moved down to the earliest receipt (reads are only ever late)."""
    skip = len(receipts) // 50  # the server's start-up
    pts = receipts[skip:]
    slope, _ = linear_fit([p[0] for p in pts], [p[1] for p in pts])
    late = [t - slope * n for n, t in pts]
    origin = min(late)
    lateness = [(x - origin) * 1000 for x in late]
    half = len(pts) // 2
    s1, _ = linear_fit([p[0] for p in pts[:half]], [p[1] for p in pts[:half]])
    s2, _ = linear_fit([p[0] for p in pts[half:]], [p[1] for p in pts[half:]])
    return slope, origin, lateness, (1 / s1, 1 / s2)


def disk_dating(growth):
    """Each change of size is a block written at (about) its callback: its first frame's date.
    The driver's pace is not even, so the dates come from a line fitted to every few seconds
    of growth, which takes out the polling's steps."""
    bytes_per_frame = 8  # float stereo
    points = [((size - 512 * bytes_per_frame) / bytes_per_frame, t) for t, size in growth]
    chunk = 400
    pieces = []
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
    return date, whole_slope, worst


def latency_of(text, key):
    return [float(v) / 1000 for v in re.findall(key + r": ([0-9.]+) usec", text)]


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    disk = "--disk" in sys.argv
    if "--dump" in sys.argv:  # analyse the series a run with LIGHT_SOUND_DUMP set kept
        d = json.load(open(args[0]))
        analyse([tuple(f) for f in d["frames"]], [tuple(e) for e in d["envelope"]],
                float(args[1]) if len(args) > 1 else 10, d.get("length", 0), d.get("driver", "pulseaudio"),
                d.get("lead", 0.0))
        return
    build = args[0]
    minutes = float(args[1]) if len(args) > 1 else 10
    window = float(args[2]) if len(args) > 2 else 10
    sys.setswitchinterval(0.0002)  # a thread that just woke dates its datagram without waiting
    scratch = tempfile.mkdtemp()
    env = dict(os.environ, XDG_CONFIG_HOME=scratch + "/c", XDG_DATA_HOME=scratch + "/d",
               XDG_STATE_HOME=scratch + "/s")
    pulse = recorder = None
    if disk:
        env.update(SDL_AUDIODRIVER="disk", SDL_DISKAUDIOFILE=scratch + "/sound.raw")
    else:
        pulse = PrivatePulse(scratch)
        env.update(SDL_AUDIODRIVER="pulseaudio", PULSE_SERVER=pulse.env["PULSE_SERVER"])
        recorder = Recorder(pulse)
        wait_for(lambda: recorder.frames > RATE // 2, 20, "the recording")

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
    growth = []  # disk driver: (s, file size) at each change
    done = threading.Event()

    # Datagrams are dated by the kernel on arrival (loopback: as sent), so a stall of the
    # bench's own thread on a busy machine does not move them.
    sock.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
    real_minus_mono = time.time() - time.monotonic()

    def receive():
        while not done.is_set():
            try:
                data, ancillary, _, _ = sock.recvmsg(2048, 64)
            except socket.timeout:
                continue
            t = time.monotonic()
            for level, kind, value in ancillary:
                if level == socket.SOL_SOCKET and kind == SO_TIMESTAMPNS and len(value) >= 16:
                    seconds, nanoseconds = struct.unpack("qq", value[:16])
                    t = seconds + nanoseconds / 1e9 - real_minus_mono
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

    reports = []  # what the sound server says of the streams, now and then

    def ask_server():
        while not done.wait(min(30.0, minutes * 60 / 4)):
            reports.append((pulse.pactl("list", "sink-inputs"), pulse.pactl("list", "sinks")))

    threads = [threading.Thread(target=receive)]
    threads.append(threading.Thread(target=watch if disk else ask_server))
    for th in threads:
        th.start()
    wall0, mono0 = time.time(), time.monotonic()
    program = subprocess.Popen(
        [build + "/solvera-pro-headless", "--headless", "--play", scratch + "/s.svpsession",
         "--output", "artnet:" + node, "--accept-photosensitivity-warning"],
        env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    out = program.communicate()[0]
    done.set()
    for th in threads:
        th.join()
    wall1, mono1 = time.time(), time.monotonic()

    lead = 0.0
    if disk:
        date, slope, residual = disk_dating(growth)
        sound = array.array("f")
        with open(scratch + "/sound.raw", "rb") as f:
            sound.frombytes(f.read())
        left = sound[0::2]
        envelope = []
        for i in range(0, len(left) - BLOCK_FRAMES, BLOCK_FRAMES):
            piece = left[i:i + BLOCK_FRAMES]
            envelope.append((date(i + BLOCK_FRAMES / 2), sum(map(abs, piece)) / BLOCK_FRAMES))
        print("sound written at %.1f frames/s by the fit, %d blocks dated (largest residual of a local fit %.1f ms)"
              % (1 / slope, len(growth), residual * 1000))
        driver = "disk"
    else:
        time.sleep(0.3)
        recorder.stop()
        pulse.stop()
        slope, origin, lateness, halves = pulse_dating(recorder.receipts)
        envelope = [(origin + slope * n, v) for n, v in recorder.envelope]
        print("recording: %d frames in %d reads; %.3f frames/s against the monotonic clock (%+.1f ppm), "
              "first half %.3f, second half %.3f; reads later than the earliest: p50 %.2f ms, p99 %.2f ms, max %.1f ms"
              % (recorder.frames, len(recorder.receipts), 1 / slope, (1 / slope / RATE - 1) * 1e6,
                 halves[0], halves[1], percentile(lateness, 50), percentile(lateness, 99), max(lateness)))
        print("monotonic against wall clock over the run: %+.1f ppm"
              % (((mono1 - mono0) / (wall1 - wall0) - 1) * 1e6))
        buffer_ms = [x for r in reports for x in latency_of(r[0], "Buffer Latency")]
        stream_sink_ms = [x for r in reports for x in latency_of(r[0], "Sink Latency")]
        sink_ms = [x for r in reports for x in latency_of(r[1], "Latency")]
        if buffer_ms:
            print("sound server: the program's stream buffer %s ms, sink latency %s ms (sink: %s ms)"
                  % (" ".join("%.1f" % x for x in buffer_ms), " ".join("%.1f" % x for x in stream_sink_ms),
                     " ".join("%.1f" % x for x in sink_ms)))
        driver = "pulseaudio"
        lead = sum(sink_ms) / len(sink_ms) if sink_ms else 0.0

    if os.environ.get("LIGHT_SOUND_DUMP"):  # the raw series, for a closer look
        with open(os.environ["LIGHT_SOUND_DUMP"], "w") as f:
            json.dump({"frames": frames, "envelope": envelope, "length": length, "driver": driver, "lead": lead}, f)
    analyse(frames, envelope, window, length, driver, lead)
    print("".join("  | " + line + "\n" for line in out.splitlines()[-5:]), end="")
    shutil.rmtree(scratch, ignore_errors=True)


def analyse(frames, envelope, window, length, driver, lead):
    """The offsets window by window, their summary, and the pulses' rate by the wall clock.
    lead: how far (ms, on average) the null sink renders, and the monitor records, ahead of
    the sink's own play, which is when a card would sound; the program moves the light to
    that moment."""
    first, last = frames[0][0] + 12, frames[-1][0] - 15  # past the fade-in, before the fade-out
    # The pulses' rate by the wall clock: peak times in 1 s pieces against a 10 Hz grid,
    # unwrapped (they move by far less than half a period from one piece to the next).
    rates = {}
    for name, series in (("light", frames), ("sound", envelope)):
        peaks, t, i = [], first, 0
        while t + 1 <= last:
            while i < len(series) and series[i][0] < t:
                i += 1
            j = i
            while j < len(series) and series[j][0] < t + 1:
                j += 1
            if j - i > 8:
                peak, _ = fit_phase(series[i:j], t, BEAT_HZ)
                peaks.append((t, peak - t))
            t += 1
        unwrapped, shift = [], 0.0
        for k, (t, p) in enumerate(peaks):
            if k:
                step = p + shift - unwrapped[-1][1]
                shift -= round(step * BEAT_HZ) / BEAT_HZ
            unwrapped.append((t, p + shift))
        slope, _ = linear_fit([u[0] for u in unwrapped], [u[1] for u in unwrapped])
        rates[name] = BEAT_HZ / (1 + slope)
    hz = rates["light"]
    print("pulse rate by the wall clock (set %.1f Hz): light %.4f Hz, sound %.4f Hz (%+.0f and %+.0f ppm)"
          % (BEAT_HZ, rates["light"], rates["sound"], (rates["light"] / BEAT_HZ - 1) * 1e6,
             (rates["sound"] / BEAT_HZ - 1) * 1e6))
    lit = [f[0] for f in frames if f[1] > 0]
    print("lamps lit for %.1f s of wall time; the session is %d s long" % (lit[-1] - lit[0], length))
    period = 1 / hz
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
        # At the light's measured rate, so that a rate off the set one does not smear a window.
        light, light_depth = fit_phase(frames[fi:fj], t, hz)
        heard, sound_depth = fit_phase(envelope[ei:ej], t, hz)
        d = (light - heard + period / 2) % period - period / 2
        offsets.append((t - first, d * 1000, light_depth, sound_depth))
        t += window
    if not offsets:
        print("too short a run")
        return
    # Offsets near half a period would split between +P/2 and -P/2: wrap them around their
    # circular mean instead of around 0.
    period_ms = period * 1000
    angle = math.atan2(sum(math.sin(2 * math.pi * o[1] / period_ms) for o in offsets),
                       sum(math.cos(2 * math.pi * o[1] / period_ms) for o in offsets))
    centre = angle / (2 * math.pi) * period_ms
    offsets = [(o[0], (o[1] - centre + period_ms / 2) % period_ms - period_ms / 2 + centre) + o[2:] for o in offsets]
    values = [o[1] for o in offsets]
    mean = sum(values) / len(values)
    drift, _ = linear_fit([o[0] for o in offsets], values) if len(values) > 1 else (0.0, 0)
    print("light vs %s sound (%s), %.1f min, %d windows of %.0f s, %d frames"
          % ("written" if driver == "disk" else "recorded", driver, (last - first) / 60, len(values), window, len(frames)))
    for o in offsets:
        print("  at %6.0f s: %7.2f ms  (light depth %.1f, sound depth %.0f)" % o)
    print("offset (light later than the sound): mean %.2f ms; p5 %.2f, p95 %.2f (p5-p95 %.2f ms); "
          "min %.2f, max %.2f; largest deviation from the mean %.2f ms"
          % (mean, percentile(values, 5), percentile(values, 95), percentile(values, 95) - percentile(values, 5),
             min(values), max(values), max(abs(v - mean) for v in values)))
    print("drift: %.4f ms per minute (%.3f ms over the run)" % (drift * 60, drift * (last - first)))
    if driver == "disk":
        print("the disk driver takes a block at once: the program assumes %.2f ms (one %d-frame callback); "
              "the mean offset minus that: %+.2f ms" % (CALLBACK_FRAMES / RATE * 1000, CALLBACK_FRAMES,
                                                      mean - CALLBACK_FRAMES / RATE * 1000))
    else:
        print("the program moves the light by the sound server's figure (its stream's buffer plus the sink's "
              "latency) and 0 ms of the user's; the monitor records the sink's render, %.2f ms ahead of its "
              "play (the sink's latency, mean): light against the sound as played: mean %+.2f ms"
              % (lead, mean - lead))
    late = sorted(b[0] - a[0] for a, b in zip(frames, frames[1:]))
    print("light frames: %d, interval p50 %.1f ms, p99 %.1f ms, max %.1f ms (by the kernel's arrival dates)"
          % (len(frames), late[len(late) // 2] * 1000, percentile(late, 99) * 1000, late[-1] * 1000))


if __name__ == "__main__":
    main()
