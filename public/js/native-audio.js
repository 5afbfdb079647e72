// Requests for the native beat generator ("/audio/start", "/audio/update", "/audio/stop") and
// the rule for when an update is worth sending.

export const AUDIO_MODES = ['binaural', 'monaural', 'isochronic', 'isochronic-monaural'];
export const AUDIO_PULSE_SHAPES = ['sine', 'triangle', 'square', 'trapezoid', 'sawtooth'];
export const AUDIO_UPDATE_INTERVAL_MS = 250;

const round = (v, step) => Math.round(v / step) * step;
const clamp = (v, lo, hi) => Math.min(hi, Math.max(lo, v));
const finite = (v, fallback) => (Number.isFinite(Number(v)) ? Number(v) : fallback);

// Settings' "session" choices defer to the session; anything else overrides it.
export function buildAudioRequest(sample, session, audioSettings, controls) {
  const sessionMode = AUDIO_MODES.includes(session?.audioMode) ? session.audioMode : 'binaural';
  const mode = AUDIO_MODES.includes(audioSettings.mode) ? audioSettings.mode : sessionMode;
  const sampleShape = AUDIO_PULSE_SHAPES.includes(sample.audioPulseShape) ? sample.audioPulseShape : 'sine';
  const pulseShape = AUDIO_PULSE_SHAPES.includes(audioSettings.pulseShape) ? audioSettings.pulseShape : sampleShape;
  const level = (sample.pulseVolume / 100) * (controls.masterVolume / 100) * (sample.envelope ?? 1);
  return {
    mode,
    pulseShape,
    carrier: round(clamp(sample.carrierHz, 20, 1500), 0.1),
    beat: round(clamp(sample.beatHz, 0.1, 60), 0.01),
    volume: round(clamp(level, 0, 1), 0.001),
    balance: round(clamp(finite(audioSettings.balance, 0), -1, 1), 0.01),
    bass: round(clamp(finite(audioSettings.bass, 0), -12, 12), 0.5),
    mid: round(clamp(finite(audioSettings.mid, 0), -12, 12), 0.5),
    treble: round(clamp(finite(audioSettings.treble, 0), -12, 12), 0.5),
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
