// The light-limit notice: which phases the chosen output cannot pulse, before and while playing.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { lampsShow, limitNotice, limitsPath, phasesBeyond } from '../../public/js/light-limits.js';
import { buildDmxRequest } from '../../public/js/dmx-frame.js';
import { translate } from '../../public/js/i18n.js';
import { buildTimeline } from '../../public/js/timeline.js';

// What the program answers for Art-Net with whole frames.
const ARTNET = { ok: true, outputMode: 'artnet', slots: 512, framesPerSecond: 43.9,
  maxPulseHz: { sine: 10.98, triangle: 10.98, square: 21.96, trapezoid: 8.78, sawtooth: 10.98 } };

const session = {
  id: 't', title: 'Test', durationMinutes: 3,
  phases: [
    { name: 'Aankomen', start: '00:00', end: '01:00', audioFrequencyHz: '10', lightFrequencyHz: '10', pulseShape: 'sine' },
    { name: 'Focus', nameEn: 'Focus EN', start: '01:00', end: '02:00', audioFrequencyHz: '12', lightFrequencyHz: '8 → 12', pulseShape: 'sine' },
    { name: 'Flits', start: '02:00', end: '03:00', audioFrequencyHz: '18', lightFrequencyHz: '18', pulseShape: 'square' },
  ],
};

test('a phase beyond the chosen output\'s limit shows the notice, before and while playing', () => {
  const timeline = buildTimeline(session);
  assert.deepEqual(phasesBeyond(timeline, ARTNET).map((b) => b.phase.index), [1], 'a glide to 12 Hz is beyond; an 18 Hz square is not');
  const t = (key, values) => translate('nl', key, values);
  assert.equal(limitNotice({ timeline, limits: ARTNET, t }),
    'Deze lichtuitgang kan de puls van Focus (12 Hz) niet tonen: de lampen geven daar rustig licht. Het schermlicht pulseert wel.'
    + ' Met korte DMX-frames (Instellingen) gaan snellere pulsen wel.');
  assert.match(limitNotice({ timeline, limits: ARTNET, language: 'en', t: (k, v) => translate('en', k, v) }), /pulse of Focus EN \(12 Hz\)/);

  const playing = { lightHz: 11.5, pulseShape: 'sine', phase: timeline.phases[1] };
  assert.match(limitNotice({ timeline, limits: ARTNET, sample: playing, t }), /^Nu rustig licht op de lampen: 11\.5 Hz is sneller dan deze uitgang kan tonen \(tot 10\.98 Hz bij deze vorm\)/);
  assert.match(limitNotice({ timeline, limits: ARTNET, sample: { ...playing, lightHz: 10.98 }, t }), /^Deze lichtuitgang/, 'at the limit the lamps pulse');

  const short = { ...ARTNET, slots: 4, maxPulseHz: { sine: 40, triangle: 40, square: 40, trapezoid: 40, sawtooth: 40 } };
  assert.equal(limitNotice({ timeline, limits: short, t }), '', 'short frames show every phase');
  assert.ok(lampsShow(ARTNET, 0, 'sine'), 'steady light is always shown');
});

test('the limits are asked for the output and channels in use; short frames travel with pulsed frames only', () => {
  const light = { outputMode: 'artnet', targetIp: '127.0.0.1', universe: 0, channelLayout: 'rgb', startAddress: 10, fixtureCount: 2, channelSpacing: 0 };
  assert.equal(limitsPath(light), '/dmx/limits?outputMode=artnet&channels=15');
  assert.equal(limitsPath({ ...light, outputMode: 'enttec-usb-pro', shortFrames: true }), '/dmx/limits?outputMode=enttec-usb-pro&channels=15&shortFrames=1');
  const frame = { dmx: [255], pulseChannels: [1] };
  assert.equal(buildDmxRequest({ ...light, shortFrames: true }, frame, { hz: 12, shape: 'sine' }).shortFrames, true);
  assert.equal('shortFrames' in buildDmxRequest({ ...light, shortFrames: true }, frame, null), false, 'steady light keeps whole frames');
  assert.equal('shortFrames' in buildDmxRequest(light, frame, { hz: 12, shape: 'sine' }), false);
});
