// The control page: the face of the program's session player. Puts the state, the player's
// event stream, the controller, the views and the panels together and connects them to the
// page's elements, keys and the program's calls.

import { AppState, pageStore } from './state.js';
import { SoundPreview } from './outputs.js';
import { outputReady } from './dmx-frame.js';
import { Relays } from './relays.js';
import { Controller } from './controller.js';
import { SessionEvents, EVENTS_PATH } from './session-events.js';
import { ProgramStore } from './program-settings.js';
import { BreathingOverlay, LIVE_SLIDERS, LIVE_TOGGLES, SOUND_SLIDERS, Toasts, Views } from './views.js';
import { Library } from './library-view.js';
import { setupSettings, setupWarning } from './settings-dialog.js';
import { setupTransport } from './transport.js';
import { setupKeys } from './keys.js';
import { applyTexts } from './i18n.js';
import { controlUrl, deleteJson, getJson, onControlTokenRefused, postJson, putJson } from './net.js';
import { ClipboardReader, registerPageFunctions } from './native.js';
import { setupEditor } from './editor-view.js';
import { setupAudioExport } from './audio-export.js';
import { localizeValidation } from './form-messages.js';
import { setupAskAi, setupDescription, setupMarketplace, setupPasteButtons } from './panels.js';
import { setupHeadband, setupMusicLibrary, setupReport, setupSessionFiles } from './content-panels.js';
import { limitsPath, setupLightLimits } from './light-limits.js';
import { AudioLimits } from './audio-limits.js';

// The clock shown moves on between the player's reports; this only redraws the page.
const DISPLAY_MS = 250;
const $ = (id) => document.getElementById(id);

const state = new AppState(pageStore(window));
const t = (key, values) => state.t(key, values);
const net = { getJson, postJson, putJson, deleteJson };
const toasts = new Toasts();
const toast = (message) => toasts.show(message);
// A page opened on another device without the control token can drive nothing: it says so at
// once, in a notice that stays, and starts nothing.
function refuseAccess() {
  if (state.accessRefused) return;
  state.accessRefused = true;
  $('accessNotice').hidden = false;
  views.player();
  views.lightStatus();
}
onControlTokenRefused(refuseAccess);
// The tone generator's ranges, for the editor and the import.
const audioLimits = new AudioLimits(getJson);
const soundLimits = async () => {
  state.audioLimits = await audioLimits.load();
  return state.audioLimits;
};
const programStore = new ProgramStore({ net, store: state.store });
const views = new Views(state, { toasts });
views.lightLimits = () => lightLimits.limits();
const breathing = new BreathingOverlay(t);
const preview = new SoundPreview(state, { transport: (path, body) => postJson(path, body) });
const panels = {};
let showWarning = () => {};
const controller = new Controller(state, {
  net,
  settings: programStore,
  askConsent: () => showWarning(),
  onError: (error) => toast(String(error?.message ?? error)),
  onNotice: (key) => toast(t(key)),
  // The program checks the session itself; a page without the token cannot even ask.
  refusal: () => (state.accessRefused ? t('net.tokenNeeded') : null),
});
const library = new Library(state, {
  onSelected: () => { controller.dismissFinished(); views.player(); panels.ask?.render(); panels.editor?.render(); },
  onSeekPhase: (index) => controller.seekToPhase(index),
  onBusy: () => toast(t('library.busy')),
});
const relays = new Relays(state, {
  net,
  actions: { isBreathing: () => state.breathing, setBreathing: (on) => controller.setBreathing(on) },
  onAddress: (kind, url, others) => views.showAddress(kind, url, others),
});
const events = new SessionEvents({
  url: controlUrl(EVENTS_PATH),
  onState: (raw) => controller.follow(raw),
  onConnection: (connected) => { state.following = connected; },
  expectReports: () => state.player.running,
});
const lightLimits = setupLightLimits(state, { getJson, element: $('lightLimitNotice') });

state.on('controls', () => {
  views.controls();
  breathing.show(state.breathing);
});
state.on('devices', () => views.devices());
state.on('player', () => {
  views.player();
  views.lightStatus();
});
state.on('session', () => library.detail());

// The two page functions the desktop's shortcuts, menu and media keys call.
registerPageFunctions({
  toggleBlackout: () => { controller.toggleBlackout(); },
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
  $('startButton').addEventListener('click', () => controller.start());
  $('pauseButton').addEventListener('click', () => controller.pause());
  $('resumeButton').addEventListener('click', () => controller.resume());
  $('stopButton').addEventListener('click', () => controller.stop());
  $('finishedDismiss').addEventListener('click', () => controller.dismissFinished());
  $('blackoutButton').addEventListener('click', () => window.toggleBlackout());
  $('breathingGuideEnabled').addEventListener('change', (e) => controller.setBreathing(e.target.checked));
  $('breathingClose').addEventListener('click', () => controller.setBreathing(false));
  for (const name of LIVE_SLIDERS) $(name).addEventListener('input', (e) => controller.setControl(name, Number(e.target.value)));
  for (const name of LIVE_TOGGLES) $(name).addEventListener('change', (e) => controller.setToggle(name, e.target.checked));
  for (const name of SOUND_SLIDERS) $(`live-${name}`).addEventListener('input', (e) => controller.setSound(name, Number(e.target.value)));
  $('live-audioMode').addEventListener('change', (e) => controller.setSound('mode', e.target.value));
  $('searchInput').addEventListener('input', () => library.render());
  for (const b of document.querySelectorAll('[data-lang]')) {
    b.addEventListener('click', () => {
      state.settings.language = b.dataset.lang;
      renderAll();
      controller.save(false);
    });
  }
  localizeValidation(document, t);
  setupTransport(state, { controller, views });
  setupKeys(state, { controller });
  // The session plays on in the program when the page goes; only the editor's preview ends.
  window.addEventListener('pagehide', () => preview.leave((path, body) => postJson(path, body, { keepalive: true })));
  window.addEventListener('pageshow', (event) => {
    if (!event.persisted) return;
    preview.back();
    events.reconnect();
  });
  // A page that slept (a phone's screen lock, a frozen tab) looks again at once when it wakes:
  // its stream may have been cut while it could not notice.
  document.addEventListener('resume', () => events.reconnect());
  document.addEventListener('visibilitychange', () => { if (!document.hidden && !state.following) events.reconnect(); });
  showWarning = setupWarning(state, { onAccepted: (startAfter) => controller.consentGiven(startAfter) });
  setupSettings(state, {
    save: (settings) => programStore.save(settings),
    onSaved: (stored) => {
      renderAll();
      if (stored) toast(t('settings.saved'));
    },
    onFailed: () => toast(t('settings.notStored')),
  });
  setupPanels();
}

// The person's own sessions are the program's: shown here at once, kept there.
async function keepSession(session) {
  const before = state.custom;
  library.setCustom([session, ...before.filter((s) => s.id !== session.id)]);
  const result = await programStore.putSession(session);
  if (!result.ok && result.message) library.setCustom(before);
  return result;
}

function forgetSession(id) {
  library.setCustom(state.custom.filter((s) => s.id !== id));
  programStore.removeSession(id).then((ok) => { if (!ok) toast(t('files.storeFull')); });
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
    keepSession,
    forgetSession,
    record: () => state.record,
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
  const audioExport = setupAudioExport(ctx);
  ctx.exportAudio = audioExport.open;
  // The person's own sessions go as they are here; the program knows the library's by id.
  $('audioExportButton').addEventListener('click', () => {
    const session = state.selected;
    if (session) audioExport.open(state.customIds.has(session.id) ? { session } : { sessionId: session.id }, session.title);
  });
  ctx.openImported = (session, notices) => panels.editor.openImported(session, notices);
  panels.editor = setupEditor(ctx, {
    listen: (listened) => preview.listen(listened),
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
  // The running session first: a reloaded page shows it as it is before anything else loads.
  events.start();
  const [kept] = await Promise.all([programStore.load(), soundLimits()]);
  state.settings = kept.settings;
  await library.load(kept.sessions);
  renderAll();
  showControlAddress();
  panels.music.load();
  relays.connectRemote();
  relays.connectScreenLight();
  setInterval(() => { if (state.player.running) views.player(); }, DISPLAY_MS);
}

main();
