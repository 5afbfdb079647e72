// The calibration aid of the sound's extra delay: a click every second and a square that
// lights up when the click should be heard, the extra delay later than the sound system says.
// The person moves the delay until click and flash coincide; the light of a session is then
// put as much later as the sound.

export const CLICK_PERIOD_S = 1;
export const FLASH_MS = 90;
const LOOKAHEAD_S = 0.6;
const SCHEDULE_MS = 200;
const CLICK_S = 0.004;

// When (page clock, ms) the click played at context time clickS is heard: the output's own
// time stamp ({contextTime, performanceTime}, the frame leaving the device then) or, where the
// browser has none, the context's clock with its reported latency; plus the extra delay.
export function heardAtMs(clickS, { stamp, currentTime, nowMs, latencyS }, extraMs) {
  if (stamp && stamp.performanceTime > 0) return stamp.performanceTime + (clickS - stamp.contextTime) * 1000 + extraMs;
  return nowMs + (clickS - currentTime + latencyS) * 1000 + extraMs;
}

export class CalibrationAid {
  // createContext() -> an AudioContext or null; flash(on) shows the square lit or dark;
  // now() -> page clock (ms); frame/later: the browser's animation frames and timers.
  constructor({ createContext, flash, now = () => performance.now(), frame = (fn) => requestAnimationFrame(fn),
    cancelFrame = (id) => cancelAnimationFrame(id), later = (fn, ms) => setTimeout(fn, ms), cancel = (id) => clearTimeout(id) }) {
    Object.assign(this, { createContext, flash, now, frame, cancelFrame, later, cancel });
    this.extraMs = 0;
    this.context = null;
    this.clicks = []; // context times of the clicks scheduled and not yet shown
    this.nextClickS = 0;
    this.lit = false;
  }

  get running() {
    return this.context !== null;
  }

  // False when this browser cannot play the click.
  start() {
    if (this.context) return true;
    let context = null;
    try { context = this.createContext(); } catch { context = null; }
    if (!context) return false;
    this.context = context;
    context.resume?.();
    this.clicks = [];
    this.nextClickS = context.currentTime + 0.3;
    this.schedule();
    this.show();
    return true;
  }

  stop() {
    if (!this.context) return;
    this.cancel(this.timer);
    this.cancelFrame(this.frameId);
    this.context.close?.();
    this.context = null;
    this.clicks = [];
    this.setLit(false);
  }

  // Clicks a little ahead of time, so that a late timer never makes one late.
  schedule() {
    const context = this.context;
    if (!context) return;
    while (this.nextClickS < context.currentTime + LOOKAHEAD_S) {
      this.click(this.nextClickS);
      this.clicks.push(this.nextClickS);
      this.nextClickS += CLICK_PERIOD_S;
    }
    this.timer = this.later(() => this.schedule(), SCHEDULE_MS);
  }

  // A short burst of a high tone: easy to place in time.
  click(atS) {
    const context = this.context;
    const osc = context.createOscillator();
    const gain = context.createGain();
    osc.frequency.value = 2000;
    gain.gain.setValueAtTime(0, 0);
    gain.gain.setValueAtTime(0.8, atS);
    gain.gain.setValueAtTime(0, atS + CLICK_S);
    osc.connect(gain).connect(context.destination);
    osc.start(atS);
    osc.stop(atS + CLICK_S + 0.01);
  }

  // Where the clock stands now: the output's time stamp where the browser gives one.
  timing() {
    const context = this.context;
    let stamp = null;
    try { stamp = context.getOutputTimestamp?.() ?? null; } catch { stamp = null; }
    return { stamp, currentTime: context.currentTime, nowMs: this.now(), latencyS: (context.baseLatency || 0) + (context.outputLatency || 0) };
  }

  show() {
    if (!this.context) return;
    const timing = this.timing();
    const now = timing.nowMs;
    let lit = false;
    this.clicks = this.clicks.filter((clickS) => {
      const at = heardAtMs(clickS, timing, this.extraMs);
      if (now >= at && now < at + FLASH_MS) lit = true;
      return now < at + FLASH_MS;
    });
    this.setLit(lit);
    this.frameId = this.frame(() => this.show());
  }

  setLit(lit) {
    if (lit === this.lit) return;
    this.lit = lit;
    this.flash(lit);
  }
}
