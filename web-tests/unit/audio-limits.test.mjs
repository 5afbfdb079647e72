// The tone generator's one range table as the page uses it: the editor, the import and the
// request builder all follow the table the program gives, whatever it
// holds. The table here is made up on purpose, so a range built into the page would show.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { AudioLimits, parseAudioLimits } from '../../public/js/audio-limits.js';
import { checkDraft, newDraft } from '../../public/js/session-draft.js';
import { parseSessionFile, sessionFileContent } from '../../public/js/session-file.js';
import { importErrorText } from '../../public/js/content-panels.js';
import { buildAudioRequest } from '../../public/js/native-audio.js';
import { translate } from '../../public/js/i18n.js';

const reply = {
  ok: true, beatHz: { min: 1, max: 30 }, carrierHz: { min: 100, max: 500 }, volume: { min: 0, max: 1 },
  balance: { min: -1, max: 1 }, gainDb: { min: -6, max: 6 },
};
const limits = parseAudioLimits(reply);
const nl = (key, values) => translate('nl', key, values);
const en = (key, values) => translate('en', key, values);
const session = (phase, extra = {}) => ({
  id: 'x', title: 'Proef', carrierFrequencyHz: 200, ...extra,
  phases: [{ name: 'A', start: '00:00', end: '01:00', audioFrequencyHz: '10' }, { name: 'B', start: '01:00', end: '02:00', ...phase }],
});

test('the table is read only when every range is a pair of numbers', () => {
  assert.deepEqual(limits.beatHz, { min: 1, max: 30 });
  assert.equal(parseAudioLimits({ ...reply, ok: false }), null);
  assert.equal(parseAudioLimits({ ...reply, carrierHz: { min: 'x', max: 5 } }), null);
  assert.equal(parseAudioLimits({ ...reply, beatHz: { min: 40, max: 1 } }), null);
  assert.equal(parseAudioLimits(null), null);
});

test('the editor holds beats and the carrier to the table, and saves nothing without it', () => {
  const draft = newDraft('d');
  draft.title = 'Proef';
  const keysOf = (d, table) => Object.fromEntries(checkDraft(d, { audioLimits: table }).map((p) => [p.field, [p.key, p.values]]));
  Object.assign(draft.phases[0], { beatFrom: '30', beatTo: '1' });
  draft.carrier = '500';
  assert.deepEqual(keysOf(draft, limits), {}, 'the edges themselves are allowed');
  Object.assign(draft.phases[0], { beatFrom: '0.5', beatTo: '35' });
  draft.carrier = '600';
  const problems = keysOf(draft, limits);
  assert.deepEqual(problems['phases.0.beatFrom'], ['editor.error.beat', { min: 1, max: 30 }], 'below the table');
  assert.deepEqual(problems['phases.0.beatTo'], ['editor.error.beat', { min: 1, max: 30 }], 'above the table (the old editor took 35)');
  assert.deepEqual(problems.carrier, ['editor.error.carrier', { min: 100, max: 500 }]);
  assert.equal(nl(...problems['phases.0.beatTo']), 'De toongenerator speelt 1 tot 30 Hz.');
  Object.assign(draft.phases[0], { beatFrom: '10', beatTo: '10' });
  draft.carrier = '200';
  assert.deepEqual(keysOf(draft, null), { phases: ['editor.error.noLimits', {}] }, 'no table, no save');
});

test('an import that asks for more than the table is refused with the value, the phase and the range', () => {
  const parse = (s) => parseSessionFile(JSON.stringify(s), { audioLimits: limits });
  assert.ok(parse(session({ audioFrequencyHz: '30', carrierFrequencyHz: '100 → 500' })).ok, 'the edges play');
  const tooHigh = parse(session({ audioFrequencyHz: '10 → 50' }));
  assert.deepEqual([tooHigh.reason, tooHigh.detail], ['limits', { phase: 2, field: 'beat', value: 50, min: 1, max: 30 }]);
  assert.equal(importErrorText(nl, 'nl', tooHigh),
    'Fase 2 vraagt een toon van 50 Hz; de toongenerator speelt 1 tot 30 Hz. De sessie is niet geïmporteerd.');
  assert.equal(importErrorText(en, 'en', tooHigh),
    'Phase 2 asks for a beat of 50 Hz; the tone generator plays 1 to 30 Hz. The session was not imported.');
  const lowBeat = parse(session({ audioFrequencyHz: '0.5' }));
  assert.deepEqual([lowBeat.reason, lowBeat.detail.value], ['limits', 0.5], 'the old import took 0.5 Hz');
  const carrier = parse(session({ audioFrequencyHz: '10' }, { carrierFrequencyHz: 600 }));
  assert.deepEqual([carrier.reason, carrier.detail.field, carrier.detail.phase], ['limits', 'carrier', 1], 'the session carrier reaches every phase');
  // A session stored earlier still exports; the table decides only where it would play.
  const stored = session({ audioFrequencyHz: '50' });
  assert.ok(parseSessionFile(sessionFileContent(stored)).ok);
});

test('the request builder holds beat, carrier and what the settings add to the same table', () => {
  // The request builder holds what the settings add to the same table.
  const request = buildAudioRequest({ beatHz: 35, carrierHz: 50, pulseVolume: 100, envelope: 1 }, {}, { mode: 'session', bass: 40, treble: -9 },
    { masterVolume: 100 }, limits);
  assert.deepEqual([request.beat, request.carrier, request.bass, request.treble], [30, 100, 6, -6]);
});

test('the table is asked once and kept; a refused page learns why', async () => {
  let asked = 0;
  const answers = [{ ok: false, status: 403, body: { ok: false, error: 'invalid_token' } }, { ok: true, status: 200, body: reply }];
  const table = new AudioLimits(async () => { asked += 1; return answers.shift(); });
  assert.equal(await table.load(), null);
  assert.equal(table.status, 403);
  const [a, b] = await Promise.all([table.load(), table.load()]);
  assert.deepEqual(a, limits);
  assert.equal(b, a);
  await table.load();
  assert.equal(asked, 2, 'asked again after a refusal, once for two callers, never after an answer');
});
