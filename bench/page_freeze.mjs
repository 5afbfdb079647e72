// The session without its page: a real Chromium page on loopback starts a session in the
// program, then is frozen for 60 s across a phase boundary (as a phone's browser freezes a page
// on screen lock), reloaded mid-session, and closed. Prints how late the new phase's colour and
// light rate reached the lamps (an Art-Net node on loopback) against the session's schedule
// (by the wall clock, and by the program's own session clock, which follows its sound output),
// how long the reloaded page took to show the running session, and how the session ended.
//
//   node bench/page_freeze.mjs [build folder]       (web-tests' packages installed: npm ci there)
import { resolve } from 'node:path';
import { startArtNetListener, startProgram, waitFor } from '../web-tests/e2e/harness.mjs';
import { launchDevToolsBrowser } from '../web-tests/e2e/devtools.mjs';
import { buildTimeline, sampleTimeline } from '../public/js/timeline.js';
import { buildDmxFrame, lightLook } from '../public/js/dmx-frame.js';

const buildDir = resolve(process.argv[2] || 'build');
const UNIVERSE = 5;
const FREEZE_MS = 60_000;
const BOUNDARY_S = 30;
// A dimmer that pulses before the colour channels, which then hold the colour of each moment.
const layout = { startAddress: 1, channelLayout: 'drgb', fixtureCount: 1, channelSpacing: 0 };

// Red at 10 Hz, then a glide to blue at 6 Hz from 0:30; 1:40 in all.
const session = {
  id: 'bench-bevriezen', title: 'Bevriezen', category: 'Bench', durationMinutes: 100 / 60, audioMode: 'binaural', carrierFrequencyHz: 200,
  phases: [
    { name: 'Rood', start: '00:00', end: '00:30', audioFrequencyHz: '10', lightFrequencyHz: '10', colorHex: '#ff0000', rgbIntensity: 100 },
    { name: 'Blauw', start: '00:30', end: '01:40', audioFrequencyHz: '6', lightFrequencyHz: '6', colorHex: '#0000ff', rgbIntensity: 100 },
  ],
};
const timeline = buildTimeline(session);
const controls = { masterVolume: 80, rgbIntensity: 100, whiteIntensity: 100, audioEnabled: true, musicEnabled: false, outputEnabled: true };
const expected = (t) => buildDmxFrame(layout, lightLook(sampleTimeline(timeline, t), controls)).dmx;

const percentile = (values, p) => {
  const sorted = [...values].sort((a, b) => a - b);
  return sorted[Math.min(sorted.length - 1, Math.floor((p / 100) * sorted.length))];
};
const ms = (v) => `${v.toFixed(1)} ms`;

let program;
let lamps;
let devtools;
const call = async (path, method = 'GET', body = undefined) => (await fetch(`${program.url}${path}`, {
  method, headers: { 'Content-Type': 'application/json' }, body: body === undefined ? undefined : JSON.stringify(body) })).json();

// The wall time of session second 0 by the program's own clock: its reports of where the
// session is, each with the wall time of the reply, averaged.
async function scheduleZero() {
  const zeros = [];
  for (let i = 0; i < 10; i += 1) {
    const sent = Date.now();
    const reply = await call('/session/state');
    const received = Date.now();
    const wall = Number(reply.serverTimeMs) || (sent + received) / 2;
    zeros.push(wall - reply.state.elapsedS * 1000);
    await new Promise((r) => setTimeout(r, 50));
  }
  return zeros.reduce((a, b) => a + b) / zeros.length;
}

// For each frame in the glide, the session moment whose light it shows (the channels are
// monotonic there), and how late it came against that moment's place in the schedule.
// The moment in the glide where f(t) (rising) reaches value, by bisection.
function momentOf(f, value) {
  let lo = BOUNDARY_S;
  let hi = BOUNDARY_S + timeline.phases[1].glideS;
  for (let i = 0; i < 40; i += 1) {
    const mid = (lo + hi) / 2;
    if (f(mid) < value) lo = mid; else hi = mid;
  }
  return lo;
}

// The program's session clock follows its sound output's clock, which need not keep the wall
// clock's pace (SDL's disk driver, used here, paces itself by sleeping, and falls behind on a
// busy machine). Its reports, taken all through the run, give the wall time of each session
// moment, read between the two nearest reports.
class ProgramClock {
  constructor() { this.samples = []; this.running = false; }
  start() {
    this.running = true;
    const take = async () => {
      if (!this.running) return;
      try {
        const reply = await call('/session/state');
        if (reply.state?.state === 'running' && Number.isFinite(reply.serverTimeMs)) {
          this.samples.push({ wall: reply.serverTimeMs, s: reply.state.elapsedS });
        }
      } catch { /* the program is busy or gone: the next report will do */ }
      setTimeout(take, 100);
    };
    take();
  }
  stop() { this.running = false; }
  // The wall time of a session moment, and the session moment of a wall time; beyond the
  // reports, at the pace of the nearest two.
  wallAt(sec) { return this.between('s', 'wall', sec); }
  sessionAt(wall) { return this.between('wall', 's', wall); }
  between(from, to, value) {
    const list = this.samples;
    let i = list.findIndex((p) => p[from] >= value);
    if (i <= 0) i = i === 0 ? 1 : list.length - 1;
    const [a, b] = [list[i - 1], list[i]];
    if (b[from] === a[from]) return b[to];
    return a[to] + ((value - a[from]) / (b[from] - a[from])) * (b[to] - a[to]);
  }
  // Wall milliseconds per session second over the whole run, and the longest the session clock
  // stood still or crept between two reports.
  pace() {
    const [first, last] = [this.samples[0], this.samples.at(-1)];
    let worstGap = 0;
    for (let i = 1; i < this.samples.length; i += 1) {
      const p = this.samples[i];
      const q = this.samples[i - 1];
      worstGap = Math.max(worstGap, (p.wall - q.wall) - (p.s - q.s) * 1000);
    }
    return { msPerSecond: (last.wall - first.wall) / (last.s - first.s), worstGap, count: this.samples.length };
  }
}

function colourLags(frames, wallAt) {
  const lags = [];
  for (const f of frames) {
    const [, r, , b] = f.dmx;
    if (!(r > 2 && b > 2)) continue; // only frames inside the glide say where in it they are
    lags.push(f.at - wallAt(momentOf((t) => expected(t)[3], b)));
  }
  return lags;
}

// The light's rate from the frames: the dimmer pulses, and each cycle has one frame at its
// highest (the output draws the waveform at fixed positions, however many frames a cycle it
// can afford at the moment's rate). The time between the peaks, counted in session seconds
// (sessionAt: a frame's arrival as a session moment), over a run of cycles, gives the rate,
// against the moment of the glide whose rate it is, in milliseconds of the session. The glide
// changes the rate slowly (least near its ends, which are left out), so this says less than
// the colour does.
const RATE_CYCLES = 20;
function rateLags(frames, sessionAt) {
  const peaks = [];
  for (let i = 1; i + 1 < frames.length; i += 1) {
    const [before, here, next] = [frames[i - 1].dmx[0], frames[i].dmx[0], frames[i + 1].dmx[0]];
    if (here > before && here >= next) peaks.push(sessionAt(frames[i].at));
  }
  const lags = [];
  for (let i = RATE_CYCLES; i < peaks.length; i += 1) {
    const hz = RATE_CYCLES / (peaks[i] - peaks[i - RATE_CYCLES]);
    if (!(hz < 9 && hz > 7)) continue; // near its ends the glide barely changes the rate
    const at = (peaks[i] + peaks[i - RATE_CYCLES]) / 2;
    lags.push((at - momentOf((t) => -sampleTimeline(timeline, t).lightHz, -hz)) * 1000);
  }
  return { lags };
}

const summary = (lags) => `median ${ms(percentile(lags, 50))}, p95 ${ms(percentile(lags, 95))}, max ${ms(Math.max(...lags))}, min ${ms(Math.min(...lags))}`;

async function main() {
  program = await startProgram(buildDir, { music: false });
  lamps = await startArtNetListener();
  devtools = await launchDevToolsBrowser();
  try {
    const { settings } = await call('/settings');
    await call('/settings', 'PUT', { ...settings, controls, light: { ...settings.light, ...layout, outputMode: 'artnet', targetIp: lamps.address,
      universe: UNIVERSE, pulse: true } });
    await call('/settings/consent', 'POST', { accepted: true });
    await call(`/sessions/own/${session.id}`, 'PUT', session);

    const page = await devtools.open(program.url);
    await waitFor(() => page.evaluate(`Boolean(document.querySelector('[data-id="${session.id}"]'))`), 'the session in the list');
    await page.evaluate(`document.querySelector('[data-id="${session.id}"]').click(); document.getElementById('startButton').click()`);
    await waitFor(() => page.evaluate('document.body?.dataset.state === "running"'), 'the session to run');
    const zeroWall = await scheduleZero();
    const clock = new ProgramClock();
    clock.start();

    // Frozen from 0:05 to 1:05: the boundary at 0:30 and the glide after it pass meanwhile.
    await waitFor(() => Date.now() >= zeroWall + 5000, 'second 5', 10_000, 100);
    await page.freeze();
    const frozenAt = Date.now();
    await new Promise((r) => setTimeout(r, FREEZE_MS));
    await page.thaw();
    const during = lamps.frames.filter((f) => f.universe === UNIVERSE && f.at >= frozenAt && f.at <= frozenAt + FREEZE_MS);

    // Reloaded: how long until the page shows the running session with its phase.
    await page.send('Page.addScriptToEvaluateOnNewDocument', { source: `new MutationObserver(() => {
      if (!window.__shownAt && document.body?.dataset.state === 'running' && document.getElementById('phaseName')?.textContent === 'Blauw') window.__shownAt = performance.now();
    }).observe(document, { subtree: true, attributes: true, childList: true, characterData: true });` });
    const shown = [];
    for (let i = 0; i < 5; i += 1) {
      await page.reload();
      await waitFor(() => page.evaluate('window.__shownAt ?? null'), 'the reloaded page to show the session', 10_000, 20);
      shown.push(await page.evaluate('window.__shownAt'));
    }

    // Every page closed: the session plays to its end and ends dark.
    await devtools.closeTab(page);
    const closedAt = Date.now();
    await waitFor(async () => (await call('/session/state')).state.state === 'finished', 'the end', 120_000, 100);
    const endedAt = Date.now();
    clock.stop();
    await new Promise((r) => setTimeout(r, 2000));
    const after = lamps.frames.filter((f) => f.universe === UNIVERSE && f.at > endedAt + 200);
    const lastLit = [...lamps.frames].reverse().find((f) => f.universe === UNIVERSE && f.dmx.some((v) => v > 0));
    const record = (await call('/session/record')).record;

    const pace = clock.pace();
    console.log(`frozen ${FREEZE_MS / 1000} s across the phase boundary at 0:${BOUNDARY_S}: ${during.length} Art-Net frames while frozen`);
    console.log(`the program's session clock: ${((pace.msPerSecond / 1000 - 1) * 100).toFixed(2)} % slower than the wall clock `
      + `over the run (${pace.count} reports; it fell behind by up to ${ms(pace.worstGap)} between two reports 0.1 s apart)`);
    const schedules = [
      ['the wall clock from the start', (sec) => zeroWall + sec * 1000, (wall) => (wall - zeroWall) / 1000],
      ['the program\'s own session clock', (sec) => clock.wallAt(sec), (wall) => clock.sessionAt(wall)],
    ];
    for (const [name, wallAt, sessionAt] of schedules) {
      console.log(`against ${name}:`);
      const lags = colourLags(during, wallAt);
      if (lags.length) console.log(`  colour of the glide (${lags.length} frames): ${summary(lags)}`);
      else console.log('  no frame of the glide reached the lamps while the page was frozen');
      const firstBlue = during.find((f) => f.dmx[3] > 0);
      if (firstBlue) console.log(`  first blue frame ${ms(firstBlue.at - wallAt(BOUNDARY_S))} after the boundary's place`);
      const rate = rateLags(during, sessionAt);
      if (rate.lags.length) {
        console.log(`  light rate of the glide (${rate.lags.length} runs of ${RATE_CYCLES} cycles): ${summary(rate.lags)}`);
      } else {
        console.log('  the light rate did not glide on the lamps while the page was frozen');
      }
      console.log(`  end: finished ${ms(endedAt - wallAt(timeline.durationS))} after the scheduled end; `
        + `last lit frame ${ms(lastLit.at - wallAt(timeline.durationS))} against it`);
    }
    console.log(`reload mid-session: the running session shown ${shown.map((v) => Math.round(v)).join(', ')} ms after each navigation started`);
    console.log(`every page closed ${((closedAt - zeroWall) / 1000).toFixed(1)} s in: `
      + `${after.length} frames after the end, ${after.every((f) => f.dmx.every((v) => v === 0)) ? 'all dark' : 'NOT all dark'}; `
      + `record: ${record.outcome}, phases reached at ${record.phases.map((p) => p.reachedAtS).join(' s, ')} s`);
  } finally {
    await devtools?.close();
    await lamps?.close();
    await program?.stop();
  }
}

main().catch((error) => { console.error(error); process.exit(1); });
