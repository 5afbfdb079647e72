// Session files, the analysis report, the headband's events, the marketplace and affiliate
// replies and the explanation's layout: the pure parts of the second half of the page.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { addImportedSession, parseSessionFile, sessionFileContent, sessionFileName, CUSTOM_CATEGORY } from '../../public/js/session-file.js';
import { buildReportHtml, escapeHtml, reportTitle } from '../../public/js/report.js';
import { recordOf } from './record-fixture.mjs';
import { HeadbandMonitor, HeadbandSummary, readings } from '../../public/js/headband.js';
import { affiliateOutcome, affiliateQuery, buildSubmission, marketplaceOutcome, profileFields } from '../../public/js/marketplace.js';
import { descriptionBlocks } from '../../public/js/panels.js';
import { importErrorText, musicResultText } from '../../public/js/content-panels.js';
import { buildTimeline } from '../../public/js/timeline.js';
import { translate } from '../../public/js/i18n.js';

const sessions = JSON.parse(readFileSync(new URL('../../public/sessions/library.json', import.meta.url), 'utf8')).sessions;
const nl = (key, values) => translate('nl', key, values);
const en = (key, values) => translate('en', key, values);

test('an exported session imports back identically, under its own name', () => {
  for (const session of sessions) {
    const text = sessionFileContent(session, { exportedAt: new Date(0) });
    const doc = JSON.parse(text);
    assert.deepEqual([doc.format, doc.version, doc.exportedAt], ['solvera-session', 1, '1970-01-01T00:00:00.000Z']);
    const parsed = parseSessionFile(text);
    assert.ok(parsed.ok, `${session.id}: ${parsed.reason}`);
    assert.deepEqual(buildTimeline(parsed.session), buildTimeline(session), `${session.id} plays the same`);
    for (const key of ['id', 'title', 'titleEn', 'goal', 'category', 'audioMode', 'topics', 'durationMinutes']) {
      assert.deepEqual(parsed.session[key], session[key], `${session.id}.${key}`);
    }
  }
  assert.equal(sessionFileName({ title: 'Rust: a/b\\c*?"<>|' }), 'Rust- a-b-c-.svpsession');
  assert.equal(sessionFileName({ title: 'Slaap', titleEn: 'Sleep' }, 'en'), 'Sleep.svpsession');
  assert.equal(sessionFileName({ title: '..' }), 'sessie.svpsession', 'never a hidden or empty name');
});

test('imports are checked: JSON, a session, phases, safe values, size', () => {
  const base = { title: 'Eigen', phases: [{ name: 'A', start: '00:00', end: '05:00', audioFrequencyHz: '10' }] };
  const withPhase = (phase) => JSON.stringify({ ...base, phases: [{ ...base.phases[0], ...phase }] });
  const audioLimits = { beatHz: { min: 0.1, max: 40 }, carrierHz: { min: 20, max: 1500 } };
  const reason = (text) => { const p = parseSessionFile(text, { audioLimits }); return p.ok ? 'ok' : `${p.reason}${p.detail?.field ? `:${p.detail.field}` : ''}`; };
  assert.equal(reason(JSON.stringify(base)), 'ok', 'a bare session from another tool');
  assert.equal(reason(''), 'empty');
  assert.equal(reason('{nope'), 'json');
  assert.equal(reason('[1,2]'), 'format');
  assert.equal(reason(JSON.stringify({ format: 'solvera-session', session: 'x' })), 'format');
  assert.equal(reason(JSON.stringify({ ...base, title: '' })), 'title');
  assert.equal(reason(JSON.stringify({ ...base, phases: [] })), 'phases');
  assert.equal(reason(JSON.stringify({ ...base, phases: Array(65).fill(base.phases[0]) })), 'phases');
  assert.equal(reason(JSON.stringify({ ...base, phases: [7] })), 'phases');
  assert.equal(reason(withPhase({ audioFrequencyHz: undefined })), 'values:audioFrequencyHz');
  assert.equal(reason(withPhase({ audioFrequencyHz: '10 → 90' })), 'limits:beat', 'a glide that ends beyond the tone generator');
  assert.equal(reason(withPhase({ audioFrequencyHz: '10 → x' })), 'values:audioFrequencyHz', 'a glide that cannot be read');
  assert.equal(reason(withPhase({ lightFrequencyHz: '-3' })), 'values:lightFrequencyHz');
  assert.equal(reason(withPhase({ lightFrequencyHz: 70 })), 'values:lightFrequencyHz');
  assert.equal(reason(withPhase({ carrierFrequencyHz: '5000' })), 'limits:carrier');
  assert.equal(reason(withPhase({ carrierFrequencyHz: 'laag' })), 'values:carrierFrequencyHz');
  assert.equal(reason(withPhase({ colorHex: 'red' })), 'values:colorHex');
  assert.equal(reason(withPhase({ rgb: { r: 300, g: 0, b: 0 } })), 'values:rgb');
  assert.equal(reason(withPhase({ rgbIntensity: 140 })), 'values:rgbIntensity');
  assert.equal(reason(withPhase({ start: '00:00', end: '700:00' })), 'duration');
  assert.equal(reason(JSON.stringify({ ...base, durationMinutes: 0 })), 'duration');
  assert.equal(reason(`${JSON.stringify(base)}${' '.repeat(1_000_001)}`), 'size');
  assert.equal(reason(`\uFEFF${JSON.stringify(base)}`), 'ok', 'a byte-order mark is allowed');

  const parsed = parseSessionFile(JSON.stringify({ ...base, id: '../etc', extra: '<script>', phases: [{ ...base.phases[0], audioFrequencyHz: 10, onclick: 'x' }] }));
  assert.ok(parsed.ok);
  assert.equal(parsed.session.id, 'eigen', 'an id that is not a plain word becomes one made from the title');
  assert.equal(parsed.session.extra, undefined, 'unknown members are dropped');
  assert.equal(parsed.session.phases[0].onclick, undefined);
  assert.equal(parsed.session.phases[0].audioFrequencyHz, '10', 'numbers become the text the player reads');
  assert.equal(parsed.session.category, CUSTOM_CATEGORY);
  assert.deepEqual(parsed.session.frequencyRangeHz, [10, 10]);
  assert.equal(parsed.session.durationMinutes, 5);

  assert.match(importErrorText(nl, 'nl', { reason: 'values', detail: { phase: 2, field: 'lightFrequencyHz' } }), /^Fase 2: lichtfrequentie/);
  assert.match(importErrorText(en, 'en', { reason: 'json', detail: {} }), /not valid JSON/);
});

test('imported sessions: a re-import replaces, a shipped id is never hidden', () => {
  const shipped = new Set(['avond']);
  let custom = [];
  let r = addImportedSession(custom, shipped, { id: 'mijn', title: 'Mijn' });
  assert.deepEqual([r.session.id, r.replaced], ['mijn', false]);
  custom = r.list;
  r = addImportedSession(custom, shipped, { id: 'mijn', title: 'Mijn 2' });
  assert.deepEqual([r.replaced, r.list.length, r.list[0].title], [true, 1, 'Mijn 2']);
  r = addImportedSession(r.list, new Set(['avond', 'avond-eigen']), { id: 'avond', title: 'Kopie' });
  assert.equal(r.session.id, 'avond-eigen-2');
  assert.equal(r.list.length, 2);
});

// A run of a two-phase session of 60 s: paused, blacked out, stopped or played to its end.
const reportSession = {
  id: 'test', title: 'Test <b>vet</b>', titleEn: 'Test', goal: 'Doel & meer', category: 'Test', audioMode: 'binaural',
  phases: [
    { name: 'Rood', start: '00:00', end: '00:30', audioFrequencyHz: '10', lightFrequencyHz: '10', colorHex: '#ff0000', rgbIntensity: 40 },
    { name: 'Blauw "b"', start: '00:30', end: '01:00', audioFrequencyHz: '10 → 6', lightFrequencyHz: '6', colorHex: '#0000ff' },
  ],
};
const recordRun = ({ stopAt = null } = {}) => recordOf(reportSession, {
  stopAt, context: { audioMode: 'binaural', outputMode: 'artnet', lightPulse: true },
  events: [{ kind: 'pause', atS: 12 }, { kind: 'resume', atS: 14 }, { kind: 'blackoutOn', atS: 20 }],
});

test('the report document: escaped texts, the phases, the run and its outcome, in both languages', () => {
  const run = recordRun({ stopAt: 25 });
  const html = buildReportHtml(run, { language: 'nl', t: nl });
  assert.match(html, /^<!doctype html>/);
  assert.ok(!html.includes('<b>vet</b>') && html.includes('Test &lt;b&gt;vet&lt;/b&gt;'), 'titles are text, not markup');
  assert.ok(html.includes('Blauw &quot;b&quot;') && html.includes('Doel &amp; meer'));
  assert.match(html, /Gestopt na 00:25 van 01:00/);
  assert.match(html, /<td>10 Hz<\/td><td>10 Hz<\/td>/, 'first phase: beat and light');
  assert.match(html, /10 → 6 Hz/);
  assert.match(html, /niet bereikt/);
  assert.match(html, /Gepauzeerd/);
  assert.match(html, /Er kwamen geen hoofdbandgegevens/);
  assert.match(html, /<polyline points="0.0,/);
  assert.equal((html.match(/<tr><td>\d\d:\d\d<\/td>/g) ?? []).length, 26, 'a sample a second for 25 s');
  const named = buildReportHtml({ ...run, context: { audioMode: 'isochronic', outputMode: 'enttec-usb-pro', lightPulse: false } }, { language: 'nl', t: nl });
  assert.match(named, /<dt>Toonmodus<\/dt><dd>isochroon<\/dd>/, 'stored words are named, not shown raw');
  assert.match(named, /<dt>Lichtuitgang<\/dt><dd>Enttec DMX USB Pro \(egaal licht\)<\/dd>/);
  const english = buildReportHtml(recordRun(), { language: 'en', t: en });
  assert.match(english, /<html lang="en">/);
  assert.match(english, /Played to the end/);
  assert.match(english, /Session analysis: Test/);
  assert.equal(reportTitle(run, 'nl', nl).replace(/\d\d\.\d\d$/, 'hh.mm'), 'Sessieanalyse Test <b>vet</b> 2024-05-01 hh.mm');
  assert.equal(escapeHtml(`<a href="x">'&'</a>`), '&lt;a href=&quot;x&quot;&gt;&#39;&amp;&#39;&lt;/a&gt;');
});

test('headband events: status, readings of every shape, bounded history', () => {
  assert.deepEqual(readings({ type: 'eeg', channels: { TP9: 1.5, AF7: 'x' }, receivedAt: 1 }), [['TP9', 1.5]]);
  assert.deepEqual(readings({ type: 'eeg', values: [1, 2], channelNames: ['a'] }), [['a', 1], ['ch2', 2]]);
  assert.deepEqual(readings({ type: 'bands', bands: { alpha: 0.4 }, battery: 80, seq: 3 }), [['alpha', 0.4], ['battery', 80]]);
  let now = 1_700_000_000_000;
  const monitor = new HeadbandMonitor(() => now);
  let changes = 0;
  monitor.onChange(() => { changes += 1; });
  monitor.accept([{ type: 'status', status: 'starting', source: 'solvera-macos-wrapper', message: 'Muse bridge started.', receivedAt: now }, 'junk', null, [1]]);
  assert.deepEqual([monitor.status.status, monitor.status.message, monitor.eventCount, changes], ['starting', 'Muse bridge started.', 1, 1]);
  for (let i = 0; i < 5000; i += 1) {
    now += 50;
    monitor.accept({ type: 'bands', receivedAt: now, bands: { alpha: i, beta: 1 } });
  }
  monitor.accept({ type: 'eeg', channels: { TP9: 3 } });
  const alpha = monitor.series.get('alpha');
  assert.ok(alpha.length <= 4000 && alpha[alpha.length - 1].v === 4999);
  assert.ok(alpha[0].t >= now - 300_000, 'five minutes are kept');
  assert.deepEqual(monitor.plotSeries(), ['alpha', 'beta'], 'band powers are plotted before raw channels');
  assert.equal(monitor.readingCount, 5001);
  const summary = new HeadbandSummary();
  assert.equal(summary.result(), null);
  summary.add([{ type: 'status', status: 'scanning' }, { type: 'status', status: 'scanning' }, { type: 'status', status: 'stopped' }]);
  assert.deepEqual(summary.result(), { readings: 0, statuses: ['scanning', 'stopped'], series: [], phases: [] });
});

test('marketplace body and replies; affiliate lookups by e-mail or code', () => {
  const body = buildSubmission({
    session: sessions[0], language: 'en', submittedAt: new Date(0),
    listing: { title: ' Evening ', description: 'Calm', tags: 'sleep, , calm ', priceEUR: '4.999' },
    publisher: { name: 'Anna', email: 'a@b.nl' },
  });
  assert.equal(body.format, 'solvera-marketplace-submission');
  assert.deepEqual(body.listing, { title: 'Evening', description: 'Calm', tags: ['sleep', 'calm'], priceEUR: 5 });
  assert.equal(body.session.id, sessions[0].id);
  assert.equal(body.session.phases.length, sessions[0].phases.length);

  assert.equal(affiliateQuery(' anna+x@example.org '), 'email=anna%2Bx%40example.org');
  assert.equal(affiliateQuery('SVP-1 2'), 'license_key=SVP-1%202');
  assert.equal(affiliateQuery('  '), null);

  assert.deepEqual(marketplaceOutcome({ status: 201, body: { ok: true, id: 'sub_1', message: 'Thanks' } }),
    { ok: true, key: 'market.sent.id', values: { id: 'sub_1', message: 'Thanks' } });
  assert.equal(marketplaceOutcome({ status: 400, body: { ok: false, error: 'invalid_local_payload' } }).key, 'market.invalid');
  assert.equal(marketplaceOutcome({ status: 401, body: { message: 'bad code' } }).key, 'market.code.refused');
  assert.equal(marketplaceOutcome({ status: 502, body: { ok: false, error: 'marketplace_unreachable' } }).key, 'market.unreachable');
  assert.deepEqual(marketplaceOutcome({ status: 422, body: { detail: 'too long' } }).values, { status: 422, message: 'too long' });
  assert.equal(marketplaceOutcome({ status: 0, timedOut: true }).key, 'service.timeout');

  assert.deepEqual(profileFields({ ok: true, name: 'Anna', tags: ['a', 'b'], payout: { method: 'bank', deep: { x: 1 } }, list: [{}] }),
    [['name', 'Anna'], ['tags', 'a, b'], ['payout.method', 'bank']]);
  assert.equal(affiliateOutcome({ status: 200, body: { profile: { code: 'X' } } }).fields[0][1], 'X');
  assert.equal(affiliateOutcome({ status: 400, body: { code: 'missing_email' } }).key, 'affiliate.missing');
  assert.equal(affiliateOutcome({ status: 404, body: { code: 'nf', message: 'none' } }).values.message, 'none');
  assert.equal(affiliateOutcome({ status: 502, body: { code: 'affiliate_proxy_unreachable' } }).key, 'affiliate.unreachable');
});

test('the explanation reads as titles, paragraphs and lists; music results have words for every outcome', () => {
  const blocks = descriptionBlocks('Doel van de sessie\nEen zin.\nNog een zin.\n\nVeiligheid\n\nStop bij ongemak.\n- een\n- twee\r\n\nLosse slotzin zonder punt die te lang is om een kop te zijn want hij heeft veel woorden');
  assert.deepEqual(blocks, [
    { kind: 'heading', text: 'Doel van de sessie' }, { kind: 'paragraph', text: 'Een zin. Nog een zin.' },
    { kind: 'heading', text: 'Veiligheid' },
    { kind: 'paragraph', text: 'Stop bij ongemak.' }, { kind: 'list', items: ['een', 'twee'] },
    { kind: 'paragraph', text: 'Losse slotzin zonder punt die te lang is om een kop te zijn want hij heeft veel woorden' },
  ]);
  for (const word of ['download', 'checksum', 'archive', 'install', 'cancelled', 'invalid', 'copy']) {
    assert.doesNotMatch(musicResultText(nl, { ok: false, word }), /mislukt \(/, `${word} has a sentence of its own`);
    assert.doesNotMatch(musicResultText(en, { ok: false, word }), /failed \(/, word);
  }
  assert.equal(musicResultText(nl, { ok: false, word: 'raar' }), 'Installeren mislukt (raar).');
  assert.equal(musicResultText(en, { ok: true, count: '24' }), 'Music library installed: 24 tracks.');
});
