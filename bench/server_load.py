#!/usr/bin/env python3
"""Load on the headless program: 50,000 mixed requests with wrk while a pulsed Art-Net stream
runs. Prints the request rate, failures, the stream's tick deviation during the load (from its
own nominal interval) and the
program's memory and descriptors before and after.

  python3 bench/server_load.py [program (build/solvera-pro)] [requests (50000)] [connections (64)]
"""
import json
import math
import os
import re
import signal
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from server_robustness import ArtNetNode, Program, descriptors, rss_mb  # noqa: E402

# Every request of the mix answers 200 when all is well; each wrk thread stops after its share.
WRK_SCRIPT = r"""
local requests = {}
local share, done = 0, 0
function init(args)
  share = tonumber(args[1])
  local remote, screen = args[2], args[3]
  local json = { ["Content-Type"] = "application/json" }
  requests = {
    wrk.format("GET", "/"),
    wrk.format("GET", "/page.js"),
    wrk.format("GET", "/remote/info"),
    wrk.format("GET", "/screen-light/info"),
    wrk.format("GET", "/remote/state?token=" .. remote),
    wrk.format("POST", "/remote/state?token=" .. remote, json, '{"ok":true,"updatedAt":1}'),
    wrk.format("GET", "/remote/commands?token=" .. remote .. "&since=0"),
    wrk.format("GET", "/screen-light/state?token=" .. screen),
    wrk.format("POST", "/screen-light/client-active?token=" .. screen, json, "{}"),
    wrk.format("GET", "/dmx/serial-ports"),
    wrk.format("POST", "/audio/update", json, '{"mode":"binaural","carrier":200,"beat":10,"volume":0.3}'),
  }
end
local n = 0
function request()
  n = n + 1
  return requests[(n % #requests) + 1]
end
-- wrk itself runs for its whole duration; a thread that has its share says so, and the
-- runner ends wrk with SIGINT (which still prints the summary) once every thread has.
function response(status)
  done = done + 1
  if done == share then
    io.write("share done\n")
    io.flush()
    wrk.thread:stop()
  end
end
"""


def percentile(values, q):
    values = sorted(values)
    return values[min(len(values) - 1, max(0, math.ceil(q * len(values)) - 1))]


def main():
    args = sys.argv[1:]
    exe = args[0] if args else "build/solvera-pro"
    total = int(args[1]) if len(args) > 1 else 50000
    connections = int(args[2]) if len(args) > 2 else 64
    threads = 2
    node = ArtNetNode()
    p = Program(exe, files={"page.js": 16384})
    pid = p.proc.pid

    def info(path):
        import urllib.request
        with urllib.request.urlopen(f"http://127.0.0.1:{p.port}{path}") as r:
            return json.load(r)["token"]

    remote, screen = info("/remote/info"), info("/screen-light/info")
    stream = json.dumps({"targetIp": node.address, "universe": 1, "dmx": [255, 128, 64, 32],
                         "pulseHz": 7.83, "pulseChannels": [1, 2, 3], "pulseShape": "sine"})
    status, _ = p.request("POST", "/dmx", stream)
    if status != "HTTP/1.1 200 OK":
        sys.exit(f"the Art-Net stream did not start: {status}")
    time.sleep(1.0)
    rss_before, fds_before = rss_mb(pid), descriptors(pid)

    arrivals, stop = [], threading.Event()

    def listen():
        while not stop.is_set():
            packet = node.receive(0.2)
            if packet and packet[1] == 1:
                arrivals.append(packet[0])

    listener = threading.Thread(target=listen)
    node.drain()
    listener.start()
    with tempfile.NamedTemporaryFile("w", suffix=".lua", delete=False) as script:
        script.write(WRK_SCRIPT)
    started = time.monotonic()
    wrk = subprocess.Popen(["wrk", "-t", str(threads), "-c", str(connections), "-d", "600s",
                            "--timeout", "10s", "-s", script.name, f"http://127.0.0.1:{p.port}",
                            "--", str(math.ceil(total / threads)), remote, screen],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    out, finished = "", 0
    for line in wrk.stdout:
        if line.strip() == "share done":
            finished += 1
            if finished == threads:
                wrk.send_signal(signal.SIGINT)
        else:
            out += line
    wrk.wait()
    elapsed = time.monotonic() - started
    stop.set()
    listener.join()
    os.unlink(script.name)
    time.sleep(2.0)
    rss_after, fds_after = rss_mb(pid), descriptors(pid)
    p.end()

    done = int(re.search(r"(\d+) requests in", out).group(1)) if "requests in" in out else 0
    non2xx = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
    errors = re.search(r"Socket errors: connect (\d+), read (\d+), write (\d+), timeout (\d+)", out)
    failures = (int(non2xx.group(1)) if non2xx else 0) + (sum(map(int, errors.groups())) if errors else 0)
    # A pulsed stream's frames follow its waveform (several per cycle), so the nominal interval
    # is the stream's own: the median of what arrived.
    intervals = [(b - a) * 1000 for a, b in zip(arrivals, arrivals[1:])]
    nominal = percentile(intervals, 0.5) if intervals else 0.0
    deviations = [abs(i - nominal) for i in intervals]
    print(f"{done} requests over {connections} connections in {elapsed:.1f} s: "
          f"{done / elapsed:.0f} requests/s, failures {failures}"
          + (f" (socket errors connect/read/write/timeout {'/'.join(errors.groups())})" if errors else ""))
    if deviations:
        print(f"Art-Net ticks during the load: n={len(deviations)} |interval - {nominal:.2f} ms| "
              f"p50={percentile(deviations, 0.5):.3f} ms p99={percentile(deviations, 0.99):.3f} ms "
              f"max={max(deviations):.3f} ms")
        # A gap of about k intervals is k - 1 frames that never came.
        lost = sum(max(0, round(i / nominal) - 1) for i in intervals)
        print(f"Art-Net frames lost during the load: {lost} of {len(intervals) + lost}, "
              f"longest gap {max(intervals):.1f} ms")
    else:
        print("Art-Net ticks during the load: none received")
    print(f"memory {rss_before:.1f} MB -> {rss_after:.1f} MB, descriptors {fds_before} -> {fds_after}")
    if wrk.returncode != 0:
        print(wrk.stderr.read(), file=sys.stderr)


if __name__ == "__main__":
    main()
