// Session files (".svpsession"): what an export writes, and the checks an import must pass
// before a session from another machine may drive lamps and sound here.

import { buildTimeline, hexToRgb, parseFrequency } from './timeline.js';
import { localized } from './i18n.js';
import { soundOutsideLimits } from './audio-limits.js';

export const SESSION_FILE_FORMAT = 'solvera-session';
export const SESSION_FILE_EXTENSION = '.svpsession';
export const SESSION_FILE_MAX_BYTES = 1_000_000;
export const MAX_PHASES = 64;
export const MAX_SESSION_MINUTES = 600;
export const CUSTOM_CATEGORY = 'Mijn sessies';
export const CUSTOM_CATEGORY_EN = 'My sessions';

// Session and phase members that are kept, with their text limits.
const SESSION_TEXTS = { title: 160, titleEn: 160, goal: 900, goalEn: 900, category: 120, categoryEn: 120,
  categoryPurpose: 600, subcategory: 120, subcategoryEn: 120, structure: 40, musicMood: 80, audioMode: 80 };
const PHASE_TEXTS = { name: 120, nameEn: 120, purpose: 400, purposeEn: 400, start: 16, end: 16, audioFrequencyHz: 32,
  lightFrequencyHz: 32, carrierFrequencyHz: 32, colorHex: 16, musicMood: 80, pulseShape: 40, audioPulseShape: 40,
  noiseType: 40, reverbPreset: 60 };
const PHASE_LEVELS = ['rgbIntensity', 'whiteIntensity', 'pulseVolume', 'musicVolume', 'noiseVolume', 'reverbMix'];

export function utf8Length(textValue) {
  return new TextEncoder().encode(textValue).length;
}

// A file name for the session: its title without characters file systems refuse.
export function sessionFileName(session, language = 'nl') {
  const title = localized(session, 'title', language) || session?.id || 'sessie';
  const safe = title.replace(/[\u0000-\u001f\u007f/\\:*?"<>|]+/g, '-').replace(/\s+/g, ' ').trim().replace(/^[.-]+/, '');
  return `${(safe || 'sessie').slice(0, 80)}${SESSION_FILE_EXTENSION}`;
}

export function sessionFileDocument(session, { exportedAt = new Date(), application = 'Solvera Pro Audio+Light' } = {}) {
  return {
    format: SESSION_FILE_FORMAT,
    version: 1,
    application,
    exportedAt: exportedAt.toISOString(),
    session: cleanSession(session).session,
  };
}

export function sessionFileContent(session, options) {
  return `${JSON.stringify(sessionFileDocument(session, options), null, 2)}\n`;
}

class ImportError extends Error {
  constructor(reason, detail = {}) {
    super(reason);
    this.reason = reason;
    this.detail = detail;
  }
}

function inRange(value, lo, hi) {
  return typeof value === 'number' && Number.isFinite(value) && value >= lo && value <= hi;
}

function checkFrequency(phase, key, lo, hi, index, required) {
  const raw = phase[key];
  if (raw === undefined || raw === null || raw === '') {
    if (required) throw new ImportError('values', { phase: index + 1, field: key });
    return undefined;
  }
  const f = parseFrequency(raw);
  if (!f || !inRange(f.from, lo, hi) || !inRange(f.to, lo, hi)) throw new ImportError('values', { phase: index + 1, field: key });
  return typeof raw === 'number' ? String(raw) : raw.trim();
}

function cleanPhase(raw, index) {
  if (!raw || typeof raw !== 'object' || Array.isArray(raw)) throw new ImportError('phases', { phase: index + 1 });
  const phase = {};
  for (const [key, limit] of Object.entries(PHASE_TEXTS)) {
    if (typeof raw[key] === 'string') phase[key] = raw[key].slice(0, limit);
  }
  // Frequencies may come as numbers from other tools; they are kept as the text the player reads.
  // What the tone generator plays is checked on the whole timeline, against its own table.
  phase.audioFrequencyHz = checkFrequency(raw, 'audioFrequencyHz', 0, Infinity, index, true);
  const light = checkFrequency(raw, 'lightFrequencyHz', 0, 60, index, false);
  const carrier = checkFrequency(raw, 'carrierFrequencyHz', 0, Infinity, index, false);
  if (light !== undefined) phase.lightFrequencyHz = light; else delete phase.lightFrequencyHz;
  if (carrier !== undefined) phase.carrierFrequencyHz = carrier; else delete phase.carrierFrequencyHz;
  if (phase.colorHex !== undefined && !hexToRgb(phase.colorHex)) throw new ImportError('values', { phase: index + 1, field: 'colorHex' });
  if (raw.rgb !== undefined) {
    const rgb = raw.rgb;
    if (!rgb || typeof rgb !== 'object' || !['r', 'g', 'b'].every((k) => inRange(rgb[k], 0, 255))) {
      throw new ImportError('values', { phase: index + 1, field: 'rgb' });
    }
    phase.rgb = { r: rgb.r, g: rgb.g, b: rgb.b };
  }
  for (const key of PHASE_LEVELS) {
    if (raw[key] === undefined || raw[key] === null) continue;
    if (!inRange(raw[key], 0, 100)) throw new ImportError('values', { phase: index + 1, field: key });
    phase[key] = raw[key];
  }
  for (const key of ['halcyonMode', 'ganzfeldMode']) if (typeof raw[key] === 'boolean') phase[key] = raw[key];
  if (!phase.name && !phase.nameEn) phase.name = `Fase ${index + 1}`;
  return phase;
}

function slug(value) {
  return String(value).toLowerCase().normalize('NFD').replace(/[\u0300-\u036f]/g, '')
    .replace(/[^a-z0-9]+/g, '-').replace(/^-+|-+$/g, '').slice(0, 60);
}

// Keeps the known members, within their limits; throws an ImportError for what cannot play.
// audioLimits: the tone generator's table; an import passes it, an export of a stored session
// need not.
function cleanSession(raw, { audioLimits = null } = {}) {
  if (!raw || typeof raw !== 'object' || Array.isArray(raw)) throw new ImportError('format');
  const session = {};
  for (const [key, limit] of Object.entries(SESSION_TEXTS)) {
    if (typeof raw[key] === 'string') session[key] = raw[key].trim().slice(0, limit);
  }
  if (!session.title && !session.titleEn) throw new ImportError('title');
  if (!session.title) session.title = session.titleEn;
  const id = typeof raw.id === 'string' && /^[A-Za-z0-9._-]{1,80}$/.test(raw.id) ? raw.id : slug(session.title) || 'sessie';
  if (!Array.isArray(raw.phases) || raw.phases.length === 0 || raw.phases.length > MAX_PHASES) {
    throw new ImportError('phases', { count: Array.isArray(raw.phases) ? raw.phases.length : 0 });
  }
  session.phases = raw.phases.map(cleanPhase);
  if (raw.durationMinutes !== undefined && raw.durationMinutes !== null) {
    if (!inRange(Number(raw.durationMinutes), 0.1, MAX_SESSION_MINUTES)) throw new ImportError('duration');
    session.durationMinutes = Number(raw.durationMinutes);
  }
  if (raw.carrierFrequencyHz !== undefined && raw.carrierFrequencyHz !== null) {
    if (!inRange(Number(raw.carrierFrequencyHz), 0, Infinity)) throw new ImportError('values', { field: 'carrierFrequencyHz' });
    session.carrierFrequencyHz = Number(raw.carrierFrequencyHz);
  }
  for (const key of ['topics', 'concepts']) {
    if (Array.isArray(raw[key])) session[key] = raw[key].filter((v) => typeof v === 'string').slice(0, 20).map((v) => v.slice(0, 80));
  }
  let timeline;
  try {
    timeline = buildTimeline(session);
  } catch {
    throw new ImportError('phases');
  }
  if (!(timeline.durationS > 0) || timeline.durationS > MAX_SESSION_MINUTES * 60) throw new ImportError('duration');
  const outside = audioLimits && soundOutsideLimits(timeline, audioLimits);
  if (outside) throw new ImportError('limits', outside);
  // The duration the player will actually use, so lists and timers agree with it.
  session.durationMinutes = Math.round((timeline.durationS / 60) * 100) / 100;
  const beats = timeline.phases.flatMap((p) => [p.start.beatHz, p.end.beatHz]);
  session.frequencyRangeHz = Array.isArray(raw.frequencyRangeHz) && raw.frequencyRangeHz.length === 2 &&
    raw.frequencyRangeHz.every((f) => inRange(f, 0, Infinity)) ? [...raw.frequencyRangeHz] : [Math.min(...beats), Math.max(...beats)];
  if (!session.category) { session.category = CUSTOM_CATEGORY; session.categoryEn = CUSTOM_CATEGORY_EN; }
  session.id = id;
  return { session, timeline };
}

// Reads a session file's text: {ok: true, session} or {ok: false, reason, detail}. Accepts the
// exported document and, from other tools, a bare session object. With audioLimits (the tone
// generator's table) a session that asks for a beat or carrier beyond it is refused with
// reason "limits" and the detail of soundOutsideLimits.
export function parseSessionFile(textValue, { audioLimits = null } = {}) {
  if (typeof textValue !== 'string' || textValue.trim() === '') return { ok: false, reason: 'empty', detail: {} };
  if (utf8Length(textValue) > SESSION_FILE_MAX_BYTES) return { ok: false, reason: 'size', detail: {} };
  let doc;
  try {
    doc = JSON.parse(textValue.replace(/^\uFEFF/, ''));
  } catch {
    return { ok: false, reason: 'json', detail: {} };
  }
  try {
    let raw;
    if (doc && typeof doc === 'object' && doc.format === SESSION_FILE_FORMAT) raw = doc.session;
    else if (doc && typeof doc === 'object' && !Array.isArray(doc) && Array.isArray(doc.phases)) raw = doc;
    else throw new ImportError('format');
    return { ok: true, session: cleanSession(raw, { audioLimits }).session };
  } catch (error) {
    if (error instanceof ImportError) return { ok: false, reason: error.reason, detail: error.detail };
    throw error;
  }
}

// Puts an imported session into "My sessions": a session imported before (same id) is
// replaced; one that would hide a shipped session gets an id of its own.
export function addImportedSession(custom, shippedIds, session) {
  let id = session.id;
  if (shippedIds.has(id)) {
    let n = 1;
    do { id = `${session.id}-eigen${n > 1 ? `-${n}` : ''}`; n += 1; } while (shippedIds.has(id));
  }
  const imported = { ...session, id };
  const replaced = custom.some((s) => s.id === id);
  return { list: [imported, ...custom.filter((s) => s.id !== id)], session: imported, replaced };
}
