// The analysis report of one run of a session: what the player actually did (phases reached,
// frequencies, colours, pauses and blackouts, headband readings), as a printable HTML document.
// The program keeps the run's record ("/session/record"); a reload or a closed page loses nothing.

import { formatClock, rgbToHex } from './timeline.js';
import { localized } from './i18n.js';
import { BAND_NAMES } from './headband.js';

export const REPORT_MAX_BYTES = 5_000_000;

const ESCAPES = { '&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;', "'": '&#39;' };
export function escapeHtml(value) {
  return String(value ?? '').replace(/[&<>"']/g, (c) => ESCAPES[c]);
}

const hz = (pair, digits = 1) => {
  const [a, b] = pair.map((v) => Number(v).toFixed(digits).replace(/\.0+$/, ''));
  return a === b ? `${a} Hz` : `${a} → ${b} Hz`;
};
const safeColour = (c) => (/^#[0-9a-f]{6}$/i.test(c) ? c : '#000000');

function dateTime(ms, language) {
  return new Date(ms).toLocaleString(language === 'en' ? 'en-GB' : 'nl-NL', {
    year: 'numeric', month: 'long', day: 'numeric', hour: '2-digit', minute: '2-digit',
  });
}

// The frequencies over the run as an inline chart, with the colours as a strip below.
function chartSvg(run, t) {
  const W = 720;
  const H = 170;
  const STRIP = 18;
  const log = run.log;
  if (log.length === 0) return '';
  const span = Math.max(run.plannedS, 1);
  // A round top, so that the quarter lines fall on whole hertz.
  const top = 4 * Math.ceil((Math.max(4, ...log.map((e) => Math.max(e.beatHz, e.lightHz))) * 1.1) / 4);
  const x = (s) => ((s / span) * W).toFixed(1);
  const y = (v) => (H - (v / top) * (H - 10)).toFixed(1);
  const line = (key) => log.map((e) => `${x(e.t)},${y(e[key])}`).join(' ');
  const strip = log.map((e, i) => {
    const end = i + 1 < log.length ? log[i + 1].t : run.elapsedS;
    return `<rect x="${x(e.t)}" y="${H + 6}" width="${Math.max(0.5, (Number(x(end)) - Number(x(e.t)))).toFixed(1)}" height="${STRIP}" fill="${safeColour(e.color)}"/>`;
  }).join('');
  const grid = [0.25, 0.5, 0.75].map((f) => `<line x1="0" x2="${W}" y1="${y(top * f)}" y2="${y(top * f)}" class="grid"/>` +
    `<text x="2" y="${Number(y(top * f)) - 2}" class="axis">${top * f} Hz</text>`).join('');
  return `<figure><svg viewBox="0 0 ${W} ${H + STRIP + 8}" role="img" aria-label="${escapeHtml(t('report.chart'))}">` +
    `${grid}<polyline points="${line('beatHz')}" class="beat"/><polyline points="${line('lightHz')}" class="light"/>${strip}</svg>` +
    `<figcaption><span class="key beat"></span>${escapeHtml(t('report.beat'))} <span class="key light"></span>${escapeHtml(t('report.lightHz'))} · ${escapeHtml(t('report.colourStrip'))}</figcaption></figure>`;
}

const EVENT_KEYS = { pause: 'report.event.pause', resume: 'report.event.resume', blackoutOn: 'report.event.blackoutOn', blackoutOff: 'report.event.blackoutOff',
  seek: 'report.event.seek' };

// Mean relative band powers per phase, so that a change of state over the session shows.
function bandsByPhaseHtml(run, language, t) {
  const phases = run.headband?.phases ?? [];
  if (!phases.length) return `<p>${escapeHtml(t('report.noBands'))}</p>`;
  const rows = phases.map((p) => {
    const values = BAND_NAMES.map((b) => Number(p.bands[b]) || 0);
    const strongest = values.indexOf(Math.max(...values));
    const cells = values.map((v, i) => (i === strongest ? `<td><b>${Math.round(v * 100)}%</b></td>` : `<td>${Math.round(v * 100)}%</td>`)).join('');
    return `<tr><td>${p.phase + 1}</td><td>${escapeHtml(localized(run.phases[p.phase] ?? {}, 'name', language))}</td><td>${p.n}</td>${cells}</tr>`;
  }).join('\n');
  return `<p class="sub">${escapeHtml(t('report.bandsNote'))}</p>
<table class="bands"><thead><tr><th>#</th><th>${escapeHtml(t('report.phase'))}</th><th>${escapeHtml(t('report.bandReadings'))}</th>${BAND_NAMES.map((b) => `<th>${b}</th>`).join('')}</tr></thead>
<tbody>
${rows}
</tbody></table>`;
}

// The complete report document. t(key, values) gives the texts in the report's language.
export function buildReportHtml(run, { language = 'nl', t, application = 'Solvera Pro Audio+Light' }) {
  const title = localized(run.session, 'title', language) || run.session.id;
  const percent = (v) => `${Math.round(Number(v))}%`;
  const outcome = run.outcome === 'finished' ? t('report.finished')
    : t('report.stoppedAt', { time: formatClock(run.elapsedS), total: formatClock(run.plannedS) });
  const context = run.context ?? {};
  const facts = [
    [t('report.started'), dateTime(run.startedAt, language)],
    [t('report.ended'), dateTime(run.endedAt, language)],
    [t('report.played'), `${formatClock(run.elapsedS)} / ${formatClock(run.plannedS)}`],
    [t('report.outcome'), outcome],
    [t('report.category'), localized(run.session, 'category', language)],
  ];
  // Stored words ("isochronic", "artnet") are shown by their names in the report's language.
  const named = (prefix, word) => { const text = t(`${prefix}.${word}`); return text === `${prefix}.${word}` ? word : text; };
  if (context.audioMode) facts.push([t('report.audioMode'), named('mode', context.audioMode)]);
  if (context.outputMode) facts.push([t('report.lightOutput'), named('output', context.outputMode) + (context.lightPulse === false ? ` (${t('report.steady')})` : '')]);

  const phaseRows = run.phases.map((p, i) => `<tr class="${p.reachedAtS === null ? 'skipped' : ''}">
<td>${i + 1}</td><td>${escapeHtml(localized(p, 'name', language))}</td>
<td>${formatClock(p.plannedStartS)}–${formatClock(p.plannedEndS)}</td>
<td>${p.reachedAtS === null ? escapeHtml(t('report.notReached')) : formatClock(p.reachedAtS)}</td>
<td>${hz(p.beat, 2)}</td><td>${hz(p.light, 2)}</td><td>${hz(p.carrier)}</td>
<td><span class="swatch" style="background:${safeColour(p.colorHex)}"></span>${escapeHtml(p.colorHex)}</td>
<td>${percent(p.rgbIntensity)} / ${percent(p.whiteIntensity)}</td></tr>`).join('\n');

  const logRows = run.log.map((e) => `<tr><td>${formatClock(e.t)}</td><td>${escapeHtml(localized(run.phases[e.phase] ?? {}, 'name', language))}</td>
<td>${e.beatHz.toFixed(2)}</td><td>${e.lightHz.toFixed(2)}</td><td>${e.carrierHz.toFixed(1)}</td>
<td><span class="swatch" style="background:${safeColour(e.color)}"></span>${escapeHtml(e.color)}</td><td>${e.rgbIntensity}% / ${e.whiteIntensity}%</td></tr>`).join('\n');

  const events = run.events.length ? `<ul>${run.events.map((e) => `<li>${formatClock(e.atS)} — ${escapeHtml(t(EVENT_KEYS[e.kind] ?? e.kind))}</li>`).join('')}</ul>`
    : `<p>${escapeHtml(t('report.noEvents'))}</p>`;

  let headband = `<p>${escapeHtml(t('report.noHeadband'))}</p>`;
  if (run.headband) {
    const h = run.headband;
    const rows = h.series.map((s) => `<tr><td>${escapeHtml(s.name)}</td><td>${s.n}</td><td>${s.mean.toFixed(3)}</td><td>${s.min.toFixed(3)}</td><td>${s.max.toFixed(3)}</td></tr>`).join('');
    headband = `<p>${escapeHtml(t('report.headbandReadings', { count: h.readings }))}${h.statuses.length ? ` ${escapeHtml(t('report.headbandStatuses', { statuses: h.statuses.join(', ') }))}` : ''}</p>` +
      (rows ? `<table><thead><tr><th>${escapeHtml(t('report.series'))}</th><th>n</th><th>${escapeHtml(t('report.mean'))}</th><th>min</th><th>max</th></tr></thead><tbody>${rows}</tbody></table>` : '');
  }

  const bands = bandsByPhaseHtml(run, language, t);

  return `<!doctype html>
<html lang="${language === 'en' ? 'en' : 'nl'}">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>${escapeHtml(t('report.title', { title }))}</title>
<style>
body { font: 14px/1.45 system-ui, sans-serif; color: #111; background: #fff; margin: 2rem auto; max-width: 60rem; padding: 0 1.5rem; }
h1 { font-size: 1.6rem; margin: 0 0 .2rem; } h2 { font-size: 1.1rem; margin: 1.6rem 0 .5rem; border-bottom: 1px solid #ccc; padding-bottom: .2rem; }
.sub { color: #555; margin: 0 0 1rem; }
table { border-collapse: collapse; width: 100%; font-size: .9rem; }
th, td { text-align: left; padding: .3rem .45rem; border-bottom: 1px solid #e2e2e2; vertical-align: top; }
th { background: #f3f4f6; } dl { display: grid; grid-template-columns: max-content 1fr; gap: .25rem 1rem; margin: 0; }
dt { color: #555; } dd { margin: 0; }
.swatch { display: inline-block; width: .9rem; height: .9rem; border: 1px solid #888; border-radius: 2px; margin-right: .35rem; vertical-align: -2px; }
tr.skipped td { color: #999; }
svg { width: 100%; height: auto; } .grid { stroke: #ddd; } .axis { font-size: 10px; fill: #777; }
polyline { fill: none; stroke-width: 2; } polyline.beat { stroke: #1f6fbf; } polyline.light { stroke: #d97706; stroke-dasharray: 5 3; }
.key { display: inline-block; width: 1.2rem; height: 3px; vertical-align: middle; margin: 0 .3rem 0 .8rem; } .key.beat { background: #1f6fbf; } .key.light { background: #d97706; }
figure { margin: .5rem 0; } figcaption { color: #555; font-size: .85rem; }
.note { color: #555; font-size: .85rem; margin-top: 2rem; }
.print { margin: 1rem 0; padding: .5rem 1.2rem; font: inherit; cursor: pointer; }
@media print { .print { display: none; } body { margin: 0 auto; } h2 { break-after: avoid; } tr { break-inside: avoid; } }
</style>
</head>
<body>
<button class="print" type="button" onclick="window.print()">${escapeHtml(t('report.print'))}</button>
<h1>${escapeHtml(t('report.title', { title }))}</h1>
<p class="sub">${escapeHtml(localized(run.session, 'goal', language))}</p>
<dl>${facts.map(([k, v]) => `<dt>${escapeHtml(k)}</dt><dd>${escapeHtml(v)}</dd>`).join('')}</dl>
<h2>${escapeHtml(t('report.phases'))}</h2>
<table><thead><tr><th>#</th><th>${escapeHtml(t('report.phase'))}</th><th>${escapeHtml(t('report.planned'))}</th><th>${escapeHtml(t('report.reached'))}</th>
<th>${escapeHtml(t('report.beat'))}</th><th>${escapeHtml(t('report.lightHz'))}</th><th>${escapeHtml(t('report.carrier'))}</th><th>${escapeHtml(t('report.colour'))}</th><th>${escapeHtml(t('report.intensity'))}</th></tr></thead>
<tbody>
${phaseRows}
</tbody></table>
<h2>${escapeHtml(t('report.course'))}</h2>
${chartSvg(run, t)}
<h2>${escapeHtml(t('report.events'))}</h2>
${events}
<h2>${escapeHtml(t('report.headband'))}</h2>
${headband}
<h2>${escapeHtml(t('report.bandsByPhase'))}</h2>
${bands}
<h2>${escapeHtml(t('report.log'))}</h2>
<table><thead><tr><th>${escapeHtml(t('report.time'))}</th><th>${escapeHtml(t('report.phase'))}</th><th>${escapeHtml(t('report.beat'))}</th><th>${escapeHtml(t('report.lightHz'))}</th><th>${escapeHtml(t('report.carrier'))}</th><th>${escapeHtml(t('report.colour'))}</th><th>${escapeHtml(t('report.intensity'))}</th></tr></thead>
<tbody>
${logRows}
</tbody></table>
<p class="note">${escapeHtml(t('report.disclaimer', { application }))}</p>
</body>
</html>
`;
}

// The title the program names the report file after.
export function reportTitle(run, language, t) {
  const title = localized(run.session, 'title', language) || run.session.id;
  const d = new Date(run.startedAt);
  const pad = (n) => String(n).padStart(2, '0');
  return `${t('report.fileTitle', { title })} ${d.getFullYear()}-${pad(d.getMonth() + 1)}-${pad(d.getDate())} ${pad(d.getHours())}.${pad(d.getMinutes())}`;
}
