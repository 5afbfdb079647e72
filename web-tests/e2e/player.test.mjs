// The player within reach at the window's size and on a phone: the transport bar stays on
// screen, seeking lands where it should, the end of a session stays shown, the keys work,
// stale light errors go, and a session made in the editor plays.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { launchBrowser, recordDeviceRequests, startArtNetListener, startProgram, waitFor } from './harness.mjs';


const buildDir = process.env.SOLVERA_BUILD_DIR || 'build';

// Five phases of twelve seconds, each at its own beat; the last one short enough to finish.
const fivePhases = {
  id: 'e2e-vijf', title: 'Vijf fasen', goal: 'Test', category: 'Test', durationMinutes: 1, audioMode: 'binaural', carrierFrequencyHz: 200,
  phases: [4, 6, 8, 10, 12].map((beat, i) => ({
    name: `Fase ${beat} Hz`, purpose: 'Een fase van de test, met wat uitleg zodat de regels langer worden dan één regel.',
    start: `00:${String(i * 12).padStart(2, '0')}`, end: `00:${String(i * 12 + 12).padStart(2, '0')}`,
    audioFrequencyHz: String(beat), lightFrequencyHz: String(beat), colorHex: ['#ff0000', '#ffaa00', '#00ff00', '#00aaff', '#aa00ff'][i], rgbIntensity: 50,
  })),
};
const sixSeconds = {
  id: 'e2e-zes', title: 'Zes seconden', category: 'Test', durationMinutes: 0.1, audioMode: 'binaural',
  phases: [{ name: 'Kort', start: '00:00', end: '00:06', audioFrequencyHz: '7', colorHex: '#334455' }],
};

let program;
let lamps;
let browser;

before(async () => {
  program = await startProgram(buildDir);
  lamps = await startArtNetListener();
  browser = await launchBrowser();
});

after(async () => {
  await browser?.close();
  await lamps?.close();
  await program?.stop();
});

const call = async (path, method = 'GET', body = undefined) => (await fetch(`${program.url}${path}`, {
  method, headers: { 'Content-Type': 'application/json' }, body: body === undefined ? undefined : JSON.stringify(body) })).json();
const playing = async () => (await call('/session/state')).state;

// The first page carries its storage over to the program; given settings go to the program
// itself (it keeps them for every page).
async function openPage({ width, height, settings = null }) {
  // The program plays on after an earlier test's page closed: each test starts from rest.
  await call('/session/stop', 'POST', {});
  const page = await browser.context.newPage();
  await page.setViewportSize({ width, height });
  await page.addInitScript(([custom]) => {
    localStorage.setItem('solvera.customSessions.v1', custom);
    localStorage.setItem('solvera.photosensitivityAccepted.v1', 'yes');
  }, [JSON.stringify([fivePhases, sixSeconds])]);
  if (settings) {
    const { settings: kept } = await call('/settings');
    await call('/settings', 'PUT', { ...kept, ...settings, light: { ...kept.light, ...settings.light } });
  }
  await page.goto(program.url);
  await waitFor(() => page.evaluate(() => document.querySelectorAll('.session-item').length > 20), 'the library');
  return page;
}

// Whether the element is wholly inside the viewport and is what a click there would hit.
const reachable = (page, selector) => page.evaluate((sel) => {
  const el = document.querySelector(sel);
  const r = el.getBoundingClientRect();
  if (r.width === 0 || r.top < 0 || r.left < 0 || r.bottom > innerHeight || r.right > innerWidth) return false;
  return el.contains(document.elementFromPoint(r.left + r.width / 2, r.top + r.height / 2));
}, selector);

for (const [width, height] of [[1280, 860], [390, 844]]) {
  test(`at ${width} × ${height} the transport stays in reach with five phases, with Ask AI results and while playing`, async () => {
    const page = await openPage({ width, height });
    try {
      await page.click(`[data-id="${fivePhases.id}"]`);
      assert.ok(await reachable(page, '#startButton'), 'Start with a five-phase session selected');
      await page.fill('#askInput', 'ik kan niet slapen');
      await page.click('#askButton');
      await waitFor(() => page.evaluate(() => document.querySelectorAll('#askResults .ask-item').length > 0), 'Ask AI results');
      assert.ok(await reachable(page, '#startButton'), 'Start with Ask AI results shown');
      await page.click('#startButton');
      await waitFor(() => page.evaluate(() => document.body.dataset.state === 'running'), 'the session to run');
      // Scrolled to the bottom of the page and back, Stop stays where the thumb is.
      await page.evaluate(() => window.scrollTo(0, document.body.scrollHeight));
      assert.ok(await reachable(page, '#stopButton'), 'Stop at the bottom of the page');
      assert.ok(await reachable(page, '#pauseButton'));
      await page.evaluate(() => window.scrollTo(0, 0));
      assert.ok(await reachable(page, '#stopButton'), 'Stop at the top of the page');
      // On the phone the live sound controls are big enough for a thumb.
      for (const id of width < 500 ? ['#live-balance', '#live-bass', '#masterVolume'] : []) {
        const box = await page.locator(id).boundingBox();
        assert.ok(box.height >= 32 && box.width >= 120, `${id}: ${JSON.stringify(box)}`);
      }
      await page.click('#stopButton');
    } finally {
      await page.close();
    }
  });
}

test('seeking by the phase list and the progress bar lands in the right phase at the right frequency', async () => {
  const page = await openPage({ width: 1280, height: 860 });
  try {
    await page.click(`[data-id="${fivePhases.id}"]`);
    await page.click('#startButton');
    await waitFor(() => page.evaluate(() => document.body.dataset.state === 'running'), 'the session to run');
    await page.click('#phaseList li[data-index="3"]');
    await waitFor(async () => (await page.textContent('#phaseName')) === 'Fase 10 Hz', 'the fourth phase');
    // The phase glides in from the one before it (8 Hz) towards its own 10 Hz.
    const beat = parseFloat(await page.textContent('#beatHz'));
    assert.ok(beat >= 8 && beat <= 10, `beat ${beat}`);
    assert.match(await page.textContent('#elapsed'), /^00:3[67]$/);
    const beatNow = (await playing()).beatHz;
    assert.ok(beatNow >= 8 && beatNow <= 10, `the program plays ${beatNow} Hz`);

    // A click at nine tenths of the bar: the last phase, past its glide, at 12 Hz.
    const bar = await page.locator('#phaseBar').boundingBox();
    await page.mouse.click(bar.x + bar.width * 0.9, bar.y + bar.height / 2);
    await waitFor(async () => (await page.textContent('#phaseName')) === 'Fase 12 Hz', 'the last phase');
    await waitFor(async () => (await page.textContent('#beatHz')) === '12.00 Hz', 'its own frequency');
    assert.equal((await playing()).beatHz, 12, 'the program plays it');
    // Dragging back to the start shows the place while dragging and jumps on release.
    await page.mouse.move(bar.x + bar.width * 0.9, bar.y + bar.height / 2);
    await page.mouse.down();
    await page.mouse.move(bar.x + 2, bar.y + bar.height / 2, { steps: 4 });
    assert.equal(await page.textContent('#elapsed'), '00:00', 'the drag shows where it will land');
    await page.mouse.up();
    await waitFor(async () => (await page.textContent('#phaseName')) === 'Fase 4 Hz', 'the first phase after the drag');

    // Balance and tone mode change the running beat from the main screen.
    await page.fill('#live-balance', '-0.4');
    await page.selectOption('#live-audioMode', 'isochronic');
    await waitFor(async () => {
      const { audio } = (await call('/settings')).settings;
      return audio.balance === -0.4 && audio.mode === 'isochronic';
    }, 'the live sound change to reach the program');
    await page.fill('#live-balance', '0');
    await page.selectOption('#live-audioMode', 'session');

    // Keys: Space pauses and resumes, B switches blackout; neither while typing.
    await page.focus('#searchInput');
    await page.keyboard.type('b ');
    assert.equal(await page.inputValue('#searchInput'), 'b ', 'typed into the field');
    assert.equal(await page.evaluate(() => document.body.dataset.state), 'running');
    assert.equal(await page.getAttribute('#blackoutButton', 'aria-pressed'), 'false');
    await page.fill('#searchInput', '');
    await page.evaluate(() => document.activeElement.blur());
    await page.keyboard.press('Space');
    await waitFor(() => page.evaluate(() => document.body.dataset.state === 'paused'), 'Space to pause');
    await page.keyboard.press('Space');
    await waitFor(() => page.evaluate(() => document.body.dataset.state === 'running'), 'Space to resume');
    await page.keyboard.press('b');
    assert.equal(await page.getAttribute('#blackoutButton', 'aria-pressed'), 'true');
    await page.keyboard.press('B');
    assert.equal(await page.getAttribute('#blackoutButton', 'aria-pressed'), 'false');
    assert.match(await page.textContent('.keys-help'), /spatie = pauze\/hervatten · B = blackout/);
    await page.click('#stopButton');
  } finally {
    await page.close();
  }
});

test('the end of a session stays shown until the user acts; Stop ends it in the program', async () => {
  const page = await openPage({ width: 390, height: 844 });
  try {
    await page.click(`[data-id="${sixSeconds.id}"]`);
    await page.click('#startButton');
    await waitFor(() => page.evaluate(() => document.body.dataset.state === 'finished'), 'the end of the session', 20_000);
    assert.equal(await page.isVisible('#finishedNote'), true);
    assert.equal(await page.textContent('#beatHz'), '—', 'no frozen frequencies');
    // Still there after any toast has gone.
    await waitFor(() => page.evaluate(() => document.getElementById('toast').hidden), 'the toast to go', 15_000);
    assert.equal(await page.isVisible('#finishedNote'), true, 'the finished state stays');
    assert.equal(await page.textContent('#remaining'), '00:00');
    // Dismissing stops the finished run in the program; the note goes with the program's answer.
    await page.click('#finishedDismiss');
    await waitFor(() => page.isHidden('#finishedNote'), 'the finished note to go');
    assert.equal((await playing()).state, 'idle', 'the program let the finished run go');

    // Stop during the session: the program's player ends it, and the page shows that.
    await page.click('#startButton');
    await waitFor(async () => (await playing()).state === 'running', 'the session to play');
    await page.click('#stopButton');
    await waitFor(async () => (await playing()).state === 'idle', 'the program to stop it');
    await waitFor(() => page.evaluate(() => document.body.dataset.state === 'idle'), 'the page to show it');
  } finally {
    await page.close();
  }
});

test('the light status follows the program\'s output: an error while it fails (a USB output without its widget), "actief" once the lamps take frames', async () => {
  const page = await openPage({ width: 1280, height: 860, settings: {
    light: { outputMode: 'enttec-usb-pro', serialPort: '', universe: 1, startAddress: 1, channelLayout: 'rgb', fixtureCount: 1, pulse: true },
  } });
  try {
    assert.match(await page.textContent('#lightStatus'), /ingesteld; actief zodra/, 'not active before anything was sent');
    await page.click(`[data-id="${fivePhases.id}"]`);
    await page.click('#startButton');
    // No widget on this machine: the program's own words, as an error, with its toast.
    await waitFor(async () => /^Licht: /.test(await page.textContent('#lightStatus'))
      && await page.evaluate(() => document.getElementById('lightStatus').classList.contains('error')), 'the missing widget as an error');
    assert.equal(await page.isVisible('#toast'), true);
    assert.equal(await page.textContent('#toast'), await page.textContent('#lightStatus'));
    assert.doesNotMatch(await page.textContent('#lightStatus'), /actief|invalid|HTTP/);
    // The lamps on Art-Net instead, while the session plays: active once they take frames, the stale toast gone.
    await page.click('#settingsButton');
    await page.selectOption('#settingsForm [name="outputMode"]', 'artnet');
    await page.fill('#settingsForm [name="targetIp"]', lamps.address);
    await page.click('#settingsForm button[value="save"]');
    await waitFor(async () => /^Licht: Art-Net → .* actief$/.test(await page.textContent('#lightStatus')), 'the output to work');
    await waitFor(() => lamps.frames.some((f) => f.universe === 1 && f.dmx.some((v) => v > 0)), 'frames on the lamps');
    // The settings' own "saved" may show; the light's error does not.
    assert.ok(await page.isHidden('#toast') || !/^Licht: /.test(await page.textContent('#toast')), 'the stale error toast has gone');
    await page.click('#stopButton');
    // The editor holds light pulses to what an output shows, as the program reports it.
    await page.click('#settingsButton');
    await page.selectOption('#settingsForm [name="outputMode"]', 'enttec-usb-pro');
    await page.click('#settingsForm button[value="save"]');
    await waitFor(async () => /Enttec DMX USB Pro/.test(await page.textContent('#lightStatus')), 'the output chosen');
    // The editor holds light pulses to what this output shows, as the program reports it.
    const limits = await (await fetch(`${program.url}/dmx/limits?outputMode=enttec-usb-pro`)).json();
    await page.click('#newSessionButton');
    await page.fill('#editorForm [name="phases.0.lightTo"]', '39');
    await waitFor(async () => (await page.textContent('#editorForm [data-error-for="phases.0.lightTo"]'))
      === `Deze lichtuitgang toont deze pulsvorm tot ${limits.maxPulseHz.sine} Hz (0 = egaal licht).`, 'the output\'s own limit');
    await page.click('#editorCancel');
  } finally {
    await page.close();
  }
});

test('a session made in the editor: wrong input is refused next to its field; saved, it is in My sessions and plays', async () => {
  const page = await openPage({ width: 390, height: 844 });
  const requests = recordDeviceRequests(page);
  const error = (field) => page.textContent(`#editorForm [data-error-for="${field}"]`);
  try {
    await page.click('#newSessionButton');
    assert.equal(await page.evaluate(() => document.getElementById('editorDialog').open), true);
    assert.equal(await error('title'), '', 'no complaint before anything was typed');
    await page.fill('#editorForm [name="title"]', 'Eigen proef');
    await page.fill('#editorForm [name="phases.0.name"]', 'Begin');
    await page.fill('#editorForm [name="phases.0.end"]', '00:04');
    await page.fill('#editorForm [name="phases.0.beatFrom"]', '9');
    await page.fill('#editorForm [name="phases.0.beatTo"]', '9');
    await page.click('#editorAddPhase');
    await page.fill('#editorForm [name="phases.1.start"]', '00:05');
    assert.equal(await page.inputValue('#editorForm [name="phases.0.end"]'), '00:05', 'the previous phase ends where this one starts');
    assert.equal(await error('phases.1.start'), '');
    const { beatHz } = await (await fetch(`${program.url}/audio/limits`)).json();
    await page.fill('#editorForm [name="phases.1.beatTo"]', String(beatHz.max + 5));
    assert.equal(await error('phases.1.beatTo'), `De toongenerator speelt ${beatHz.min} tot ${beatHz.max} Hz.`);
    assert.equal(await page.getAttribute('#editorForm [name="phases.1.beatTo"]', 'aria-invalid'), 'true');
    await page.click('#editorSave');
    assert.equal(await page.evaluate(() => document.getElementById('editorDialog').open), true, 'nothing invalid is saved');
    assert.equal(await page.evaluate(() => document.activeElement.name), 'phases.1.beatTo', 'the problem has focus');
    await page.fill('#editorForm [name="phases.1.start"]', '00:04');
    await page.fill('#editorForm [name="phases.1.end"]', '00:08');
    await page.fill('#editorForm [name="phases.1.beatTo"]', '5');
    assert.equal(await error('phases.1.start'), '');
    assert.equal(await page.evaluate(() => document.querySelectorAll('#editorPreview polyline').length), 2, 'the course is drawn');

    // Listening to the second phase sounds its beat; closing the editor ends it.
    await page.click('#editorPhases button[data-action="listen"][data-index="1"]');
    await waitFor(() => requests.find((r) => r.path === '/audio/start')?.body.beat === 9, 'the phase to sound from its start');
    await page.click('#editorSave');
    await waitFor(() => requests.some((r) => r.path === '/audio/stop'), 'listening to end with the editor');
    assert.equal(await page.textContent('#sessionTitle'), 'Eigen proef');
    assert.match(await page.textContent('#toast'), /Sessie opgeslagen: Eigen proef/);
    const stored = (await call('/sessions/own')).sessions[0];
    assert.deepEqual([stored.title, stored.category, stored.phases.map((p) => p.audioFrequencyHz)], ['Eigen proef', 'Mijn sessies', ['9', '9 → 5']]);
    await page.click('.chip:text("Mijn sessies")');
    assert.ok(await page.isVisible(`.session-item[data-id="${stored.id}"]`), 'listed under My sessions');

    await page.click('#startButton');
    await waitFor(async () => (await playing()).sessionId === stored.id, 'the program to play the saved session');
    await waitFor(() => page.evaluate(() => document.body.dataset.state === 'finished'), 'the end of the session', 20_000);
    const { record } = await call('/session/record');
    const beats = record.log.map((e) => e.beatHz);
    assert.equal(beats[0], 9, 'it starts at 9 Hz');
    assert.ok(beats.some((b) => b < 9 && b > 5), `the second phase glides down (${beats})`);
  } finally {
    await page.close();
  }
});

test('the phone remote with a refused code asks once and says so; with the right code its switches read on and off', async () => {
  const phone = await browser.context.newPage();
  await phone.setViewportSize({ width: 390, height: 844 });
  try {
    let asked = 0;
    phone.on('request', (r) => { if (new URL(r.url()).pathname === '/remote/state') asked += 1; });
    await phone.clock.install();
    await phone.goto(`${program.url}/remote?token=verkeerd`);
    await waitFor(async () => (await phone.textContent('#message')) === 'De toegangscode klopt niet meer. Scan de QR-code opnieuw.', 'the refusal');
    await phone.clock.runFor(60_000);
    assert.equal(asked, 1, 'a refused code is not asked again every second');
    assert.equal(await phone.isHidden('#sliders'), true, 'no made-up slider positions');

    const info = await (await fetch(`${program.url}/remote/info`)).json();
    const control = await openPage({ width: 1280, height: 860 });
    await phone.goto(`${program.url}/remote?token=${info.token}`);
    await phone.clock.runFor(2_000);
    await waitFor(async () => (await phone.textContent('#outputSwitch .switch-state')) === 'aan', 'the light switch to read on');
    await control.click('#outputEnabled');
    await phone.clock.runFor(2_000);
    await waitFor(async () => (await phone.textContent('#outputSwitch .switch-state')) === 'uit', 'the light switch to read off');
    await control.close();
  } finally {
    await phone.close();
  }
});
