// The serial outbox and the audio update gate that keep traffic to the native side lean.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { SerialOutbox } from '../../public/js/outbox.js';
import { AudioUpdateGate, buildAudioRequest } from '../../public/js/native-audio.js';

function controlledTransport() {
  const calls = [];
  const transport = (path, body) => new Promise((resolve) => calls.push({ path, body, resolve }));
  return { calls, transport };
}

test('one request at a time, in order; waiting frames collapse into the newest', async () => {
  const { calls, transport } = controlledTransport();
  const results = [];
  const outbox = new SerialOutbox(transport, (item, result) => results.push([item.body, result.ok]));
  const first = outbox.send('/dmx', 1, 'frame');
  outbox.send('/dmx', 2, 'frame');
  outbox.send('/dmx', 3, 'frame');
  const start = outbox.send('/audio/start', 'start');
  const stop = outbox.send('/audio/stop', 'stop');
  assert.equal(calls.length, 1, 'the second waits for the first');
  calls[0].resolve({ ok: true });
  assert.deepEqual(await first, { ok: true });
  await new Promise((r) => setImmediate(r));
  assert.deepEqual(calls.map((c) => c.body), [1, 3], 'frame 2 was replaced by frame 3');
  calls[1].resolve({ ok: false, status: 400, body: { error: 'Invalid target IP' } });
  await new Promise((r) => setImmediate(r));
  calls[2].resolve({ ok: true });
  assert.deepEqual(await start, { ok: true });
  await new Promise((r) => setImmediate(r));
  assert.equal(calls[3].body, 'stop', 'unkeyed requests are never merged');
  calls[3].resolve({ ok: true });
  await stop;
  await outbox.whenIdle();
  assert.deepEqual(results, [[1, true], [3, false], ['start', true], ['stop', true]]);
});

test('an urgent request overtakes the one in flight and is repeated after it', async () => {
  const { calls, transport } = controlledTransport();
  const outbox = new SerialOutbox(transport);
  outbox.send('/dmx', 'lit-1', 'frame');
  outbox.send('/dmx', 'lit-2', 'frame');
  const black = outbox.urgent('/dmx', 'black', 'frame');
  await new Promise((r) => setImmediate(r));
  assert.deepEqual(calls.map((c) => c.body), ['lit-1', 'black'], 'out at once, not behind the frame in flight');
  calls[1].resolve({ ok: true, n: 1 });
  calls[0].resolve({ ok: true });
  await new Promise((r) => setImmediate(r));
  assert.deepEqual(calls.map((c) => c.body), ['lit-1', 'black', 'black'], 'the waiting frame was replaced by the repeat');
  calls[2].resolve({ ok: true, n: 2 });
  assert.deepEqual(await black, { ok: true, n: 2 });
  const idle = new SerialOutbox(async (path, body) => ({ ok: true, body }));
  assert.deepEqual(await idle.urgent('/dmx', 'x', 'frame'), { ok: true, body: 'x' }, 'when idle it is an ordinary send');
});

test('a transport that throws is reported and does not stall the queue', async () => {
  let n = 0;
  const outbox = new SerialOutbox(async () => { n += 1; if (n === 1) throw new Error('connection refused'); return { ok: true }; });
  const failed = await outbox.send('/dmx', 'a');
  assert.equal(failed.ok, false);
  assert.equal(failed.error.message, 'connection refused');
  assert.deepEqual(await outbox.send('/dmx', 'b'), { ok: true });
});

test('audio updates go out only on change and at most every interval', () => {
  const gate = new AudioUpdateGate(250);
  const sample = { beatHz: 10, carrierHz: 200, pulseVolume: 50, envelope: 1, audioPulseShape: 'sine' };
  const settings = { mode: 'session', pulseShape: 'session', balance: 0, bass: 0, mid: 0, treble: 0 };
  const controls = { masterVolume: 80 };
  const a = buildAudioRequest(sample, { audioMode: 'monaural' }, settings, controls);
  assert.deepEqual(a, { mode: 'monaural', pulseShape: 'sine', carrier: 200, beat: 10, volume: 0.4, balance: 0, bass: 0, mid: 0, treble: 0 });
  assert.equal(gate.offer(a, 0), a);
  assert.equal(gate.offer({ ...a }, 1000), null, 'unchanged');
  const b = buildAudioRequest({ ...sample, beatHz: 9.9991 }, { audioMode: 'monaural' }, settings, controls);
  assert.equal(gate.offer(b, 1000), null, 'a change below the rounding step is no change');
  const c = buildAudioRequest({ ...sample, beatHz: 9.9 }, { audioMode: 'monaural' }, settings, controls);
  assert.equal(gate.offer(c, 1100), c);
  const d = { ...c, beat: 9.8 };
  assert.equal(gate.offer(d, 1200), null, 'too soon after the last one');
  assert.equal(gate.offer(d, 1350), d, 'the newest value goes out once the interval has passed');
  const limits = { gainDb: { min: -12, max: 12 } };
  const forced = buildAudioRequest(sample, { audioMode: 'x' }, { ...settings, mode: 'isochronic', pulseShape: 'square', bass: 40 }, controls, limits);
  assert.equal(forced.mode, 'isochronic', 'settings override the session');
  assert.equal(forced.pulseShape, 'square');
  assert.equal(forced.bass, 12, 'equaliser gains are kept within the engine\'s table');
});
