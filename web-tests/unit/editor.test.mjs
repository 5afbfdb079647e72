// The session editor's model: phase operations, the checks with their fields, and the session
// it makes, which must survive a session file and play as drawn.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { addPhase, checkDraft, draftFromSession, movePhase, newDraft, phaseSession, removePhase, sessionFromDraft, splitPhase } from '../../public/js/session-draft.js';
import { parseSessionFile, sessionFileContent } from '../../public/js/session-file.js';
import { buildTimeline, sampleTimeline } from '../../public/js/timeline.js';
import { TEXTS } from '../../public/js/i18n.js';

// A tone generator's table as the program gives it ("/audio/limits").
const audioLimits = { beatHz: { min: 0.1, max: 40 }, carrierHz: { min: 20, max: 20000 } };

function built() {
  const draft = newDraft('eigen-test');
  Object.assign(draft, { title: 'Mijn avond', goal: 'Rust', audioMode: 'monaural', carrier: '180' });
  Object.assign(draft.phases[0], { name: 'Aankomen', end: '02:00', beatFrom: '10', beatTo: '10', lightFrom: '10', lightTo: '10', colorHex: '#ff0000' });
  addPhase(draft);
  Object.assign(draft.phases[1], { name: 'Zakken', end: '06:00', beatFrom: '12', beatTo: '6', lightFrom: '8', lightTo: '4', colorHex: '#0000ff', noiseVolume: '30' });
  addPhase(draft);
  Object.assign(draft.phases[2], { name: 'Terug', beatFrom: '6', beatTo: '9,5', lightFrom: '0', lightTo: '0', colorHex: '#00ff00' });
  return draft;
}

test('a session made in the editor survives export and import unchanged and plays as drawn', () => {
  const draft = built();
  assert.deepEqual(draft.phases.map((p) => [p.start, p.end]), [['00:00', '02:00'], ['02:00', '06:00'], ['06:00', '11:00']],
    'added phases follow on without gaps');
  assert.deepEqual(checkDraft(draft, { audioLimits }), []);
  const session = sessionFromDraft(draft);
  const back = parseSessionFile(sessionFileContent(session));
  assert.equal(back.ok, true, JSON.stringify(back));
  assert.deepEqual(back.session, session, 'unchanged through the session file');
  assert.deepEqual(sessionFromDraft(draftFromSession(back.session)), session, 'opened again in the editor and saved: the same session');

  const timeline = buildTimeline(back.session);
  const at = (s) => sampleTimeline(timeline, s);
  assert.equal(timeline.durationS, 660);
  assert.deepEqual([at(119.9).phaseIndex, at(119.9).beatHz, at(119.9).color.r], [0, 10, 255], 'the end of the first phase');
  // The second phase glides in from 10 Hz, then follows its own 12 → 6 line.
  assert.equal(at(120).beatHz, 10, 'no jump at the boundary');
  assert.equal(at(240).beatHz, 9, 'halfway down the written glide 12 → 6');
  assert.equal(at(240).lightHz, 6, 'the light glides on its own line');
  assert.deepEqual(at(240).color, { r: 0, g: 0, b: 255 });
  assert.equal(at(660).beatHz, 9.5, 'the decimal comma is read');
  assert.equal(back.session.carrierFrequencyHz, 180);
  assert.deepEqual(back.session.frequencyRangeHz, [6, 12]);

  // Listening to one phase plays that phase alone from its start.
  const alone = buildTimeline(phaseSession(draft, 1));
  assert.deepEqual([alone.durationS, sampleTimeline(alone, 0).beatHz, sampleTimeline(alone, 120).beatHz], [240, 12, 9]);
});

test('split, move and remove keep the course and leave no gaps', () => {
  const draft = built();
  splitPhase(draft, 1);
  assert.deepEqual(draft.phases.map((p) => [p.start, p.end]).slice(1, 3), [['02:00', '04:00'], ['04:00', '06:00']]);
  assert.deepEqual([draft.phases[1].beatTo, draft.phases[2].beatFrom, draft.phases[2].beatTo], [9, 9, '6'], 'the glide is cut halfway');
  const timeline = buildTimeline(sessionFromDraft(draft));
  assert.equal(sampleTimeline(timeline, 300).beatHz, 7.5, 'the second half sounds as before');
  movePhase(draft, 3, -3);
  assert.deepEqual(draft.phases.map((p) => p.name), ['Terug', 'Aankomen', 'Zakken', 'Zakken (2)']);
  assert.deepEqual(draft.phases.map((p) => [p.start, p.end]), [['00:00', '05:00'], ['05:00', '07:00'], ['07:00', '09:00'], ['09:00', '11:00']]);
  removePhase(draft, 0);
  assert.deepEqual(draft.phases.map((p) => p.start), ['00:00', '02:00', '04:00']);
  while (draft.phases.length > 1) removePhase(draft, 0);
  removePhase(draft, 0);
  assert.equal(draft.phases.length, 1, 'the last phase stays');
  assert.deepEqual(checkDraft(draft, { audioLimits }), []);
});

test('invalid input is refused with a Dutch message for its own field', () => {
  const draft = built();
  Object.assign(draft, { title: ' ', carrier: '5' });
  Object.assign(draft.phases[1], { start: '02:30', beatTo: '45' });
  Object.assign(draft.phases[2], { start: '05:00', end: '04:00', lightFrom: '12', colorHex: 'rood', musicVolume: '120', name: '' });
  // The light output in use shows sine pulses up to 10 Hz (as the program's limits say).
  const artnet = { sine: 10, triangle: 10, square: 6.66, trapezoid: 5, sawtooth: 5 };
  const problems = checkDraft(draft, { audioLimits, lightLimits: { maxPulseHz: artnet } });
  const byField = Object.fromEntries(problems.map((p) => [p.field, p.key]));
  assert.deepEqual(byField, {
    title: 'editor.error.title',
    carrier: 'editor.error.carrier',
    'phases.1.start': 'editor.error.gap',
    'phases.1.beatTo': 'editor.error.beat',
    'phases.2.name': 'editor.error.name',
    'phases.2.start': 'editor.error.overlap',
    'phases.2.end': 'editor.error.endBeforeStart',
    'phases.2.lightFrom': 'editor.error.light',
    'phases.2.colorHex': 'editor.error.colour',
    'phases.2.musicVolume': 'editor.error.level',
  });
  for (const p of problems) assert.ok(TEXTS.nl[p.key] && TEXTS.en[p.key], p.key);
  // A USB output shows faster pulses than Art-Net's frame rate allows; a square needs more frames.
  assert.ok(!checkDraft(draft, { audioLimits, lightLimits: { maxPulseHz: { sine: 20, square: 13.33 } } }).some((p) => p.field === 'phases.2.lightFrom'));
  draft.phases[2].pulseShape = 'square';
  assert.ok(checkDraft(draft, { audioLimits, lightLimits: { maxPulseHz: { sine: 20, square: 11 } } }).some((p) => p.field === 'phases.2.lightFrom'), 'per pulse shape');
  draft.phases[2].lightFrom = '41';
  assert.ok(checkDraft(draft, { audioLimits }).some((p) => p.field === 'phases.2.lightFrom'), 'without an output, the lamps\' own limit');
  draft.phases[2].lightFrom = '12';
  draft.phases[0].start = '00:05';
  assert.equal(checkDraft(draft, { audioLimits }).find((p) => p.field === 'phases.0.start')?.key, 'editor.error.firstStart');
  draft.phases[0].start = '5 min';
  assert.equal(checkDraft(draft, { audioLimits }).find((p) => p.field === 'phases.0.start')?.key, 'editor.error.time');
});

test('a copy of a library session keeps what the form does not show', () => {
  const library = { id: 'lib', title: 'Avondrust', category: 'Ontspanning', audioMode: 'isochronic', carrierFrequencyHz: 200, durationMinutes: 10,
    phases: [
      { name: 'A', nameEn: 'A en', purpose: 'Waarom', start: '00:00', end: '04:00', audioFrequencyHz: '10 → 8', lightFrequencyHz: '10 → 8', colorHex: '#3f6fb0', reverbMix: 28, musicMood: 'calm' },
      { name: 'B', start: '04:00', end: '10:00', audioFrequencyHz: '8', colorHex: '#654321' },
    ] };
  const draft = draftFromSession(library, { id: 'eigen-1', copyTitle: 'Kopie van Avondrust' });
  assert.deepEqual([draft.id, draft.title, draft.category, draft.audioMode], ['eigen-1', 'Kopie van Avondrust', 'Mijn sessies', 'isochronic']);
  const session = sessionFromDraft(draft);
  assert.deepEqual([session.phases[0].nameEn, session.phases[0].purpose, session.phases[0].reverbMix, session.phases[0].musicMood], ['A en', 'Waarom', 28, 'calm']);
  assert.deepEqual([session.phases[0].audioFrequencyHz, session.phases[1].lightFrequencyHz], ['10 → 8', '8'], 'light follows the beat where none was written');
  const a = buildTimeline(library);
  const b = buildTimeline(session);
  for (const s of [0, 100, 239, 240, 300, 599]) assert.deepEqual(sampleTimeline(b, s).beatHz, sampleTimeline(a, s).beatHz, `the copy plays alike at ${s} s`);
});
