// A session being made in the editor: its form values, the phase operations (add, remove,
// move, split), the checks with the field each message belongs to, and the session it becomes.

import { buildTimeline, formatClock, hexToRgb, parseFrequency, parseTime, rgbToHex } from './timeline.js';
import { CUSTOM_CATEGORY, MAX_PHASES, MAX_SESSION_MINUTES } from './session-file.js';
import { lampsShow } from './light-limits.js';

const DEFAULT_PHASE_S = 300;
export const PULSE_SHAPES = ['sine', 'triangle', 'square', 'trapezoid', 'sawtooth'];
export const NOISE_TYPES = ['pink', 'white', 'brown'];
export const TONE_MODES = ['binaural', 'monaural', 'isochronic', 'isochronic-monaural'];
const LEVELS = ['rgbIntensity', 'whiteIntensity', 'pulseVolume', 'musicVolume', 'noiseVolume'];

// The lamps' own limit; an output in use may show less (the program's "/dmx/limits" reply
// tells, per pulse shape).
export const LAMP_MAX_PULSE_HZ = 40;

function number(text) {
  if (typeof text === 'number') return text;
  const t = String(text ?? '').trim().replace(',', '.');
  return t === '' ? NaN : Number(t);
}

function phaseDraft(phase = {}, index = 0) {
  const beat = parseFrequency(phase.audioFrequencyHz) ?? { from: 10, to: 10 };
  const light = parseFrequency(phase.lightFrequencyHz) ?? beat;
  const rgb = phase.rgb && ['r', 'g', 'b'].every((k) => Number.isFinite(Number(phase.rgb[k]))) ? phase.rgb : hexToRgb(phase.colorHex);
  return {
    name: phase.name ?? `Fase ${index + 1}`,
    start: phase.start ?? '',
    end: phase.end ?? '',
    beatFrom: beat.from, beatTo: beat.to,
    lightFrom: light.from, lightTo: light.to,
    pulseShape: PULSE_SHAPES.includes(phase.pulseShape) ? phase.pulseShape : 'sine',
    colorHex: rgb ? rgbToHex(rgb) : '#3f6fb0',
    rgbIntensity: phase.rgbIntensity ?? 50,
    whiteIntensity: phase.whiteIntensity ?? 0,
    pulseVolume: phase.pulseVolume ?? 45,
    musicVolume: phase.musicVolume ?? 40,
    noiseVolume: phase.noiseVolume ?? 10,
    noiseType: NOISE_TYPES.includes(phase.noiseType) ? phase.noiseType : 'pink',
    // Members the form does not show travel along unchanged.
    rest: Object.fromEntries(['nameEn', 'purpose', 'purposeEn', 'carrierFrequencyHz', 'audioPulseShape', 'musicMood', 'reverbMix',
      'reverbPreset', 'halcyonMode', 'ganzfeldMode'].filter((k) => phase[k] !== undefined).map((k) => [k, phase[k]])),
  };
}

// copyTitle: the title of a copy; without it the draft edits the session itself.
export function draftFromSession(session, { copyTitle = null, id } = {}) {
  let bounds = null;
  try { bounds = buildTimeline(session).phases.map((p) => [p.startS, p.endS]); } catch { bounds = null; }
  const phases = (session.phases ?? []).map((p, i) => {
    const d = phaseDraft(p, i);
    if (bounds) { d.start = formatClock(bounds[i][0]); d.end = formatClock(bounds[i][1]); }
    return d;
  });
  return {
    id: id ?? session.id,
    title: copyTitle ?? session.title ?? '',
    goal: session.goal ?? '',
    category: copyTitle !== null || !session.category ? CUSTOM_CATEGORY : session.category,
    audioMode: TONE_MODES.includes(session.audioMode) ? session.audioMode : 'binaural',
    carrier: session.carrierFrequencyHz ?? 200,
    musicMood: session.musicMood ?? '',
    phases,
  };
}

export function newDraft(id) {
  return {
    id, title: '', goal: '', category: CUSTOM_CATEGORY, audioMode: 'binaural', carrier: 200, musicMood: 'calm',
    phases: [{ ...phaseDraft({}, 0), start: '00:00', end: formatClock(DEFAULT_PHASE_S) }],
  };
}

// Lays the phases end to end from 0, each keeping its length (or DEFAULT_PHASE_S when its
// times cannot be read): after a move, an insert or a removal there are no gaps.
export function retime(phases) {
  let at = 0;
  for (const p of phases) {
    const length = parseTime(p.end) - parseTime(p.start);
    const keep = Number.isFinite(length) && length > 0 ? length : DEFAULT_PHASE_S;
    p.start = formatClock(at);
    at += keep;
    p.end = formatClock(at);
  }
  return phases;
}

// Sets a phase's start or end text. A readable time also moves the neighbouring edge with it
// (an end moves the next phase's start, a start the previous phase's end), so that changing one
// phase's length leaves no gap or overlap. Answers the fields that moved along.
export function setPhaseTime(draft, index, member, text) {
  const phases = draft.phases;
  phases[index][member] = text;
  const seconds = parseTime(text);
  if (!Number.isFinite(seconds)) return [];
  const neighbour = member === 'end' ? index + 1 : index - 1;
  if (neighbour < 0 || neighbour >= phases.length) return [];
  const edge = member === 'end' ? 'start' : 'end';
  phases[neighbour][edge] = formatClock(seconds);
  return [`phases.${neighbour}.${edge}`];
}

export function addPhase(draft, after = draft.phases.length - 1) {
  const base = draft.phases[after];
  const phase = base ? { ...structuredClone(base), name: `Fase ${draft.phases.length + 1}`, beatFrom: base.beatTo, lightFrom: base.lightTo }
    : phaseDraft({}, 0);
  phase.start = '00:00';
  phase.end = formatClock(DEFAULT_PHASE_S);
  draft.phases.splice(after + 1, 0, phase);
  retime(draft.phases);
}

export function removePhase(draft, index) {
  if (draft.phases.length <= 1) return;
  draft.phases.splice(index, 1);
  retime(draft.phases);
}

export function movePhase(draft, index, by) {
  const to = index + by;
  if (to < 0 || to >= draft.phases.length) return;
  const [phase] = draft.phases.splice(index, 1);
  draft.phases.splice(to, 0, phase);
  retime(draft.phases);
}

// Two halves; a glide is cut where it stands halfway, so the session sounds the same.
export function splitPhase(draft, index) {
  const p = draft.phases[index];
  const start = parseTime(p.start);
  const end = parseTime(p.end);
  if (!(end - start >= 2)) return;
  const middle = Math.round((start + end) / 2);
  const half = (from, to) => Math.round(((number(from) + number(to)) / 2) * 100) / 100;
  const second = { ...structuredClone(p), name: `${p.name} (2)`, start: formatClock(middle), beatFrom: half(p.beatFrom, p.beatTo), lightFrom: half(p.lightFrom, p.lightTo) };
  p.end = formatClock(middle);
  p.beatTo = second.beatFrom;
  p.lightTo = second.lightFrom;
  draft.phases.splice(index + 1, 0, second);
}

// Problems as {field, key, values}: field is "title", "carrier", "phases" or
// "phases.N.member"; key a text key of the page. An empty list means the draft can be saved.
// lightLimits: the program's "/dmx/limits" reply for the light output in use, or null.
// audioLimits: the tone generator's table ("/audio/limits"); without it nothing can be saved,
// since nobody can say what would play.
export function checkDraft(draft, { lightLimits = null, audioLimits = null } = {}) {
  const problems = [];
  const add = (field, key, values = {}) => problems.push({ field, key, values });
  if (!String(draft.title).trim()) add('title', 'editor.error.title');
  if (!audioLimits) add('phases', 'editor.error.noLimits');
  const inReach = (range, v) => !range || (v >= range.min && v <= range.max);
  const beatRange = audioLimits?.beatHz;
  const carrierRange = audioLimits?.carrierHz;
  const carrier = number(draft.carrier);
  if (!(carrier > 0) || !inReach(carrierRange, carrier)) add('carrier', carrierRange ? 'editor.error.carrier' : 'editor.error.positive', carrierRange);
  if (draft.phases.length === 0 || draft.phases.length > MAX_PHASES) add('phases', 'editor.error.phaseCount', { max: MAX_PHASES });
  let previousEnd = 0;
  draft.phases.forEach((p, i) => {
    const at = (member) => `phases.${i}.${member}`;
    if (!String(p.name).trim()) add(at('name'), 'editor.error.name');
    const start = parseTime(p.start);
    const end = parseTime(p.end);
    if (!Number.isFinite(start)) add(at('start'), 'editor.error.time');
    else if (i === 0 && start !== 0) add(at('start'), 'editor.error.firstStart');
    else if (start > previousEnd + 0.001) add(at('start'), 'editor.error.gap', { from: formatClock(previousEnd), to: formatClock(start) });
    else if (start < previousEnd - 0.001) add(at('start'), 'editor.error.overlap', { end: formatClock(previousEnd) });
    if (!Number.isFinite(end)) add(at('end'), 'editor.error.time');
    else if (Number.isFinite(start) && end <= start) add(at('end'), 'editor.error.endBeforeStart');
    if (Number.isFinite(end)) previousEnd = end;
    for (const member of ['beatFrom', 'beatTo']) {
      const v = number(p[member]);
      if (!(v > 0) || !inReach(beatRange, v)) add(at(member), beatRange ? 'editor.error.beat' : 'editor.error.positive', beatRange);
    }
    const lightMax = Math.min(LAMP_MAX_PULSE_HZ, Number(lightLimits?.maxPulseHz?.[p.pulseShape]) || LAMP_MAX_PULSE_HZ);
    for (const member of ['lightFrom', 'lightTo']) {
      const v = number(p[member]);
      if (!(v >= 0 && v <= LAMP_MAX_PULSE_HZ) || !lampsShow(lightLimits, v, p.pulseShape)) add(at(member), 'editor.error.light', { max: lightMax });
    }
    if (!hexToRgb(p.colorHex)) add(at('colorHex'), 'editor.error.colour');
    for (const member of LEVELS) {
      const v = number(p[member]);
      if (!(v >= 0 && v <= 100)) add(at(member), 'editor.error.level');
    }
  });
  if (previousEnd > MAX_SESSION_MINUTES * 60) add('phases', 'editor.error.length', { max: MAX_SESSION_MINUTES });
  return problems;
}

const hz = (from, to) => {
  const f = number(from);
  const t = number(to);
  return f === t ? String(f) : `${f} → ${t}`;
};

// The session the player and the session files know. Call only for a draft without problems.
export function sessionFromDraft(draft) {
  const phases = draft.phases.map((p) => {
    const rgb = hexToRgb(p.colorHex);
    const phase = {
      ...p.rest,
      name: String(p.name).trim(),
      start: formatClock(parseTime(p.start)),
      end: formatClock(parseTime(p.end)),
      audioFrequencyHz: hz(p.beatFrom, p.beatTo),
      lightFrequencyHz: hz(p.lightFrom, p.lightTo),
      colorHex: rgbToHex(rgb),
      rgb,
      pulseShape: p.pulseShape,
      noiseType: p.noiseType,
    };
    for (const member of LEVELS) phase[member] = number(p[member]);
    return phase;
  });
  const beats = draft.phases.flatMap((p) => [number(p.beatFrom), number(p.beatTo)]);
  const durationS = parseTime(draft.phases.at(-1).end);
  const session = {
    id: draft.id,
    title: String(draft.title).trim(),
    goal: String(draft.goal).trim(),
    category: String(draft.category).trim() || CUSTOM_CATEGORY,
    audioMode: draft.audioMode,
    carrierFrequencyHz: number(draft.carrier),
    durationMinutes: Math.round((durationS / 60) * 100) / 100,
    frequencyRangeHz: [Math.min(...beats), Math.max(...beats)],
    phases,
  };
  if (draft.musicMood) session.musicMood = draft.musicMood;
  return session;
}

// One phase alone, for listening to it before the session is saved.
export function phaseSession(draft, index) {
  const session = sessionFromDraft({ ...draft, phases: [draft.phases[index]] });
  const p = session.phases[0];
  const length = parseTime(p.end) - parseTime(p.start);
  session.phases = [{ ...p, start: '00:00', end: formatClock(length) }];
  session.durationMinutes = length / 60;
  return session;
}
