// The headband's events as the program delivers them (window.solveraMuseBridgeEvents): the
// bridge's status, and readings kept as time series for the live plot and the report.
//
// Events the page understands (one JSON object each; "receivedAt" in ms since 1970):
//   {"type": "status", "status": "scanning", "message": "…", "source": "…"}
//   {"type": "eeg", "channels": {"TP9": µV, "AF7": µV, "AF8": µV, "TP10": µV}}
//   {"type": "bands", "bands": {"delta": 0..1, "theta": …, "alpha": …, "beta": …, "gamma": …}}
//   {"type": "contact", "channel": "TP9", "quality": "good" | "poor" | "none"}
//   {"type": "battery", "percent": 0..100}
//   {"type": "packetLoss", "lost": n, "received": n}
//   any other object: its numeric members, each a series of its own.

export const PLOT_WINDOW_S = 120;
const KEEP_MS = 300_000;
const MAX_POINTS = 4000;
const META_KEYS = new Set(['receivedAt', 'timestamp', 'time', 'seq', 'sequence', 'id']);
export const BAND_NAMES = ['delta', 'theta', 'alpha', 'beta', 'gamma'];
export const ELECTRODES = ['TP9', 'AF7', 'AF8', 'TP10'];
// Events that describe the headband's state rather than carry readings.
const STATE_TYPES = new Set(['status', 'contact', 'battery', 'packetLoss']);
export const BRIDGE_SOURCE = 'solvera-muse-bridge';
export const WRAPPER_SOURCE = 'solvera-macos-wrapper';

function eventTime(event, fallback) {
  for (const key of ['receivedAt', 'timestamp', 'time']) {
    const v = Number(event[key]);
    if (Number.isFinite(v) && v > 1e12) return v;
  }
  return fallback;
}

// [series name, value] pairs of one event.
export function readings(event) {
  const out = [];
  if (STATE_TYPES.has(event.type)) return out;
  const take = (prefix, object) => {
    for (const [key, value] of Object.entries(object)) {
      if (typeof value === 'number' && Number.isFinite(value)) out.push([`${prefix}${key}`, value]);
    }
  };
  if (event.channels && typeof event.channels === 'object' && !Array.isArray(event.channels)) take('', event.channels);
  else if (Array.isArray(event.channels) || Array.isArray(event.values)) {
    const values = Array.isArray(event.values) ? event.values : event.channels;
    const names = Array.isArray(event.channelNames) ? event.channelNames : [];
    values.forEach((v, i) => { if (typeof v === 'number' && Number.isFinite(v)) out.push([String(names[i] ?? `ch${i + 1}`), v]); });
  }
  if (event.bands && typeof event.bands === 'object') take('', event.bands);
  for (const [key, value] of Object.entries(event)) {
    if (META_KEYS.has(key) || typeof value !== 'number' || !Number.isFinite(value)) continue;
    out.push([key, value]);
  }
  return out;
}

export class HeadbandMonitor {
  constructor(now = () => Date.now()) {
    this.now = now;
    this.status = null; // {status, message, source, reason, at}
    this.bridgeStatus = null; // the last status the bridge program itself sent
    this.statusHistory = [];
    this.contact = new Map(); // electrode -> {quality, at}
    this.battery = null; // {percent, at}
    this.packetLoss = null; // {lost, received}
    this.series = new Map(); // name -> [{t, v}]
    this.kinds = new Map(); // name -> event type ("eeg", "bands", …)
    this.eventCount = 0;
    this.readingCount = 0;
    this.lastReadingAt = 0;
    this.listeners = new Set();
  }

  onChange(listener) {
    this.listeners.add(listener);
    return () => this.listeners.delete(listener);
  }

  accept(events) {
    const list = Array.isArray(events) ? events : [events];
    const now = this.now();
    let changed = false;
    for (const event of list) {
      if (!event || typeof event !== 'object' || Array.isArray(event)) continue;
      this.eventCount += 1;
      changed = true;
      if (event.type === 'status') {
        this.status = {
          status: typeof event.status === 'string' ? event.status : '',
          message: typeof event.message === 'string' ? event.message : '',
          source: typeof event.source === 'string' ? event.source : '',
          reason: typeof event.reason === 'string' ? event.reason : '',
          at: eventTime(event, now),
        };
        if (this.status.source === BRIDGE_SOURCE) this.bridgeStatus = this.status;
        // A new connection reports its own contact; the old one's would mislead.
        if (['scanning', 'connecting', 'disconnected', 'stopped'].includes(this.status.status)) this.contact.clear();
        this.statusHistory.push(this.status);
        if (this.statusHistory.length > 20) this.statusHistory.shift();
        continue;
      }
      if (event.type === 'contact') {
        if (typeof event.channel === 'string' && ['good', 'poor', 'none'].includes(event.quality)) {
          this.contact.set(event.channel, { quality: event.quality, at: eventTime(event, now) });
        }
        continue;
      }
      if (event.type === 'battery') {
        const percent = Number(event.percent);
        if (Number.isFinite(percent)) this.battery = { percent: Math.max(0, Math.min(100, percent)), at: eventTime(event, now) };
        continue;
      }
      if (event.type === 'packetLoss') {
        const lost = Number(event.lost);
        if (Number.isFinite(lost)) this.packetLoss = { lost, received: Number(event.received) || 0 };
        continue;
      }
      const t = eventTime(event, now);
      const values = readings(event);
      if (values.length) { this.readingCount += 1; this.lastReadingAt = t; }
      for (const [name, v] of values) {
        let points = this.series.get(name);
        if (!points) { points = []; this.series.set(name, points); this.kinds.set(name, String(event.type ?? '')); }
        points.push({ t, v });
        let drop = Math.max(0, points.length - MAX_POINTS);
        while (drop < points.length - 1 && points[drop].t < t - KEEP_MS) drop += 1;
        if (drop) points.splice(0, drop);
      }
    }
    if (changed) for (const listener of this.listeners) listener();
  }

  // Series worth plotting: band powers when there are any, else everything.
  plotSeries() {
    const names = [...this.series.keys()];
    const bands = names.filter((n) => BAND_NAMES.includes(n.toLowerCase()));
    return bands.length ? bands : names;
  }

  clearReadings() {
    this.series.clear();
    this.kinds.clear();
    this.readingCount = 0;
    this.contact.clear();
    this.battery = null;
    this.packetLoss = null;
  }

  // Electrodes whose contact is not good, in the headband's order.
  looseElectrodes() {
    return ELECTRODES.filter((e) => this.contact.has(e) && this.contact.get(e).quality !== 'good');
  }
}

// The line under the status: the bridge's own words (Dutch) as they are, in English the same
// news in English; the program's own life-cycle events, whose texts are English or come from
// the system, always in the page's words. known(key) tells whether a text exists.
export function statusMessage(monitor, { t, known, language }) {
  const s = monitor.status;
  if (!s) return '';
  const reasonKey = (status) => (status.reason ? `headband.reason.${status.reason}` : '');
  if (s.source === BRIDGE_SOURCE) {
    if (language !== 'en' && s.message) return s.message;
    const key = reasonKey(s);
    if (key && known(key)) return t(key);
    return known(`headband.message.${s.status}`) ? t(`headband.message.${s.status}`) : '';
  }
  if (s.source === WRAPPER_SOURCE) {
    // The bridge ended after saying why: that reason is the news, not the exit status.
    const b = monitor.bridgeStatus;
    if (s.status === 'stopped' && b && ['unavailable', 'failed'].includes(b.status) && b.at <= s.at) {
      return statusMessage({ status: b }, { t, known, language });
    }
    const key = `headband.wrapper.${s.status}`;
    return known(key) ? t(key) : '';
  }
  // The page's own note (a scan it asked for) is already in its words.
  return s.source === 'page' ? s.message : '';
}

// Per series over [from, to] (ms): readings, mean, min and max; null when nothing arrived.
export class HeadbandSummary {
  constructor() {
    this.stats = new Map();
    this.count = 0;
    this.statuses = [];
    this.phaseBands = new Map(); // phase index -> {n, sums: [5]}
  }

  // phase: the index of the session phase playing when the events arrived (optional).
  add(events, phase = null) {
    for (const event of Array.isArray(events) ? events : [events]) {
      if (!event || typeof event !== 'object') continue;
      if (event.type === 'status') {
        if (typeof event.status === 'string' && this.statuses[this.statuses.length - 1] !== event.status) this.statuses.push(event.status);
        continue;
      }
      const values = readings(event);
      if (values.length) this.count += 1;
      if (event.type === 'bands' && Number.isInteger(phase) && phase >= 0 && event.bands && typeof event.bands === 'object') {
        const powers = BAND_NAMES.map((b) => Number(event.bands[b]));
        if (powers.every(Number.isFinite)) {
          const p = this.phaseBands.get(phase) ?? { n: 0, sums: BAND_NAMES.map(() => 0) };
          p.n += 1;
          powers.forEach((v, i) => { p.sums[i] += v; });
          this.phaseBands.set(phase, p);
        }
      }
      for (const [name, v] of values) {
        const s = this.stats.get(name) ?? { n: 0, sum: 0, min: Infinity, max: -Infinity };
        s.n += 1; s.sum += v; s.min = Math.min(s.min, v); s.max = Math.max(s.max, v);
        this.stats.set(name, s);
      }
    }
  }

  result() {
    if (this.count === 0 && this.statuses.length === 0) return null;
    const series = [...this.stats.entries()].map(([name, s]) => ({ name, n: s.n, mean: s.sum / s.n, min: s.min, max: s.max }));
    // Mean relative power of each band per phase, in phase order.
    const phases = [...this.phaseBands.entries()].sort((a, b) => a[0] - b[0]).map(([phase, p]) => ({
      phase, n: p.n, bands: Object.fromEntries(BAND_NAMES.map((b, i) => [b, p.sums[i] / p.n])),
    }));
    return { readings: this.count, statuses: [...this.statuses], series, phases };
  }
}

export const SERIES_COLOURS = ['#7ee0c3', '#5fb4ff', '#ffb648', '#ff7a9c', '#c49bff', '#e4e9f2', '#9bd35a', '#ff5a5a'];

// Draws the last PLOT_WINDOW_S seconds of the plotted series on a 2D canvas context.
export function drawHeadbandPlot(ctx, monitor, { width, height, now = Date.now(), windowS = PLOT_WINDOW_S } = {}) {
  ctx.clearRect(0, 0, width, height);
  ctx.strokeStyle = '#243045';
  ctx.lineWidth = 1;
  for (let i = 1; i < 4; i += 1) {
    const y = Math.round((height * i) / 4) + 0.5;
    ctx.beginPath(); ctx.moveTo(0, y); ctx.lineTo(width, y); ctx.stroke();
  }
  const names = monitor.plotSeries();
  const from = now - windowS * 1000;
  let lo = Infinity;
  let hi = -Infinity;
  for (const name of names) {
    for (const p of monitor.series.get(name)) if (p.t >= from) { lo = Math.min(lo, p.v); hi = Math.max(hi, p.v); }
  }
  if (!Number.isFinite(lo)) return [];
  // Relative band powers share one fixed scale, so that a change of state shows as it is.
  if (names.every((n) => BAND_NAMES.includes(n.toLowerCase())) && lo >= 0 && hi <= 1) { lo = 0; hi = 1; }
  if (hi - lo < 1e-9) { hi += 1; lo -= 1; }
  const x = (t) => ((t - from) / (windowS * 1000)) * width;
  const y = (v) => height - 4 - ((v - lo) / (hi - lo)) * (height - 8);
  const drawn = [];
  names.forEach((name, i) => {
    const points = monitor.series.get(name).filter((p) => p.t >= from);
    if (!points.length) return;
    const colour = SERIES_COLOURS[i % SERIES_COLOURS.length];
    ctx.strokeStyle = colour;
    ctx.lineWidth = 1.5;
    ctx.beginPath();
    points.forEach((p, j) => (j ? ctx.lineTo(x(p.t), y(p.v)) : ctx.moveTo(x(p.t), y(p.v))));
    ctx.stroke();
    // A lone reading has no line yet: a dot shows where it is.
    if (points.length === 1) {
      ctx.fillStyle = colour;
      ctx.beginPath();
      ctx.arc(x(points[0].t), y(points[0].v), 2.5, 0, 2 * Math.PI);
      ctx.fill();
    }
    drawn.push({ name, colour, last: points[points.length - 1].v });
  });
  return drawn;
}
