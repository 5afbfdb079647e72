// Remote commands, the published state documents and the screen light's timing.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { applyRemoteCommand, buildRemoteState, CommandCursor } from '../../public/js/remote-protocol.js';
import { buildScreenLightState, ClockOffsetEstimator, pulseMultiplier, pulsePosition, RefreshRateMeter, screenBrightness, screenColorFromLook, screenShowsPulse } from '../../public/js/screen-sync.js';

function recorder() {
  const calls = [];
  const state = { blackout: false, breathing: true, audio: true, music: false, output: true };
  const actions = {
    start: () => calls.push('start'), pause: () => calls.push('pause'), resume: () => calls.push('resume'),
    togglePause: () => calls.push('togglePause'), stop: () => calls.push('stop'),
    isBlackout: () => state.blackout, setBlackout: (v) => calls.push(['blackout', v]),
    isBreathing: () => state.breathing, setBreathing: (v) => calls.push(['breathing', v]),
    isAudioEnabled: () => state.audio, setAudioEnabled: (v) => calls.push(['audio', v]),
    isMusicEnabled: () => state.music, setMusicEnabled: (v) => calls.push(['music', v]),
    isOutputEnabled: () => state.output, setOutputEnabled: (v) => calls.push(['output', v]),
    setControl: (k, v) => calls.push([k, v]),
  };
  return { calls, actions };
}

test('commands map onto the page actions; toggles flip or take an explicit value', () => {
  const { calls, actions } = recorder();
  const commands = [
    { type: 'start' }, { type: 'pause' }, { type: 'resume' }, { type: 'stop' }, { type: 'togglePause' },
    { type: 'blackout' }, { type: 'blackout', value: false }, { type: 'breathing' },
    { type: 'music' }, { type: 'audio', value: true }, { type: 'output' },
    { type: 'masterVolume', value: 55.4 }, { type: 'rgbIntensity', value: '140' }, { type: 'whiteIntensity', value: -3 },
  ];
  for (const c of commands) assert.ok(applyRemoteCommand(c, actions), c.type);
  assert.deepEqual(calls, ['start', 'pause', 'resume', 'stop', 'togglePause', ['blackout', true], ['blackout', false],
    ['breathing', false], ['music', true], ['audio', true], ['output', false],
    ['masterVolume', 55], ['rgbIntensity', 100], ['whiteIntensity', 0]]);
  for (const bad of [null, {}, { type: 5 }, { type: 'selfDestruct' }, { type: 'masterVolume' }, { type: 'masterVolume', value: 'loud' }]) {
    assert.equal(applyRemoteCommand(bad, actions), false, JSON.stringify(bad));
  }
  assert.equal(calls.length, 14, 'rejected commands do nothing');
});

test('the command cursor hands out each command once and skips those from before the page', () => {
  const cursor = new CommandCursor(4);
  assert.deepEqual(cursor.take([{ id: 3, type: 'stop' }, { id: 6, type: 'b' }, { id: 5, type: 'a' }]).map((c) => c.id), [5, 6]);
  assert.equal(cursor.since, 6);
  assert.deepEqual(cursor.take([{ id: 6, type: 'b' }, { type: 'x' }, { id: '7', type: 'y' }]), []);
  cursor.resync(2);
  assert.equal(cursor.since, 2, 'a restarted server counts from its own last id');
  cursor.resync(9);
  assert.equal(cursor.since, 2);
  assert.equal(new CommandCursor(undefined).since, 0);
});

test('the remote state keeps the members of the default document and fills them in', () => {
  const doc = buildRemoteState({ title: 'Avondrust', timer: '12:00', running: true, paused: false, outputEnabled: true,
    blackout: false, masterVolume: 80, rgbIntensity: 100.4, whiteIntensity: 20, audioEnabled: true, musicPlaying: true }, 1234.9);
  assert.deepEqual(Object.keys(doc).slice(0, 7), ['ok', 'updatedAt', 'connected', 'session', 'output', 'controls', 'audio']);
  assert.equal(doc.updatedAt, 1234);
  assert.deepEqual([doc.session.title, doc.session.timer, doc.session.running, doc.session.paused], ['Avondrust', '12:00', true, false]);
  assert.deepEqual(doc.controls, { masterVolume: 80, rgbIntensity: 100, whiteIntensity: 20 });
  assert.deepEqual(doc.audio, { enabled: true, musicPlaying: true, musicEnabled: false });
  const idle = buildRemoteState({}, 0);
  assert.deepEqual([idle.session.title, idle.session.timer], ['Solvera Pro', '--:--']);
});

test('the clock offset follows the fastest round trips', () => {
  const clock = new ClockOffsetEstimator(5);
  assert.equal(clock.offset(), 0);
  clock.add(1000, 1200, 5150);   // slow: midpoint 1100 -> offset 4050, uncertain
  clock.add(2000, 2010, 6004);   // fast: midpoint 2005 -> offset 3999
  clock.add(3000, 3011, 7005.5); // fast: midpoint 3005.5 -> offset 4000
  assert.equal(clock.offset(), 3999.5);
  assert.equal(clock.uncertainty(), 5);
  clock.add(4000, 3990, 9999);   // a negative round trip is nonsense and dropped
  assert.equal(clock.samples.length, 3);
  for (let i = 0; i < 5; i += 1) clock.add(10000 + i * 100, 10100 + i * 100, 14050 + i * 100);
  assert.equal(clock.samples.length, 5, 'old samples are forgotten');
  assert.equal(clock.offset(), 4000);
});

test('pulse shapes and phase match the lamps; brightness follows the published state', () => {
  assert.equal(pulseMultiplier(0, 'sine'), 0);
  assert.equal(pulseMultiplier(0.5, 'sine'), 1);
  assert.equal(pulseMultiplier(0.5, 'square'), 0);
  assert.equal(pulseMultiplier(0, 'pulse'), 1, 'unknown shapes are square');
  assert.equal(pulseMultiplier(0.5, 'triangle'), 1);
  assert.equal(pulseMultiplier(0.2, 'trapezoid'), 1);
  assert.equal(pulseMultiplier(0.7, 'trapezoid'), (0.8 - 0.7) / 0.2);
  assert.ok(Math.abs(pulsePosition(10_250, 10_000, 10) - 0.5) < 1e-9);
  assert.equal(pulsePosition(9_000, 10_000, 10), 0, 'before the epoch the pulse has not started');
  const state = { active: true, intensity: 80, frequencyHz: 10, pulseShape: 'sine', pulseMode: 'sync', pulseEpochMs: 10_000 };
  assert.ok(Math.abs(screenBrightness(state, 10_050) - 0.8) < 1e-9, 'half a period: full');
  assert.equal(screenBrightness(state, 10_100), 0);
  assert.equal(screenBrightness({ ...state, pulseMode: 'steady' }, 10_100), 0.8);
  assert.equal(screenBrightness({ ...state, active: false }, 10_050), 0);
  assert.equal(screenBrightness({ ...state, frequencyHz: 0 }, 10_100), 0.8);
});

test('the screen light state has the default document members and splits the look into colour and intensity', () => {
  const doc = buildScreenLightState({ active: true, frequencyHz: 7.456, pulseEpochMs: 99.6, color: '#ff8000', intensity: 54.6, sessionTitle: 'X', phase: 'Y', language: 'en' }, 5);
  assert.deepEqual(Object.keys(doc), ['ok', 'updatedAt', 'active', 'frequencyHz', 'pulseShape', 'pulseMode', 'pulseEpochMs', 'color', 'intensity', 'language', 'sessionTitle', 'phase']);
  assert.deepEqual([doc.frequencyHz, doc.pulseEpochMs, doc.intensity, doc.pulseMode], [7.46, 100, 55, 'sync']);
  assert.deepEqual(screenColorFromLook({ r: 128, g: 64, b: 0, white: 0 }), { color: '#ff8000', intensity: (128 / 255) * 100 });
  assert.deepEqual(screenColorFromLook({ r: 0, g: 0, b: 0, white: 0 }), { color: '#000000', intensity: 0 });
  assert.equal(screenColorFromLook({ r: 100, g: 0, b: 0, white: 100 }).color, '#ff8080');
});

test('the screen pulses only where its refresh rate shows the pulse; above that it holds the mean', () => {
  const state = { active: true, intensity: 80, frequencyHz: 15, pulseMode: 'sync', pulseShape: 'sine', pulseEpochMs: 0 };
  assert.ok(screenShowsPulse(15, 'sine', 60), 'four frames per cycle at 60 Hz');
  assert.equal(screenShowsPulse(16, 'sine', 60), false);
  assert.equal(screenShowsPulse(15, 'square', 59.9), false, 'a square needs four too: no frame can sit on its edges');
  assert.equal(screenShowsPulse(12, 'trapezoid', 60), true);
  assert.equal(screenShowsPulse(12.5, 'trapezoid', 60), false, 'five for its corners');
  assert.equal(screenShowsPulse(1, 'sine', NaN), false, 'an unmeasured display gives steady light');
  assert.ok(Math.abs(screenBrightness(state, 1000 / 30, 60) - 0.8) < 1e-9, 'at 60 Hz, half a period of 15 Hz: full');
  for (const t of [0, 7, 13, 29]) {
    assert.equal(screenBrightness(state, t, 50), 0.4, `50 Hz cannot show 15 Hz: the mean, at ${t} ms`);
    assert.equal(screenBrightness({ ...state, pulseShape: 'trapezoid' }, t, 50), 0.8 * 0.6);
  }

  const meter = new RefreshRateMeter();
  let t = 1000;
  for (let i = 0; i < 29; i += 1) meter.add((t += 16.667));
  assert.ok(Number.isNaN(meter.hz), 'not yet measured');
  meter.add((t += 5000));  // the page was hidden: no interval
  for (let i = 0; i < 60; i += 1) meter.add((t += i % 10 === 0 ? 33.3 : 16.667));  // a dropped frame now and then
  assert.ok(Math.abs(meter.hz - 60) < 0.1, String(meter.hz));
  assert.ok(Math.abs(meter.frameMs - 16.667) < 0.01);
});
