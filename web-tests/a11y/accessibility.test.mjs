// Every page in every state a user meets, checked by axe-core in the real browser: the control
// page idle, playing, with the settings and with the editor open; the phone remote with and
// without its token; the screen light's start card and the light itself. A serious or critical
// violation fails; the others are reported.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import { launchBrowser, startArtNetListener, startProgram, waitFor } from '../e2e/harness.mjs';

const buildDir = process.env.SOLVERA_BUILD_DIR || 'build';
const axeSource = readFileSync(createRequire(import.meta.url).resolve('axe-core/axe.min.js'), 'utf8');

// Long enough to stay playing while it is checked.
const session = {
  id: 'e2e-toegankelijk', title: 'Toegankelijk', goal: 'Test', category: 'Test', durationMinutes: 5, audioMode: 'binaural', carrierFrequencyHz: 200,
  phases: [{ name: 'Rust', start: '00:00', end: '05:00', audioFrequencyHz: '8', lightFrequencyHz: '8', colorHex: '#ffcc00', rgbIntensity: 80 }],
};

let program;
let lamps;
let browser;
let control;

// axe-core's violations of the page as it is now, by impact; a serious or critical one fails.
async function check(t, page, what) {
  if (!(await page.evaluate(() => typeof window.axe === 'object'))) await page.addScriptTag({ content: axeSource });
  const result = await page.evaluate(() => window.axe.run(document, { resultTypes: ['violations'] }));
  const found = result.violations.map((v) => `${v.impact} ${v.id} (${v.nodes.length}): ${v.nodes.slice(0, 3).map((n) => n.target.join(' ')).join(', ')}`);
  t.diagnostic(`${what}: ${found.length ? found.join('; ') : 'no violations'}`);
  const blocking = result.violations.filter((v) => v.impact === 'serious' || v.impact === 'critical');
  assert.deepEqual(blocking.map((v) => `${v.id}: ${v.help} @ ${v.nodes.map((n) => n.target.join(' ')).join(', ')}`), [], what);
}

before(async () => {
  program = await startProgram(buildDir);
  lamps = await startArtNetListener();
  browser = await launchBrowser();
  control = await browser.context.newPage();
  await control.addInitScript(([custom, light]) => {
    localStorage.setItem('solvera.customSessions.v1', custom);
    localStorage.setItem('solvera.photosensitivityAccepted.v1', 'yes');
    if (!localStorage.getItem('solvera.settings.v1')) localStorage.setItem('solvera.settings.v1', light);
  }, [JSON.stringify([session]), JSON.stringify({ light: { outputMode: 'artnet', targetIp: lamps.address, universe: 1, startAddress: 1, channelLayout: 'rgb', fixtureCount: 1, pulse: true } })]);
  await control.goto(program.url);
  await waitFor(() => control.evaluate(() => document.querySelectorAll('.session-item').length > 20), 'the library');
});

after(async () => {
  await browser?.close();
  await lamps?.close();
  await program?.stop();
});

test('the control page: idle, with the settings open, with the editor open, the audio export, playing (window and phone)', async (t) => {
  await check(t, control, 'control page, idle');
  await control.click('#settingsButton');
  await check(t, control, 'control page, settings open');
  await control.click('#settingsCancel');
  await control.click('#newSessionButton');
  await waitFor(() => control.evaluate(() => document.getElementById('editorDialog').open), 'the editor');
  await check(t, control, 'control page, editor open');
  await control.click('#editorCancel');
  await control.click(`[data-id="${session.id}"]`);
  // Exported as audio: the dialog with its finished download.
  await control.click('#audioExportButton');
  await control.click('#audioExportStart');
  // The render runs at a low priority: on a busy machine it waits for the processors.
  await waitFor(() => control.isVisible('#audioExportDownload'), 'the audio file', 120_000);
  await check(t, control, 'control page, audio export done');
  await control.click('#audioExportClose');
  await control.click('#startButton');
  await waitFor(() => control.evaluate(() => document.body.dataset.state === 'running'), 'the session to run');
  await check(t, control, 'control page, playing at 1280 × 860');
  await control.setViewportSize({ width: 390, height: 844 });
  await check(t, control, 'control page, playing at 390 × 844');
  await control.setViewportSize({ width: 1280, height: 860 });
});

test('the phone remote with and without its token', async (t) => {
  const phone = await browser.context.newPage();
  await phone.setViewportSize({ width: 390, height: 844 });
  try {
    await phone.goto(`${program.url}/remote`);
    await waitFor(() => phone.isVisible('#message'), 'the remote to say it has no code');
    await check(t, phone, 'remote page without its token');
    const info = await (await fetch(`${program.url}/remote/info`)).json();
    await phone.goto(`${program.url}/remote?token=${info.token}`);
    await waitFor(async () => (await phone.textContent('#title')) === session.title, 'the remote to show the session');
    await check(t, phone, 'remote page with its token');
  } finally {
    await phone.close();
  }
});

test('the screen light: its start card and the light itself', async (t) => {
  const info = await (await fetch(`${program.url}/screen-light/info`)).json();
  const tablet = await browser.context.newPage();
  await tablet.setViewportSize({ width: 1024, height: 768 });
  try {
    await tablet.goto(`${program.url}/screen-light?token=${info.token}`);
    await waitFor(async () => (await tablet.textContent('#captionTitle')) === session.title, 'the published session');
    await check(t, tablet, 'screen light, start card');
    await tablet.click('#startButton');
    await waitFor(async () => Number(await tablet.getAttribute('#light', 'data-brightness')) > 0, 'the light');
    await tablet.mouse.click(500, 400); // shows the caption and the controls
    await check(t, tablet, 'screen light, showing light');
  } finally {
    await tablet.close();
  }
});
