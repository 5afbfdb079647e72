// The session plays in the program: started from the page, it goes on while the page is frozen
// (as a phone's browser freezes a page on screen lock), across a reload and with every page
// closed, and a phone remote pauses it with no control page open. The page is driven over a
// plain DevTools connection (a page attached to by playwright is never frozen).
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { launchBrowser, startArtNetListener, startProgram, waitFor } from './harness.mjs';
import { launchDevToolsBrowser } from './devtools.mjs';

const buildDir = process.env.SOLVERA_BUILD_DIR || 'build';
const UNIVERSE = 4;

// Red, then blue from 0:12, to 0:30: short enough to play to its end within the test.
const session = {
  id: 'e2e-programma', title: 'Speelt in het programma', goal: 'Test', category: 'Test', durationMinutes: 0.5, audioMode: 'binaural',
  carrierFrequencyHz: 200,
  phases: [
    { name: 'Rood', start: '00:00', end: '00:12', audioFrequencyHz: '10', lightFrequencyHz: '10', colorHex: '#ff0000', rgbIntensity: 100 },
    { name: 'Blauw', start: '00:12', end: '00:30', audioFrequencyHz: '6', lightFrequencyHz: '6', colorHex: '#0000ff', rgbIntensity: 100 },
  ],
};

let program;
let lamps;
let devtools;

const call = async (path, method = 'GET', body = undefined) => {
  const response = await fetch(`${program.url}${path}`, { method, headers: { 'Content-Type': 'application/json' },
    body: body === undefined ? undefined : JSON.stringify(body) });
  return response.json();
};
const playerState = async () => (await call('/session/state')).state;
const onUniverse = (since) => lamps.frames.filter((f) => f.universe === UNIVERSE && f.at >= since);
const blue = (f) => f.dmx[2] > 0 && f.dmx[0] === 0;

before(async () => {
  program = await startProgram(buildDir, { music: false });
  lamps = await startArtNetListener();
  devtools = await launchDevToolsBrowser();
  // The program's own settings and sessions, as another page or the phone would have left them.
  const { settings } = await call('/settings');
  await call('/settings', 'PUT', { ...settings, light: { ...settings.light, outputMode: 'artnet', targetIp: lamps.address, universe: UNIVERSE,
    startAddress: 1, channelLayout: 'rgb', fixtureCount: 1, pulse: true } });
  await call('/settings/consent', 'POST', { accepted: true });
  assert.equal((await call(`/sessions/own/${session.id}`, 'PUT', session)).ok, true);
});

// Each is ended even when one before it fails: a program left running would hold the file open.
after(async () => {
  try {
    await devtools?.close();
  } finally {
    try { await lamps?.close(); } finally { await program?.stop(); }
  }
});

const shownState = (page) => page.evaluate('document.body?.dataset.state ?? ""');
const shownText = (page, id) => page.evaluate(`document.getElementById(${JSON.stringify(id)})?.textContent ?? ""`);

test('started from the page, the session goes on while the page is frozen, across a reload and with the page closed, and ends dark', async (t) => {
  const page = await devtools.open(program.url);
  await waitFor(() => page.evaluate(`Boolean(document.querySelector('[data-id="${session.id}"]'))`), 'the own session in the list');
  await page.evaluate(`document.querySelector('[data-id="${session.id}"]').click(); document.getElementById('startButton').click()`);
  await waitFor(async () => (await shownState(page)) === 'running', 'the page to show the session running');
  await waitFor(() => onUniverse(0).some((f) => f.dmx[0] > 0), 'red light');

  // Frozen in the first phase: the program moves on to the second phase by itself.
  await page.freeze();
  const frozenAt = Date.now();
  const second = await waitFor(() => onUniverse(frozenAt).find(blue), 'blue light while the page is frozen', 30_000);
  assert.equal(await page.evaluate('document.getElementById("phaseName").textContent'), 'Rood', 'the frozen page did not move');
  const state = await playerState();
  assert.deepEqual([state.state, state.phaseIndex], ['running', 1]);
  t.diagnostic(`second phase on the lamps ${second.at - frozenAt} ms into the freeze`);
  await page.thaw();
  await waitFor(async () => (await shownText(page, 'phaseName')) === 'Blauw', 'the thawed page to show the second phase', 3000);

  // A reload shows the running session as it is, and the record keeps what was played.
  const recordBefore = (await call('/session/record')).record;
  await page.reload();
  const reloadedAt = Date.now();
  await waitFor(async () => (await shownState(page)) === 'running' && (await shownText(page, 'phaseName')) === 'Blauw', 'the reloaded page to show the session', 5000);
  t.diagnostic(`reloaded page showed the session after ${Date.now() - reloadedAt} ms`);
  const shownElapsed = (await shownText(page, 'elapsed')).split(':').map(Number);
  const programElapsed = (await playerState()).elapsedS;
  assert.ok(Math.abs(shownElapsed[0] * 60 + shownElapsed[1] - programElapsed) <= 2, `shown ${shownElapsed.join(':')}, playing ${programElapsed} s`);
  const recordAfter = (await call('/session/record')).record;
  assert.equal(recordAfter.startedAt, recordBefore.startedAt, 'the same run');
  assert.deepEqual(recordAfter.phases.map((p) => p.reachedAtS !== null), [true, true]);

  // Every page closed: the session plays to its end and the lamps go dark.
  await devtools.closeTab(page);
  await waitFor(async () => (await playerState()).state === 'finished', 'the end of the session', 40_000);
  const endedAt = Date.now();
  // The program's last frame is dark and nothing lights the lamps afterwards (it may stop
  // sending once dark): watched for a second.
  await waitFor(() => Date.now() - endedAt > 1000, 'a second after the end', 5000);
  const last = onUniverse(0).at(-1);
  assert.ok(last.dmx.every((v) => v === 0), `the last frame is dark: ${last.dmx.slice(0, 4)}`);
  assert.deepEqual(onUniverse(endedAt).filter((f) => f.dmx.some((v) => v > 0)), [], 'no light after the end');
  const record = (await call('/session/record')).record;
  assert.equal(record.outcome, 'finished');
  assert.ok(record.endedAt > 0);
});

test('the phone remote pauses and resumes the session with no control page open', async () => {
  const started = await call('/session/start', 'POST', { sessionId: session.id });
  assert.equal(started.ok, true, JSON.stringify(started));
  const info = await call('/remote/info');
  const browser = await launchBrowser();
  try {
    const phone = await browser.context.newPage();
    await phone.setViewportSize({ width: 390, height: 844 });
    await phone.goto(`${program.url}/remote?token=${info.token}`);
    await waitFor(async () => (await phone.textContent('#title')) === session.title, 'the remote to show the session');
    await waitFor(async () => (await phone.getAttribute('#playButton', 'data-command')) === 'pause', 'the pause button');
    await phone.click('#playButton');
    await waitFor(async () => (await playerState()).state === 'paused', 'the program to pause');
    await waitFor(async () => (await phone.getAttribute('#playButton', 'data-command')) === 'resume', 'the remote to offer resume');
    await phone.click('#playButton');
    await waitFor(async () => (await playerState()).state === 'running', 'the program to resume');
  } finally {
    await browser.close();
    await call('/session/stop', 'POST', {});
  }
});
