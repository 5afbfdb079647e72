// Requests for the native beat generator ("/audio/start", "/audio/update", "/audio/stop") and
// the rule for when an update is worth sending.

import { clampTo } from './audio-limits.js';

export const AUDIO_MODES = ['binaural', 'monaural', 'isochronic', 'isochronic-monaural'];
export const AUDIO_PULSE_SHAPES = ['sine', 'triangle', 'square', 'trapezoid', 'sawtooth'];
export const AUDIO_UPDATE_INTERVAL_MS = 250;

const round = (v, step) => Math.round(v / step) * step;
const finite = (v, fallback) => (Number.isFinite(Number(v)) ? Number(v) : fallback);

// Settings' "session" choices defer to the session; anything else overrides it. limits: the
// tone generator's table ("/audio/limits"); values are held to it, so what is asked is what
// plays (a session beyond it does not start). Without the table the generator clamps.
export function buildAudioRequest(sample, session, audioSettings, controls, limits = null) {
  const sessionMode = AUDIO_MODES.includes(session?.audioMode) ? session.audioMode : 'binaural';
  const mode = AUDIO_MODES.includes(audioSettings.mode) ? audioSettings.mode : sessionMode;
  const sampleShape = AUDIO_PULSE_SHAPES.includes(sample.audioPulseShape) ? sample.audioPulseShape : 'sine';
  const pulseShape = AUDIO_PULSE_SHAPES.includes(audioSettings.pulseShape) ? audioSettings.pulseShape : sampleShape;
  const level = (sample.pulseVolume / 100) * (controls.masterVolume / 100) * (sample.envelope ?? 1);
  return {
    mode,
    pulseShape,
    carrier: round(clampTo(limits?.carrierHz, sample.carrierHz), 0.1),
    beat: round(clampTo(limits?.beatHz, sample.beatHz), 0.01),
    volume: round(clampTo(limits?.volume, level), 0.001),
    balance: round(clampTo(limits?.balance, finite(audioSettings.balance, 0)), 0.01),
    bass: round(clampTo(limits?.gainDb, finite(audioSettings.bass, 0)), 0.5),
    mid: round(clampTo(limits?.gainDb, finite(audioSettings.mid, 0)), 0.5),
    treble: round(clampTo(limits?.gainDb, finite(audioSettings.treble, 0)), 0.5),
  };
}

export function sameAudioRequest(a, b) {
  if (!a || !b) return false;
  return Object.keys(a).length === Object.keys(b).length && Object.keys(a).every((k) => a[k] === b[k]);
}

// Sends an update only when something changed, and at most once per interval; the newest
// request is never lost: `due` reports it once the interval has passed.
export class AudioUpdateGate {
  constructor(intervalMs = AUDIO_UPDATE_INTERVAL_MS) {
    this.intervalMs = intervalMs;
    this.lastSent = null;
    this.lastSentAt = -Infinity;
  }

  reset(sentRequest = null, at = -Infinity) {
    this.lastSent = sentRequest;
    this.lastSentAt = at;
  }

  // The request to send now, or null.
  offer(request, nowMs) {
    if (sameAudioRequest(request, this.lastSent)) return null;
    if (nowMs - this.lastSentAt < this.intervalMs) return null;
    this.lastSent = request;
    this.lastSentAt = nowMs;
    return request;
  }
}
