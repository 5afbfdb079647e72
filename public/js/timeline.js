// Turns a session's phases into a timeline and samples it: every value glides smoothly from
// one phase into the next, and the whole session fades in and out gently.

export const DEFAULT_GLIDE_SECONDS = 45;
export const FADE_IN_SECONDS = 8;
export const FADE_OUT_SECONDS = 12;

const DEFAULT_CARRIER_HZ = 200;

// "mm:ss", "h:mm:ss", or plain minutes ("12", "7.5") -> seconds; NaN when unreadable.
export function parseTime(value) {
  if (typeof value === 'number') return Number.isFinite(value) ? value * 60 : NaN;
  if (typeof value !== 'string') return NaN;
  const text = value.trim();
  if (/^\d+(?:[.,]\d+)?$/.test(text)) return parseFloat(text.replace(',', '.')) * 60;
  const parts = text.split(':');
  if (parts.length < 2 || parts.length > 3 || !parts.every((p) => /^\d+$/.test(p))) return NaN;
  const numbers = parts.map(Number);
  if (numbers.slice(1).some((n) => n >= 60)) return NaN;
  return numbers.reduce((total, n) => total * 60 + n, 0);
}

export function formatClock(seconds) {
  const s = Math.max(0, Math.round(seconds));
  const h = Math.floor(s / 3600);
  const m = Math.floor((s % 3600) / 60);
  const r = s % 60;
  const body = `${String(m).padStart(2, '0')}:${String(r).padStart(2, '0')}`;
  return h > 0 ? `${h}:${body}` : body;
}

// A frequency text: "10", "10.5", "10,5" or a glide within the phase ("12 → 8", "12->8",
// "12-8", "12 to 8"). Numbers are accepted too. Returns {from, to} or null.
export function parseFrequency(value) {
  if (typeof value === 'number') return Number.isFinite(value) && value >= 0 ? { from: value, to: value } : null;
  if (typeof value !== 'string') return null;
  const m = value
    .trim()
    .replace(/\s*hz$/i, '')
    .match(/^(\d+(?:[.,]\d+)?)(?:\s*(?:→|->|–|-|to|naar)\s*(\d+(?:[.,]\d+)?))?$/i);
  if (!m) return null;
  const from = parseFloat(m[1].replace(',', '.'));
  const to = m[2] === undefined ? from : parseFloat(m[2].replace(',', '.'));
  return { from, to };
}

export function hexToRgb(hex) {
  if (typeof hex !== 'string') return null;
  let h = hex.trim().replace(/^#/, '');
  if (/^[0-9a-f]{3}$/i.test(h)) h = h.split('').map((c) => c + c).join('');
  if (!/^[0-9a-f]{6}$/i.test(h)) return null;
  return { r: parseInt(h.slice(0, 2), 16), g: parseInt(h.slice(2, 4), 16), b: parseInt(h.slice(4, 6), 16) };
}

export function rgbToHex({ r, g, b }) {
  const part = (v) => Math.round(clamp(v, 0, 255)).toString(16).padStart(2, '0');
  return `#${part(r)}${part(g)}${part(b)}`;
}

export function clamp(v, lo, hi) {
  return Math.min(hi, Math.max(lo, v));
}

function numberOr(value, fallback) {
  const n = typeof value === 'string' ? parseFloat(value.replace(',', '.')) : value;
  return typeof n === 'number' && Number.isFinite(n) ? n : fallback;
}

function percent(value, fallback) {
  return clamp(numberOr(value, fallback), 0, 100);
}

function phaseColor(phase) {
  const rgb = phase.rgb;
  if (rgb && typeof rgb === 'object' && ['r', 'g', 'b'].every((k) => Number.isFinite(Number(rgb[k])))) {
    return { r: clamp(Number(rgb.r), 0, 255), g: clamp(Number(rgb.g), 0, 255), b: clamp(Number(rgb.b), 0, 255) };
  }
  return hexToRgb(phase.colorHex) ?? { r: 0, g: 0, b: 0 };
}

// Values that glide between and within phases; each resolved phase holds their start and end.
const GLIDING = ['beatHz', 'lightHz', 'carrierHz', 'r', 'g', 'b', 'rgbIntensity', 'whiteIntensity',
  'pulseVolume', 'musicVolume', 'noiseVolume', 'reverbMix'];

function resolvePhase(phase, session, index, previous) {
  const carrierSession = numberOr(session.carrierFrequencyHz, DEFAULT_CARRIER_HZ);
  const beat = parseFrequency(phase.audioFrequencyHz) ?? (previous ? { from: previous.end.beatHz, to: previous.end.beatHz } : { from: 10, to: 10 });
  const light = parseFrequency(phase.lightFrequencyHz) ?? beat;
  const carrier = parseFrequency(phase.carrierFrequencyHz) ?? { from: carrierSession, to: carrierSession };
  const color = phaseColor(phase);
  const steady = {
    r: color.r, g: color.g, b: color.b,
    rgbIntensity: percent(phase.rgbIntensity, previous?.end.rgbIntensity ?? 60),
    whiteIntensity: percent(phase.whiteIntensity, previous?.end.whiteIntensity ?? 0),
    pulseVolume: percent(phase.pulseVolume, previous?.end.pulseVolume ?? 50),
    musicVolume: percent(phase.musicVolume, previous?.end.musicVolume ?? 40),
    noiseVolume: percent(phase.noiseVolume, previous?.end.noiseVolume ?? 0),
    reverbMix: percent(phase.reverbMix, previous?.end.reverbMix ?? 20),
  };
  return {
    index,
    name: typeof phase.name === 'string' ? phase.name : '',
    nameEn: typeof phase.nameEn === 'string' ? phase.nameEn : '',
    purpose: typeof phase.purpose === 'string' ? phase.purpose : '',
    purposeEn: typeof phase.purposeEn === 'string' ? phase.purposeEn : '',
    start: { ...steady, beatHz: beat.from, lightHz: light.from, carrierHz: carrier.from },
    end: { ...steady, beatHz: beat.to, lightHz: light.to, carrierHz: carrier.to },
    discrete: {
      pulseShape: typeof phase.pulseShape === 'string' && phase.pulseShape ? phase.pulseShape : 'sine',
      audioPulseShape: typeof phase.audioPulseShape === 'string' && phase.audioPulseShape ? phase.audioPulseShape : '',
      noiseType: typeof phase.noiseType === 'string' && phase.noiseType ? phase.noiseType : 'pink',
      musicMood: typeof phase.musicMood === 'string' && phase.musicMood ? phase.musicMood : (session.musicMood || ''),
      reverbPreset: typeof phase.reverbPreset === 'string' && phase.reverbPreset ? phase.reverbPreset : 'room',
      halcyonMode: phase.halcyonMode === true,
      ganzfeldMode: phase.ganzfeldMode === true,
    },
  };
}

// Builds the timeline of a session. Phases are laid end to end in their order; "start" and
// "end" texts are honoured when they are readable and consistent, otherwise the session's
// duration is shared out evenly. Throws when the session has no phases.
export function buildTimeline(session, { glideSeconds = DEFAULT_GLIDE_SECONDS } = {}) {
  const phases = Array.isArray(session?.phases) ? session.phases.filter((p) => p && typeof p === 'object') : [];
  if (phases.length === 0) throw new Error('session has no phases');
  const declaredTotal = numberOr(session.durationMinutes, NaN) * 60;
  const starts = phases.map((p) => parseTime(p.start));
  const ends = phases.map((p) => parseTime(p.end));
  let bounds = phases.map((_, i) => [starts[i], ends[i]]);
  const consistent = bounds.every(([s, e], i) => Number.isFinite(s) && Number.isFinite(e) && e > s &&
    (i === 0 ? s === 0 : Math.abs(s - bounds[i - 1][1]) < 0.001));
  if (!consistent) {
    const total = Number.isFinite(declaredTotal) && declaredTotal > 0 ? declaredTotal : phases.length * 300;
    const each = total / phases.length;
    bounds = phases.map((_, i) => [i * each, (i + 1) * each]);
  }
  const resolved = [];
  phases.forEach((phase, i) => {
    const r = resolvePhase(phase, session, i, resolved[i - 1]);
    r.startS = bounds[i][0];
    r.endS = bounds[i][1];
    r.glideS = i === 0 ? 0 : Math.min(glideSeconds, 0.3 * (r.endS - r.startS));
    resolved.push(r);
  });
  return { durationS: resolved[resolved.length - 1].endS, phases: resolved };
}

function smoothstep(x) {
  const t = clamp(x, 0, 1);
  return t * t * (3 - 2 * t);
}

function lerp(a, b, t) {
  return a + (b - a) * t;
}

export function phaseIndexAt(timeline, t) {
  const { phases } = timeline;
  for (let i = 0; i < phases.length; i += 1) {
    if (t < phases[i].endS) return i;
  }
  return phases.length - 1;
}

// The session's values at t seconds. Within a phase, values move linearly from its start to its
// end values (a written glide such as "12 → 8"); over the first glideS seconds of a phase they
// ease in from where the previous phase ended. `envelope` (0..1) is the session fade in/out.
export function sampleTimeline(timeline, t) {
  const time = clamp(t, 0, timeline.durationS);
  const index = phaseIndexAt(timeline, time);
  const phase = timeline.phases[index];
  const length = phase.endS - phase.startS;
  const within = length > 0 ? (time - phase.startS) / length : 1;
  const values = {};
  for (const key of GLIDING) values[key] = lerp(phase.start[key], phase.end[key], within);
  let gliding = false;
  if (index > 0 && phase.glideS > 0 && time - phase.startS < phase.glideS) {
    const previous = timeline.phases[index - 1];
    const k = smoothstep((time - phase.startS) / phase.glideS);
    for (const key of GLIDING) values[key] = lerp(previous.end[key], values[key], k);
    gliding = k < 1;
  }
  if (phase.start.beatHz !== phase.end.beatHz || phase.start.lightHz !== phase.end.lightHz ||
      phase.start.carrierHz !== phase.end.carrierHz) gliding = true;
  // Short sessions get short fades: at most a tenth of the session each.
  const fadeInS = Math.min(FADE_IN_SECONDS, timeline.durationS / 10);
  const fadeOutS = Math.min(FADE_OUT_SECONDS, timeline.durationS / 10);
  const fadeIn = fadeInS > 0 ? clamp(time / fadeInS, 0, 1) : 1;
  const fadeOut = fadeOutS > 0 ? clamp((timeline.durationS - time) / fadeOutS, 0, 1) : 1;
  return {
    time,
    phaseIndex: index,
    phase,
    phaseElapsedS: time - phase.startS,
    phaseRemainingS: phase.endS - time,
    remainingS: timeline.durationS - time,
    gliding,
    envelope: Math.min(smoothstep(fadeIn), smoothstep(fadeOut)),
    ...values,
    color: { r: values.r, g: values.g, b: values.b },
    ...phase.discrete,
  };
}
