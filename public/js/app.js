// The control page: puts the state, the outputs, the relays, the views and the panels
// together and connects them to the page's elements, keys and the program's calls.

import { AppState, pageStore } from './state.js';
import { Outputs } from './outputs.js';
import { outputReady } from './dmx-frame.js';
import { Relays } from './relays.js';
import { Controller } from './controller.js';
import { BreathingOverlay, LIVE_SLIDERS, LIVE_TOGGLES, SOUND_SLIDERS, Toasts, Views } from './views.js';
import { Library } from './library-view.js';
import { setupSettings, setupWarning } from './settings-dialog.js';
import { setupTransport } from './transport.js';
import { setupKeys } from './keys.js';
import { applyTexts } from './i18n.js';
import { PageSound } from './page-sound.js';
import { getJson, onControlTokenRefused, postJson } from './net.js';
import { ClipboardReader, registerPageFunctions } from './native.js';
import { SessionRecorder } from './report.js';
import { setupEditor } from './editor-view.js';
import { localizeValidation } from './form-messages.js';
import { setupAskAi, setupDescription, setupMarketplace, setupPasteButtons } from './panels.js';
import { setupHeadband, setupMusicLibrary, setupReport, setupSessionFiles } from './content-panels.js';
import { limitsPath, setupLightLimits } from './light-limits.js';
import { AudioLimits, soundRefusal } from './audio-limits.js';

const TICK_MS = 100;
const $ = (id) => document.getElementById(id);

const state = new AppState(pageStore(window));
const t = (key, values) => state.t(key, values);
const sound = new PageSound();
const recorder = new SessionRecorder();
state.recorder = recorder;
const toasts = new Toasts();
const toast = (message) => toasts.show(message);
// A page opened on another device without the control token can drive nothing: it says so at
// once, in a notice that stays, and starts nothing.
function refuseAccess() {
  if (state.accessRefused) return;
  state.accessRefused = true;
  $('accessNotice').hidden = false;
  views.player();
}
onControlTokenRefused(refuseAccess);
// The tone generator's ranges: a session beyond them does not start, and says why. The first
// control call of the page, so it also tells whether the page has the token.
const audioLimits = new AudioLimits(getJson);
const soundLimits = async () => {
  state.audioLimits = await audioLimits.load();
  return state.audioLimits;
};
function refusal(session) {
  if (state.accessRefused) return t('net.tokenNeeded');
  if (!state.audioLimits) soundLimits(); // asked again for the next try
  return soundRefusal(session, state.audioLimits, t);
}
const views = new Views(state, { toasts, sound });
views.lightLimits = () => lightLimits.limits();
const breathing = new BreathingOverlay(t);
const outputs = new Outputs(state, { transport: (path, body) => postJson(path, body), sound });
const panels = {};
let showWarning = () => {};
const controller = new Controller(state, {
  outputs, recorder, sound,
  askConsent: () => showWarning(),
  onError: (error) => toast(String(error.message || error)),
  onNotice: (key) => toast(t(key)),
  refusal,
});
const library = new Library(state, {
  onSelected: () => { views.player(); controller.publishAll(); panels.ask?.render(); panels.editor?.render(); },
  onSeekPhase: (index) => controller.seekToPhase(index),
  onBusy: () => toast(t('library.busy')),
});
const relays = new Relays(state, {
  net: { getJson, postJson },
  outputs,
  actions: controller.remoteActions(),
  onAddress: (kind, url, others) => views.showAddress(kind, url, others),
});
controller.relays = relays;
const lightLimits = setupLightLimits(state, { getJson, element: $('lightLimitNotice') });

state.on('controls', () => {
  views.controls();
  breathing.show(state.breathing);
  panels.music?.render();
});
state.on('light', () => views.lightStatus());
state.on('devices', () => views.devices());
state.on('player', () => { views.player(); library.detail(); });
state.on('tick', () => {
  views.player();
  if (state.player.active) panels.music?.render();
});

// The two page functions the desktop's shortcuts, menu and media keys call.
registerPageFunctions({
  toggleBlackout: () => controller.setBlackout(!state.blackout),
  toggleBreathingCoaching: () => controller.setBreathing(!state.breathing),
});

function renderAll() {
  applyTexts(document, state.settings.language);
  for (const b of document.querySelectorAll('[data-lang]')) b.setAttribute('aria-pressed', String(b.dataset.lang === state.settings.language));
  library.render();
  library.detail();
  views.controls();
  views.player();
  views.devices();
  lightLimits.render();
  for (const panel of Object.values(panels)) panel.render?.();
}

// Lists shown in more than one place are written once, in the settings dialog.
function copyOptions() {
  for (const select of document.querySelectorAll('select[data-options-from]')) {
    const source = document.querySelector(`#settingsForm [name="${select.dataset.optionsFrom}"]`);
    const options = [...source.options].filter((o) => o.value !== select.dataset.without);
    select.replaceChildren(...options.map((o) => o.cloneNode(true)));
  }
}

function wire() {
  copyOptions();
  $('startButton').addEventListener('click', () => {
    sound.ensure();
    controller.start();
  });
  $('pauseButton').addEventListener('click', () => controller.pause());
  $('resumeButton').addEventListener('click', () => controller.resume());
  $('stopButton').addEventListener('click', () => controller.stop());
  $('finishedDismiss').addEventListener('click', () => controller.dismissFinished());
  $('blackoutButton').addEventListener('click', () => window.toggleBlackout());
  $('breathingGuideEnabled').addEventListener('change', (e) => controller.setBreathing(e.target.checked));
  $('breathingClose').addEventListener('click', () => controller.setBreathing(false));
  $('enableSoundButton').addEventListener('click', () => sound.resume().then(() => views.soundNotice()));
  for (const name of LIVE_SLIDERS) $(name).addEventListener('input', (e) => controller.setControl(name, Number(e.target.value)));
  for (const name of LIVE_TOGGLES) $(name).addEventListener('change', (e) => controller.setToggle(name, e.target.checked));
  for (const name of SOUND_SLIDERS) $(`live-${name}`).addEventListener('input', (e) => controller.setSound(name, Number(e.target.value)));
  $('live-audioMode').addEventListener('change', (e) => controller.setSound('mode', e.target.value));
  $('searchInput').addEventListener('input', () => library.render());
  for (const b of document.querySelectorAll('[data-lang]')) {
    b.addEventListener('click', () => {
      state.settings.language = b.dataset.lang;
      state.saveSettings();
      renderAll();
      controller.publishAll();
    });
  }
  localizeValidation(document, t);
  setupTransport(state, { controller, views });
  setupKeys(state, { controller });
  // Closing or leaving the page darkens the lamps and silences the beat.
  window.addEventListener('pagehide', () => outputs.leave((path, body) => postJson(path, body, { keepalive: true })));
  window.addEventListener('pageshow', (event) => { if (event.persisted) outputs.back(); });
  showWarning = setupWarning(state, {
    onAccepted: () => controller.start(),
    onClosed: () => relays.publishRemote(true),
  });
  setupSettings(state, {
    onSaved: (previousLight) => {
      if (JSON.stringify(previousLight) !== JSON.stringify(state.settings.light)) outputs.changeLightSettings(previousLight);
      outputs.audio.gate.reset(null);
      renderAll();
      controller.tick();
      controller.publishAll();
      toast(t('settings.saved'));
    },
  });
  setupPanels();
}

// The panels get what they need from the page through one small context.
function setupPanels() {
  const ctx = {
    t,
    toast,
    store: state.store,
    language: () => state.settings.language,
    apiKey: () => state.settings.openAIKey,
    edition: () => 'Solvera Pro Audio+Light',
    sessions: () => state.sessions,
    selected: () => state.selected,
    select: (id, options) => library.select(id, options),
    isCustom: (id) => state.customIds.has(id),
    customSessions: () => [...state.custom],
    shippedIds: () => new Set(state.shipped.map((s) => s.id)),
    setCustomSessions: (list) => library.setCustom(list),
    sound,
    recorder,
    audioLimits: soundLimits,
    audioLimitsNow: () => state.audioLimits,
    clipboard: new ClipboardReader(window),
  };
  // Page functions the program calls exist before anything is awaited.
  panels.music = setupMusicLibrary(ctx);
  panels.headband = setupHeadband(ctx);
  const files = setupSessionFiles(ctx);
  setupReport(ctx);
  panels.ask = setupAskAi(ctx);
  setupDescription(ctx);
  setupMarketplace(ctx);
  setupPasteButtons(ctx);
  panels.editor = setupEditor(ctx, {
    listen: (listened) => outputs.preview(listened),
    lightLimits: async () => {
      const out = state.settings.light;
      if (!outputReady(out)) return null;
      const reply = await getJson(limitsPath(out));
      return reply.ok && reply.body?.ok ? reply.body : null;
    },
  });
  // What the program said before this module ran then runs, in the order it said it.
  registerPageFunctions({
    ...panels.music.pageFunctions,
    ...panels.headband.pageFunctions,
    ...files.pageFunctions,
    solveraClipboardText: (text) => ctx.clipboard.deliver(text),
  });
}

// The address of this page with its token, shown (as a QR code) for other devices.
async function showControlAddress() {
  const reply = await getJson('/control/info');
  if (!reply.ok || typeof reply.body?.url !== 'string') return;
  views.showAddress('control', reply.body.url, []);
  $('controlPanel').hidden = false;
}

async function main() {
  wire();
  await Promise.all([library.load(), soundLimits()]);
  renderAll();
  showControlAddress();
  panels.music.load();
  relays.connectRemote();
  relays.connectScreenLight();
  setInterval(() => controller.tick(), TICK_MS);
  controller.tick();
}

main();
