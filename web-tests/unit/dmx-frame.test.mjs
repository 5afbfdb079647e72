// DMX frame layout for the fixture layouts and the "/dmx" request built from it.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { buildDmxFrame, buildDmxRequest, blackoutRequest, lightLook, normalizeFixtureLayout, outputReady, streamKey } from '../../public/js/dmx-frame.js';

const look = { r: 200, g: 100, b: 50, white: 30 };

test('RGB fixtures: colours at their addresses, white mixed in evenly, colour channels pulse', () => {
  const frame = buildDmxFrame({ startAddress: 10, channelLayout: 'rgb', fixtureCount: 2 }, look);
  assert.equal(frame.dmx.length, 15, 'reaches the last channel in use');
  assert.deepEqual(frame.dmx.slice(0, 9), new Array(9).fill(0), 'channels before the start address stay dark');
  assert.deepEqual(frame.dmx.slice(9), [230, 130, 80, 230, 130, 80]);
  assert.deepEqual(frame.pulseChannels, [10, 11, 12, 13, 14, 15]);
});

test('fixtures with a dimmer pulse only the dimmer; RGBW keeps white on its own channel', () => {
  const frame = buildDmxFrame({ startAddress: 1, channelLayout: 'drgbw', fixtureCount: 2, channelSpacing: 8 }, look);
  assert.deepEqual(frame.dmx, [255, 200, 100, 50, 30, 0, 0, 0, 255, 200, 100, 50, 30]);
  assert.deepEqual(frame.pulseChannels, [1, 9]);
  const dark = buildDmxFrame({ channelLayout: 'drgb' }, { r: 0, g: 0, b: 0, white: 0 });
  assert.deepEqual(dark.dmx, [0, 0, 0, 0], 'the dimmer closes when nothing is lit');
  const single = buildDmxFrame({ channelLayout: 'dimmer', fixtureCount: 3 }, { r: 10, g: 90, b: 40, white: 20 });
  assert.deepEqual(single.dmx, [110, 110, 110], 'a plain dimmer follows the brightest part');
  const rgbw = buildDmxFrame({ channelLayout: 'rgbw' }, look);
  assert.deepEqual(rgbw.pulseChannels, [1, 2, 3, 4]);
});

test('fixtures that would run past channel 512 are left out, nonsense layouts are repaired', () => {
  const frame = buildDmxFrame({ startAddress: 508, channelLayout: 'rgbw', fixtureCount: 3 }, look);
  assert.equal(frame.dmx.length, 511);
  assert.deepEqual(frame.pulseChannels, [508, 509, 510, 511]);
  assert.deepEqual(normalizeFixtureLayout({ startAddress: 0, channelLayout: 'xyz', fixtureCount: -1, channelSpacing: 2 }),
    { startAddress: 1, channelLayout: 'rgb', fixtureCount: 1, channelSpacing: 3 });
  assert.deepEqual(buildDmxFrame({ startAddress: 512, channelLayout: 'rgb' }, look).dmx, []);
});

test('the look scales colour and white by the phase and the live intensities', () => {
  const sample = { color: { r: 255, g: 128, b: 0 }, rgbIntensity: 50, whiteIntensity: 20, envelope: 1 };
  assert.deepEqual(lightLook(sample, { rgbIntensity: 100, whiteIntensity: 50 }), { r: 128, g: 64, b: 0, white: 26 });
  assert.deepEqual(lightLook({ ...sample, envelope: 0 }, { rgbIntensity: 100, whiteIntensity: 100 }), { r: 0, g: 0, b: 0, white: 0 });
});

test('requests carry the output, the pulse only when something can pulse, and blackout is all zero', () => {
  const output = { outputMode: 'artnet', targetIp: '127.0.0.9', universe: 3, serialPort: '/dev/ttyUSB0' };
  const frame = buildDmxFrame({ channelLayout: 'rgb' }, look);
  const request = buildDmxRequest(output, frame, { hz: 7.456, shape: 'triangle' });
  assert.deepEqual(request, {
    clientId: 'control', sourceKind: 'session', outputMode: 'artnet', targetIp: '127.0.0.9', universe: 3,
    dmx: [230, 130, 80], pulseHz: 7.46, pulseChannels: [1, 2, 3], pulseShape: 'triangle',
  });
  assert.equal(buildDmxRequest(output, frame, { hz: 0, shape: 'sine' }).pulseHz, undefined, 'steady light');
  assert.equal(buildDmxRequest(output, frame, { hz: 8, shape: 'wobble' }).pulseShape, 'sine');
  const serial = buildDmxRequest({ ...output, outputMode: 'enttec-usb-pro' }, frame, null);
  assert.equal(serial.serialPort, '/dev/ttyUSB0');
  assert.equal(typeof serial.targetIp, 'string', 'the decoder needs an address for every mode');
  const black = blackoutRequest(output, { channelLayout: 'drgbw', fixtureCount: 2 });
  assert.deepEqual(black.dmx, new Array(10).fill(0));
  assert.equal('pulseHz' in black, false);
  assert.equal(streamKey(request), 'artnet|127.0.0.9|3');
  assert.equal(outputReady({ outputMode: 'artnet', targetIp: '' }), false);
  assert.equal(outputReady({ outputMode: 'artnet', targetIp: '10.0.0.1:6454' }), false);
  assert.equal(outputReady({ outputMode: 'open-dmx-ftdi', serialPort: '' }), true);
});

test('several outputs: each keeps its own keys, unready ones are left out, the stream names them all', () => {
  const frame = { dmx: [9], pulseChannels: [1] };
  const main = { outputMode: 'sacn', targetIp: '', universe: 5, priority: 150, networkInterface: 'eth1', sequencing: true,
    extraOutputs: [
      { outputMode: 'enttec-usb-pro', serialPort: '/dev/ttyUSB0', targetIp: '', universe: 0 },
      { outputMode: 'artnet', targetIp: '', universe: 1 }, // no address yet: not sent to
      { outputMode: 'ola', targetIp: '', universe: 3 },
    ] };
  assert.ok(outputReady(main), 'sACN without an address multicasts');
  const request = buildDmxRequest(main, frame, { hz: 10, shape: 'sine' });
  assert.deepEqual(request.outputs, [
    { outputMode: 'sacn', targetIp: '', universe: 5, priority: 150, interface: 'eth1' },
    { outputMode: 'enttec-usb-pro', targetIp: '127.0.0.1', universe: 0, serialPort: '/dev/ttyUSB0' },
    { outputMode: 'ola', targetIp: '127.0.0.1', universe: 3 },
  ]);
  assert.deepEqual([request.dmx, request.pulseHz], [[9], 10], 'the frame and pulse are shared');
  assert.equal(streamKey(request), 'sacn||5,enttec-usb-pro,ola|3');
  const art = buildDmxRequest({ outputMode: 'artnet', targetIp: '10.0.0.255', universe: 2, sequencing: true, sync: true }, frame, null);
  assert.deepEqual([art.sequencing, art.sync, art.outputs], [true, true, undefined]);
});
