// The control page's second half in a real browser against the headless program, whose relays
// point at stand-in OpenAI, marketplace and affiliate services on loopback: Ask AI, the
// session explanation, the marketplace and affiliate forms, session files through downloads
// and the file input, the music library at "/music-library/", the analysis report and the
// headband panel.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync, writeFileSync, mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { launchBrowser, startProgram, waitFor } from './harness.mjs';
import { GOOD_PUBLISHER_CODE, INVENTED_ID, KNOWN_AFFILIATE, RATE_LIMITED_KEY, startStandIns } from './stand-ins.mjs';

const buildDir = process.env.SOLVERA_BUILD_DIR || 'build';
const GOOD_KEY = `sk-test_${'k'.repeat(24)}`;

// A session of six seconds, so that a whole run fits in a test.
const shortSession = {
  id: 'e2e-kort', title: 'Zes seconden', titleEn: 'Six seconds', goal: 'Kort', category: 'Test', subcategory: 'Test',
  durationMinutes: 0.1, audioMode: 'binaural', carrierFrequencyHz: 200, topics: ['test'], concepts: ['test'], frequencyRangeHz: [8, 10],
  phases: [
    { name: 'Een', start: '00:00', end: '00:03', audioFrequencyHz: '10', lightFrequencyHz: '10', colorHex: '#ff8800', rgbIntensity: 30 },
    { name: 'Twee', start: '00:03', end: '00:06', audioFrequencyHz: '8', lightFrequencyHz: '8', colorHex: '#0044ff', rgbIntensity: 30 },
  ],
};

let standIns;
let program;
let browser;
let page;
let scratch;

const text = (selector) => page.textContent(selector);
async function setKey(key) {
  await page.click('#settingsButton');
  await page.fill('#settingsForm [name="openAIKey"]', key);
  await page.click('#settingsForm button[value="save"]');
}
async function ask(question) {
  await page.fill('#askInput', question);
  await page.click('#askButton');
  await waitFor(() => page.evaluate(() => !document.getElementById('askButton').disabled && !document.getElementById('askStatus').classList.contains('busy')), 'the answer', 40_000);
  return page.evaluate(() => ({
    source: document.getElementById('askSourceText').textContent,
    status: document.getElementById('askStatus').hidden ? '' : document.getElementById('askStatus').textContent,
    items: [...document.querySelectorAll('#askResults .ask-item')].map((b) => ({ id: b.dataset.id, reason: b.querySelector('.reason').textContent })),
  }));
}

before(async () => {
  scratch = mkdtempSync(join(tmpdir(), 'solvera-assistant-'));
  standIns = await startStandIns();
  program = await startProgram(buildDir, { info: { SolveraProductCode: 'audio-light', ...standIns.info } });
  browser = await launchBrowser();
  page = await browser.context.newPage();
  await page.addInitScript((custom) => {
    if (!localStorage.getItem('solvera.customSessions.v1')) localStorage.setItem('solvera.customSessions.v1', custom);
    localStorage.setItem('solvera.photosensitivityAccepted.v1', 'yes');
  }, JSON.stringify([shortSession]));
  await page.goto(program.url);
  await waitFor(() => page.evaluate(() => document.querySelectorAll('.session-item').length > 20), 'the library');
});

after(async () => {
  await browser?.close();
  await program?.stop();
  await standIns?.close();
  if (scratch) rmSync(scratch, { recursive: true, force: true });
});

test('Ask AI without a key: the local search answers "I can\'t sleep" and nothing goes to OpenAI', async () => {
  await page.click('[data-lang="en"]');
  const answer = await ask('I can\'t sleep');
  assert.equal(answer.source, 'Best matches in the library');
  assert.match(answer.status, /Without an OpenAI key/);
  assert.ok(answer.items.length >= 3, JSON.stringify(answer.items));
  assert.ok(answer.items.slice(0, 3).every((i) => i.id.startsWith('slaap-')), JSON.stringify(answer.items));
  assert.match(answer.items[0].reason, /^Matches: sleep\./);
  assert.equal(standIns.openAI().length, 0);
  await page.click('[data-lang="nl"]');
  assert.equal(await text('#askSourceText'), 'Beste treffers in de bibliotheek', 'the answer follows the language');
});

test('Ask AI with a key: expansion, ranking of the scored candidates, recommendations with reasons', async () => {
  await setKey(GOOD_KEY);
  const answer = await ask('ik kan niet slapen');
  assert.equal(answer.source, 'Aanbevolen door Ask AI');
  assert.equal(answer.status, '');
  const [expansion, ranking] = standIns.openAI();
  assert.equal(expansion.headers.authorization, `Bearer ${GOOD_KEY}`);
  assert.deepEqual(expansion.input, { language: 'nl', question: 'ik kan niet slapen' });
  assert.equal(ranking.input.expandedQuestion, 'trouble falling asleep | search phrases: insomnia, falling asleep, inslapen | concepts: sleep onset, delta, ontspanning');
  const candidates = ranking.input.sessions;
  assert.ok(candidates.length > 20 && candidates.length <= 40, `${candidates.length} candidates`);
  assert.ok(candidates[0].id.startsWith('slaap-') && candidates[0].relevanceScore > 0 && candidates[0].matchedTerms.length > 0,
    JSON.stringify(candidates[0]));
  const scores = candidates.map((c) => c.relevanceScore);
  assert.deepEqual(scores, [...scores].sort((a, b) => b - a), 'best first');
  assert.equal(answer.items.length, 3);
  assert.ok(!answer.items.some((i) => i.id === INVENTED_ID), 'an id that was never offered is not shown');
  assert.ok(answer.items.every((i) => i.id.startsWith('slaap-') && i.reason.startsWith('Helpt je rustig in slaap te vallen')), JSON.stringify(answer.items));
  await page.click(`#askResults [data-id="${answer.items[1].id}"]`);
  assert.equal(await page.getAttribute(`.session-item[data-id="${answer.items[1].id}"]`, 'aria-pressed'), 'true');
});

test('Ask AI errors: a malformed key and a rate limit are explained, and local results still come', async () => {
  const before = standIns.openAI().length;
  await setKey('sk-kort');
  let answer = await ask('ik kan niet slapen');
  assert.match(answer.status, /OpenAI-sleutel ontbreekt of heeft niet de juiste vorm.*beste treffers uit de bibliotheek/);
  assert.equal(answer.source, 'Beste treffers in de bibliotheek');
  assert.ok(answer.items.length > 0);
  assert.equal(standIns.openAI().length, before, 'the program refused the key without asking OpenAI');

  await setKey(RATE_LIMITED_KEY);
  answer = await ask('ik kan niet slapen');
  assert.match(answer.status, /limiet van je sleutel bereikt/);
  assert.ok(answer.items.length > 0);
  assert.equal(standIns.openAI().length, before + 1, 'no ranking request after the limit');
  await setKey(GOOD_KEY);
});

test('the explanation of a session is shown as readable sections', async () => {
  await page.click('.session-item[data-id="ontspanning-avondrust"]');
  await page.click('#describeButton');
  await waitFor(() => page.evaluate(() => document.querySelectorAll('#descriptionBody h3').length === 3), 'the explanation');
  assert.equal(await text('#descriptionTitle'), 'Avondrust');
  assert.deepEqual(await page.$$eval('#descriptionBody > *', (els) => els.map((e) => `${e.tagName}:${e.textContent}`)), [
    'H3:Doel van de sessie', 'P:Deze sessie helpt je de dag los te laten. Het licht blijft zacht.',
    'H3:Fase voor fase', 'P:Eerst land je in de ruimte. Daarna zakt de toon naar theta.',
    'H3:Veiligheid', 'P:Kies een comfortabele sterkte en stop bij ongemak.',
  ]);
  const request = standIns.openAI().at(-1);
  assert.equal(request.body.text, undefined, 'free text, no format');
  assert.equal(request.input.language, 'nl');
  assert.equal(request.input.edition, 'Solvera Pro Audio+Light');
  assert.equal(request.input.session.id, 'ontspanning-avondrust');
  assert.equal(request.input.session.phases[1].audioFrequencyHz, '10 → 8');
  await page.click('#descriptionClose');
  // A second look in the same language comes from memory.
  const count = standIns.openAI().length;
  await page.click('#describeButton');
  assert.equal(await page.locator('#descriptionBody h3').count(), 3);
  assert.equal(standIns.openAI().length, count);
  await page.click('#descriptionClose');
});

test('marketplace: a refused publisher code, then an accepted submission; affiliate lookups', async () => {
  await page.click('#publishButton');
  const form = '#marketForm';
  assert.equal(await page.inputValue(`${form} [name="session"]`), 'ontspanning-avondrust');
  assert.equal(await page.inputValue(`${form} [name="title"]`), 'Avondrust');
  await page.fill(`${form} [name="tags"]`, 'avond, rust');
  await page.fill(`${form} [name="publisherName"]`, 'Studio Kalm');
  await page.fill(`${form} [name="publisherEmail"]`, 'studio@example.org');
  await page.fill(`${form} [name="publisherCode"]`, 'FOUT');
  await page.click('#marketSubmit');
  await waitFor(async () => /weigert de uitgeverscode/.test(await text('#marketReply')), 'the refusal');
  assert.match(await text('#marketReply'), /Unknown publisher code\./);
  await page.fill(`${form} [name="publisherCode"]`, GOOD_PUBLISHER_CODE);
  await page.click('#marketSubmit');
  await waitFor(async () => /nummer sub_42/.test(await text('#marketReply')), 'the acceptance');
  const submission = standIns.requests.filter((r) => r.path === '/v2/submissions').at(-1);
  assert.equal(submission.headers['x-solvera-publisher-code'], GOOD_PUBLISHER_CODE);
  assert.equal(submission.body.format, 'solvera-marketplace-submission');
  assert.deepEqual(submission.body.listing.tags, ['avond', 'rust']);
  assert.equal(submission.body.session.id, 'ontspanning-avondrust');

  await page.fill('#affiliateForm [name="lookup"]', KNOWN_AFFILIATE.email);
  await page.click('#affiliateSubmit');
  await waitFor(async () => (await text('#affiliateReply')) === 'Profiel gevonden.', 'the profile');
  const fields = await page.$$eval('#affiliateProfile dt, #affiliateProfile dd', (els) => els.map((e) => e.textContent));
  assert.deepEqual(fields.slice(0, 4), ['name', 'Anna de Vries', 'email', KNOWN_AFFILIATE.email]);
  assert.ok(fields.includes('payout.method'));
  await page.fill('#affiliateForm [name="lookup"]', 'ONBEKEND-1');
  await page.click('#affiliateSubmit');
  await waitFor(async () => /Geen partnerprofiel gevonden/.test(await text('#affiliateReply')), 'not found');
  assert.equal(await page.isHidden('#affiliateProfile'), true);
  const lookups = standIns.requests.filter((r) => r.path.endsWith('/profile'));
  assert.equal(lookups[0].query.get('email'), KNOWN_AFFILIATE.email);
  assert.deepEqual([...lookups[1].query.keys()], ['license_key']);
  await page.click('#marketClose');
});

test('session files in a browser: export downloads the file, import reads it back into My sessions', async () => {
  await page.click('.chip >> text=Alles');
  await page.click('.session-item[data-id="slaap-inslapen"]');
  const [download] = await Promise.all([page.waitForEvent('download'), page.click('#exportButton')]);
  assert.equal(download.suggestedFilename(), 'Inslapen.svpsession');
  const file = join(scratch, 'inslapen.svpsession');
  await download.saveAs(file);
  const doc = JSON.parse(readFileSync(file, 'utf8'));
  assert.equal(doc.format, 'solvera-session');
  doc.session.title = 'Inslapen (van Anna)';
  writeFileSync(file, JSON.stringify(doc));

  await page.setInputFiles('#importFile', file);
  await waitFor(async () => /geïmporteerd/.test(await text('#toast')), 'the import');
  const id = await page.evaluate(() => document.querySelector('.session-item[aria-pressed="true"]').dataset.id);
  assert.equal(id, 'slaap-inslapen-eigen', 'a shipped id is not hidden');
  assert.match(await text('#toast'), /Sessie geïmporteerd: Inslapen \(van Anna\)/);
  assert.equal(await text('#sessionTitle'), 'Inslapen (van Anna)');
  assert.equal(await page.isVisible('#deleteButton'), true);
  await page.click('.chip >> text=Mijn sessies');
  assert.deepEqual(await page.$$eval('.session-item', (els) => els.map((e) => e.dataset.id).sort()), ['e2e-kort', 'slaap-inslapen-eigen']);
  const stored = (await (await fetch(`${program.url}/sessions/own`)).json()).sessions.map((s) => s.id);
  assert.ok(stored.includes('slaap-inslapen-eigen'), 'kept by the program for the next visit');

  const bad = join(scratch, 'fout.svpsession');
  writeFileSync(bad, JSON.stringify({ ...doc, session: { ...doc.session, phases: [{ name: 'x', audioFrequencyHz: '10', lightFrequencyHz: '80' }] } }));
  await page.setInputFiles('#importFile', bad);
  await waitFor(async () => /lichtfrequentie/.test(await text('#toast')), 'the refusal');
  assert.match(await text('#toast'), /^Fase 1: lichtfrequentie ontbreekt of ligt buiten het veilige bereik\.$/);
  await page.click('.chip >> text=Alles');
});

test('a session that asks more than the tone generator plays is told so: not imported, and a stored one does not start', async () => {
  const limits = await (await fetch(`${program.url}/audio/limits`)).json();
  const { min, max } = limits.beatHz;
  const asked = max + 10;
  const tooFast = { ...shortSession, id: 'e2e-te-snel', title: 'Te snel', phases: [{ ...shortSession.phases[0], audioFrequencyHz: String(asked) }] };
  const file = join(scratch, 'te-snel.svpsession');
  writeFileSync(file, JSON.stringify({ format: 'solvera-session', version: 1, session: tooFast }));
  await page.setInputFiles('#importFile', file);
  const refused = `Fase 1 vraagt een toon van ${asked} Hz; de toongenerator speelt ${min} tot ${max} Hz. De sessie is niet geïmporteerd.`;
  await waitFor(async () => (await text('#toast')) === refused, 'the refusal with the program\'s own range');
  assert.equal(await page.$('.session-item[data-id="e2e-te-snel"]'), null, 'not in the list');

  // A session kept from before (an earlier import, another table) does not play at another
  // beat: the program refuses to start it and the page says why.
  await page.route('**/sessions/own', async (route) => {
    const reply = await (await route.fetch()).json();
    await route.fulfill({ json: { ...reply, sessions: [tooFast, ...reply.sessions] } });
  });
  await page.reload();
  await waitFor(() => page.evaluate(() => document.querySelectorAll('.session-item').length > 20), 'the library');
  await page.click('.session-item[data-id="e2e-te-snel"]');
  await page.click('#startButton');
  await waitFor(async () => (await text('#toast')).startsWith(`Fase 1 vraagt een toon van ${asked} Hz`), 'the reason it does not start');
  assert.match(await text('#toast'), /De sessie start niet: pas haar aan in de editor\.$/);
  assert.equal(await page.evaluate(() => document.body.dataset.state), 'idle');
  assert.equal((await (await fetch(`${program.url}/session/state`)).json()).state.state, 'idle', 'nothing plays');
  await page.unroute('**/sessions/own');
  await page.reload();
  await waitFor(() => page.evaluate(() => document.querySelectorAll('.session-item').length > 20), 'the library');
});

test('the music library: the manifest\'s tracks are served from "/music-library/"', async () => {
  assert.equal(await text('#musicStatus'), 'Muziekbibliotheek: 1 nummers');
  assert.equal(await page.isHidden('#installMusicButton'), true, 'no bridge in a browser');
  const response = await page.evaluate(async () => {
    const r = await fetch('/music-library/calm.wav');
    return { status: r.status, bytes: (await r.arrayBuffer()).byteLength };
  });
  assert.deepEqual(response, { status: 200, bytes: 44 + 3 * 8000 * 2 });
});

test('after a session the analysis report opens in a new tab; the headband panel follows its events', async () => {
  await page.evaluate(() => window.solveraMuseBridgeEvents([
    { type: 'status', status: 'starting', source: 'solvera-macos-wrapper', message: 'Muse bridge started.', receivedAt: Date.now() },
  ]));
  assert.equal(await text('#headbandStatus'), 'Brug gestart');
  assert.equal(await text('#headbandMessage'), 'Het hoofdbandprogramma is gestart.', 'the program\'s English words never show');
  await page.click('.session-item[data-id="e2e-kort"]');
  assert.equal(await page.isHidden('#reportButton'), true);
  await page.click('#startButton');
  await page.evaluate(() => {
    const now = Date.now();
    window.solveraMuseBridgeEvents([1, 2, 3].map((i) => ({ type: 'bands', receivedAt: now + i, bands: { alpha: 0.2 * i, theta: 0.3 } })));
  });
  await waitFor(async () => /Ontvangt metingen \(3\)/.test(await text('#headbandStatus')), 'the readings');
  await waitFor(() => page.evaluate(() => document.querySelectorAll('#headbandLegend li').length === 2), 'the legend');
  assert.deepEqual(await page.$$eval('#headbandLegend .name', (els) => els.map((e) => e.textContent)), ['alpha', 'theta']);
  await waitFor(() => page.isVisible('#reportButton'), 'the report button after the session', 20_000);
  const [report] = await Promise.all([browser.context.waitForEvent('page'), page.click('#reportButton')]);
  await report.waitForLoadState();
  assert.equal(await report.title(), 'Sessieanalyse: Zes seconden');
  const rows = await report.$$eval('table:first-of-type tbody tr', (trs) => trs.map((tr) => [...tr.children].map((td) => td.textContent.trim())));
  assert.deepEqual(rows.map((r) => r.slice(0, 6)), [
    ['1', 'Een', '00:00–00:03', '00:00', '10 Hz', '10 Hz'],
    ['2', 'Twee', '00:03–00:06', '00:03', '8 Hz', '8 Hz'],
  ]);
  const body = await report.textContent('body');
  assert.match(body, /Volledig afgespeeld/);
  // The readings given to this page do not reach the program's record: the program's own
  // headband bridge feeds it (tested with the bridge), not a page.
  await report.close();
});
