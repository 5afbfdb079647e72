// The session clock: start, pause, resume, stop, and where in the timeline we are.

import { buildTimeline, sampleTimeline } from './timeline.js';

export const PlayerState = Object.freeze({
  IDLE: 'idle',
  RUNNING: 'running',
  PAUSED: 'paused',
  FINISHED: 'finished',
});

export class SessionPlayer {
  // now() -> milliseconds on a monotonic clock (performance.now in the page).
  constructor(now = () => performance.now()) {
    this.now = now;
    this.session = null;
    this.timeline = null;
    this.state = PlayerState.IDLE;
    this.startedAt = 0;
    this.pausedAt = 0;
    this.pausedTotal = 0;
  }

  load(session) {
    if (this.active) throw new Error('stop the running session first');
    this.timeline = buildTimeline(session);
    this.session = session;
    this.state = PlayerState.IDLE;
  }

  get active() {
    return this.state === PlayerState.RUNNING || this.state === PlayerState.PAUSED;
  }

  start() {
    if (!this.timeline || this.active) return false;
    this.startedAt = this.now();
    this.pausedTotal = 0;
    this.state = PlayerState.RUNNING;
    return true;
  }

  pause() {
    if (this.state !== PlayerState.RUNNING) return false;
    this.pausedAt = this.now();
    this.state = PlayerState.PAUSED;
    return true;
  }

  resume() {
    if (this.state !== PlayerState.PAUSED) return false;
    this.pausedTotal += this.now() - this.pausedAt;
    this.state = PlayerState.RUNNING;
    return true;
  }

  stop() {
    if (!this.active) return false;
    this.state = PlayerState.IDLE;
    return true;
  }

  // Moves a running or paused session to `seconds` in; a paused one stays paused there.
  seek(seconds) {
    if (!this.active || !Number.isFinite(seconds)) return false;
    const target = Math.min(this.timeline.durationS, Math.max(0, seconds));
    const reference = this.state === PlayerState.PAUSED ? this.pausedAt : this.now();
    this.startedAt = reference - target * 1000;
    this.pausedTotal = 0;
    return true;
  }

  // Seconds into the session.
  elapsed() {
    if (!this.timeline) return 0;
    if (this.state === PlayerState.IDLE) return 0;
    if (this.state === PlayerState.FINISHED) return this.timeline.durationS;
    const reference = this.state === PlayerState.PAUSED ? this.pausedAt : this.now();
    return Math.min(this.timeline.durationS, Math.max(0, (reference - this.startedAt - this.pausedTotal) / 1000));
  }

  duration() {
    return this.timeline ? this.timeline.durationS : 0;
  }

  // Advances the state (a running session that reached its end becomes FINISHED) and returns
  // the sample of the moment, or null when nothing is loaded.
  tick() {
    if (!this.timeline) return null;
    if (this.state === PlayerState.RUNNING && this.elapsed() >= this.timeline.durationS) {
      this.state = PlayerState.FINISHED;
    }
    return sampleTimeline(this.timeline, this.elapsed());
  }
}
