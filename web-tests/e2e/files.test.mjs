// Sessions out as sound and in from other players: the page has the real program render a
// session to a file it downloads, and read an SBaGen file into the editor with its notices.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { launchBrowser, startProgram, waitFor } from './harness.mjs';

const buildDir = process.env.SOLVERA_BUILD_DIR || 'build';

// Eight seconds: a whole file in well under a second, long enough for a progress report.
const session = {
  id: 'e2e-audio', title: 'Rust én ruis', goal: 'Test', category: 'Test', durationMinutes: 8 / 60, audioMode: 'binaural',
  carrierFrequencyHz: 200,
  phases: [{ name: 'Een', start: '00:00', end: '00:08', audioFrequencyHz: '10', lightFrequencyHz: '10', colorHex: '#ff0000',
    noiseType: 'pink', noiseVolume: 30 }],
};

// A tone-set with a second voice and a spin: both named in the editor, never silently dropped.
const sbg = `## Avond
rust: 200+10/50 pink/30
draai: 200+6/50 spin:300+4/40

NOW rust
NOW+00:01:00 draai
NOW+00:03:00 off
`;

let program;
let browser;
let page;

before(async () => {
  program = await startProgram(buildDir, { music: false });
  const put = await fetch(`${program.url}/sessions/own/${session.id}`, { method: 'PUT', body: JSON.stringify(session) });
  assert.equal(put.status, 200, await put.text());
  browser = await launchBrowser();
  page = await browser.context.newPage();
  await page.goto(program.url);
});

after(async () => {
  await browser?.close();
  await program?.stop();
});

test('"Exporteer als audio" renders the selected session in the program and offers the file; a long render can be broken off', async () => {
  await page.click(`[data-id="${session.id}"]`);
  await page.click('#audioExportButton');
  await page.selectOption('#audioExportFormat', 'wav');
  await page.click('#audioExportStart');
  // The render runs at a low priority: on a busy machine it waits for the processors.
  await waitFor(() => page.isVisible('#audioExportDownload'), 'the download link', 120_000);
  assert.equal(await page.textContent('#audioExportDownload'), 'Download Rust én ruis.wav');
  // The link's file, as the browser downloads it.
  const file = await page.evaluate(async () => {
    const link = document.getElementById('audioExportDownload');
    const response = await fetch(link.href);
    const bytes = new Uint8Array(await response.arrayBuffer());
    return { status: response.status, type: response.headers.get('content-type'), disposition: response.headers.get('content-disposition'),
      download: link.download, size: bytes.length, head: String.fromCharCode(...bytes.slice(0, 4)) };
  });
  assert.deepEqual(file, { status: 200, type: 'audio/wav', disposition: "attachment; filename=\"Rust _n ruis.wav\"; filename*=UTF-8''Rust%20%C3%A9n%20ruis.wav",
    download: 'Rust én ruis.wav', size: 44 + 8 * 44100 * 4, head: 'RIFF' });

  // An hour in FLAC takes a while: the page shows it going and a stop leaves no file.
  const longSession = { ...session, id: 'e2e-uur', title: 'Een uur', durationMinutes: 60, phases: [{ ...session.phases[0], end: '60:00' }] };
  const started = await page.evaluate(async (s) => (await (await fetch('/session/render', { method: 'POST', body: JSON.stringify({ session: s, format: 'flac' }) })).json()), longSession);
  assert.equal(started.ok, true, JSON.stringify(started));
  const busy = await page.evaluate(async () => (await fetch('/session/render', { method: 'POST', body: JSON.stringify({ sessionId: 'e2e-audio' }) })).status);
  assert.equal(busy, 409, 'one render at a time');
  await fetch(`${program.url}/session/render/${started.render.id}`, { method: 'DELETE' });
  const ended = await waitFor(async () => {
    const reply = await (await fetch(`${program.url}/session/render/${started.render.id}`)).json();
    return reply.render.state !== 'rendering' && reply.render;
  }, 'the render to stop');
  assert.equal(ended.state, 'cancelled');
  assert.equal((await fetch(`${program.url}/session/render/${started.render.id}/file`)).status, 404);
  await page.click('#audioExportClose');
});

test('an SBaGen file opens in the editor as a new session with what it could not take over named', async () => {
  await page.setInputFiles('#importFile', { name: 'avond.sbg', mimeType: 'text/plain', buffer: Buffer.from(sbg) });
  await waitFor(() => page.evaluate(() => document.getElementById('editorDialog').open), 'the editor');
  assert.equal(await page.textContent('#editorHeading'), 'Geïmporteerde sessie');
  const notices = await page.$$eval('#editorNoticeList li', (items) => items.map((li) => li.textContent));
  assert.ok(notices.some((n) => /spin/i.test(n) && /3/.test(n)), `the spin on line 3 is named: ${JSON.stringify(notices)}`);
  assert.equal(await page.$$eval('#editorPhases > li', (items) => items.length) >= 2, true, 'the time lines became phases');
  // Saved, it is one of the person's own sessions in the program.
  await page.click('#editorSave');
  await waitFor(() => page.evaluate(() => !document.getElementById('editorDialog').open), 'the editor to close');
  const own = await (await fetch(`${program.url}/sessions/own`)).json();
  assert.equal(own.sessions.length, 2, JSON.stringify(own.sessions.map((s) => s.title)));

  // A line the reader cannot read is named with its number; the editor stays closed.
  await page.setInputFiles('#importFile', { name: 'kapot.sbg', mimeType: 'text/plain', buffer: Buffer.from('a: 200+10/50\n\nNOW a\nhalf negen b\n') });
  await waitFor(async () => /4/.test(await page.textContent('#toast')), 'the toast naming line 4');
  assert.equal(await page.evaluate(() => document.getElementById('editorDialog').open), false);
});
