#!/usr/bin/python3
"""A Muse headband behind a simulated BlueZ, for tests without Bluetooth hardware.

python3-dbusmock's BlueZ template provides the adapter and the device; the headband's GATT
characteristics are objects of our own. Run it on a private bus given through
DBUS_SYSTEM_BUS_ADDRESS. Prints "ready" once it owns org.bluez; writes what happens to it
(control commands, connections, dropouts) to --log, one line each.

Once connected and told "d", every EEG characteristic that notifies sends 20-byte packets at
256 samples a second carrying a rhythm (10 Hz by default), and telemetry sends the battery
once a second.
"""

import argparse
import math
import os
import random
import signal
import sys
import time

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

import dbusmock.mockobject as mockobject
from dbusmock.mockobject import DBusMockObject, OBJECT_MANAGER_IFACE

ADAPTER_IFACE = 'org.bluez.Adapter1'
DEVICE_IFACE = 'org.bluez.Device1'
SERVICE_IFACE = 'org.bluez.GattService1'
CHAR_IFACE = 'org.bluez.GattCharacteristic1'
MUSE_SERVICE = '0000fe8d-0000-1000-8000-00805f9b34fb'
EEG = {'0003': 'TP9', '0004': 'AF7', '0005': 'AF8', '0006': 'TP10'}
CONTROL, TELEMETRY = '0001', '000b'
SAMPLE_RATE = 256
SAMPLES_PER_PACKET = 12


def uuid(code):
    return f'273e{code}-4c4d-454d-96be-f03bac821358'


class Headband:
    def __init__(self, args, root):
        self.args = args
        self.root = root
        self.log_file = open(args.log, 'a', buffering=1) if args.log else None
        self.timing_file = open(args.timing, 'a', buffering=1) if args.timing else None
        self.device = None
        self.chars = {}  # code -> mock object
        self.streaming = False
        self.sequence = args.first_sequence
        self.sample = 0
        self.sent = 0
        self.dropped = False
        self.started_at = None
        self.timer = None
        self.telemetry_timer = None
        self.random = random.Random(7)

    def log(self, line):
        if self.log_file:
            self.log_file.write(line + '\n')

    # ---- the device ------------------------------------------------------------------------

    def add_device(self):
        if self.device is not None:
            return
        path = self.root.AddDevice('hci0', '00:55:DA:B0:12:34', self.args.name)
        device = mockobject.objects[path]
        device.props[DEVICE_IFACE]['UUIDs'] = dbus.Array([MUSE_SERVICE], signature='s')
        device.AddMethods(DEVICE_IFACE, [
            ('Connect', '', '', lambda dev: self.connect()),
            ('Disconnect', '', '', lambda dev: self.disconnect('disconnect')),
        ])
        self.device = device
        self.log('device')

    # BlueZ forgets a device it has not seen for a while; a new search finds it again.
    def forget_device(self):
        path = self.device.path
        self.root.RemoveObject(path)
        self.root.EmitSignal(OBJECT_MANAGER_IFACE, 'InterfacesRemoved', 'oas',
                             [dbus.ObjectPath(path), [DEVICE_IFACE]])
        self.device = None
        self.log('forgotten')

    def connect(self):
        if self.device.props[DEVICE_IFACE]['Connected']:
            raise dbus.exceptions.DBusException('Already Connected',
                                                name='org.bluez.Error.AlreadyConnected')
        self.device.UpdateProperties(DEVICE_IFACE, {'Connected': dbus.Boolean(True)})
        self.log('connect')
        # Services appear a moment after the connection, as with a real device.
        GLib.timeout_add(30, self.resolve_services)

    def resolve_services(self):
        if not self.device.props[DEVICE_IFACE]['Connected']:
            return False
        service = self.device.path + '/service000e'
        self.root.AddObject(service, SERVICE_IFACE, {
            'UUID': dbus.String(MUSE_SERVICE),
            'Device': dbus.ObjectPath(self.device.path),
            'Primary': dbus.Boolean(True),
        }, [])
        self.emit_added(service, SERVICE_IFACE)
        codes = [CONTROL, TELEMETRY] + list(EEG)
        if self.args.missing_channel:
            codes.remove(self.args.missing_channel)
        for index, code in enumerate(codes):
            path = f'{service}/char{index + 0x10:04x}'
            self.root.AddObject(path, CHAR_IFACE, {
                'UUID': dbus.String(uuid(code)),
                'Service': dbus.ObjectPath(service),
                'Value': dbus.Array([], signature='y'),
                'Notifying': dbus.Boolean(False),
                'Flags': dbus.Array(['notify', 'write-without-response'] if code == CONTROL
                                    else ['notify'], signature='s'),
            }, [
                # dbusmock runs plain functions only, not bound methods.
                ('StartNotify', '', '', lambda char: self.start_notify(char)),
                ('StopNotify', '', '', lambda char: self.stop_notify(char)),
                ('WriteValue', 'aya{sv}', '', lambda char, v, o: self.write_value(char, v, o)),
            ])
            self.chars[code] = mockobject.objects[path]
            self.emit_added(path, CHAR_IFACE)
        self.device.UpdateProperties(DEVICE_IFACE, {'ServicesResolved': dbus.Boolean(True)})
        return False

    def emit_added(self, path, interface):
        props = mockobject.objects[path].props[interface]
        self.root.EmitSignal(OBJECT_MANAGER_IFACE, 'InterfacesAdded', 'oa{sa{sv}}',
                             [dbus.ObjectPath(path), {interface: props}])

    def disconnect(self, why):
        if not self.device.props[DEVICE_IFACE]['Connected']:
            raise dbus.exceptions.DBusException('Not Connected',
                                                name='org.bluez.Error.NotConnected')
        self.stop_streaming()
        for code, char in list(self.chars.items()):
            path = char.path
            self.root.RemoveObject(path)
            self.root.EmitSignal(OBJECT_MANAGER_IFACE, 'InterfacesRemoved', 'oas',
                                 [dbus.ObjectPath(path), [CHAR_IFACE]])
        self.chars.clear()
        service = self.device.path + '/service000e'
        if service in mockobject.objects:
            self.root.RemoveObject(service)
            self.root.EmitSignal(OBJECT_MANAGER_IFACE, 'InterfacesRemoved', 'oas',
                                 [dbus.ObjectPath(service), [SERVICE_IFACE]])
        self.device.UpdateProperties(DEVICE_IFACE, {'Connected': dbus.Boolean(False),
                                                    'ServicesResolved': dbus.Boolean(False)})
        self.log(why)

    # ---- characteristics -------------------------------------------------------------------

    def code_of(self, char):
        for code, c in self.chars.items():
            if c is char:
                return code
        return None

    def start_notify(self, char):
        char.UpdateProperties(CHAR_IFACE, {'Notifying': dbus.Boolean(True)})

    def stop_notify(self, char):
        char.UpdateProperties(CHAR_IFACE, {'Notifying': dbus.Boolean(False)})

    def write_value(self, char, value, _options):
        if self.code_of(char) != CONTROL:
            raise dbus.exceptions.DBusException('Not permitted',
                                                name='org.bluez.Error.NotPermitted')
        data = bytes(value)
        if len(data) < 2 or data[0] != len(data) - 1 or data[-1] != 0x0A:
            self.log('malformed ' + data.hex())
            return
        command = data[1:-1].decode('ascii')
        self.log('write ' + command)
        if command == 'd':
            self.start_streaming()
        elif command == 'h':
            self.stop_streaming()
        elif command == 's':
            self.reply('{"ap":"headset","bp":%d,"rc":0}' % self.args.battery)

    # Replies come as notifications of a length byte and up to 19 characters.
    def reply(self, text):
        control = self.chars[CONTROL]
        for start in range(0, len(text), 19):
            chunk = text[start:start + 19].encode('ascii')
            self.notify(control, bytes([len(chunk)]) + chunk + bytes(19 - len(chunk)))

    def notify(self, char, data):
        if not char.props[CHAR_IFACE]['Notifying']:
            return
        char.EmitSignal(dbus.PROPERTIES_IFACE, 'PropertiesChanged', 'sa{sv}as', [
            CHAR_IFACE, {'Value': dbus.Array(data, signature='y', variant_level=1)}, []])

    # ---- streaming -------------------------------------------------------------------------

    def start_streaming(self):
        if self.streaming:
            return
        self.streaming = True
        self.started_at = time.monotonic()
        self.sent = 0
        self.timer = GLib.timeout_add(5, self.tick)
        self.telemetry_timer = GLib.timeout_add(1000, self.telemetry)
        self.log('streaming')

    def stop_streaming(self):
        if not self.streaming:
            return
        self.streaming = False
        for timer in (self.timer, self.telemetry_timer):
            if timer:
                GLib.source_remove(timer)
        self.timer = self.telemetry_timer = None

    def signal_value(self, n):
        t = n / SAMPLE_RATE
        return self.args.amplitude * math.sin(2 * math.pi * self.args.rhythm * t) + \
            self.random.gauss(0, self.args.noise)

    def packet(self, first):
        counts = []
        for i in range(SAMPLES_PER_PACKET):
            count = round(self.signal_value(first + i) / 0.48828125) + 2048
            counts.append(max(0, min(4095, count)))
        data = bytearray([self.sequence >> 8, self.sequence & 0xFF])
        for i in range(0, SAMPLES_PER_PACKET, 2):
            a, b = counts[i], counts[i + 1]
            data += bytes([a >> 4, ((a & 0xF) << 4) | (b >> 8), b & 0xFF])
        return bytes(data)

    # Packets at the headband's pace, whatever the timer's jitter.
    def tick(self):
        due = int((time.monotonic() - self.started_at) * self.args.speed * SAMPLE_RATE
                  / SAMPLES_PER_PACKET)
        while self.streaming and self.sent < due:
            for code in EEG:
                if code in self.chars:
                    self.notify(self.chars[code], self.packet(self.sample))
            if self.timing_file:
                self.timing_file.write(f'{self.sequence} {time.monotonic_ns()}\n')
            self.sample += SAMPLES_PER_PACKET
            self.sequence = (self.sequence + 1) & 0xFFFF
            self.sent += 1
            if self.args.drop_after and not self.dropped and self.sent >= self.args.drop_after:
                self.dropped = True
                self.disconnect('dropped')
                if self.args.forget:
                    self.forget_device()
                return False
        return self.streaming

    def telemetry(self):
        battery = self.args.battery * 512
        data = bytes([0, 1, battery >> 8, battery & 0xFF]) + bytes(16)
        if TELEMETRY in self.chars:
            self.notify(self.chars[TELEMETRY], data)
        return self.streaming


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--log')
    parser.add_argument('--name', default='Muse-1234')
    parser.add_argument('--rhythm', type=float, default=10.0, help='Hz')
    parser.add_argument('--amplitude', type=float, default=40.0, help='µV')
    parser.add_argument('--noise', type=float, default=4.0, help='µV')
    parser.add_argument('--speed', type=float, default=1.0)
    parser.add_argument('--battery', type=int, default=88)
    parser.add_argument('--first-sequence', type=int, default=65500)
    parser.add_argument('--drop-after', type=int, default=0,
                        help='the headband drops out once after this many packets')
    parser.add_argument('--forget', action='store_true',
                        help='with --drop-after: BlueZ forgets the headband after the dropout')
    parser.add_argument('--missing-channel', help='leave this characteristic out (e.g. 0005)')
    parser.add_argument('--adapter', choices=['on', 'off', 'none'], default='on')
    parser.add_argument('--timing', help='"sequence monotonic-ns" of every packet once sent')
    parser.add_argument('--known', action='store_true',
                        help='BlueZ knows the headband before any search')
    args = parser.parse_args()

    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SystemBus()
    name = dbus.service.BusName('org.bluez', bus, allow_replacement=True,
                                replace_existing=True, do_not_queue=True)
    # dbusmock's own call log would go to standard output, where only "ready" belongs.
    root = DBusMockObject(name, '/', OBJECT_MANAGER_IFACE, {}, os.devnull, True)
    root.AddTemplate('bluez5', None)
    mockobject.objects['/'] = root
    headband = Headband(args, root)

    if args.adapter != 'none':
        adapter_path = root.AddAdapter('hci0', 'solvera-test')
        adapter = mockobject.objects[adapter_path]
        if args.adapter == 'off':
            adapter.props[ADAPTER_IFACE]['Powered'] = dbus.Boolean(False)

        def start_discovery(_adapter):
            headband.log('discovery')
            # The headband answers the search a moment later.
            GLib.timeout_add(50, lambda: headband.add_device() and False)

        adapter.AddMethods(ADAPTER_IFACE, [
            ('StartDiscovery', '', '', start_discovery),
            ('StopDiscovery', '', '', lambda _adapter: None),
        ])
        if args.known:
            headband.add_device()

    loop = GLib.MainLoop()
    for number in (signal.SIGTERM, signal.SIGINT):
        GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, number, loop.quit)
    bus.add_signal_receiver(loop.quit, signal_name='Disconnected',
                            path='/org/freedesktop/DBus/Local',
                            dbus_interface='org.freedesktop.DBus.Local')
    print('ready', flush=True)
    loop.run()


if __name__ == '__main__':
    sys.exit(main())
