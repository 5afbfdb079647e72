// The headband's events as the program delivers them (window.solveraMuseBridgeEvents): the
// bridge's status, and readings kept as time series for the live plot and the report.
//
// Events the page understands (one JSON object each; "receivedAt" in ms since 1970):
//   {"type": "status", "status": "scanning", "message": "…"}
//   {"type": "eeg", "channels": {"TP9": µV, "AF7": µV, "AF8": µV, "TP10": µV}}
//   {"type": "bands", "bands": {"delta": 0..1, "theta": …, "alpha": …, "beta": …, "gamma": …}}
//   any other object: its numeric members, each a series of its own.

export const PLOT_WINDOW_S = 20;
const KEEP_MS = 120_000;
const MAX_POINTS = 4000;
const META_KEYS = new Set(['receivedAt', 'timestamp', 'time', 'seq', 'sequence', 'id']);
export const BAND_NAMES = ['delta', 'theta', 'alpha', 'beta', 'gamma'];

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
    this.status = null; // {status, message, source, at}
    this.statusHistory = [];
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
          at: eventTime(event, now),
        };
        this.statusHistory.push(this.status);
        if (this.statusHistory.length > 20) this.statusHistory.shift();
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
  }
}

// Per series over [from, to] (ms): readings, mean, min and max; null when nothing arrived.
export class HeadbandSummary {
  constructor() {
    this.stats = new Map();
    this.count = 0;
    this.statuses = [];
  }

  add(events) {
    for (const event of Array.isArray(events) ? events : [events]) {
      if (!event || typeof event !== 'object') continue;
      if (event.type === 'status') {
        if (typeof event.status === 'string' && this.statuses[this.statuses.length - 1] !== event.status) this.statuses.push(event.status);
        continue;
      }
      const values = readings(event);
      if (values.length) this.count += 1;
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
    return { readings: this.count, statuses: [...this.statuses], series };
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
