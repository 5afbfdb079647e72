// What the chosen light output can show: the program's "/dmx/limits" for the output in use, the
// phases of a session whose light pulse is faster than that (the lamps then hold steady light
// at the pulse's mean level; the screen light may still pulse them), and the notice in the
// player that says so before and while a session plays.

import { buildDmxFrame, LIGHT_PULSE_SHAPES, outputReady } from './dmx-frame.js';
import { localized } from './i18n.js';
import { buildTimeline } from './timeline.js';

const round2 = (hz) => Math.round(hz * 100) / 100;
const shapeOf = (shape) => (LIGHT_PULSE_SHAPES.includes(shape) ? shape : 'sine');

// The "/dmx/limits" query for the light settings: the output and the last channel in use.
export function limitsPath(light) {
  const channels = buildDmxFrame(light, { r: 1, g: 1, b: 1, white: 1 }).dmx.length;
  const query = new URLSearchParams({ outputMode: light.outputMode, channels: String(channels) });
  if (light.shortFrames) query.set('shortFrames', '1');
  return `/dmx/limits?${query}`;
}

// Whether the lamps show a pulse of hz with this shape, by the program's limits.
export function lampsShow(limits, hz, shape) {
  const max = Number(limits?.maxPulseHz?.[shapeOf(shape)]);
  return !(hz > 0) || !Number.isFinite(max) || round2(Math.min(40, hz)) <= max;
}

// The pulse the lamps show at this moment, or 0 while they hold steady light: pulsing is off,
// the phase has no pulse, or the output cannot show it (the program then holds the mean).
export function lampPulseHz(sample, { pulse, limits }) {
  const hz = Number(sample?.lightHz);
  if (!pulse || !(hz > 0)) return 0;
  return lampsShow(limits, hz, sample.pulseShape ?? sample.phase?.discrete?.pulseShape) ? hz : 0;
}

// The phases of a timeline whose light pulse (at its fastest) the lamps cannot show.
export function phasesBeyond(timeline, limits) {
  if (!timeline || !limits) return [];
  return timeline.phases
    .map((phase) => ({ phase, hz: Math.max(phase.start.lightHz, phase.end.lightHz), shape: shapeOf(phase.discrete.pulseShape) }))
    .filter(({ hz, shape }) => !lampsShow(limits, hz, shape));
}

// The notice for a session (a timeline) and, while it plays, the sample of the moment.
export function limitNotice({ timeline, limits, sample = null, language = 'nl', t }) {
  const beyond = phasesBeyond(timeline, limits);
  if (beyond.length === 0) return '';
  const hint = limits.slots === 512 ? ` ${t('lightLimit.shortFrames')}` : '';
  if (sample) {
    const shape = shapeOf(sample.pulseShape ?? sample.phase?.discrete?.pulseShape);
    if (!lampsShow(limits, sample.lightHz, shape)) {
      return t('lightLimit.now', { hz: round2(sample.lightHz), max: limits.maxPulseHz[shape] }) + hint;
    }
  }
  const phases = beyond.map(({ phase, hz }) => `${localized(phase, 'name', language) || phase.index + 1} (${round2(hz)} Hz)`);
  return t('lightLimit.before', { phases: phases.join(', ') }) + hint;
}

// Keeps the notice under the light status up to date: limits fetched again when the light
// settings change, the text when the session or the moment does.
export function setupLightLimits(state, { getJson, element }) {
  let path = '';
  let limits = null;
  let shownText = null;
  let timelineOf = null;
  let timeline = null;

  function render() {
    const s = state.settings;
    const out = s.light;
    const wanted = outputReady(out) && s.controls.outputEnabled && out.pulse ? limitsPath(out) : '';
    if (wanted !== path) {
      path = wanted;
      limits = null;
      if (wanted) {
        getJson(wanted).then((reply) => {
          if (path === wanted && reply.ok && reply.body?.ok) {
            limits = reply.body;
            render();
          }
        });
      }
    }
    const session = state.shown;
    if (session !== timelineOf) {
      timelineOf = session;
      try { timeline = session ? buildTimeline(session) : null; } catch { timeline = null; }
    }
    const sample = state.player.moment();
    const text = limits ? limitNotice({ timeline, limits, sample, language: s.language, t: (k, v) => state.t(k, v) }) : '';
    if (text === shownText) return;
    shownText = text;
    element.textContent = text;
    element.hidden = !text;
  }

  for (const topic of ['player', 'controls']) state.on(topic, render);
  return { render, limits: () => limits };
}
