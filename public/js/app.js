// The control page: library, player, live controls, light and sound outputs, and the relays
// to the phone remote and the screen lights.

import qrcode from '../vendor/qrcode-generator/qrcode.js';
import { SessionPlayer, PlayerState } from './player.js';
import { buildTimeline, formatClock, rgbToHex } from './timeline.js';
import { buildDmxFrame, buildDmxRequest, blackoutRequest, fixtureChannels, lightLook, outputReady, streamKey } from './dmx-frame.js';
import { AudioUpdateGate, buildAudioRequest } from './native-audio.js';
import { SerialOutbox } from './outbox.js';
import { applyRemoteCommand, buildRemoteState, CommandCursor } from './remote-protocol.js';
import { buildScreenLightState, ClockOffsetEstimator, screenColorFromLook } from './screen-sync.js';
import { searchSessions } from './search.js';
import { loadSettings, saveSettings, normalizeSettings, PHOTOSENSITIVITY_KEY, CUSTOM_SESSIONS_KEY } from './settings.js';
import { applyTexts, localized, translate } from './i18n.js';
import { PageSound } from './page-sound.js';
import { getJson, postJson, withToken } from './net.js';
import { ClipboardReader } from './native.js';
import { SessionRecorder } from './report.js';
import { setupAskAi, setupDescription, setupMarketplace, setupPasteButtons } from './panels.js';
import { setupHeadband, setupMusicLibrary, setupReport, setupSessionFiles } from './content-panels.js';

const TICK_MS = 100;
const REMOTE_POLL_MS = 400;
const STATUS_POLL_MS = 2000;
const HEARTBEAT_MS = 2000;
const LIGHT_RETRY_MS = 2000;
const SCREEN_PUBLISH_MIN_MS = 250;
const MINE = '\u0000mine'; // the category chip of the user's own sessions

const $ = (id) => document.getElementById(id);
const storage = (() => { try { return window.localStorage; } catch { return null; } })();
const memoryStore = new Map();
const store = storage ?? { getItem: (k) => memoryStore.get(k) ?? null, setItem: (k, v) => memoryStore.set(k, v) };

const app = {
  settings: loadSettings(store),
  sessions: [],
  selectedId: null,
  category: null,
  player: new SessionPlayer(() => performance.now()),
  blackout: false,
  breathing: false,
  lastSample: null,
  finishedShown: false,
  light: { lastKey: null, lit: false, retryAt: 0, stream: null, error: '' },
  audio: { running: false, failed: false, gate: new AudioUpdateGate() },
  sound: new PageSound(),
  shipped: [],
  custom: [],
  customIds: new Set(),
  recorder: new SessionRecorder(),
  clock: new ClockOffsetEstimator(),
  remote: { token: null, cursor: null, connected: false, lastDoc: '', lastSentAt: 0, polling: false },
  screen: { token: null, connected: false, lastDoc: '', lastSentAt: 0 },
  pendingStart: false,
};

const t = (key, values) => translate(app.settings.language, key, values);
const serverNow = () => Date.now() + app.clock.offset();
const panels = {};

// ---- outputs -------------------------------------------------------------------------------

const lightOutbox = new SerialOutbox((path, body) => postJson(path, body), (item, result) => {
  if (item.path !== '/dmx') return;
  if (result.ok) {
    app.light.error = '';
  } else {
    // The program answers in Dutch; that text is what the user needs to see.
    const message = result.body?.error || (result.status ? `HTTP ${result.status}` : 'geen verbinding');
    if (message !== app.light.error) toast(t('light.error', { message }));
    app.light.error = message;
    app.light.lastKey = null;
    app.light.retryAt = performance.now() + LIGHT_RETRY_MS;
  }
  renderLightStatus();
});

const audioOutbox = new SerialOutbox((path, body) => postJson(path, body), (item, result) => {
  if (item.path === '/audio/start' && !result.ok) {
    app.audio.running = false;
    app.audio.failed = true;
    toast(t('audio.startFailed'));
  }
});

function lightWanted() {
  return app.player.active && app.settings.controls.outputEnabled && !app.blackout &&
    localStorageFlag(PHOTOSENSITIVITY_KEY);
}

function sendLight(request, { force = false, urgent = false } = {}) {
  const key = JSON.stringify(request);
  if (!force && key === app.light.lastKey) return;
  // The lamps count their pulse from the first frame of a stream (one target and universe,
  // or one serial output); a frame for another stream starts a new count.
  const stream = streamKey(request);
  if (app.light.stream?.key !== stream) app.light.stream = { key: stream, epochMs: serverNow() };
  app.light.lastKey = key;
  app.light.lit = request.dmx.some((v) => v > 0);
  if (urgent) lightOutbox.urgent('/dmx', request, 'frame');
  else lightOutbox.send('/dmx', request, 'frame');
}

function currentLook(sample) {
  return lightLook(sample, app.settings.controls);
}

function updateLight(sample) {
  const out = app.settings.light;
  if (!outputReady(out)) return;
  if (!lightWanted() || !sample) {
    // Dark once, then quiet: nothing is sent while idle.
    if (app.light.lit) sendLight(blackoutRequest(out, out));
    return;
  }
  if (app.light.lastKey === null && performance.now() < app.light.retryAt) return;
  const frame = buildDmxFrame(out, currentLook(sample));
  const pulse = lightPulses(sample) ? { hz: sample.lightHz, shape: sample.pulseShape } : null;
  sendLight(buildDmxRequest(out, frame, pulse));
}

// A paused session holds its colour as steady light: flashing without the session is no rest.
function lightPulses(sample) {
  return Boolean(app.settings.light.pulse && sample && sample.lightHz > 0 && app.player.state === PlayerState.RUNNING);
}

function blackoutNow() {
  const out = app.settings.light;
  if (outputReady(out)) sendLight(blackoutRequest(out, out), { force: true, urgent: true });
  publishScreenLight(true);
}

function updateAudio(sample, now) {
  const wanted = app.player.state === PlayerState.RUNNING && app.settings.controls.audioEnabled && !app.audio.failed && sample;
  if (!wanted) {
    if (app.audio.running) {
      app.audio.running = false;
      audioOutbox.send('/audio/stop', {});
    }
    return;
  }
  const request = buildAudioRequest(sample, app.player.session, audioSettings(), app.settings.controls);
  if (!app.audio.running) {
    app.audio.running = true;
    app.audio.gate.reset(request, now);
    audioOutbox.send('/audio/start', request);
    return;
  }
  const update = app.audio.gate.offer(request, now);
  if (update) audioOutbox.send('/audio/update', update, 'update');
}

function audioSettings() {
  const a = app.settings.audio;
  return { mode: a.mode, pulseShape: a.pulseShape, balance: a.balance, bass: a.bass, mid: a.mid, treble: a.treble };
}

function updatePageSound(sample) {
  const s = app.sound;
  if (!s.context) return;
  if (app.player.state !== PlayerState.RUNNING || !sample) return;
  const c = app.settings.controls;
  const envelope = sample.envelope;
  s.setLevels({
    master: (c.masterVolume / 100) * envelope,
    noise: app.settings.audio.noise && c.audioEnabled ? sample.noiseVolume / 100 : 0,
    music: sample.musicVolume / 100,
    reverb: sample.reverbMix / 100,
    noiseType: sample.noiseType,
    reverbPreset: sample.reverbPreset,
    mood: sample.musicMood,
    musicOn: c.musicEnabled,
  });
}

// ---- session control -----------------------------------------------------------------------

function selectedSession() {
  return app.sessions.find((s) => s.id === app.selectedId) ?? null;
}

function localStorageFlag(key) {
  if (memoryStore.get(key) === 'yes') return true; // accepted in a browser that cannot store it
  try { return store.getItem(key) === 'yes'; } catch { return false; }
}

function startSession() {
  const session = selectedSession();
  if (!session || app.player.active) return;
  if (!localStorageFlag(PHOTOSENSITIVITY_KEY)) {
    app.pendingStart = true;
    showWarning();
    publishRemote(true);
    return;
  }
  try {
    app.player.load(session);
  } catch (error) {
    toast(String(error.message || error));
    return;
  }
  app.player.start();
  app.recorder.start(session, app.player.timeline, {
    audioMode: app.settings.audio.mode === 'session' ? (session.audioMode || 'binaural') : app.settings.audio.mode,
    outputMode: outputReady(app.settings.light) && app.settings.controls.outputEnabled ? app.settings.light.outputMode : '',
    lightPulse: app.settings.light.pulse,
  });
  app.finishedShown = false;
  app.audio.failed = false;
  // The page graph needs a gesture in an ordinary browser; a remote start may not have one.
  app.sound.resume().then(() => renderSoundNotice());
  tick();
  publishAll();
}

function pauseSession() {
  if (!app.player.pause()) return;
  app.recorder.mark('pause', app.player.elapsed());
  app.sound.pause();
  tick();
  publishAll();
}

function resumeSession() {
  if (!app.player.resume()) return;
  app.recorder.mark('resume', app.player.elapsed());
  app.sound.resume().then(() => renderSoundNotice());
  tick();
  publishAll();
}

function stopSession() {
  const elapsed = app.player.elapsed();
  if (!app.player.stop()) return;
  app.recorder.finish('stopped', elapsed);
  endOutputs();
  tick();
  publishAll();
}

function endOutputs() {
  app.sound.stop();
  const out = app.settings.light;
  if (outputReady(out) && (app.light.lit || app.light.lastKey !== null)) sendLight(blackoutRequest(out, out), { force: true });
  if (app.audio.running) {
    app.audio.running = false;
    audioOutbox.send('/audio/stop', {});
  }
}

function setBlackout(on) {
  if (Boolean(on) !== app.blackout) app.recorder.mark(on ? 'blackoutOn' : 'blackoutOff', app.player.elapsed());
  app.blackout = Boolean(on);
  if (app.blackout) blackoutNow();
  else app.light.lastKey = null;
  renderControls();
  tick();
  publishAll();
}

function setBreathing(on) {
  app.breathing = Boolean(on);
  $('breathingGuideEnabled').checked = app.breathing;
  $('breathingOverlay').hidden = !app.breathing;
  if (app.breathing) runBreathing(); else stopBreathing();
  publishRemote(true);
}

// Sliders fire many times a second; the next tick carries the change to lamps, sound and relays.
function setControl(name, value) {
  app.settings.controls[name] = value;
  saveSettings(store, app.settings);
  renderControls();
}

function setToggle(name, value) {
  app.settings.controls[name] = Boolean(value);
  saveSettings(store, app.settings);
  if (name === 'audioEnabled' && value) app.audio.failed = false;
  if (name === 'outputEnabled' && value) app.light.lastKey = null;
  renderControls();
  tick();
  publishAll();
}

// The two page functions the desktop's shortcuts, menu and media keys call.
window.toggleBlackout = () => setBlackout(!app.blackout);
window.toggleBreathingCoaching = () => setBreathing(!app.breathing);

const remoteActions = {
  start: () => (app.player.state === PlayerState.PAUSED ? resumeSession() : startSession()),
  pause: pauseSession,
  resume: resumeSession,
  togglePause: () => (app.player.state === PlayerState.RUNNING ? pauseSession()
    : app.player.state === PlayerState.PAUSED ? resumeSession() : startSession()),
  stop: stopSession,
  isBlackout: () => app.blackout,
  setBlackout,
  isBreathing: () => app.breathing,
  setBreathing,
  isAudioEnabled: () => app.settings.controls.audioEnabled,
  setAudioEnabled: (v) => setToggle('audioEnabled', v),
  isMusicEnabled: () => app.settings.controls.musicEnabled,
  setMusicEnabled: (v) => setToggle('musicEnabled', v),
  isOutputEnabled: () => app.settings.controls.outputEnabled,
  setOutputEnabled: (v) => setToggle('outputEnabled', v),
  setControl,
};

// ---- the tick ------------------------------------------------------------------------------

function tick() {
  const now = performance.now();
  const wasActive = app.player.active;
  const sample = app.player.tick();
  app.lastSample = sample;
  if (app.player.state === PlayerState.RUNNING || (wasActive && app.player.state === PlayerState.FINISHED)) app.recorder.sample(sample);
  if (wasActive && app.player.state === PlayerState.FINISHED) {
    endOutputs();
    app.recorder.finish('finished', app.player.duration());
    if (!app.finishedShown) { app.finishedShown = true; toast(`${t('player.finished')}. ${t('report.ready')}`); }
    publishAll();
  }
  updateLight(app.player.active ? sample : null);
  updateAudio(app.player.active ? sample : null, now);
  updatePageSound(sample);
  renderPlayer(sample);
  publishScreenLight(false);
  publishRemote(false);
}

// ---- relays: remote control and screen light -----------------------------------------------

// The session on show: the one playing, else the one selected.
function shownSession() {
  return app.player.active ? app.player.session : selectedSession();
}

function timerText() {
  if (app.player.active) return formatClock(app.player.duration() - app.player.elapsed());
  const session = selectedSession();
  return session ? formatClock(Number(session.durationMinutes) * 60) : '--:--';
}

function remoteView() {
  const session = shownSession();
  const sample = app.lastSample;
  const c = app.settings.controls;
  return {
    title: session ? localized(session, 'title', app.settings.language) : '',
    timer: timerText(),
    running: app.player.active,
    paused: app.player.state === PlayerState.PAUSED,
    phase: app.player.active && sample ? localized(sample.phase, 'name', app.settings.language) : '',
    elapsedText: formatClock(app.player.elapsed()),
    remainingText: timerText(),
    progress: app.player.active && app.player.duration() > 0 ? app.player.elapsed() / app.player.duration() : 0,
    selected: Boolean(session),
    outputEnabled: c.outputEnabled,
    blackout: app.blackout,
    masterVolume: c.masterVolume,
    rgbIntensity: c.rgbIntensity,
    whiteIntensity: c.whiteIntensity,
    audioEnabled: c.audioEnabled,
    musicPlaying: app.sound.musicPlaying,
    musicEnabled: c.musicEnabled,
    breathing: app.breathing,
    language: app.settings.language,
    remoteConnected: app.remote.connected,
    awaitingConsent: app.pendingStart,
  };
}

function publishRemote(force) {
  if (!app.remote.token) return;
  const doc = buildRemoteState(remoteView(), serverNow());
  const { updatedAt, ...comparable } = doc;
  const key = JSON.stringify(comparable);
  const now = performance.now();
  if (!force && key === app.remote.lastDoc && now - app.remote.lastSentAt < HEARTBEAT_MS) return;
  app.remote.lastDoc = key;
  app.remote.lastSentAt = now;
  postJson(withToken('/remote/state', app.remote.token), doc);
}

function screenView(forceDark) {
  const sample = app.lastSample;
  const session = shownSession();
  const language = app.settings.language;
  const active = !forceDark && lightWanted() && sample !== null;
  const look = active ? currentLook(sample) : { r: 0, g: 0, b: 0, white: 0 };
  const { color, intensity } = screenColorFromLook(look);
  const pulse = lightPulses(sample);
  return {
    active,
    frequencyHz: sample?.lightHz || 10,
    pulseShape: sample?.pulseShape || 'sine',
    pulse,
    // Lamps count their pulse from their first frame; screens use the same moment. Without
    // lamps the screens keep their own steady epoch.
    pulseEpochMs: app.light.stream?.epochMs ?? app.screen.epoch ?? (app.screen.epoch = serverNow()),
    color: active ? color : (sample ? rgbToHex(sample.color) : '#40c9ff'),
    intensity: active ? intensity : 0,
    language,
    sessionTitle: session ? localized(session, 'title', language) : 'Solvera Pro',
    phase: app.player.active && sample ? localized(sample.phase, 'name', language) : t('player.standby'),
  };
}

function publishScreenLight(force) {
  if (!app.screen.token) return;
  const doc = buildScreenLightState(screenView(app.blackout), serverNow());
  const { updatedAt, ...comparable } = doc;
  const key = JSON.stringify(comparable);
  const now = performance.now();
  if (!force && key === app.screen.lastDoc && now - app.screen.lastSentAt < HEARTBEAT_MS) return;
  // During glides the colour changes every tick; screens poll a few times a second anyway.
  if (!force && now - app.screen.lastSentAt < SCREEN_PUBLISH_MIN_MS) return;
  app.screen.lastDoc = key;
  app.screen.lastSentAt = now;
  postJson(withToken('/screen-light/state', app.screen.token), doc);
}

function publishAll() {
  publishRemote(true);
  publishScreenLight(true);
}

async function connectRemote() {
  const info = await getJson('/remote/info');
  if (!info.ok || !info.body?.token) {
    $('remoteAddress').textContent = t('device.unavailable');
    return;
  }
  app.remote.token = info.body.token;
  app.remote.cursor = new CommandCursor(info.body.lastCommandId);
  showAddress('remote', info.body.url || info.body.localUrl, []);
  publishRemote(true);
  pollCommands();
  setInterval(pollRemoteStatus, STATUS_POLL_MS);
}

async function pollCommands() {
  const { token, cursor } = app.remote;
  const reply = await getJson(withToken('/remote/commands', token, { since: String(cursor.since) }));
  if (reply.ok && Array.isArray(reply.body?.commands)) {
    for (const command of cursor.take(reply.body.commands)) applyRemoteCommand(command, remoteActions);
  } else if (reply.status === 403) {
    // The program was restarted and made new tokens: pick them up.
    const info = await getJson('/remote/info');
    if (info.ok && info.body?.token) {
      app.remote.token = info.body.token;
      app.remote.cursor = new CommandCursor(info.body.lastCommandId);
      showAddress('remote', info.body.url || info.body.localUrl, []);
      publishRemote(true);
    }
  }
  setTimeout(pollCommands, reply.ok ? REMOTE_POLL_MS : REMOTE_POLL_MS * 5);
}

async function pollRemoteStatus() {
  const sent = Date.now();
  const reply = await getJson(withToken('/remote/client-status', app.remote.token));
  if (!reply.ok) return;
  app.clock.add(sent, Date.now(), Number(reply.body.now));
  const connected = reply.body.connected === true;
  if (connected !== app.remote.connected) {
    app.remote.connected = connected;
    renderConnection('remoteConnection', connected);
    publishRemote(true);
  }
  const info = await getJson('/remote/info');
  if (info.ok) app.remote.cursor.resync(info.body.lastCommandId);
}

async function connectScreenLight() {
  const info = await getJson('/screen-light/info');
  if (!info.ok || !info.body?.token) {
    $('screenAddress').textContent = t('device.unavailable');
    return;
  }
  applyScreenInfo(info.body);
  await pollScreenStatus();
  publishScreenLight(true);
  setInterval(pollScreenStatus, STATUS_POLL_MS);
}

// The first page address is shown big with its code; the others (more interfaces, this
// machine) are listed under it.
function applyScreenInfo(info) {
  app.screen.token = info.token;
  const urls = Array.isArray(info.urls) ? info.urls : [];
  showAddress('screen', info.url || info.localUrl, urls.slice(1).concat(info.localUrl ? [info.localUrl] : []));
}

async function pollScreenStatus() {
  const sent = Date.now();
  const reply = await getJson(withToken('/screen-light/client-status', app.screen.token));
  if (reply.status === 403) {
    const info = await getJson('/screen-light/info');
    if (info.ok && info.body?.token) {
      applyScreenInfo(info.body);
      publishScreenLight(true);
    }
    return;
  }
  if (!reply.ok) return;
  app.clock.add(sent, Date.now(), Number(reply.body.now));
  const connected = reply.body.connected === true;
  if (connected !== app.screen.connected) {
    app.screen.connected = connected;
    renderConnection('screenConnection', connected);
  }
}

function showAddress(kind, url, others) {
  const link = $(`${kind}Address`);
  link.textContent = url;
  link.href = url;
  const box = $(`${kind}Qr`);
  box.replaceChildren();
  try {
    const code = qrcode(0, 'M');
    code.addData(url);
    code.make();
    box.innerHTML = code.createSvgTag({ cellSize: 4, margin: 2, scalable: true });
  } catch {
    box.textContent = '';
  }
  const list = $(`${kind}Addresses`);
  if (list) {
    list.replaceChildren(...others.filter((u) => u !== url).map((u) => {
      const li = document.createElement('li');
      const a = document.createElement('a');
      a.href = u; a.textContent = u; a.target = '_blank'; a.rel = 'noopener';
      li.append(a);
      return li;
    }));
  }
}

// ---- rendering -----------------------------------------------------------------------------

let toastTimer = 0;
function toast(message) {
  const el = $('toast');
  el.textContent = message;
  el.hidden = false;
  clearTimeout(toastTimer);
  toastTimer = setTimeout(() => { el.hidden = true; }, 5000);
}

function renderConnection(id, connected) {
  const el = $(id);
  el.textContent = t(connected ? 'device.connected' : 'device.waiting');
  el.classList.toggle('on', connected);
}

function renderLightStatus() {
  const el = $('lightStatus');
  const out = app.settings.light;
  let text;
  let error = false;
  if (app.light.error) { text = t('light.error', { message: app.light.error }); error = true; }
  else if (!outputReady(out)) text = t('light.notConfigured');
  else if (app.blackout) text = t('light.blackout');
  else if (!app.settings.controls.outputEnabled) text = t('light.off');
  else text = t('light.ok', { mode: { artnet: `Art-Net → ${out.targetIp} / ${out.universe}`, 'enttec-usb-pro': 'Enttec DMX USB Pro', 'open-dmx-ftdi': 'Open DMX' }[out.outputMode] });
  el.textContent = text;
  el.classList.toggle('error', error);
}

function renderMusicStatus() {
  panels.music?.render();
}

function renderSoundNotice() {
  $('audioNotice').hidden = !(app.player.state === PlayerState.RUNNING && app.sound.suspended);
}

function renderControls() {
  const c = app.settings.controls;
  for (const name of ['masterVolume', 'rgbIntensity', 'whiteIntensity']) {
    const input = $(name);
    if (document.activeElement !== input) input.value = String(Math.round(c[name]));
    input.nextElementSibling.textContent = `${Math.round(c[name])}%`;
  }
  for (const name of ['audioEnabled', 'musicEnabled', 'outputEnabled']) $(name).checked = c[name];
  const button = $('blackoutButton');
  button.setAttribute('aria-pressed', String(app.blackout));
  button.textContent = t(app.blackout ? 'live.blackoutOn' : 'live.blackout');
  button.classList.toggle('active', app.blackout);
  $('breathingGuideEnabled').checked = app.breathing;
  renderLightStatus();
  renderMusicStatus();
}

function renderPlayer(sample) {
  const p = app.player;
  const state = p.state;
  const selected = selectedSession();
  $('startButton').hidden = p.active;
  $('startButton').disabled = !selected;
  $('pauseButton').hidden = state !== PlayerState.RUNNING;
  $('resumeButton').hidden = state !== PlayerState.PAUSED;
  $('stopButton').disabled = !p.active;
  $('reportButton').hidden = p.active || !app.recorder.record;
  document.body.dataset.state = state;
  const language = app.settings.language;
  const showing = p.active || state === PlayerState.FINISHED;
  $('elapsed').textContent = formatClock(showing ? p.elapsed() : 0);
  $('remaining').textContent = p.timeline && showing ? formatClock(p.duration() - p.elapsed())
    : (selected ? formatClock(selected.durationMinutes * 60) : '--:--');
  if (sample && showing) {
    $('phaseName').textContent = localized(sample.phase, 'name', language);
    $('phasePurpose').textContent = localized(sample.phase, 'purpose', language);
    $('beatHz').textContent = `${sample.beatHz.toFixed(2)} Hz`;
    $('lightHz').textContent = sample.lightHz > 0 && app.settings.light.pulse ? `${sample.lightHz.toFixed(2)} Hz` : t('player.steady');
    $('carrierHz').textContent = `${sample.carrierHz.toFixed(1)} Hz`;
    $('colourSwatch').style.background = rgbToHex(sample.color);
    $('phaseCursor').style.left = `${(100 * sample.time) / p.duration()}%`;
    for (const [i, li] of [...$('phaseList').children].entries()) li.classList.toggle('current', i === sample.phaseIndex && p.active);
  } else {
    $('phaseName').textContent = '—';
    $('phasePurpose').textContent = '';
    for (const id of ['beatHz', 'lightHz', 'carrierHz']) $(id).textContent = '—';
    $('colourSwatch').style.background = 'transparent';
    $('phaseCursor').style.left = '0';
    for (const li of $('phaseList').children) li.classList.remove('current');
  }
  $('topStatus').textContent = state === PlayerState.RUNNING ? t('player.running')
    : state === PlayerState.PAUSED ? t('player.paused') : '';
  renderSoundNotice();
  if (p.active) renderMusicStatus();
}

function renderSessionDetail() {
  const s = selectedSession();
  const language = app.settings.language;
  $('sessionActions').hidden = !s;
  $('deleteButton').hidden = !s || !app.customIds.has(s.id);
  if (!s) {
    $('sessionTitle').textContent = t('player.choose');
    $('sessionGoal').textContent = '';
    $('sessionCategory').textContent = '';
    $('phaseList').replaceChildren();
    $('phaseBar').querySelectorAll('.seg').forEach((e) => e.remove());
    return;
  }
  $('sessionTitle').textContent = localized(s, 'title', language);
  $('sessionGoal').textContent = localized(s, 'goal', language);
  $('sessionCategory').textContent = [localized(s, 'category', language), localized(s, 'subcategory', language),
    `${s.durationMinutes} ${t('library.minutes')}`].filter(Boolean).join(' · ');
  const bar = $('phaseBar');
  bar.querySelectorAll('.seg').forEach((e) => e.remove());
  // The same timeline the player uses, so the bar matches what will play.
  let timeline = null;
  try { timeline = buildTimeline(s); } catch { timeline = null; }
  const list = [];
  s.phases.forEach((phase, i) => {
    const placed = timeline?.phases[i];
    if (placed) {
      const seg = document.createElement('div');
      seg.className = 'seg';
      seg.style.left = `${(100 * placed.startS) / timeline.durationS}%`;
      seg.style.width = `${(100 * (placed.endS - placed.startS)) / timeline.durationS}%`;
      seg.style.background = phase.colorHex || '#333';
      seg.title = localized(phase, 'name', language);
      bar.prepend(seg);
    }
    const li = document.createElement('li');
    li.innerHTML = '<span class="dot"></span><span class="when"></span><span class="what"><strong></strong><small></small></span><span class="freq"></span>';
    li.querySelector('.dot').style.background = phase.colorHex || '#333';
    li.querySelector('.when').textContent = placed ? `${formatClock(placed.startS)}–${formatClock(placed.endS)}` : '';
    li.querySelector('strong').textContent = localized(phase, 'name', language);
    li.querySelector('small').textContent = localized(phase, 'purpose', language);
    li.querySelector('.freq').textContent = phase.audioFrequencyHz ? `${phase.audioFrequencyHz} Hz` : '';
    list.push(li);
  });
  $('phaseList').replaceChildren(...list);
}

function renderLibrary() {
  const query = $('searchInput').value;
  const language = app.settings.language;
  let results = searchSessions(app.sessions, query);
  if (app.category === MINE) results = results.filter((r) => app.customIds.has(r.session.id));
  else if (app.category) results = results.filter((r) => r.session.category === app.category);
  const items = results.map(({ session: s }) => {
    const li = document.createElement('li');
    const button = document.createElement('button');
    button.type = 'button';
    button.className = 'session-item';
    button.dataset.id = s.id;
    button.setAttribute('aria-pressed', String(s.id === app.selectedId));
    const colours = s.phases.map((p) => p.colorHex).filter(Boolean);
    button.innerHTML = '<span class="stripe"></span><span class="name"></span><span class="meta"></span>';
    if (app.customIds.has(s.id)) {
      const own = document.createElement('span');
      own.className = 'own';
      own.textContent = t('library.own');
      button.querySelector('.name').append(own);
    }
    button.querySelector('.stripe').style.background = `linear-gradient(90deg, ${colours.join(', ') || '#333'})`;
    button.querySelector('.name').prepend(localized(s, 'title', language));
    const range = Array.isArray(s.frequencyRangeHz) ? ` · ${s.frequencyRangeHz.join('–')} Hz` : '';
    button.querySelector('.meta').textContent = `${localized(s, 'category', language)} · ${s.durationMinutes} ${t('library.minutes')}${range}`;
    button.addEventListener('click', () => selectSession(s.id));
    li.append(button);
    return li;
  });
  $('sessionList').replaceChildren(...items);
  $('noResults').hidden = items.length > 0;
  const categories = [...new Set(app.sessions.filter((s) => !app.customIds.has(s.id)).map((s) => s.category))];
  if (app.customIds.size) categories.unshift(MINE);
  if (app.category !== null && !categories.includes(app.category)) app.category = null;
  const chips = [null, ...categories].map((c) => {
    const chip = document.createElement('button');
    chip.type = 'button';
    chip.className = 'chip';
    chip.setAttribute('aria-pressed', String(app.category === c));
    const example = app.sessions.find((s) => s.category === c);
    chip.textContent = c === null ? t('library.all') : c === MINE ? t('library.mine') : localized(example, 'category', language);
    chip.addEventListener('click', () => { app.category = c; renderLibrary(); });
    return chip;
  });
  $('categoryChips').replaceChildren(...chips);
}

function selectSession(id, { reveal = false } = {}) {
  if (app.player.active) return; // the running session stays; stop it first
  app.selectedId = id;
  if (reveal && id) {
    // An imported or recommended session must be findable in the list: lift filters that hide it.
    const session = app.sessions.find((s) => s.id === id);
    if (session && app.category !== null && !(app.category === MINE ? app.customIds.has(id) : session.category === app.category)) app.category = null;
    if (session && $('searchInput').value && !searchSessions([session], $('searchInput').value).length) $('searchInput').value = '';
  }
  app.player.state = PlayerState.IDLE;
  try { store.setItem('solvera.lastSession', id); } catch { /* not kept */ }
  renderLibrary();
  renderSessionDetail();
  renderPlayer(null);
  publishAll();
  panels.ask?.render();
  if (reveal && id) {
    document.querySelector(`.session-item[data-id="${CSS.escape(id)}"]`)?.scrollIntoView({ block: 'nearest' });
    if (window.matchMedia('(max-width: 760px)').matches) document.querySelector('.session-card')?.scrollIntoView({ behavior: 'smooth' });
  }
}

function renderAll() {
  applyTexts(document, app.settings.language);
  for (const b of document.querySelectorAll('[data-lang]')) b.setAttribute('aria-pressed', String(b.dataset.lang === app.settings.language));
  renderLibrary();
  renderSessionDetail();
  renderControls();
  renderPlayer(app.lastSample);
  renderConnection('remoteConnection', app.remote.connected);
  renderConnection('screenConnection', app.screen.connected);
  if (!app.remote.token) $('remoteAddress').textContent = '';
  if (!app.screen.token) $('screenAddress').textContent = '';
  for (const panel of Object.values(panels)) panel.render?.();
}

// ---- breathing coaching --------------------------------------------------------------------

let breathTimer = 0;
function runBreathing() {
  // Four seconds in, six out: about six calm breaths a minute.
  const circle = $('breathCircle');
  const word = $('breathWord');
  const phase = (inhale) => {
    word.textContent = t(inhale ? 'breath.in' : 'breath.out');
    circle.classList.toggle('inhale', inhale);
    breathTimer = setTimeout(() => phase(!inhale), inhale ? 4000 : 6000);
  };
  clearTimeout(breathTimer);
  phase(true);
}

function stopBreathing() {
  clearTimeout(breathTimer);
  $('breathCircle').classList.remove('inhale');
}

// ---- dialogs -------------------------------------------------------------------------------

function showWarning() {
  const dialog = $('warningDialog');
  $('warningCheck').checked = false;
  $('warningAccept').disabled = true;
  if (!dialog.open) dialog.showModal();
}

function setupWarning() {
  const dialog = $('warningDialog');
  $('warningCheck').addEventListener('change', (e) => { $('warningAccept').disabled = !e.target.checked; });
  dialog.addEventListener('close', () => {
    if (dialog.returnValue === 'accept' && $('warningCheck').checked) {
      try { store.setItem(PHOTOSENSITIVITY_KEY, 'yes'); } catch { /* kept for this visit only */ }
      memoryStore.set(PHOTOSENSITIVITY_KEY, 'yes');
      if (app.pendingStart) { app.pendingStart = false; startSession(); }
    } else {
      app.pendingStart = false;
    }
    publishRemote(true);
  });
}

function fillSettingsForm() {
  const form = $('settingsForm');
  const s = app.settings;
  const set = (name, value) => {
    const el = form.elements[name];
    if (el.type === 'checkbox') el.checked = Boolean(value); else el.value = String(value);
  };
  set('outputMode', s.light.outputMode);
  set('targetIp', s.light.targetIp);
  set('universe', s.light.universe);
  set('channelLayout', s.light.channelLayout);
  set('startAddress', s.light.startAddress);
  set('fixtureCount', s.light.fixtureCount);
  set('channelSpacing', s.light.channelSpacing);
  set('pulse', s.light.pulse);
  set('audioMode', s.audio.mode);
  set('audioPulseShape', s.audio.pulseShape);
  set('balance', s.audio.balance);
  set('bass', s.audio.bass);
  set('mid', s.audio.mid);
  set('treble', s.audio.treble);
  set('noise', s.audio.noise);
  set('language', s.language);
  set('openAIKey', s.openAIKey);
  refreshPorts(s.light.serialPort);
  showRangeValues();
  updateModeFields();
  updateLayoutPreview();
}

function readSettingsForm() {
  const f = $('settingsForm').elements;
  const n = (name) => Number(f[name].value);
  return normalizeSettings({
    ...app.settings,
    language: f.language.value,
    light: {
      outputMode: f.outputMode.value, targetIp: f.targetIp.value, universe: n('universe'), serialPort: f.serialPort.value,
      channelLayout: f.channelLayout.value, startAddress: n('startAddress'), fixtureCount: n('fixtureCount'),
      channelSpacing: n('channelSpacing'), pulse: f.pulse.checked,
    },
    audio: { mode: f.audioMode.value, pulseShape: f.audioPulseShape.value, balance: n('balance'), bass: n('bass'),
      mid: n('mid'), treble: n('treble'), noise: f.noise.checked },
    openAIKey: f.openAIKey.value,
  });
}

function updateModeFields() {
  const mode = $('settingsForm').elements.outputMode.value;
  for (const el of document.querySelectorAll('[data-for-mode]')) {
    el.hidden = el.dataset.forMode === 'artnet' ? mode !== 'artnet' : mode === 'artnet';
  }
}

function updateLayoutPreview() {
  const layout = readSettingsForm().light;
  const fixtures = fixtureChannels(layout);
  const el = $('layoutPreview');
  if (fixtures.length === 0) { el.textContent = t('settings.previewNone'); return; }
  const { dmx, pulseChannels } = buildDmxFrame(layout, { r: 1, g: 1, b: 1, white: 1 });
  const pulse = pulseChannels.length > 8 ? `${pulseChannels.slice(0, 8).join(', ')}, …` : pulseChannels.join(', ');
  el.textContent = t('settings.preview', { first: layout.startAddress, last: dmx.length, fixtures: fixtures.length, pulse });
}

async function refreshPorts(selected = $('settingsForm').elements.serialPort.value) {
  const select = $('settingsForm').elements.serialPort;
  const reply = await getJson('/dmx/serial-ports');
  const ports = reply.ok && Array.isArray(reply.body?.ports) ? reply.body.ports : [];
  const options = [new Option(t(ports.length ? 'settings.autoPort' : 'settings.noPorts'), '')];
  for (const port of ports) options.push(new Option(port, port));
  if (selected && !ports.includes(selected)) options.push(new Option(selected, selected));
  select.replaceChildren(...options);
  select.value = selected || '';
}

function showRangeValues() {
  for (const input of $('settingsForm').querySelectorAll('input[type="range"]')) {
    let out = input.nextElementSibling;
    if (!out || out.tagName !== 'OUTPUT') {
      out = document.createElement('output');
      input.after(out);
    }
    const v = Number(input.value);
    out.textContent = input.name === 'balance'
      ? (v === 0 ? 'L = R' : `${v < 0 ? 'L' : 'R'} ${Math.round(Math.abs(v) * 100)}%`)
      : `${v > 0 ? '+' : ''}${v} dB`;
  }
}

function setupSettings() {
  const dialog = $('settingsDialog');
  const form = $('settingsForm');
  form.addEventListener('input', showRangeValues);
  $('settingsButton').addEventListener('click', () => { fillSettingsForm(); dialog.showModal(); });
  form.elements.outputMode.addEventListener('change', updateModeFields);
  form.addEventListener('input', updateLayoutPreview);
  $('refreshPorts').addEventListener('click', () => refreshPorts());
  $('settingsCancel').addEventListener('click', () => dialog.close('cancel'));
  dialog.addEventListener('close', () => {
    if (dialog.returnValue !== 'save') return;
    const next = readSettingsForm();
    const outputChanged = JSON.stringify(next.light) !== JSON.stringify(app.settings.light);
    if (outputChanged && app.light.lit) {
      // Darken the old output before the new one takes over.
      sendLight(blackoutRequest(app.settings.light, app.settings.light), { force: true });
    }
    next.controls = app.settings.controls;
    app.settings = next;
    saveSettings(store, app.settings);
    app.light.lastKey = null;
    app.light.error = '';
    app.audio.gate.reset(null);
    renderAll();
    tick();
    publishAll();
    toast(t('settings.saved'));
  });
}

// ---- sessions ------------------------------------------------------------------------------

async function loadSessions() {
  const reply = await getJson('sessions/library.json');
  const shipped = Array.isArray(reply.body?.sessions) ? reply.body.sessions : [];
  let custom = [];
  try {
    const parsed = JSON.parse(store.getItem(CUSTOM_SESSIONS_KEY) ?? '[]');
    if (Array.isArray(parsed)) custom = parsed.filter((s) => s && typeof s.id === 'string' && Array.isArray(s.phases));
  } catch { custom = []; }
  app.shipped = shipped;
  setSessions(custom);
  let last = null;
  try { last = store.getItem('solvera.lastSession'); } catch { last = null; }
  app.selectedId = app.sessions.some((s) => s.id === last) ? last : null;
}

function setSessions(custom) {
  app.customIds = new Set(custom.map((s) => s.id));
  app.custom = custom;
  app.sessions = [...custom, ...app.shipped.filter((s) => !app.customIds.has(s.id))];
}

// Keeps the user's own sessions; false when the browser could not store them (they still
// hold for this visit).
function setCustomSessions(list) {
  setSessions(list);
  let saved = true;
  try { store.setItem(CUSTOM_SESSIONS_KEY, JSON.stringify(list)); } catch { saved = false; }
  if (app.selectedId && !app.sessions.some((s) => s.id === app.selectedId)) app.selectedId = null;
  renderLibrary();
  renderSessionDetail();
  return saved;
}

// ---- wiring --------------------------------------------------------------------------------

function wire() {
  $('startButton').addEventListener('click', () => {
    app.sound.ensure();
    startSession();
  });
  $('pauseButton').addEventListener('click', pauseSession);
  $('resumeButton').addEventListener('click', resumeSession);
  $('stopButton').addEventListener('click', stopSession);
  $('blackoutButton').addEventListener('click', () => window.toggleBlackout());
  $('breathingGuideEnabled').addEventListener('change', (e) => setBreathing(e.target.checked));
  $('breathingClose').addEventListener('click', () => setBreathing(false));
  $('enableSoundButton').addEventListener('click', () => app.sound.resume().then(renderSoundNotice));
  for (const name of ['masterVolume', 'rgbIntensity', 'whiteIntensity']) {
    $(name).addEventListener('input', (e) => setControl(name, Number(e.target.value)));
  }
  for (const name of ['audioEnabled', 'musicEnabled', 'outputEnabled']) {
    $(name).addEventListener('change', (e) => setToggle(name, e.target.checked));
  }
  $('searchInput').addEventListener('input', renderLibrary);
  for (const b of document.querySelectorAll('[data-lang]')) {
    b.addEventListener('click', () => {
      app.settings.language = b.dataset.lang;
      saveSettings(store, app.settings);
      renderAll();
      publishAll();
    });
  }
  document.addEventListener('keydown', (e) => {
    if (e.key === 'Escape' && app.breathing) setBreathing(false);
  });
  // Closing or leaving the page darkens the lamps and silences the beat.
  window.addEventListener('pagehide', () => {
    const out = app.settings.light;
    if (outputReady(out) && (app.light.lit || app.player.active)) {
      postJson('/dmx', blackoutRequest(out, out), { keepalive: true });
    }
    if (app.audio.running) postJson('/audio/stop', {}, { keepalive: true });
  });
  setupWarning();
  setupSettings();
  setupPanels();
}

// The panels of part two get what they need from the page through one small context.
function setupPanels() {
  const ctx = {
    t,
    toast,
    store,
    language: () => app.settings.language,
    apiKey: () => app.settings.openAIKey,
    edition: () => 'Solvera Pro Audio+Light',
    sessions: () => app.sessions,
    selected: selectedSession,
    select: selectSession,
    isCustom: (id) => app.customIds.has(id),
    customSessions: () => [...(app.custom ?? [])],
    shippedIds: () => new Set((app.shipped ?? []).map((s) => s.id)),
    setCustomSessions,
    sound: app.sound,
    recorder: app.recorder,
    clipboard: new ClipboardReader(window),
  };
  // Page functions the program calls exist before anything is awaited.
  panels.music = setupMusicLibrary(ctx);
  panels.headband = setupHeadband(ctx);
  setupSessionFiles(ctx);
  setupReport(ctx);
  panels.ask = setupAskAi(ctx);
  setupDescription(ctx);
  setupMarketplace(ctx);
  setupPasteButtons(ctx);
  // What the program said before this module ran, in the order it said it.
  for (const [name, args] of window.solveraTakeEarlyCalls?.() ?? []) {
    try { window[name]?.(...args); } catch { /* one bad call must not stop the page */ }
  }
}

async function main() {
  wire();
  await loadSessions();
  renderAll();
  panels.music.load();
  connectRemote();
  connectScreenLight();
  setInterval(tick, TICK_MS);
  tick();
}

main();
