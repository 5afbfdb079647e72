// Shared timing for the screen light: the server's clock as seen from this device, the pulse
// waveform (the same shapes and the same phase rule as the lamps), and the published state.

// Estimates serverTime - localTime from request round trips. Each sample brackets the server's
// `now` between the local send and receive times; the sample with the shortest round trip has
// the smallest error, so the estimate follows the best recent one.
export class ClockOffsetEstimator {
  constructor(capacity = 12) {
    this.capacity = capacity;
    this.samples = [];
  }

  add(sentLocalMs, receivedLocalMs, serverNowMs) {
    const rtt = receivedLocalMs - sentLocalMs;
    if (!(rtt >= 0) || !Number.isFinite(serverNowMs)) return;
    this.samples.push({ rtt, offset: serverNowMs - (sentLocalMs + receivedLocalMs) / 2 });
    if (this.samples.length > this.capacity) this.samples.shift();
  }

  get ready() {
    return this.samples.length > 0;
  }

  // Milliseconds to add to the local clock; 0 before the first sample.
  offset() {
    if (this.samples.length === 0) return 0;
    const best = Math.min(...this.samples.map((s) => s.rtt));
    // Average the samples as good as the best (within 2 ms) to smooth out scheduling noise.
    const good = this.samples.filter((s) => s.rtt <= best + 2);
    return good.reduce((sum, s) => sum + s.offset, 0) / good.length;
  }

  // Largest error of the estimate: half the best round trip.
  uncertainty() {
    if (this.samples.length === 0) return Infinity;
    return Math.min(...this.samples.map((s) => s.rtt)) / 2;
  }
}

export function pulseMultiplier(position, shape) {
  const p = position;
  switch (shape) {
    case 'sine': return 0.5 - 0.5 * Math.cos(2 * Math.PI * p);
    case 'triangle': return p < 0.5 ? 2 * p : 2 * (1 - p);
    case 'trapezoid':
      if (p < 0.2) return p / 0.2;
      if (p < 0.6) return 1;
      if (p < 0.8) return (0.8 - p) / 0.2;
      return 0;
    case 'sawtooth': return p;
    default: return p < 0.5 ? 1 : 0;
  }
}

// Position (0..1) in the pulse at server time `serverNowMs`, counted from `epochMs`.
export function pulsePosition(serverNowMs, epochMs, hz) {
  if (!(hz > 0)) return 0;
  const elapsed = Math.max(0, serverNowMs - epochMs) / 1000;
  const cycles = elapsed * hz;
  return cycles - Math.floor(cycles);
}

// The level a pulse averages to over a cycle.
export function meanMultiplier(shape) {
  return shape === 'trapezoid' ? 0.6 : 0.5;
}

// A display shows its frames at fixed moments, so no frame can sit on a pulse's edge: every
// shape needs at least four frames per cycle (the trapezoid five, for its corners). Faster
// pulses would flicker at a false rate; the screen then holds their mean level.
// refreshHz: Infinity for no display at all (the waveform itself), NaN while unknown.
export function screenShowsPulse(hz, shape, refreshHz) {
  const frames = shape === 'trapezoid' ? 5 : 4;
  return refreshHz > 0 && hz * frames <= refreshHz;
}

// Brightness (0..1) of the screen at server time for a state document, on a display that
// shows refreshHz frames a second (unknown: steady light until it is measured).
export function screenBrightness(state, serverNowMs, refreshHz = Infinity) {
  if (!state || state.active !== true) return 0;
  const intensity = Math.min(1, Math.max(0, Number(state.intensity) / 100 || 0));
  const hz = Math.min(40, Math.max(0, Number(state.frequencyHz) || 0));
  if (state.pulseMode !== 'sync' || hz === 0) return intensity;
  if (!screenShowsPulse(hz, state.pulseShape, refreshHz)) return intensity * meanMultiplier(state.pulseShape);
  const p = pulsePosition(serverNowMs, Number(state.pulseEpochMs) || 0, hz);
  return intensity * pulseMultiplier(p, state.pulseShape);
}

// The display's refresh rate from the times of its animation frames: the median interval of
// the recent ones, ignoring pauses (a hidden page gets no frames).
export class RefreshRateMeter {
  constructor(capacity = 90, minimum = 30) {
    this.capacity = capacity;
    this.minimum = minimum;
    this.intervals = [];
    this.last = null;
  }

  add(frameMs) {
    if (this.last !== null) {
      const interval = frameMs - this.last;
      if (interval > 0 && interval < 100) {
        this.intervals.push(interval);
        if (this.intervals.length > this.capacity) this.intervals.shift();
      }
    }
    this.last = frameMs;
  }

  // Frames per second, or NaN until enough frames were seen.
  get hz() {
    if (this.intervals.length < this.minimum) return NaN;
    const sorted = [...this.intervals].sort((a, b) => a - b);
    return 1000 / sorted[Math.floor(sorted.length / 2)];
  }

  // How long one frame stays on the screen, in ms (0 while unknown).
  get frameMs() {
    const hz = this.hz;
    return Number.isFinite(hz) ? 1000 / hz : 0;
  }
}

// The state document for "/screen-light/state". The colour is the phase colour at full
// strength; `intensity` (0-100) says how bright it shows.
export function buildScreenLightState(view, nowMs) {
  return {
    ok: true,
    updatedAt: Math.floor(nowMs),
    active: Boolean(view.active),
    frequencyHz: Math.round((view.frequencyHz ?? 10) * 100) / 100,
    pulseShape: view.pulseShape || 'sine',
    pulseMode: view.pulse === false ? 'steady' : 'sync',
    pulseEpochMs: Math.round(view.pulseEpochMs ?? 0),
    color: view.color || '#40c9ff',
    intensity: Math.round(Math.min(100, Math.max(0, view.intensity ?? 0))),
    language: view.language === 'en' ? 'en' : 'nl',
    sessionTitle: view.sessionTitle || 'Solvera Pro',
    phase: view.phase || 'Stand-by',
  };
}

// Splits a lamp look (0..255 per channel, white added evenly) into a full-strength colour and
// an intensity percentage, so a screen shows the same light as the lamps.
export function screenColorFromLook(look) {
  const add = look.white ?? 0;
  const r = Math.min(255, (look.r ?? 0) + add);
  const g = Math.min(255, (look.g ?? 0) + add);
  const b = Math.min(255, (look.b ?? 0) + add);
  const peak = Math.max(r, g, b);
  if (peak <= 0) return { color: '#000000', intensity: 0 };
  const hex = (v) => Math.round((v * 255) / peak).toString(16).padStart(2, '0');
  return { color: `#${hex(r)}${hex(g)}${hex(b)}`, intensity: (peak / 255) * 100 };
}
