// Answers with the page's own modules what the program's tests compare against: sessions
// through the timeline and the import checks, settings through their repair, light frames and
// looks. Usage: node page_reference.mjs <public/js folder> <questions.json>, where the questions
// are {"moments": N, "audioLimits": {...}, "cases": [{"session": {...}, "raw": bool}], "settings": [raw, ...],
// "frames": [{"layout": {...}, "look": {...}}], "looks": [{"sample": {...}, "controls": {...}}]}.
// Writes one JSON document to standard output.

import { readFileSync } from 'node:fs';
import { pathToFileURL } from 'node:url';
import path from 'node:path';

const [folder, casesFile] = process.argv.slice(2);
const load = (name) => import(pathToFileURL(path.join(folder, name)).href);
const { buildTimeline, sampleTimeline, FADE_IN_SECONDS, FADE_OUT_SECONDS } = await load('timeline.js');
const { parseSessionFile } = await load('session-file.js');
const { normalizeSettings } = await load('settings.js');
const { buildDmxFrame, lightLook } = await load('dmx-frame.js');

const input = JSON.parse(readFileSync(casesFile, 'utf8'));
const moments = input.moments ?? 1000;

// Evenly spread moments over the session (and a little beyond both ends), plus the edges where
// glides and fades begin and end.
function momentsOf(timeline) {
  const d = timeline.durationS;
  const list = [];
  for (let i = 0; i < moments; i += 1) list.push(-1 + ((d + 2) * i) / (moments - 1));
  for (const p of timeline.phases) {
    list.push(p.startS, p.startS + 1e-6, p.startS - 1e-6, p.endS - 1e-3);
    for (const f of [0.1, 0.5, 0.9, 0.999]) list.push(p.startS + p.glideS * f);
  }
  const fadeIn = Math.min(FADE_IN_SECONDS, d / 10);
  const fadeOut = Math.min(FADE_OUT_SECONDS, d / 10);
  list.push(fadeIn / 2, fadeIn, d - fadeOut, d - fadeOut / 2, d);
  return list;
}

const VALUES = ['beatHz', 'lightHz', 'carrierHz', 'r', 'g', 'b', 'rgbIntensity', 'whiteIntensity',
  'pulseVolume', 'musicVolume', 'noiseVolume', 'reverbMix'];

const results = (input.cases ?? []).map((c) => {
  const checked = parseSessionFile(JSON.stringify(c.session), { audioLimits: input.audioLimits ?? null });
  const out = { ok: checked.ok, reason: checked.reason ?? '', detail: checked.detail ?? {}, session: checked.session ?? null };
  // Library sessions play as shipped; imported ones as the import cleaned them.
  const source = c.raw ? c.session : checked.session;
  if (!source) return out;
  const timeline = buildTimeline(source);
  out.timeline = {
    durationS: timeline.durationS,
    phases: timeline.phases.map((p) => ({
      name: p.name, nameEn: p.nameEn, startS: p.startS, endS: p.endS, glideS: p.glideS,
      start: VALUES.map((k) => p.start[k]), end: VALUES.map((k) => p.end[k]), discrete: p.discrete,
    })),
  };
  out.samples = momentsOf(timeline).map((t) => {
    const s = sampleTimeline(timeline, t);
    return [t, s.time, s.phaseIndex, s.gliding, s.envelope, s.phaseElapsedS, s.remainingS, ...VALUES.map((k) => s[k])];
  });
  return out;
});

const settings = (input.settings ?? []).map((raw) => normalizeSettings(raw));
const frames = (input.frames ?? []).map(({ layout, look }) => buildDmxFrame(layout, look));
const looks = (input.looks ?? []).map(({ sample, controls }) => lightLook(sample, controls));

process.stdout.write(JSON.stringify({ results, settings, frames, looks }));
