// Screen light: fills the screen with the session's colour, pulsing in step with the lamps.

import { applyTexts, translate } from './i18n.js';
import { getJson, postJson, withToken } from './net.js';
import { ClockOffsetEstimator, RefreshRateMeter, screenBrightness } from './screen-sync.js';

const STATE_POLL_MS = 500;
const ACTIVE_REPORT_MS = 1000;
const CLOCK_POLL_MS = 5000;
const CONTROLS_VISIBLE_MS = 3500;

const $ = (id) => document.getElementById(id);
const token = new URLSearchParams(location.search).get('token') ?? '';
const clock = new ClockOffsetEstimator();
const refresh = new RefreshRateMeter();
let state = null;
let language = 'nl';
let running = false;
let wakeLock = null;
let controlsTimer = 0;
let statusKey = 'screen.page.waiting';
const t = (key) => translate(language, key);

function setStatus(key) {
  statusKey = key;
  $('status').textContent = key ? t(key) : '';
  $('liveStatus').textContent = key ? t(key) : '';
}

async function sampleClock() {
  const sent = Date.now();
  const reply = await getJson(withToken('/screen-light/client-status', token));
  if (reply.ok) clock.add(sent, Date.now(), Number(reply.body.now));
  return reply;
}

async function pollState() {
  const reply = await getJson(withToken('/screen-light/state', token));
  if (reply.status === 403) {
    state = null;
    setStatus('screen.page.badToken');
  } else if (reply.ok && reply.body && typeof reply.body === 'object' && !Array.isArray(reply.body)) {
    const languageChanged = reply.body.language !== state?.language;
    state = reply.body;
    language = state.language === 'en' ? 'en' : 'nl';
    if (languageChanged) applyTexts(document, language);
    setStatus(state.active ? '' : 'screen.page.waiting');
    $('captionTitle').textContent = state.sessionTitle ?? '';
    $('captionPhase').textContent = state.phase ?? '';
    const light = $('light');
    const color = typeof state.color === 'string' && /^#[0-9a-f]{6}$/i.test(state.color) ? state.color : '#000000';
    light.style.backgroundColor = color;
    light.dataset.color = color.toLowerCase();
  } else {
    state = null;
    setStatus('screen.page.offline');
  }
  setTimeout(pollState, STATE_POLL_MS);
}

async function reportActive() {
  if (running && document.visibilityState === 'visible') {
    await postJson(withToken('/screen-light/client-active', token), {});
  }
  setTimeout(reportActive, ACTIVE_REPORT_MS);
}

async function keepClock() {
  await sampleClock();
  setTimeout(keepClock, CLOCK_POLL_MS);
}

// Each frame is drawn for the moment it will be on the screen (the next refresh), on the
// program's clock, so the screen's pulse stays in step with the lamps.
function frame(frameMs) {
  refresh.add(frameMs);
  const shownAt = Date.now() + (frameMs + refresh.frameMs - performance.now()) + clock.offset();
  const brightness = running ? screenBrightness(state, shownAt, refresh.hz) : 0;
  const light = $('light');
  light.style.opacity = brightness.toFixed(3);
  light.dataset.brightness = brightness.toFixed(3);
  light.dataset.refreshHz = Number.isFinite(refresh.hz) ? refresh.hz.toFixed(1) : '';
  requestAnimationFrame(frame);
}

async function holdWakeLock() {
  if (!running || document.visibilityState !== 'visible') return;
  // The wake lock exists only on secure pages (and localhost); a LAN address is not one.
  if ('wakeLock' in navigator) {
    try {
      wakeLock = await navigator.wakeLock.request('screen');
      return;
    } catch {
      wakeLock = null;
    }
  }
  playKeepAwakeVideo();
}

// Elsewhere a playing video keeps many phones and tablets awake: a tiny, silent, invisible
// one fed from a canvas.
let keepAwakeVideo = null;
function playKeepAwakeVideo() {
  try {
    if (!keepAwakeVideo) {
      const canvas = document.createElement('canvas');
      canvas.width = 2;
      canvas.height = 2;
      const paint = canvas.getContext('2d');
      keepAwakeVideo = document.createElement('video');
      keepAwakeVideo.muted = true;
      keepAwakeVideo.loop = true;
      keepAwakeVideo.setAttribute('playsinline', '');
      keepAwakeVideo.className = 'keep-awake';
      keepAwakeVideo.srcObject = canvas.captureStream(1);
      // A changing pixel keeps the stream alive.
      setInterval(() => { paint.fillStyle = paint.fillStyle === '#000000' ? '#010101' : '#000000'; paint.fillRect(0, 0, 2, 2); }, 1000);
      document.body.append(keepAwakeVideo);
    }
    keepAwakeVideo.play().catch(() => {});
  } catch {
    // No canvas streams here: the screen may dim on its own timer.
  }
}

function showControls() {
  if (!running) return;
  $('controls').hidden = false;
  document.body.classList.add('show-controls');
  clearTimeout(controlsTimer);
  controlsTimer = setTimeout(() => {
    $('controls').hidden = true;
    document.body.classList.remove('show-controls');
  }, CONTROLS_VISIBLE_MS);
}

async function enterFullscreen() {
  const el = document.documentElement;
  try {
    if (el.requestFullscreen) await el.requestFullscreen({ navigationUI: 'hide' });
    else if (el.webkitRequestFullscreen) el.webkitRequestFullscreen();
  } catch {
    // Refused (an embedded view, for example): the page still fills the window.
  }
}

async function start() {
  running = true;
  document.body.classList.add('running');
  $('startOverlay').hidden = true;
  enterFullscreen();
  holdWakeLock();
  showControls();
  // A quick burst of clock samples so the first pulses are already in step.
  for (let i = 0; i < 5; i += 1) await sampleClock();
}

function wire() {
  $('startButton').addEventListener('click', start);
  $('fullscreenButton').addEventListener('click', enterFullscreen);
  document.addEventListener('pointerdown', (e) => { if (running && !e.target.closest('.controls')) showControls(); });
  document.addEventListener('visibilitychange', () => { if (document.visibilityState === 'visible') holdWakeLock(); });
  const fullscreenSupported = Boolean(document.documentElement.requestFullscreen || document.documentElement.webkitRequestFullscreen);
  $('fullscreenButton').hidden = !fullscreenSupported;
}

applyTexts(document, language);
wire();
if (!token) {
  setStatus('screen.page.badToken');
  $('startButton').disabled = true;
} else {
  setStatus(statusKey);
  pollState();
  keepClock();
  reportActive();
  requestAnimationFrame(frame);
}
