#!/usr/bin/env python3
"""Measures how the headless program holds up against slow services and slow or idle clients.

  python3 bench/server_robustness.py [program (build/solvera-pro)] [scenario ...]

Scenarios (all by default):
  blackout  a blackout posted 0.5 s after three Ask AI questions whose service never answers:
            time to its reply and to its first Art-Net packet; then the time SIGTERM takes
  idle      1,100 idle connections, then one request from loopback: its latency
  readers   eight clients that ask for a 64 MiB file and never read: the program's memory
  head      a 10,000-line head, then its body one byte every millisecond for 8 s: CPU used
Everything runs on loopback, with the program's own resource and XDG folders.
"""
import json
import os
import resource
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

SO_TIMESTAMPNS = getattr(socket, "SO_TIMESTAMPNS", 35)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def rss_mb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return 0.0


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def descriptors(pid):
    return len(os.listdir(f"/proc/{pid}/fd"))


class SilentService:
    """Accepts and reads, never answers."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(64)
        self.port = self.sock.getsockname()[1]
        self.held = []
        threading.Thread(target=self._run, daemon=True).start()

    def _run(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            self.held.append(conn)


class ArtNetNode:
    """Port 6454 on a loopback address of this run's own; the kernel stamps each arrival."""

    def __init__(self):
        host = (os.getpid() * 7919 % 0xFFFF00) + 0x100
        self.address = f"127.{(host >> 16) & 255}.{(host >> 8) & 255}.{host & 255}"
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
        self.sock.bind((self.address, 6454))

    def receive(self, timeout):
        """(arrival in CLOCK_REALTIME seconds, universe, first channel) or None."""
        self.sock.settimeout(timeout)
        try:
            data, ancillary, _, _ = self.sock.recvmsg(600, 256)
        except (socket.timeout, BlockingIOError):
            return None
        arrival = time.time()
        for level, kind, payload in ancillary:
            if level == socket.SOL_SOCKET and kind == SO_TIMESTAMPNS:
                sec, nsec = struct.unpack("qq", payload[:16])
                arrival = sec + nsec / 1e9
        if len(data) < 19:
            return None
        return arrival, data[14] | (data[15] << 8), data[18]

    def drain(self):
        while self.receive(0.0):
            pass


class Program:
    def __init__(self, exe, info_overrides=None, files=None):
        self.work = tempfile.mkdtemp(prefix="solvera-robust-")
        res = os.path.join(self.work, "resources")
        os.makedirs(os.path.join(res, "public"))
        with open(os.path.join(res, "public", "index.html"), "w") as f:
            f.write("<!doctype html><title>bench</title>")
        for name, size in (files or {}).items():
            with open(os.path.join(res, "public", name), "wb") as f:
                f.truncate(size)
        info = {"CFBundleName": "Solvera Pro Audio+Light", "CFBundleShortVersionString": "1.0",
                "SolveraProductCode": "personal", "SolveraOpenAIBaseURL": "",
                "SolveraWebServiceBaseURL": "", "SolveraMarketplaceBaseURL": "",
                "SolveraContentBaseURL": ""}
        info.update(info_overrides or {})
        with open(os.path.join(res, "Info.json"), "w") as f:
            json.dump(info, f)
        env = dict(os.environ)
        for key in ("XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_STATE_HOME"):
            env[key] = os.path.join(self.work, key.lower())
        env.pop("DISPLAY", None)
        env["SDL_AUDIODRIVER"] = "dummy"
        self.port = free_port()
        # The usual descriptor limit of a desktop session, whatever this script runs with.
        limit = lambda: resource.setrlimit(resource.RLIMIT_NOFILE,
                                           (1024, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
        self.proc = subprocess.Popen([exe, "--headless", "--port", str(self.port), "--resources", res],
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env,
                                     text=True, preexec_fn=limit)
        self.ready = self.proc.stdout.readline().strip()
        if not self.ready:
            raise RuntimeError("the program did not start")

    def request(self, method, path, body=None, headers="", timeout=60):
        """(status line, seconds) of one request; status None when nothing came back."""
        start = time.monotonic()
        data = (body or "").encode()
        head = f"{method} {path} HTTP/1.1\r\nHost: 127.0.0.1:{self.port}\r\n{headers}"
        if body is not None:
            head += f"Content-Type: application/json\r\nContent-Length: {len(data)}\r\n"
        try:
            with socket.create_connection(("127.0.0.1", self.port), timeout=timeout) as s:
                s.sendall(head.encode() + b"\r\n" + data)
                reply = b""
                while True:
                    chunk = s.recv(65536)
                    if not chunk:
                        break
                    reply += chunk
        except OSError:
            return None, time.monotonic() - start
        status = reply.split(b"\r\n", 1)[0].decode(errors="replace") if reply else None
        return status, time.monotonic() - start

    def end(self):
        start = time.monotonic()
        self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(timeout=60)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        took = time.monotonic() - start
        shutil.rmtree(self.work, ignore_errors=True)
        return took


def blackout(exe):
    service = SilentService()
    node = ArtNetNode()
    base = f"http://127.0.0.1:{service.port}"
    p = Program(exe, {"SolveraOpenAIBaseURL": base, "SolveraWebServiceBaseURL": base})
    lit = json.dumps({"targetIp": node.address, "universe": 0, "dmx": [255] * 512})
    p.request("POST", "/dmx", lit)
    key = "x-openai-api-key: sk-" + "a" * 24 + "\r\n"
    for _ in range(3):
        threading.Thread(target=p.request, daemon=True,
                         args=("POST", "/openai/ask-ai", '{"sessions":[]}', key)).start()
    time.sleep(0.5)
    node.drain()
    dark = json.dumps({"targetIp": node.address, "universe": 0, "dmx": [0] * 512})
    sent = time.time()
    status, took = p.request("POST", "/dmx", dark)
    first_dark = None
    deadline = time.time() + 60
    while time.time() < deadline:
        packet = node.receive(1.0)
        if packet and packet[2] == 0:
            first_dark = packet[0] - sent
            break
    print(f"blackout with three Ask AI questions waiting: reply {status!r} after {took * 1000:.1f} ms, "
          f"first dark Art-Net packet after "
          + (f"{first_dark * 1000:.1f} ms" if first_dark is not None else "none within 60 s"))
    print(f"SIGTERM with the three questions still waiting: exit after {p.end() * 1000:.0f} ms")


def idle(exe):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, 8192), hard))
    p = Program(exe)
    fds_before = descriptors(p.proc.pid)
    held = []
    for _ in range(1100):
        try:
            held.append(socket.create_connection(("127.0.0.1", p.port), timeout=5))
        except OSError:
            break
    time.sleep(1.0)
    fds_held = descriptors(p.proc.pid)
    status, took = p.request("GET", "/", timeout=30)
    print(f"{len(held)} idle connections open, program descriptors {fds_before} -> {fds_held}: "
          f"GET / from loopback {status!r} after {took * 1000:.1f} ms")
    for s in held:
        s.close()
    p.end()


def readers(exe):
    p = Program(exe, files={"big.bin": 64 << 20})
    time.sleep(0.5)
    before = rss_mb(p.proc.pid)
    held = []
    for _ in range(8):
        s = socket.create_connection(("127.0.0.1", p.port))
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        s.sendall(f"GET /big.bin HTTP/1.1\r\nHost: 127.0.0.1:{p.port}\r\n\r\n".encode())
        held.append(s)
    time.sleep(3.0)
    during = rss_mb(p.proc.pid)
    status, took = p.request("GET", "/", timeout=30)
    print(f"eight clients not reading a 64 MiB file: memory {before:.0f} MB -> {during:.0f} MB; "
          f"GET / meanwhile {status!r} after {took * 1000:.1f} ms")
    for s in held:
        s.close()
    p.end()


def head(exe):
    p = Program(exe)
    cpu_before = cpu_seconds(p.proc.pid)
    s = socket.create_connection(("127.0.0.1", p.port))
    s.sendall(b"POST /index.html HTTP/1.1\r\n" + b"X-Filler: abcdefghijklmnopqrstuvwxyz\r\n" * 10000
              + b"Content-Length: 100000\r\n\r\n")
    end = time.monotonic() + 8
    closed_after = None
    start = time.monotonic()
    while time.monotonic() < end:
        try:
            s.sendall(b"x")
        except OSError:
            closed_after = time.monotonic() - start
            break
        time.sleep(0.001)
    used = cpu_seconds(p.proc.pid) - cpu_before
    s.close()
    print(f"10,000-line head, then body bytes one per ms for 8 s: program CPU {used:.2f} s"
          + (f", connection closed by the program after {closed_after:.1f} s" if closed_after else ""))
    p.end()


def main():
    args = sys.argv[1:]
    exe = args.pop(0) if args and not args[0] in ("blackout", "idle", "readers", "head") else "build/solvera-pro"
    scenarios = args or ["blackout", "idle", "readers", "head"]
    for name in scenarios:
        globals()[name](exe)


if __name__ == "__main__":
    main()
