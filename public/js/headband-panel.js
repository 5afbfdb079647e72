// The headband panel: connection state in the page's words, contact per electrode, battery,
// lost packets and the live plot of the five bands; the program delivers the events through
// window.solveraMuseBridgeEvents.

import { TEXTS } from './i18n.js';
import { hasNative, postNative } from './native.js';
import { drawHeadbandPlot, ELECTRODES, HeadbandMonitor, PLOT_WINDOW_S, statusMessage } from './headband.js';

const $ = (id) => document.getElementById(id);
const known = (key) => Object.hasOwn(TEXTS.nl, key);
const LIVE_STATUSES = new Set(['found', 'connected', 'streaming']);

export function setupHeadband(ctx) {
  const { t } = ctx;
  const monitor = new HeadbandMonitor();
  const canvas = $('headbandPlot');
  let frame = 0;

  function receiving() {
    return monitor.readingCount > 0 && Date.now() - monitor.lastReadingAt < 3000;
  }

  function renderContact() {
    const list = $('headbandContact');
    if (!list) return;
    const any = monitor.contact.size > 0;
    list.hidden = !any;
    list.replaceChildren(...(any ? ELECTRODES : []).map((electrode) => {
      const quality = monitor.contact.get(electrode)?.quality ?? 'none';
      const li = document.createElement('li');
      li.className = `contact-${quality}`;
      li.dataset.electrode = electrode;
      li.textContent = electrode;
      li.title = t(`headband.contact.${quality}`);
      return li;
    }));
    const loose = monitor.looseElectrodes();
    const hint = $('headbandHint');
    hint.hidden = loose.length === 0 || !receiving();
    hint.textContent = loose.length ? t('headband.adjust', { electrodes: loose.join(', ') }) : '';
    const facts = [];
    if (monitor.battery) facts.push(t('headband.battery', { percent: Math.round(monitor.battery.percent) }));
    if (monitor.packetLoss?.lost > 0) facts.push(t('headband.lost', { lost: monitor.packetLoss.lost }));
    $('headbandFacts').textContent = facts.join(' · ');
  }

  function renderStatus() {
    const el = $('headbandStatus');
    const s = monitor.status;
    let text = t('headband.none');
    if (receiving()) text = t('headband.receiving', { count: monitor.readingCount });
    else if (s) text = known(`headband.status.${s.status}`) ? t(`headband.status.${s.status}`) : t('headband.status.other', { status: s.status });
    el.textContent = text;
    el.classList.toggle('on', receiving() || LIVE_STATUSES.has(s?.status));
    el.classList.toggle('error', ['failed', 'unavailable'].includes(s?.status) && !receiving());
    $('headbandMessage').textContent = statusMessage(monitor, { t, known, language: ctx.language() });
    const native = hasNative('museBridge');
    $('scanButton').hidden = !native;
    $('headbandBrowserNote').hidden = native;
    renderContact();
  }

  function draw() {
    frame = 0;
    const ratio = window.devicePixelRatio || 1;
    const width = Math.max(1, Math.round(canvas.clientWidth || 320));
    const height = Math.max(1, Math.round(canvas.clientHeight || 120));
    if (canvas.width !== Math.round(width * ratio)) { canvas.width = Math.round(width * ratio); canvas.height = Math.round(height * ratio); }
    const g = canvas.getContext('2d');
    g.setTransform(ratio, 0, 0, ratio, 0, 0);
    const drawn = drawHeadbandPlot(g, monitor, { width, height });
    $('headbandEmpty').hidden = drawn.length > 0;
    $('headbandLegend').replaceChildren(...drawn.map((d) => {
      const li = document.createElement('li');
      li.innerHTML = '<span class="dot"></span><span class="name"></span><span class="value"></span>';
      li.querySelector('.dot').style.background = d.colour;
      li.querySelector('.name').textContent = d.name;
      li.querySelector('.value').textContent = Math.abs(d.last) >= 100 ? d.last.toFixed(0) : d.last.toFixed(2);
      return li;
    }));
    renderStatus();
    // Keep scrolling while readings are in the window, then rest.
    if (monitor.readingCount > 0 && Date.now() - monitor.lastReadingAt < PLOT_WINDOW_S * 1000) schedule(250);
  }

  let timer = 0;
  function schedule(delayMs = 0) {
    if (frame || timer) return;
    const run = () => { timer = 0; frame = requestAnimationFrame(draw); };
    if (delayMs) timer = setTimeout(run, delayMs); else run();
  }

  const events = (list) => {
    monitor.accept(list);
    renderStatus();
    schedule();
  };

  $('scanButton').addEventListener('click', () => {
    if (!postNative('museBridge', 'scan')) return;
    monitor.clearReadings();
    // The program answers with its own "scanning" event; until then the page says so itself.
    monitor.status = { status: 'scanning', message: t('headband.scanSent'), source: 'page', reason: '', at: Date.now() };
    schedule();
  });
  renderStatus();
  return { monitor, render: () => { renderStatus(); schedule(); }, pageFunctions: { solveraMuseBridgeEvents: events } };
}
