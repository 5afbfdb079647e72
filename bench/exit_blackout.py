#!/usr/bin/env python3
"""Lamps at exit: in each round clients post lit "/dmx" frames as fast as they can while the
program gets SIGTERM; counts the rounds whose last frame on the wire is not dark, and those
with no dark frame at all, on Art-Net (a loopback node) and on a USB Pro widget and an Open DMX
adapter (pseudo-terminals).

  python3 bench/exit_blackout.py [program (build/solvera-pro)] [rounds (50)] [clients (4)]
                                 [outputs: artnet,usbpro,opendmx]
"""
import json
import os
import pty
import select
import signal
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from server_robustness import ArtNetNode, Program  # noqa: E402

# What a dark frame looks like on each serial line.
DARK = {
    # 0x7E, label 6, length 513 (low, high), start code and 512 channels, 0xE7
    "usbpro": bytes([0x7E, 6, 0x01, 0x02]) + bytes(513) + bytes([0xE7]),
    # the break (one zero byte at a low rate), start code and 512 channels
    "opendmx": bytes(514),
}
MODES = {"usbpro": "enttec-usb-pro", "opendmx": "open-dmx-ftdi"}


class Widget:
    """A pseudo-terminal under a serial device name; a thread keeps what the program writes."""

    def __init__(self, folder):
        self.master, slave = pty.openpty()
        os.symlink(os.ttyname(slave), os.path.join(folder, "ttyUSB0"))
        self.slave = slave  # held open, so the master never sees the line hang up
        self.data = bytearray()
        self.lock = threading.Lock()
        self.running = True
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self):
        while self.running:
            ready, _, _ = select.select([self.master], [], [], 0.1)
            if ready:
                try:
                    chunk = os.read(self.master, 65536)
                except OSError:
                    return
                with self.lock:
                    self.data += chunk

    def last_frames(self, dark):
        """Once the program has ended: (last frame dark?, any dark frame?)."""
        time.sleep(0.2)
        self.running = False
        self.thread.join()
        data = bytes(self.data)
        return data.endswith(dark), dark in data

    def close(self):
        os.close(self.master)
        os.close(self.slave)


def one_round(exe, output, clients, node, universe):
    folder = tempfile.mkdtemp(prefix="solvera-exit-")
    os.environ["SOLVERA_SERIAL_DIR"] = folder
    widget = Widget(folder) if output in DARK else None
    p = Program(exe)
    stop = threading.Event()

    def client(n):
        body = {"targetIp": node.address, "universe": universe, "dmx": [200 + n] * 512}
        if output in MODES:
            body.update(outputMode=MODES[output], targetIp="")
        text = json.dumps(body)
        while not stop.is_set():
            status, _ = p.request("POST", "/dmx", text, timeout=5)
            if status is None and p.proc.poll() is not None:
                return

    node.drain()
    threads = [threading.Thread(target=client, args=(n,)) for n in range(clients)]
    for t in threads:
        t.start()
    time.sleep(0.4)  # the clients are in full swing
    p.proc.send_signal(signal.SIGTERM)
    p.proc.wait(timeout=60)
    stop.set()
    for t in threads:
        t.join()
    p.end()
    if widget:
        last_dark, any_dark = widget.last_frames(DARK[output])
        widget.close()
    else:
        last, any_dark = None, False
        while True:
            packet = node.receive(0.2)
            if not packet:
                break
            if packet[1] == universe:
                last = packet[2]
                any_dark = any_dark or last == 0
        last_dark = last == 0
    for name in os.listdir(folder):
        os.unlink(os.path.join(folder, name))
    os.rmdir(folder)
    return last_dark, any_dark


def main():
    args = sys.argv[1:]
    exe = args[0] if args else "build/solvera-pro"
    rounds = int(args[1]) if len(args) > 1 else 50
    clients = int(args[2]) if len(args) > 2 else 4
    outputs = (args[3] if len(args) > 3 else "artnet,usbpro,opendmx").split(",")
    node = ArtNetNode()
    for output in outputs:
        lit, never_dark = 0, 0
        for r in range(rounds):
            last_dark, any_dark = one_round(exe, output, clients, node, 1 + r % 100)
            lit += not last_dark
            never_dark += not any_dark
        print(f"{output}: {clients} clients, {rounds} rounds: last frame not dark in {lit}, "
              f"no dark frame at all in {never_dark}")


if __name__ == "__main__":
    main()
