// Timeline building, glides between and within phases.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { buildTimeline, sampleTimeline, parseTime, parseFrequency, formatClock } from '../../public/js/timeline.js';

const session = {
  durationMinutes: 3,
  carrierFrequencyHz: 200,
  phases: [
    { name: 'A', start: '00:00', end: '01:00', audioFrequencyHz: '10', lightFrequencyHz: '10', colorHex: '#ff0000', rgbIntensity: 50, pulseVolume: 40 },
    { name: 'B', start: '01:00', end: '02:00', audioFrequencyHz: '10 → 6', lightFrequencyHz: '8', rgb: { r: 0, g: 0, b: 255 }, rgbIntensity: 100, pulseVolume: 60, carrierFrequencyHz: '150' },
    { name: 'C', start: '02:00', end: '03:00', audioFrequencyHz: '4', lightFrequencyHz: '0', colorHex: '#00ff00' },
  ],
};

test('times and frequency texts are read the way sessions write them', () => {
  assert.equal(parseTime('05:30'), 330);
  assert.equal(parseTime('1:02:03'), 3723);
  assert.equal(parseTime('7.5'), 450, 'plain minutes');
  assert.ok(Number.isNaN(parseTime('5:75')), 'seconds above 59');
  assert.ok(Number.isNaN(parseTime('abc')));
  assert.deepEqual(parseFrequency('12 → 8'), { from: 12, to: 8 });
  assert.deepEqual(parseFrequency('12->8 Hz'), { from: 12, to: 8 });
  assert.deepEqual(parseFrequency('7,5'), { from: 7.5, to: 7.5 });
  assert.deepEqual(parseFrequency(10), { from: 10, to: 10 });
  assert.equal(parseFrequency('fast'), null);
  assert.equal(parseFrequency(''), null);
  assert.equal(formatClock(65), '01:05');
  assert.equal(formatClock(3725), '1:02:05');
});

test('values glide smoothly from one phase into the next and within a written glide', () => {
  const timeline = buildTimeline(session, { glideSeconds: 10 });
  assert.equal(timeline.durationS, 180);
  const endA = sampleTimeline(timeline, 59.9);
  assert.equal(endA.phaseIndex, 0);
  assert.deepEqual([endA.r, endA.b], [255, 0]);
  const atBoundary = sampleTimeline(timeline, 60);
  assert.equal(atBoundary.phaseIndex, 1);
  assert.ok(Math.abs(atBoundary.r - 255) < 1e-9, 'the glide starts where the previous phase ended');
  assert.equal(atBoundary.carrierHz, 200, 'carrier starts from the previous phase too');
  const midGlide = sampleTimeline(timeline, 65);
  assert.ok(midGlide.r > 0 && midGlide.r < 255 && midGlide.b > 0 && midGlide.b < 255, 'colour is between the phases');
  assert.ok(midGlide.gliding);
  assert.ok(midGlide.carrierHz < 200 && midGlide.carrierHz > 150);
  const afterGlide = sampleTimeline(timeline, 90);
  assert.equal(afterGlide.r, 0);
  assert.equal(afterGlide.b, 255);
  assert.equal(afterGlide.beatHz, 8, 'halfway through the written 10 → 6 glide');
  assert.equal(afterGlide.carrierHz, 150);
  assert.equal(afterGlide.rgbIntensity, 100);
  // Values a phase leaves out are carried on from the phase before.
  const c = sampleTimeline(timeline, 150);
  assert.equal(c.rgbIntensity, 100);
  assert.equal(c.pulseVolume, 60);
  assert.equal(c.lightHz, 0, 'a light frequency of 0 means steady light');
});

test('the session fades in and out and samples outside the session are clamped', () => {
  const timeline = buildTimeline(session);
  assert.equal(sampleTimeline(timeline, 0).envelope, 0);
  assert.equal(sampleTimeline(timeline, 30).envelope, 1);
  assert.equal(sampleTimeline(timeline, 180).envelope, 0);
  assert.equal(sampleTimeline(timeline, 500).phaseIndex, 2);
  const short = buildTimeline({ durationMinutes: 0.5, phases: [{ audioFrequencyHz: '10' }] });
  assert.equal(sampleTimeline(short, 3).envelope, 1, 'a short session fades over a tenth of its length');
  assert.ok(sampleTimeline(short, 28.5).envelope < 1);
  assert.equal(sampleTimeline(timeline, -5).time, 0);
});

test('unreadable or inconsistent phase times share the duration out evenly', () => {
  const timeline = buildTimeline({ durationMinutes: 10, phases: [{ start: 'x' }, { start: '02:00', end: '01:00' }] });
  assert.deepEqual(timeline.phases.map((p) => [p.startS, p.endS]), [[0, 300], [300, 600]]);
  assert.throws(() => buildTimeline({ phases: [] }));
  assert.throws(() => buildTimeline({}));
});

