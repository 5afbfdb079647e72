// The control page's shared state, and the news of what changed in it. Modules change the
// state and emit a topic; whoever shows or relays that part listens for it.

import { SessionPlayer, PlayerState } from './player.js';
import { loadSettings, saveSettings, PHOTOSENSITIVITY_KEY } from './settings.js';
import { ClockOffsetEstimator } from './screen-sync.js';
import { translate } from './i18n.js';

// Topics: 'controls' (live controls, blackout, breathing), 'player' (start, pause, seek, end),
// 'library' (sessions and the selection), 'settings', 'language', 'light' (the output's
// state), 'devices' (remote and screen connections), 'tick' (the session's moment moved).

// The browser's local storage, or a memory of this visit where the browser refuses it.
export function pageStore(win = globalThis.window) {
  let storage = null;
  try { storage = win?.localStorage ?? null; } catch { storage = null; }
  const memory = new Map();
  return {
    getItem(key) {
      if (memory.has(key)) return memory.get(key);
      try { return storage ? storage.getItem(key) : null; } catch { return null; }
    },
    // False when the browser did not keep it; it still holds for this visit.
    setItem(key, value) {
      memory.set(key, String(value));
      try { storage?.setItem(key, value); return Boolean(storage); } catch { return false; }
    },
  };
}

export class AppState {
  constructor(store, now = () => performance.now()) {
    this.store = store;
    this.settings = loadSettings(store);
    this.player = new SessionPlayer(now);
    this.sessions = [];
    this.shipped = [];
    this.custom = [];
    this.customIds = new Set();
    this.selectedId = null;
    this.category = null;
    this.blackout = false;
    this.breathing = false;
    this.lastSample = null;
    this.pendingStart = false;
    // The light output: whether it has answered since its settings last changed, its error.
    this.light = { error: '', confirmed: false, lit: false };
    this.audioFailed = false;
    // The tone generator's ranges as the program reports them, once it has.
    this.audioLimits = null;
    // The program refused this page's control calls: it lacks the control token.
    this.accessRefused = false;
    this.remoteConnected = false;
    this.screenConnected = false;
    this.clock = new ClockOffsetEstimator();
    this.listeners = new Map();
  }

  on(topic, listener) {
    if (!this.listeners.has(topic)) this.listeners.set(topic, []);
    this.listeners.get(topic).push(listener);
  }

  emit(...topics) {
    for (const topic of topics) {
      for (const listener of this.listeners.get(topic) ?? []) listener(topic);
    }
  }

  t(key, values) {
    return translate(this.settings.language, key, values);
  }

  serverNow() {
    return Date.now() + this.clock.offset();
  }

  saveSettings() {
    return saveSettings(this.store, this.settings);
  }

  get lightAccepted() {
    return this.store.getItem(PHOTOSENSITIVITY_KEY) === 'yes';
  }

  get selected() {
    return this.sessions.find((s) => s.id === this.selectedId) ?? null;
  }

  // The session on show: the one playing, else the one selected.
  get shown() {
    return this.player.active ? this.player.session : this.selected;
  }

  get running() {
    return this.player.state === PlayerState.RUNNING;
  }

  setSessions(custom) {
    this.customIds = new Set(custom.map((s) => s.id));
    this.custom = custom;
    this.sessions = [...custom, ...this.shipped.filter((s) => !this.customIds.has(s.id))];
    if (this.selectedId && !this.sessions.some((s) => s.id === this.selectedId)) this.selectedId = null;
  }
}
