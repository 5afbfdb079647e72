// Builds DMX frames and "/dmx" requests from the fixture layout and the light of the moment.

// Channel order of one fixture. "dim" is a master dimmer; it is the channel that pulses.
export const CHANNEL_LAYOUTS = {
  rgb: ['r', 'g', 'b'],
  rgbw: ['r', 'g', 'b', 'w'],
  drgb: ['dim', 'r', 'g', 'b'],
  drgbw: ['dim', 'r', 'g', 'b', 'w'],
  rgbd: ['r', 'g', 'b', 'dim'],
  rgbwd: ['r', 'g', 'b', 'w', 'dim'],
  dimmer: ['dim'],
};

export const OUTPUT_MODES = ['artnet', 'sacn', 'enttec-usb-pro', 'open-dmx-ftdi', 'ola'];
export const SERIAL_MODES = ['enttec-usb-pro', 'open-dmx-ftdi'];
// Outputs a request may carry besides the main one.
export const MAX_EXTRA_OUTPUTS = 7;
export const LIGHT_PULSE_SHAPES = ['sine', 'triangle', 'square', 'trapezoid', 'sawtooth'];
export const DMX_CHANNELS = 512;

function intIn(value, lo, hi, fallback) {
  const n = Number(value);
  return Number.isInteger(n) && n >= lo && n <= hi ? n : fallback;
}

// Fills gaps and repairs nonsense so a stored layout can always be used.
export function normalizeFixtureLayout(raw = {}) {
  const channelLayout = Object.hasOwn(CHANNEL_LAYOUTS, raw.channelLayout) ? raw.channelLayout : 'rgb';
  const footprint = CHANNEL_LAYOUTS[channelLayout].length;
  const spacing = intIn(raw.channelSpacing, 0, DMX_CHANNELS, 0);
  return {
    startAddress: intIn(raw.startAddress, 1, DMX_CHANNELS, 1),
    channelLayout,
    fixtureCount: intIn(raw.fixtureCount, 1, DMX_CHANNELS, 1),
    // 0 (or anything smaller than the fixture) packs the fixtures back to back.
    channelSpacing: spacing >= footprint ? spacing : footprint,
  };
}

// The channels of every fixture that fits in the universe: [{index, channels: {r: 1, ...}}],
// channel numbers 1-based.
export function fixtureChannels(layoutSettings) {
  const layout = normalizeFixtureLayout(layoutSettings);
  const order = CHANNEL_LAYOUTS[layout.channelLayout];
  const fixtures = [];
  for (let i = 0; i < layout.fixtureCount; i += 1) {
    const first = layout.startAddress + i * layout.channelSpacing;
    if (first + order.length - 1 > DMX_CHANNELS) break;
    const channels = {};
    order.forEach((role, offset) => { channels[role] = first + offset; });
    fixtures.push({ index: i, channels });
  }
  return fixtures;
}

const byte = (v) => Math.round(Math.min(255, Math.max(0, v)));

// look: {r, g, b, white}, each 0..255 after intensities have been applied.
// Returns {dmx, pulseChannels}: dmx reaches the last channel in use (the output pads to 512).
export function buildDmxFrame(layoutSettings, look) {
  const fixtures = fixtureChannels(layoutSettings);
  const hasWhite = fixtures.length > 0 && 'w' in fixtures[0].channels;
  const hasColour = fixtures.length > 0 && 'r' in fixtures[0].channels;
  const white = byte(look.white ?? 0);
  // Fixtures without a white emitter show white as an even addition to red, green and blue.
  const r = byte((look.r ?? 0) + (hasWhite ? 0 : white));
  const g = byte((look.g ?? 0) + (hasWhite ? 0 : white));
  const b = byte((look.b ?? 0) + (hasWhite ? 0 : white));
  const lit = r > 0 || g > 0 || b > 0 || white > 0;
  let length = 0;
  for (const f of fixtures) length = Math.max(length, ...Object.values(f.channels));
  const dmx = new Array(length).fill(0);
  const pulseChannels = [];
  for (const f of fixtures) {
    const c = f.channels;
    if ('r' in c) { dmx[c.r - 1] = r; dmx[c.g - 1] = g; dmx[c.b - 1] = b; }
    if ('w' in c) dmx[c.w - 1] = white;
    if ('dim' in c) {
      dmx[c.dim - 1] = hasColour ? (lit ? 255 : 0) : Math.max(r, g, b, white);
      pulseChannels.push(c.dim);
    } else {
      pulseChannels.push(c.r, c.g, c.b);
      if ('w' in c) pulseChannels.push(c.w);
    }
  }
  return { dmx, pulseChannels };
}

// The look of the moment from a timeline sample and the live controls (percentages).
export function lightLook(sample, controls) {
  const envelope = sample.envelope ?? 1;
  const rgbLevel = (sample.rgbIntensity / 100) * (controls.rgbIntensity / 100) * envelope;
  const whiteLevel = (sample.whiteIntensity / 100) * (controls.whiteIntensity / 100) * envelope;
  return {
    r: byte(sample.color.r * rgbLevel),
    g: byte(sample.color.g * rgbLevel),
    b: byte(sample.color.b * rgbLevel),
    white: byte(255 * whiteLevel),
  };
}

// One output's own keys of a "/dmx" request.
function outputKeys(output) {
  const mode = OUTPUT_MODES.includes(output.outputMode) ? output.outputMode : 'artnet';
  const keys = {
    outputMode: mode,
    // The decoder wants an address and universe for every mode; serial outputs and OLA ignore
    // the address, and sACN without one sends to the universe's multicast group.
    targetIp: typeof output.targetIp === 'string' && output.targetIp ? output.targetIp : mode === 'sacn' ? '' : '127.0.0.1',
    universe: intIn(output.universe, 0, 63999, 0),
  };
  if (SERIAL_MODES.includes(mode) && output.serialPort) keys.serialPort = output.serialPort;
  if (mode === 'sacn') {
    if (Number.isInteger(output.priority)) keys.priority = intIn(output.priority, 0, 200, 100);
    if (output.networkInterface) keys.interface = output.networkInterface;
  }
  if (mode === 'artnet' && output.sequencing) keys.sequencing = true;
  if (mode === 'artnet' && output.sync) keys.sync = true;
  return keys;
}

// The "/dmx" body. `pulse` is {hz, shape} or null for steady light. Extra outputs ready to send
// to get the same light: the body then lists every output.
export function buildDmxRequest(output, frame, pulse, clientId = 'control') {
  const request = { clientId, sourceKind: 'session', ...outputKeys(output), dmx: frame.dmx };
  const extra = (Array.isArray(output.extraOutputs) ? output.extraOutputs : []).filter(outputReady);
  if (extra.length > 0) request.outputs = [outputKeys(output), ...extra.slice(0, MAX_EXTRA_OUTPUTS).map(outputKeys)];
  if (pulse && pulse.hz > 0 && frame.pulseChannels.length > 0) {
    request.pulseHz = Math.round(pulse.hz * 100) / 100;
    request.pulseChannels = frame.pulseChannels;
    request.pulseShape = LIGHT_PULSE_SHAPES.includes(pulse.shape) ? pulse.shape : 'sine';
    if (output.shortFrames === true) request.shortFrames = true;
  }
  return request;
}

// All channels dark, no pulse: what blackout, stop and closing the page send.
export function blackoutRequest(output, layoutSettings, clientId = 'control') {
  const { dmx } = buildDmxFrame(layoutSettings, { r: 0, g: 0, b: 0, white: 0 });
  return buildDmxRequest(output, { dmx, pulseChannels: [] }, null, clientId);
}

// Whether the output is configured well enough to send to.
export function outputReady(output) {
  // Without a chosen port the serial outputs take the best candidate themselves.
  if (SERIAL_MODES.includes(output.outputMode) || output.outputMode === 'ola') return true;
  // sACN without an address multicasts.
  if (output.outputMode === 'sacn' && output.targetIp === '') return true;
  return typeof output.targetIp === 'string' && /^[A-Za-z0-9.-]+$/.test(output.targetIp);
}

// Identity of the native output stream: its pulse phase continues while this stays the same.
export function streamKey(request) {
  const key = (r) => (r.outputMode === 'artnet' || r.outputMode === 'sacn' ? `${r.outputMode}|${r.targetIp}|${r.universe}`
    : r.outputMode === 'ola' ? `ola|${r.universe}` : r.outputMode);
  return Array.isArray(request.outputs) ? request.outputs.map(key).join(',') : key(request);
}
