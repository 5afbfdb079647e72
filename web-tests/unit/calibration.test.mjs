// The settings' sound parts: the calibration aid's click and flash, and the device list.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { CalibrationAid, CLICK_PERIOD_S, FLASH_MS, heardAtMs } from '../../public/js/calibration.js';
import { deviceOptions, normalizeProgramSettings } from '../../public/js/settings.js';
import { translate } from '../../public/js/i18n.js';

// An audio context whose output runs 40 ms behind its clock, as the browser reports it; the
// test moves both clocks.
function fakeContext(clock) {
  const clicks = [];
  const node = () => ({ connect: (next) => next, frequency: {}, gain: { setValueAtTime: () => {} }, start: (at) => clicks.push(at), stop: () => {} });
  return {
    clicks,
    closed: false,
    get currentTime() { return clock.ms / 1000; },
    createOscillator: node,
    createGain: node,
    destination: {},
    getOutputTimestamp: () => ({ contextTime: clock.ms / 1000 - 0.04, performanceTime: clock.ms + 5000 }),
    close() { this.closed = true; },
  };
}

test('the flash comes when the click is heard, later by the extra delay; clicks a second apart, scheduled ahead', () => {
  const stamp = { contextTime: 10, performanceTime: 20_000 };
  assert.equal(heardAtMs(10.5, { stamp }, 0), 20_500, 'by the output\'s own time stamp');
  assert.equal(heardAtMs(10.5, { stamp }, 180), 20_680);
  assert.equal(heardAtMs(10.5, { stamp: null, currentTime: 10, nowMs: 3000, latencyS: 0.03 }, 100), 3630, 'else by the reported latency');

  const clock = { ms: 0 };
  const frames = [];
  const timers = [];
  const flashes = [];
  let context = null;
  const aid = new CalibrationAid({
    createContext: () => (context = fakeContext(clock)),
    flash: (on) => flashes.push([clock.ms, on]),
    now: () => clock.ms + 5000, // the page's clock is 5 s ahead of the context's
    frame: (fn) => frames.push(fn), cancelFrame: () => frames.splice(0),
    later: (fn) => timers.push(fn), cancel: () => timers.splice(0),
  });
  aid.extraMs = 100;
  assert.equal(aid.start(), true);
  // Run 3 s in 4 ms frames and 200 ms schedule turns.
  while (clock.ms < 3000) {
    clock.ms += 4;
    if (clock.ms % 200 === 0) timers.shift()?.();
    frames.shift()?.();
  }
  assert.deepEqual(context.clicks.slice(0, 3), [0.3, 0.3 + CLICK_PERIOD_S, 0.3 + 2 * CLICK_PERIOD_S]);
  assert.ok(context.clicks.length >= 4, 'the next click is in hand before it is due');
  // Heard at 0.3 s + 40 ms of output, flashed 100 ms after that, for FLASH_MS.
  const on = flashes.filter(([, lit]) => lit).map(([at]) => at);
  const off = flashes.filter(([, lit]) => !lit).map(([at]) => at);
  assert.deepEqual(on.slice(0, 2), [440, 1440]);
  const frameAfter = (ms) => Math.ceil(ms / 4) * 4; // shown from the first frame at or after it
  assert.deepEqual(off.slice(0, 2), [frameAfter(440 + FLASH_MS), frameAfter(1440 + FLASH_MS)]);
  aid.extraMs = 250;
  while (clock.ms < 4000) { clock.ms += 4; if (clock.ms % 200 === 0) timers.shift()?.(); frames.shift()?.(); }
  assert.equal(flashes.filter(([, lit]) => lit).at(-1)[0], frameAfter(3590), 'a moved slider moves the flash');
  aid.stop();
  assert.equal(context.closed, true);
  assert.equal(flashes.at(-1)[1], false, 'dark when stopped');
  assert.equal(new CalibrationAid({ createContext: () => null, flash: () => {} }).start(), false, 'no sound here: says so');
});

test('the device list: the system default first, each device once, a chosen one that is away kept by name', () => {
  const t = (key, values) => translate('nl', key, values);
  const reply = { ok: true, devices: [{ name: 'Speakers', default: true }, { name: 'USB Koptelefoon' }, { name: 'USB Koptelefoon' }, { name: 5 }] };
  assert.deepEqual(deviceOptions(reply, 'USB Koptelefoon', t).map((o) => o.value), ['', 'Speakers', 'USB Koptelefoon']);
  assert.deepEqual(deviceOptions(reply, 'BT Oordopjes', t).at(-1), { value: 'BT Oordopjes', label: 'BT Oordopjes (nu niet aangesloten)' });
  assert.deepEqual(deviceOptions(null, '', t), [{ value: '', label: 'Standaard van het systeem' }]);
  const settings = normalizeProgramSettings({ audio: { device: ' USB ', latencyMs: 5000 }, photosensitivityAccepted: 'yes' });
  assert.deepEqual([settings.audio.device, settings.audio.latencyMs, settings.photosensitivityAccepted], ['USB', 1000, false]);
  assert.equal(normalizeProgramSettings({ audio: { latencyMs: 182.4 } }).audio.latencyMs, 182);
});
