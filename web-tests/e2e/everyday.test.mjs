// What a new user met in everyday use, in the browser: a whole session run from the keyboard
// alone with the keys working whatever has focus, the key help that names only keys that work
// here, Blackout and the whole transport within reach on a phone, and an editor that moves the
// next phase along and complains only about what was touched.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { launchBrowser, startProgram, waitFor } from './harness.mjs';

const buildDir = process.env.SOLVERA_BUILD_DIR || 'build';

const threePhases = {
  id: 'e2e-drie', title: 'Drie fasen', goal: 'Test', category: 'Test', durationMinutes: 3, audioMode: 'binaural', carrierFrequencyHz: 200,
  phases: ['00:00', '01:00', '02:00'].map((start, i) => ({
    name: `Deel ${i + 1}`, start, end: ['01:00', '02:00', '03:00'][i], audioFrequencyHz: String(6 + i), lightFrequencyHz: String(6 + i),
    colorHex: ['#ff0000', '#00ff00', '#0000ff'][i], rgbIntensity: 50,
  })),
};
const fourSeconds = {
  // The shortest duration a session file may state (0.1 min); its phase ends sooner.
  id: 'e2e-vier', title: 'Vier seconden', category: 'Test', durationMinutes: 0.1, audioMode: 'binaural',
  phases: [{ name: 'Kort', start: '00:00', end: '00:04', audioFrequencyHz: '7', colorHex: '#334455' }],
};

let program;
let browser;

before(async () => {
  program = await startProgram(buildDir, { music: false });
  browser = await launchBrowser();
});

after(async () => {
  await browser?.close();
  await program?.stop();
});

async function openPage({ width = 1280, height = 860 } = {}) {
  // The program plays on after an earlier test's page closed: each test starts from rest.
  for (const [path, body] of [['/session/stop', {}], ['/session/blackout', { on: false }]]) {
    await fetch(`${program.url}${path}`, { method: 'POST', body: JSON.stringify(body) });
  }
  const page = await browser.context.newPage();
  await page.setViewportSize({ width, height });
  await page.addInitScript((custom) => {
    localStorage.setItem('solvera.customSessions.v1', custom);
    localStorage.setItem('solvera.photosensitivityAccepted.v1', 'yes');
  }, JSON.stringify([threePhases, fourSeconds]));
  await page.goto(program.url);
  await waitFor(() => page.evaluate(() => document.querySelectorAll('.session-item').length > 20), 'the library');
  return page;
}

const state = (page) => page.evaluate(() => document.body.dataset.state);
const pressed = (page) => page.getAttribute('#blackoutButton', 'aria-pressed');
const said = (page) => page.textContent('#announcer');

// Tab (or Shift+Tab) until the element matching `selector` has focus; fails after `limit` steps.
async function tabTo(page, selector, { back = false, limit = 120 } = {}) {
  for (let i = 0; i < limit; i += 1) {
    if (await page.evaluate((s) => document.activeElement?.matches(s), selector)) return;
    await page.keyboard.press(back ? 'Shift+Tab' : 'Tab');
  }
  throw new Error(`${selector} cannot be reached with the Tab key`);
}

// Whether the focused element shows that it has focus.
const focusShows = (page) => page.evaluate(() => {
  const style = getComputedStyle(document.activeElement);
  return style.outlineStyle !== 'none' && parseFloat(style.outlineWidth) >= 1;
});

test('a whole session from the keyboard; B and Space work after a seek with the mouse, and the changes are announced', async () => {
  const page = await openPage();
  try {
    // Choose and start with Tab, Enter and Space only; where the focus is, it shows.
    await tabTo(page, `.session-item[data-id="${threePhases.id}"]`);
    assert.ok(await focusShows(page), 'the session item shows its focus');
    await page.keyboard.press('Enter');
    assert.equal(await page.textContent('#sessionTitle'), threePhases.title);
    await tabTo(page, '#startButton');
    assert.ok(await focusShows(page), 'Start shows its focus');
    await page.keyboard.press('Enter');
    await waitFor(async () => (await state(page)) === 'running', 'the session to run');
    await waitFor(async () => (await said(page)) === `Sessie loopt: ${threePhases.title}`, 'the start to be announced');

    // The progress bar and the phase list from the keyboard.
    await tabTo(page, '#phaseBar', { back: true });
    assert.ok(await focusShows(page), 'the progress bar shows its focus');
    assert.equal(await page.getAttribute('#phaseBar', 'aria-label'), 'Voortgang van de sessie');
    await page.keyboard.press('PageDown');
    await waitFor(async () => (await page.textContent('#phaseName')) === 'Deel 2', 'Page Down to the next phase');
    assert.match(await page.getAttribute('#phaseBar', 'aria-valuetext'), /^01:0\d van 03:00, fase Deel 2$/);

    // A seek with the mouse leaves the focus on the bar; B and Space still act.
    const bar = await page.locator('#phaseBar').boundingBox();
    await page.mouse.click(bar.x + bar.width * 0.1, bar.y + bar.height / 2);
    await waitFor(async () => (await page.textContent('#phaseName')) === 'Deel 1', 'the seek');
    assert.equal(await page.evaluate(() => document.activeElement.id), 'phaseBar');
    await page.keyboard.press('b');
    assert.equal(await pressed(page), 'true', 'B after a seek');
    assert.equal(await said(page), 'Blackout aan: alle lampen donker');
    await page.keyboard.press('Space');
    await waitFor(async () => (await state(page)) === 'paused', 'Space after a seek');
    assert.equal(await said(page), 'Gepauzeerd');
    await page.keyboard.press('Space');
    await waitFor(async () => (await state(page)) === 'running', 'Space to resume');
    await page.keyboard.press('B');
    assert.equal(await pressed(page), 'false');
    assert.equal(await said(page), 'Blackout uit: het licht is terug');

    // On a slider and in a list B is blackout; in a text field it is a letter.
    await page.focus('#masterVolume');
    await page.keyboard.press('b');
    assert.equal(await pressed(page), 'true', 'B on a slider');
    await page.focus('#live-audioMode');
    await page.keyboard.press('b');
    assert.equal(await pressed(page), 'false', 'B on a list');
    await page.focus('#searchInput');
    await page.keyboard.type('b ');
    assert.equal(await page.inputValue('#searchInput'), 'b ');
    assert.equal(await pressed(page), 'false', 'typed text is text');
    assert.equal(await state(page), 'running', 'a typed space is a space');
    await page.fill('#searchInput', '');

    // Space on a button presses that button, once: it is not also a pause of its own.
    await tabTo(page, '#pauseButton');
    assert.ok(await focusShows(page), 'Pause shows its focus');
    await page.keyboard.press('Space');
    await waitFor(async () => (await state(page)) === 'paused', 'the pause button');
    // Space on a check box ticks it.
    const music = await page.isChecked('#musicEnabled');
    await page.focus('#musicEnabled');
    await page.keyboard.press('Space');
    assert.equal(await page.isChecked('#musicEnabled'), !music);
    assert.equal(await state(page), 'paused');
    await page.keyboard.press('Space'); // back as it was
    // In a dialog, Blackout still works; Space is the dialog's.
    await page.click('#settingsButton');
    await page.focus('#settingsForm [name="pulse"]');
    await page.keyboard.press('b');
    assert.equal(await pressed(page), 'true', 'B in the settings dialog');
    await page.keyboard.press('Escape');
    await page.keyboard.press('b');

    // Blackout in the bar and Stop are reachable with Tab; Stop ends the session.
    await tabTo(page, '#blackoutButton');
    assert.ok(await focusShows(page), 'Blackout shows its focus');
    await tabTo(page, '#stopButton', { back: true });
    await page.keyboard.press('Enter');
    await waitFor(async () => (await state(page)) === 'idle', 'the stop');
    assert.equal(await said(page), 'Sessie gestopt');
  } finally {
    await page.close();
  }
});

test('the key help names only the keys that work in a browser; loading the page asks nothing that fails', async () => {
  const failed = [];
  const page = await browser.context.newPage();
  page.on('response', (r) => { if (r.status() >= 400) failed.push(`${r.status()} ${new URL(r.url()).pathname}`); });
  page.on('console', (m) => { if (m.type() === 'error') failed.push(m.text()); });
  await page.goto(program.url);
  await waitFor(() => page.evaluate(() => document.querySelectorAll('.session-item').length > 20), 'the library');
  await waitFor(async () => (await page.textContent('#musicStatus')) !== '', 'the music library\'s answer');
  assert.deepEqual(failed, [], 'no music library is installed, and that is no error');
  assert.equal(await page.textContent('#musicStatus'), 'Geen muziekbibliotheek geïnstalleerd.');
  try {
    const help = await page.textContent('#keysHelp');
    assert.match(help, /spatie = pauze\/hervatten · B = blackout · Esc = coaching sluiten/);
    assert.doesNotMatch(help, /F5|pijl rechts/, 'Right arrow and F5 do nothing here (F5 reloads the page)');
    await page.keyboard.press('ArrowRight');
    assert.equal(await page.isHidden('#breathingOverlay'), true, 'indeed');
    await page.click('[data-lang="en"]');
    assert.doesNotMatch(await page.textContent('#keysHelp'), /F5|Right arrow/);
    await page.click('[data-lang="nl"]');
  } finally {
    await page.close();
  }
});

// Wholly inside the viewport, hit where it is drawn, and showing its whole label.
const inReach = (page, selector) => page.evaluate((sel) => {
  const el = document.querySelector(sel);
  const r = el.getBoundingClientRect();
  if (r.width === 0 || r.top < 0 || r.left < 0 || r.bottom > innerHeight || r.right > innerWidth) return `${sel} outside the screen`;
  if (!el.contains(document.elementFromPoint(r.left + r.width / 2, r.top + r.height / 2))) return `${sel} covered`;
  if (el.scrollWidth > el.clientWidth + 1) return `${sel} cut off: "${el.textContent}"`;
  return true;
}, selector);

test('on a phone Blackout is in the bar that is always in reach, and no transport button is cut off', async () => {
  const page = await openPage({ width: 390, height: 844 });
  try {
    await page.click(`[data-id="${fourSeconds.id}"]`);
    await page.click('#startButton');
    await waitFor(async () => (await state(page)) === 'running', 'the session to run');
    for (const scroll of [0, 100_000]) {
      await page.evaluate((y) => window.scrollTo(0, y), scroll);
      for (const sel of ['#blackoutButton', '#pauseButton', '#stopButton']) assert.equal(await inReach(page, sel), true, `scrolled to ${scroll}`);
    }
    await page.click('#blackoutButton');
    assert.equal(await pressed(page), 'true');
    await page.click('#blackoutButton');
    // The bar hides nothing behind it, in a browser and in the desktop's web view alike.
    assert.deepEqual(await page.evaluate(() => {
      const style = getComputedStyle(document.getElementById('transportBar'));
      return [style.backgroundColor, style.backdropFilter];
    }), ['rgb(13, 19, 29)', 'none']);
    // Another session cannot be chosen while one plays, and the page says so.
    await page.click(`[data-id="${threePhases.id}"]`);
    assert.equal(await page.textContent('#toast'), 'Er loopt een sessie. Stop die eerst om een andere te kiezen.');
    assert.equal(await page.textContent('#sessionTitle'), fourSeconds.title);
    await waitFor(async () => (await state(page)) === 'finished', 'the end of the session', 20_000);
    await page.click('#finishedDismiss');
    for (const sel of ['#startButton', '#stopButton', '#reportButton', '#blackoutButton']) assert.equal(await inReach(page, sel), true);
  } finally {
    await page.close();
  }
});

test('the editor: an end moves the next start along; messages wait until a field was touched or Save was pressed', async () => {
  const page = await openPage({ width: 390, height: 844 });
  const error = (field) => page.textContent(`#editorForm [data-error-for="${field}"]`);
  try {
    await page.click('#newSessionButton');
    await waitFor(() => page.evaluate(() => document.getElementById('editorDialog').open), 'the editor');
    assert.equal(await error('title'), '', 'no complaint about an empty form');
    assert.equal(await page.isHidden('#editorProblems'), true);
    await page.click('#editorAddPhase');
    await page.click('#editorAddPhase');
    await page.fill('#editorForm [name="phases.0.end"]', '02:30');
    assert.equal(await page.inputValue('#editorForm [name="phases.1.start"]'), '02:30', 'the next phase starts where this one ends');
    assert.equal(await error('phases.1.start'), '', 'no gap');
    await page.fill('#editorForm [name="phases.2.start"]', '09:00');
    assert.equal(await page.inputValue('#editorForm [name="phases.1.end"]'), '09:00', 'a start moves the previous end');

    // Save with the title still empty: every message shows, the first is focused, and the bar
    // by the Save button says what is left.
    await page.evaluate(() => document.querySelector('#editorForm .editor-phases').scrollIntoView({ block: 'end' }));
    await page.click('#editorSave');
    assert.equal(await error('title'), 'Geef de sessie een titel.');
    assert.equal(await page.evaluate(() => document.activeElement.name), 'title');
    await page.locator('#editorPhases').evaluate((el) => el.lastElementChild.scrollIntoView());
    assert.equal(await inReach(page, '#editorProblems'), true, 'the summary stays on screen');
    assert.match(await page.textContent('#editorProblemsText'), /^Nog 1 punt\(en\) om op te lossen\. Eerste: Geef de sessie een titel\.$/);
    await page.click('#editorShowProblem');
    assert.equal(await page.evaluate(() => document.activeElement.name), 'title');
    await page.keyboard.type('Verschoven');
    assert.equal(await page.isHidden('#editorProblems'), true);
    await page.click('#editorSave');
    await waitFor(async () => (await page.textContent('#sessionTitle')) === 'Verschoven', 'the saved session');
  } finally {
    await page.close();
  }
});
