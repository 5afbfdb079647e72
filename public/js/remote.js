// The phone remote: shows the session the control page publishes and sends it commands.

import { applyTexts, translate } from './i18n.js';
import { getJson, postJson, withToken } from './net.js';

const POLL_MS = 700;
// Without an answer the page asks less and less often, up to this pause.
const OFFLINE_MAX_MS = 10_000;
const SLIDER_SEND_MS = 150;
const SLIDER_HOLD_MS = 1500;

const $ = (id) => document.getElementById(id);
const token = new URLSearchParams(location.search).get('token') ?? '';
let state = null;
let language = 'nl';
let pollTimer = 0;
let offlineMs = POLL_MS;
let refused = false;
const sliderTouchedAt = {};
const t = (key) => translate(language, key);

function showMessage(key) {
  const el = $('message');
  el.hidden = !key;
  el.textContent = key ? t(key) : '';
}

function render() {
  applyTexts(document, language);
  document.title = `Solvera Pro — ${t('remote.page.title')}`;
  const s = state;
  const connected = s !== null;
  $('linkState').classList.toggle('on', connected);
  for (const b of document.querySelectorAll('button')) b.disabled = !connected;
  for (const i of document.querySelectorAll('input')) i.disabled = !connected;
  // Without the control page's state the sliders and switches would show made-up positions.
  $('sliders').hidden = !connected;
  $('switches').hidden = !connected;
  if (!s) return;
  const session = s.session ?? {};
  $('title').textContent = session.title || 'Solvera Pro';
  $('phase').textContent = session.phase || '';
  $('timer').textContent = session.timer || '--:--';
  $('progress').style.width = `${Math.round(100 * (session.progress || 0))}%`;
  $('state').textContent = session.running
    ? t(session.paused ? 'player.paused' : 'player.running')
    : t('remote.page.idle');
  const play = $('playButton');
  if (session.running && !session.paused) { play.dataset.command = 'pause'; play.textContent = t('player.pause'); }
  else if (session.running) { play.dataset.command = 'resume'; play.textContent = t('player.resume'); }
  else { play.dataset.command = 'start'; play.textContent = t('player.start'); play.disabled = session.selected === false; }
  $('stopButton').disabled = !session.running;
  const blackout = Boolean(s.output?.blackout);
  $('blackoutButton').setAttribute('aria-pressed', String(blackout));
  $('blackoutButton').textContent = t(blackout ? 'live.blackoutOn' : 'live.blackout');
  $('breathingButton').setAttribute('aria-pressed', String(Boolean(s.breathing)));
  for (const [id, on] of [['audioSwitch', s.audio?.enabled], ['musicSwitch', s.audio?.musicEnabled], ['outputSwitch', s.output?.enabled]]) {
    $(id).setAttribute('aria-pressed', String(Boolean(on)));
    $(id).querySelector('.switch-state').textContent = t(on ? 'remote.on' : 'remote.off');
  }
  const now = performance.now();
  for (const name of ['masterVolume', 'rgbIntensity', 'whiteIntensity']) {
    const value = Number(s.controls?.[name]);
    if (!Number.isFinite(value)) continue;
    if (!(now - (sliderTouchedAt[name] ?? -Infinity) < SLIDER_HOLD_MS)) $(name).value = String(value);
    $(`${name}Out`).textContent = `${$(name).value}%`;
  }
}

async function poll() {
  clearTimeout(pollTimer);
  const reply = await getJson(withToken('/remote/state', token));
  let next = POLL_MS;
  if (reply.status === 403) {
    // A refused code stays refused (the program makes new ones when it restarts): asking again
    // is pointless until the user scans the new code.
    state = null;
    refused = true;
    showMessage('remote.page.badToken');
  } else if (reply.ok && reply.body && typeof reply.body === 'object') {
    state = reply.body;
    offlineMs = POLL_MS;
    language = state.language === 'en' ? 'en' : 'nl';
    // A start from the phone waits for the photosensitivity warning on the control screen.
    showMessage(state.session?.awaitingConsent ? 'warning.needed' : null);
  } else {
    state = null;
    showMessage('remote.page.offline');
    offlineMs = Math.min(OFFLINE_MAX_MS, offlineMs * 2);
    next = offlineMs;
  }
  render();
  if (!refused) pollTimer = setTimeout(poll, next);
}

async function send(type, value) {
  const body = value === undefined ? { type } : { type, value };
  const reply = await postJson(withToken('/remote/command', token), body);
  if (reply.status === 403) {
    refused = true;
    showMessage('remote.page.badToken');
    return;
  }
  if (!reply.ok) showMessage('remote.page.offline');
  // Show the effect as soon as the control page has carried it out.
  clearTimeout(pollTimer);
  pollTimer = setTimeout(poll, 450);
}

function wire() {
  $('playButton').addEventListener('click', (e) => send(e.currentTarget.dataset.command));
  $('stopButton').addEventListener('click', () => send('stop'));
  $('blackoutButton').addEventListener('click', () => send('blackout', !(state?.output?.blackout)));
  $('breathingButton').addEventListener('click', () => send('breathing', !(state?.breathing)));
  $('audioSwitch').addEventListener('click', () => send('audio', !(state?.audio?.enabled)));
  $('musicSwitch').addEventListener('click', () => send('music', !(state?.audio?.musicEnabled)));
  $('outputSwitch').addEventListener('click', () => send('output', !(state?.output?.enabled)));
  for (const name of ['masterVolume', 'rgbIntensity', 'whiteIntensity']) {
    const input = $(name);
    let lastSent = 0;
    let trailing = 0;
    const push = () => { lastSent = performance.now(); send(name, Number(input.value)); };
    input.addEventListener('input', () => {
      sliderTouchedAt[name] = performance.now();
      $(`${name}Out`).textContent = `${input.value}%`;
      clearTimeout(trailing);
      if (performance.now() - lastSent >= SLIDER_SEND_MS) push();
      else trailing = setTimeout(push, SLIDER_SEND_MS);
    });
  }
}

wire();
if (!token) {
  render();
  showMessage('remote.page.noToken');
} else {
  poll();
}
