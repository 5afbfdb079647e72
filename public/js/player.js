// The session player as the page sees it: the program plays the session; the page keeps the
// latest state the program told it and runs the clock on between two reports, so that the
// time shown moves smoothly while a report a second arrives.

export const PlayerState = Object.freeze({
  IDLE: 'idle',
  RUNNING: 'running',
  PAUSED: 'paused',
  FINISHED: 'finished',
});

const STATES = new Set(Object.values(PlayerState));
const VALUE_KEYS = ['beatHz', 'lightHz', 'carrierHz', 'rgbIntensity', 'whiteIntensity', 'pulseVolume', 'musicVolume',
  'noiseVolume', 'reverbMix'];

const num = (v, fallback = 0) => (typeof v === 'number' && Number.isFinite(v) ? v : fallback);
const str = (v) => (typeof v === 'string' ? v : '');

// The program's state document with every member the page reads, whatever it left out. The
// moment's values may come in "values" or beside the other members.
export function normalizeStatus(raw) {
  const r = raw && typeof raw === 'object' ? raw : {};
  const v = r.values && typeof r.values === 'object' ? { ...r, ...r.values } : r;
  const values = Object.fromEntries(VALUE_KEYS.map((k) => [k, num(v[k])]));
  values.color = /^#[0-9a-f]{6}$/i.test(v.color) ? v.color.toLowerCase() : '#000000';
  const durationS = Math.max(0, num(r.durationS));
  return {
    state: STATES.has(r.state) ? r.state : PlayerState.IDLE,
    sessionId: str(r.sessionId),
    title: str(r.title),
    titleEn: str(r.titleEn),
    elapsedS: Math.min(durationS, Math.max(0, num(r.elapsedS))),
    durationS,
    phaseIndex: Number.isInteger(r.phaseIndex) ? r.phaseIndex : -1,
    phaseCount: Number.isInteger(r.phaseCount) ? r.phaseCount : 0,
    phaseName: str(r.phaseName),
    phaseNameEn: str(r.phaseNameEn),
    phaseElapsedS: num(r.phaseElapsedS),
    phaseRemainingS: num(r.phaseRemainingS),
    values,
    envelope: num(r.envelope),
    gliding: r.gliding === true,
    pulseShape: str(r.pulseShape),
    noiseType: str(r.noiseType),
    reverbPreset: str(r.reverbPreset),
    musicMood: str(r.musicMood),
    blackout: r.blackout === true,
    light: r.light === true,
    lightLit: r.lightLit === true,
    lightError: str(r.lightError),
    soundOnly: r.soundOnly === true,
    sound: r.sound === true,
    audioDevice: str(r.audioDevice),
    revision: num(r.revision, -1),
  };
}

export class PlayerView {
  // now() -> milliseconds on a monotonic clock (performance.now in the page).
  constructor(now = () => performance.now()) {
    this.now = now;
    this.status = normalizeStatus(null);
    this.receivedAt = now();
    this.known = false; // whether the program has told its state yet
  }

  // Takes a state document from the program. Returns what changed: {state, phase, blackout,
  // session} (each true or false), or null when the document is older than the one held.
  apply(raw) {
    const next = normalizeStatus(raw);
    const before = this.status;
    // Replies and events travel on different connections: an older revision never wins.
    if (this.known && next.revision >= 0 && before.revision >= 0 && next.revision < before.revision) return null;
    this.status = next;
    this.receivedAt = this.now();
    const first = !this.known;
    this.known = true;
    return {
      state: first || next.state !== before.state,
      phase: first || next.phaseIndex !== before.phaseIndex || next.sessionId !== before.sessionId,
      blackout: first || next.blackout !== before.blackout,
      session: first || next.sessionId !== before.sessionId,
    };
  }

  get state() {
    return this.status.state;
  }

  get active() {
    return this.state === PlayerState.RUNNING || this.state === PlayerState.PAUSED;
  }

  get running() {
    return this.state === PlayerState.RUNNING;
  }

  get blackout() {
    return this.status.blackout;
  }

  duration() {
    return this.status.durationS;
  }

  // Seconds into the session: as reported, moved on by the time since while it runs.
  elapsed() {
    const { state, elapsedS, durationS } = this.status;
    if (state === PlayerState.FINISHED) return durationS;
    if (state === PlayerState.IDLE) return 0;
    if (state === PlayerState.PAUSED) return elapsedS;
    return Math.min(durationS, elapsedS + Math.max(0, this.now() - this.receivedAt) / 1000);
  }

  // The moment as the views and the report's readouts show it, or null when nothing plays.
  moment() {
    if (!this.active) return null;
    const s = this.status;
    return {
      phaseIndex: s.phaseIndex,
      phase: { name: s.phaseName, nameEn: s.phaseNameEn },
      ...s.values,
      pulseShape: s.pulseShape,
    };
  }
}
