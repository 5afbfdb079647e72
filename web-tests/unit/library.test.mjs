// The shipped session library, the local search over it and the stored settings.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { buildTimeline, parseFrequency, parseTime, hexToRgb } from '../../public/js/timeline.js';
import { searchSessions, askAiCandidates, parseQuery } from '../../public/js/search.js';
import { normalizeSettings, loadSettings, saveSettings, SETTINGS_KEY } from '../../public/js/settings.js';

const library = JSON.parse(readFileSync(new URL('../../public/sessions/library.json', import.meta.url), 'utf8'));
const sessions = library.sessions;

test('the library has at least 24 complete, bilingual sessions with contiguous phases', () => {
  assert.equal(library.format, 'solvera-session-library');
  assert.ok(sessions.length >= 24, `${sessions.length} sessions`);
  assert.equal(new Set(sessions.map((s) => s.id)).size, sessions.length, 'ids are unique');
  const categories = new Set(sessions.map((s) => s.category));
  for (const c of ['Ontspanning', 'Slaap', 'Focus', 'Meditatie', 'Energie', 'Creativiteit']) assert.ok(categories.has(c), c);
  for (const s of sessions) {
    for (const key of ['title', 'titleEn', 'goal', 'goalEn', 'category', 'categoryPurpose', 'subcategory', 'structure', 'musicMood', 'audioMode']) {
      assert.ok(typeof s[key] === 'string' && s[key].length > 0, `${s.id}.${key}`);
    }
    assert.ok(s.topics.length > 0 && s.concepts.length > 0, `${s.id} topics/concepts`);
    assert.ok(['binaural', 'monaural', 'isochronic', 'isochronic-monaural'].includes(s.audioMode), s.id);
    const timeline = buildTimeline(s);
    assert.equal(timeline.durationS, s.durationMinutes * 60, `${s.id}: phases fill the duration`);
    let previousEnd = 0;
    for (const p of s.phases) {
      assert.equal(parseTime(p.start), previousEnd, `${s.id}/${p.name} starts where the last ended`);
      previousEnd = parseTime(p.end);
      for (const key of ['name', 'nameEn', 'purpose', 'purposeEn']) assert.ok(p[key], `${s.id}/${p.name}.${key}`);
      assert.deepEqual(hexToRgb(p.colorHex), p.rgb, `${s.id}/${p.name}: colour and rgb agree`);
    }
  }
});

test('frequency plans are conservative', () => {
  for (const s of sessions) {
    const [lo, hi] = s.frequencyRangeHz;
    let previous = null;
    for (const p of s.phases) {
      const where = `${s.id}/${p.name}`;
      const beat = parseFrequency(p.audioFrequencyHz);
      const light = parseFrequency(p.lightFrequencyHz);
      const carrier = parseFrequency(p.carrierFrequencyHz);
      assert.ok(beat && light && carrier, where);
      for (const f of [beat.from, beat.to]) {
        assert.ok(f >= 1.5 && f <= 40, `${where}: beat ${f}`);
        assert.ok(f >= lo - 0.01 && f <= hi + 0.01, `${where}: beat ${f} inside the advertised range ${lo}-${hi}`);
      }
      // Flashing light is kept out of the band where photosensitivity is most common.
      for (const f of [light.from, light.to]) assert.ok(f === 0 || (f >= 2 && f <= 12.5), `${where}: light ${f}`);
      assert.ok(carrier.from >= 100 && carrier.from <= 400, `${where}: carrier`);
      assert.ok(p.rgbIntensity <= 45 && p.whiteIntensity <= 25, `${where}: gentle light levels`);
      assert.ok(p.pulseVolume <= 45 && p.musicVolume <= 50 && p.noiseVolume <= 35, `${where}: moderate volumes`);
      if (previous) {
        // Big jumps are left to written glides, not to the short glide between phases.
        assert.ok(Math.abs(beat.from - previous.to) <= 4 || s.id === 'focus-gamma-helderheid', `${where}: beat jump from ${previous.to} to ${beat.from}`);
      }
      previous = beat;
    }
  }
});

test('search finds sessions by meaning across languages, frequencies and durations', () => {
  const top = (q) => searchSessions(sessions, q)[0]?.session.id;
  assert.match(top('ik kan niet inslapen'), /^slaap-/);
  assert.match(top('help me fall asleep'), /^slaap-/);
  assert.equal(top('piep in het oor'), 'welzijn-rust-bij-oorsuizen');
  assert.equal(top('ear ringing'), 'welzijn-rust-bij-oorsuizen');
  assert.match(top('concentratie bij het studeren'), /^focus-/);
  assert.match(top('creatief schrijven'), /^creativiteit-/);
  const gamma = searchSessions(sessions, '40 hz');
  assert.deepEqual(gamma.map((r) => r.session.id), ['focus-gamma-helderheid']);
  const theta = searchSessions(sessions, 'theta');
  assert.ok(theta.length > 5 && theta.every((r) => r.session.frequencyRangeHz[0] < 8), 'band names match frequency ranges');
  assert.equal(searchSessions(sessions, 'xylofoonbehang').length, 0, 'no match, no results');
  assert.equal(searchSessions(sessions, '').length, sessions.length, 'an empty query lists everything');
  const q = parseQuery('korte sessie van 10 min met 7,5 Hz alfagolven');
  assert.deepEqual([q.durationHint, q.durationMinutes, q.frequencies, q.bands, q.terms], ['short', 10, [7.5], ['alpha'], []]);
});

test('search results carry the candidate fields of the Ask AI ranking', () => {
  const results = searchSessions(sessions, 'slaap');
  const [first] = askAiCandidates(results, 'nl');
  assert.deepEqual(Object.keys(first), ['id', 'title', 'goal', 'category', 'subcategory', 'durationMinutes', 'internalScore',
    'evidenceScore', 'relevanceScore', 'anchorMatch', 'matchedTerms', 'topics', 'concepts', 'frequencyRangeHz']);
  assert.equal(first.anchorMatch, true);
  assert.deepEqual(first.matchedTerms, ['slaap']);
  assert.ok(first.relevanceScore > 0 && first.relevanceScore <= 100);
  assert.ok(results.every((r, i) => i === 0 || results[i - 1].relevanceScore >= r.relevanceScore), 'best first');
  assert.equal(askAiCandidates(searchSessions(sessions, ''), 'en').length, Math.min(40, sessions.length));
  assert.equal(askAiCandidates(results, 'en')[0].title, results[0].session.titleEn);
});

test('settings: defaults, repair of stored values, and a store that fails', () => {
  const d = normalizeSettings(null);
  assert.equal(d.language, 'nl');
  assert.equal(d.light.targetIp, '', 'no output address until the user gives one');
  const repaired = normalizeSettings({ language: 'fr', light: { outputMode: 'laser', targetIp: '1.2.3.4:99', universe: 70000, startAddress: 600,
    extraOutputs: [{ outputMode: 'sacn', targetIp: 'x y', universe: 9 }, ...Array(9).fill({})] },
    audio: { mode: 'monaural', bass: 99, balance: 'left' }, controls: { masterVolume: 150, musicEnabled: false } });
  assert.deepEqual([repaired.language, repaired.light.outputMode, repaired.light.targetIp, repaired.light.universe, repaired.light.startAddress],
    ['nl', 'artnet', '', 63999, 1], 'sACN universes reach 63999');
  assert.equal(repaired.light.extraOutputs.length, 7, 'at most seven more outputs');
  assert.deepEqual(repaired.light.extraOutputs[0], { outputMode: 'sacn', targetIp: '', universe: 9, serialPort: '' });
  assert.deepEqual([repaired.audio.mode, repaired.audio.bass, repaired.audio.balance], ['monaural', 12, 0]);
  assert.deepEqual([repaired.controls.masterVolume, repaired.controls.musicEnabled], [100, false]);
  const store = new Map();
  const storage = { getItem: (k) => store.get(k) ?? null, setItem: (k, v) => store.set(k, v) };
  assert.ok(saveSettings(storage, { ...d, light: { ...d.light, targetIp: '192.168.1.255' } }));
  assert.equal(loadSettings(storage).light.targetIp, '192.168.1.255');
  store.set(SETTINGS_KEY, '{broken');
  assert.deepEqual(loadSettings(storage), d);
  assert.equal(saveSettings({ setItem: () => { throw new Error('QuotaExceededError'); } }, d), false);
});
