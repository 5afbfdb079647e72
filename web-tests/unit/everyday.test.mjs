// Small faults a new user met, shown without a browser: the keys by what has focus (the blackout
// lifted for a new session is the controller's, in page-modules.test.mjs), the light readout while the lamps hold
// steady light, the editor's moving phase edges, and texts that said something untrue.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { pageKeyAction, takesKeys } from '../../public/js/keys.js';
import { lampPulseHz } from '../../public/js/light-limits.js';
import { checkDraft, newDraft, setPhaseTime } from '../../public/js/session-draft.js';
import { translate } from '../../public/js/i18n.js';

const nl = (key, values) => translate('nl', key, values);
const en = (key, values) => translate('en', key, values);

// An element as the key handler sees it.
function element(tagName, { type = null, role = null, editable = false } = {}) {
  return { nodeType: 1, tagName, isContentEditable: editable, getAttribute: (name) => ({ type, role }[name] ?? null) };
}
const key = (k, target, extra = {}) => pageKeyAction({ key: k, code: k === ' ' ? 'Space' : `Key${k.toUpperCase()}`, target, ...extra });

test('B is blackout wherever the focus is, except in text; Space pauses unless the focused control takes it', () => {
  const slider = element('DIV', { role: 'slider' });
  const range = element('INPUT', { type: 'range' });
  const text = element('INPUT', { type: 'text' });
  const cases = [
    [slider, 'blackout', 'togglePause', 'the progress bar after a seek'],
    [range, 'blackout', 'togglePause', 'a volume slider'],
    [element('SELECT'), 'blackout', null, 'a list: Space opens it'],
    [element('BUTTON'), 'blackout', null, 'a button: Space presses it'],
    [element('INPUT', { type: 'checkbox' }), 'blackout', null, 'a check box: Space ticks it'],
    [element('A'), 'blackout', 'togglePause', 'a link'],
    [element('BODY'), 'blackout', 'togglePause', 'nothing in particular'],
    [text, null, null, 'a text field'],
    [element('INPUT'), null, null, 'an input without a type is text'],
    [element('TEXTAREA'), null, null, 'a text area'],
    [element('DIV', { editable: true }), null, null, 'editable text'],
  ];
  for (const [target, b, space, what] of cases) {
    assert.equal(key('b', target), b, `B on ${what}`);
    assert.equal(key(' ', target), space, `Space on ${what}`);
  }
  assert.equal(key('B', slider), 'blackout');
  assert.equal(key('b', slider, { ctrlKey: true }), null, 'with a modifier the key is not ours');
  assert.equal(key('b', slider, { repeat: true }), null, 'a held key acts once');
  assert.equal(key('Escape', text), 'escape', 'Escape closes the coaching from a field too');
  // The desktop's presenter keys stay with elements that use the arrows themselves.
  assert.deepEqual([slider, range, element('SELECT'), text, element('BUTTON')].map(takesKeys), [true, true, true, true, false]);
});

test('the light readout says steady light whenever the lamps hold it', () => {
  const artnet = { maxPulseHz: { sine: 10, square: 6.66 } };
  const sample = (lightHz, pulseShape = 'sine') => ({ lightHz, pulseShape });
  assert.equal(lampPulseHz(sample(8), { pulse: true, limits: artnet }), 8);
  assert.equal(lampPulseHz(sample(14), { pulse: true, limits: artnet }), 0, 'faster than the output shows: the lamps hold the mean');
  assert.equal(lampPulseHz(sample(8, 'square'), { pulse: true, limits: artnet }), 0, 'per pulse shape');
  assert.equal(lampPulseHz(sample(8), { pulse: false, limits: artnet }), 0, 'pulsing switched off');
  assert.equal(lampPulseHz(sample(0), { pulse: true, limits: artnet }), 0, 'a phase without a pulse');
  assert.equal(lampPulseHz(sample(14), { pulse: true, limits: null }), 14, 'limits not known yet');
  assert.deepEqual([nl('player.steady'), en('player.steady')], ['constant licht', 'steady light']);
});

test('an edited end moves the next start, an edited start the previous end: no gap, no overlap', () => {
  const draft = newDraft('x');
  draft.title = 'Proef';
  draft.phases.push({ ...draft.phases[0], start: '05:00', end: '10:00' }, { ...draft.phases[0], start: '10:00', end: '15:00' });
  const audioLimits = { beatHz: { min: 0.1, max: 40 }, carrierHz: { min: 20, max: 20000 } };
  assert.deepEqual(setPhaseTime(draft, 0, 'end', '02:30'), ['phases.1.start']);
  assert.equal(draft.phases[1].start, '02:30');
  assert.deepEqual(setPhaseTime(draft, 2, 'start', '12:00'), ['phases.1.end']);
  assert.equal(draft.phases[1].end, '12:00');
  assert.deepEqual(checkDraft(draft, { audioLimits }), []);
  assert.deepEqual(setPhaseTime(draft, 0, 'end', '02:'), [], 'half typed: nothing moves yet');
  assert.equal(draft.phases[1].start, '02:30');
  assert.deepEqual(setPhaseTime(draft, 2, 'end', '16:00'), [], 'the last end moves nothing else');
  assert.deepEqual(setPhaseTime(draft, 0, 'start', '00:00'), [], 'nor does the first start');
});

test('texts that said something untrue', () => {
  for (const language of ['nl', 'en']) {
    assert.doesNotMatch(translate(language, 'headband.browserNote'), /is verbonden|is connected/, `${language}: nothing is connected`);
  }
  assert.doesNotMatch(en('net.tokenNeeded'), /Vanaf|apparaten/, 'the English page speaks English');
  assert.match(nl('net.tokenNeeded'), /toegangstoken/);
});
