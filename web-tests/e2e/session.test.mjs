// A user's session end to end: the control page in a real browser starts a session that the
// real program plays; lamps are an Art-Net listener, the phone and tablet are more browser pages.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { launchBrowser, startArtNetListener, startProgram, waitFor } from './harness.mjs';

const buildDir = process.env.SOLVERA_BUILD_DIR || 'build';
const UNIVERSE = 3;

// Short enough for a test, shaped like a real session: red at 10 Hz, then a glide to blue at 6 Hz.
const session = {
  id: 'e2e-short', title: 'Korte testsessie', titleEn: 'Short test session', goal: 'Test', goalEn: 'Test',
  category: 'Test', subcategory: 'Test', durationMinutes: 0.75, structure: 'two phases', musicMood: 'calm',
  audioMode: 'binaural', carrierFrequencyHz: 200, topics: ['test'], concepts: ['test'], frequencyRangeHz: [6, 10],
  phases: [
    { name: 'Rood', start: '00:00', end: '00:06', audioFrequencyHz: '10', lightFrequencyHz: '10', carrierFrequencyHz: '200',
      colorHex: '#ff0000', rgb: { r: 255, g: 0, b: 0 }, rgbIntensity: 80, whiteIntensity: 0, pulseVolume: 40,
      musicVolume: 40, noiseVolume: 20, reverbMix: 20, pulseShape: 'sine', audioPulseShape: 'sine', noiseType: 'pink' },
    { name: 'Blauw', start: '00:06', end: '00:45', audioFrequencyHz: '6', lightFrequencyHz: '6', carrierFrequencyHz: '180',
      colorHex: '#0000ff', rgb: { r: 0, g: 0, b: 255 }, rgbIntensity: 80, whiteIntensity: 0, pulseVolume: 40,
      musicVolume: 40, noiseVolume: 20, reverbMix: 20, pulseShape: 'sine', audioPulseShape: 'sine', noiseType: 'brown' },
  ],
};

let program;
let lamps;
let browser;
let control;

const lit = (frame) => frame.universe === UNIVERSE && frame.dmx.slice(0, 3).some((v) => v > 0);
const ours = (since = 0) => lamps.frames.filter((f) => f.universe === UNIVERSE && f.at >= since);
const playing = async () => (await (await fetch(`${program.url}/session/state`)).json()).state;

before(async () => {
  program = await startProgram(buildDir);
  lamps = await startArtNetListener();
  browser = await launchBrowser();
  control = await browser.context.newPage();
  const settings = {
    language: 'nl',
    light: { outputMode: 'artnet', targetIp: lamps.address, universe: UNIVERSE, startAddress: 1, channelLayout: 'rgb', fixtureCount: 1, pulse: true },
    controls: { masterVolume: 50, rgbIntensity: 100, whiteIntensity: 100, audioEnabled: true, musicEnabled: true, outputEnabled: true },
  };
  await control.addInitScript(([s, custom]) => {
    if (!localStorage.getItem('solvera.settings.v1')) localStorage.setItem('solvera.settings.v1', s);
    localStorage.setItem('solvera.customSessions.v1', custom);
  }, [JSON.stringify(settings), JSON.stringify([session])]);
  await control.goto(program.url);
});

after(async () => {
  await browser?.close();
  await lamps?.close();
  await program?.stop();
});

test('no light before the photosensitivity warning is accepted; then the session lights up and sounds', async () => {
  await control.click(`[data-id="${session.id}"]`);
  await control.click('#startButton');
  await waitFor(() => control.evaluate(() => document.getElementById('warningDialog').open), 'the warning');
  assert.equal(await control.isDisabled('#warningAccept'), true, 'accepting needs the check box');
  assert.equal((await playing()).state, 'idle', 'the program refused to start without it');
  assert.equal(ours().filter(lit).length, 0, 'nothing sent to the lamps before acceptance');
  await control.check('#warningCheck');
  await control.click('#warningAccept');
  await waitFor(() => control.evaluate(() => document.body.dataset.state === 'running'), 'the session to run');
  const state = await playing();
  assert.deepEqual([state.sessionId, state.pulseShape, state.carrierHz ?? state.values?.carrierHz], [session.id, 'sine', 200]);
  await waitFor(() => program.audioBytes() > 0, 'the audio output to produce sound');

  await waitFor(() => ours().some((f) => lit(f) && f.dmx[0] > 60), 'red Art-Net frames');
  const seenAt = Date.now();
  assert.ok(ours().filter((f) => f.at <= seenAt).every((f) => f.dmx[1] === 0 && f.dmx[2] === 0), 'only red in the first phase');
  assert.match(await control.textContent('#lightHz'), /^10\.00 Hz$/, 'the readout shows the lamps\' pulse');
});

test('colour, light pulse and beat glide from the first phase into the second', async () => {
  const beats = [];
  const mixed = await waitFor(async () => {
    beats.push((await playing()).beatHz);
    return ours().find((f) => f.dmx[0] > 20 && f.dmx[2] > 20);
  }, 'a frame between red and blue', 15_000, 100);
  assert.ok(mixed, 'the colour glides');
  await waitFor(async () => {
    const state = await playing();
    beats.push(state.beatHz);
    return state.beatHz === 6 && (state.lightHz ?? state.values?.lightHz) === 6;
  }, 'the end of the glide', 25_000, 100);
  assert.ok(beats.some((b) => b < 10 && b > 6), `the beat glides (${beats.join(', ')})`);
  assert.ok(beats.every((b, i) => i === 0 || b <= beats[i - 1]), 'and only downwards');
  // The program pulses the colour channels: blue sweeps the waveform.
  const blueFrom = Date.now();
  const pulsed = await waitFor(() => {
    const values = ours(blueFrom).map((f) => f.dmx[2]);
    return values.length >= 10 && Math.max(...values) - Math.min(...values) > 100 ? values : null;
  }, 'blue pulsing on the wire');
  assert.ok(ours(blueFrom).every((f) => f.dmx[0] === 0), `pure blue at the end of the glide (${pulsed.slice(0, 5)})`);
  await waitFor(async () => (await control.textContent('#phaseName')) === 'Blauw', 'the page to show the second phase');
});

test('the phone remote pauses and resumes the session', async () => {
  const info = await (await fetch(`${program.url}/remote/info`)).json();
  const phone = await browser.context.newPage();
  await phone.setViewportSize({ width: 390, height: 844 });
  await phone.goto(`${program.url}/remote?token=${info.token}`);
  await waitFor(async () => (await phone.textContent('#title')) === 'Korte testsessie', 'the remote to show the session');
  await waitFor(async () => (await phone.getAttribute('#playButton', 'data-command')) === 'pause', 'the pause button');
  await phone.click('#playButton');
  await waitFor(() => control.evaluate(() => document.body.dataset.state === 'paused'), 'the control page to show the pause');
  // A paused session holds its colour as steady light.
  const pausedAt = Date.now() + 300;
  await waitFor(() => ours(pausedAt).length >= 10, 'frames while paused');
  const held = ours(pausedAt).map((f) => f.dmx[2]);
  assert.ok(Math.max(...held) - Math.min(...held) <= 2 && held[0] > 0, `steady, lit (${held.slice(0, 10)})`);
  assert.match(await control.textContent('#lightHz'), /constant licht/);
  const timer = await control.textContent('#elapsed');
  await waitFor(async () => (await phone.getAttribute('#playButton', 'data-command')) === 'resume', 'the remote to show resume');
  assert.equal(await control.textContent('#elapsed'), timer, 'time stands still while paused');
  await phone.click('#playButton');
  await waitFor(() => control.evaluate(() => document.body.dataset.state === 'running'), 'the session to resume');
  await phone.close();
});

test('a screen light shows the colour the program publishes', async () => {
  const info = await (await fetch(`${program.url}/screen-light/info`)).json();
  const tablet = await browser.context.newPage();
  await tablet.setViewportSize({ width: 1024, height: 768 });
  await tablet.goto(`${program.url}/screen-light?token=${info.token}`);
  await tablet.click('#startButton');
  const published = await waitFor(async () => {
    const state = await (await fetch(`${program.url}/screen-light/state?token=${info.token}`)).json();
    return state.active ? state : null;
  }, 'an active screen-light state');
  assert.match(published.color, /^#[0-9a-f]{6}$/);
  assert.ok(published.frequencyHz > 0 && published.pulseMode === 'sync');
  await waitFor(async () => {
    const state = await (await fetch(`${program.url}/screen-light/state?token=${info.token}`)).json();
    return (await tablet.getAttribute('#light', 'data-color')) === state.color;
  }, 'the tablet to show the published colour');
  await waitFor(async () => Number(await tablet.getAttribute('#light', 'data-brightness')) > 0.2, 'the tablet to glow');
  const status = await waitFor(async () => {
    const s = await (await fetch(`${program.url}/screen-light/client-status?token=${info.token}`)).json();
    return s.connected ? s : null;
  }, 'the tablet to report itself active');
  assert.equal(status.connected, true);
  await waitFor(async () => (await control.textContent('#screenConnection')) === 'Verbonden', 'the control page to show the screen');
  await tablet.close();
});

// The first frame of the final run of dark frames since `since`, once nothing has lit the lamps
// for `holdMs` after it (the program may stop sending once they are dark); null until then.
function staysDark(since, holdMs = 300) {
  const frames = ours(since);
  let first = -1;
  for (let i = 0; i < frames.length; i += 1) {
    if (frames[i].dmx.every((v) => v === 0)) { if (first < 0) first = i; } else first = -1;
  }
  return first >= 0 && Date.now() - frames[first].at >= holdMs ? frames[first] : null;
}

// One blackout from a click in the page: returns [ms until the lamps went dark, ms until the
// page had sent its request to the player]. Both times are taken on the same system clock.
async function timedBlackout() {
  const clickedAt = await control.evaluate(() => {
    performance.clearResourceTimings(); // room for the timings of the blackout's requests
    const at = Date.now();
    document.getElementById('blackoutButton').click();
    return at;
  });
  // The blackout is the start of the final run of all-zero frames.
  const darkRun = await waitFor(() => staysDark(clickedAt), 'a lasting all-zero frame run');
  const sentAfter = await control.evaluate((at) => Math.min(...performance.getEntriesByType('resource')
    .filter((e) => e.name.endsWith('/session/blackout') && performance.timeOrigin + e.startTime >= at)
    .map((e) => performance.timeOrigin + e.startTime - at)), clickedAt);
  return [darkRun.at - clickedAt, Math.round(sentAfter)];
}

test('blackout reaches the lamps at once and stop ends light and sound', async (t) => {
  // Three blackouts: the best shows what the path allows, so one scheduling hiccup of a busy
  // machine does not decide the outcome.
  const latencies = [];
  for (let i = 0; i < 3; i += 1) {
    const since = Date.now();
    await waitFor(() => lamps.frames.some((f) => f.at > since && lit(f)), 'lit frames before the blackout');
    const [latency, sent] = await timedBlackout();
    latencies.push(latency);
    t.diagnostic(`blackout ${i + 1}: lamps dark after ${latency} ms, request sent after ${sent} ms`);
    assert.ok(sent < 100, `the page sent the blackout ${sent} ms after the click`);
    assert.equal(await control.getAttribute('#blackoutButton', 'aria-pressed'), 'true');
    // window.toggleBlackout, as the desktop shortcuts call it, brings the light back.
    await control.evaluate(() => window.toggleBlackout());
  }
  const back = Date.now();
  await waitFor(() => lamps.frames.some((f) => f.at > back && lit(f)), 'light after the blackout');
  const stoppedAt = Date.now();
  await control.click('#stopButton');
  await waitFor(async () => (await playing()).state === 'idle', 'the program to stop');
  await waitFor(() => staysDark(stoppedAt, 1000), 'the lamps to stay dark after stop');
  assert.equal(await control.evaluate(() => document.body.dataset.state), 'idle');
  // Checked last, so a slow machine fails this test alone and leaves the next ones a clean page.
  assert.ok(Math.min(...latencies) < 100, `blackouts took ${latencies.join(', ')} ms`);
});

test('breathing coaching toggles through the page function and the check box', async () => {
  assert.equal(await control.isHidden('#breathingOverlay'), true);
  assert.equal(await control.evaluate(() => typeof window.toggleBreathingCoaching), 'function');
  await control.evaluate(() => window.toggleBreathingCoaching());
  assert.equal(await control.isVisible('#breathingOverlay'), true);
  assert.equal(await control.isChecked('#breathingGuideEnabled'), true);
  await control.click('#breathingClose');
  assert.equal(await control.isHidden('#breathingOverlay'), true);
  assert.equal(await control.isChecked('#breathingGuideEnabled'), false);
});

test('closing the control page leaves the session playing; a new page shows it and stops it', async () => {
  await control.click('#startButton');
  await waitFor(() => control.evaluate(() => document.body.dataset.state === 'running'), 'the session to run again');
  await control.close({ runBeforeUnload: true });
  const closedAt = Date.now();
  await waitFor(() => ours(closedAt + 500).filter(lit).length >= 4, 'light with the page closed');
  assert.equal((await playing()).state, 'running');
  const again = await browser.context.newPage();
  await again.goto(program.url);
  await waitFor(() => again.evaluate(() => document.body.dataset.state === 'running'), 'the new page to show the session');
  assert.equal(await again.textContent('#sessionTitle'), session.title);
  const stoppedAt = Date.now();
  await again.click('#stopButton');
  await waitFor(() => staysDark(stoppedAt, 1000), 'the lamps to go dark when it stops');
  await again.close();
});
