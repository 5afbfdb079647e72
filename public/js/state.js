// The control page's shared state, and the news of what changed in it. Modules change the
// state and emit a topic; whoever shows or relays that part listens for it.

import { PlayerState, PlayerView } from './player.js';
import { normalizeProgramSettings } from './settings.js';
import { translate } from './i18n.js';

// Topics: 'controls' (live controls, blackout, breathing), 'player' (a report of the program's
// player), 'session' (what plays, or whether it plays, changed), 'devices' (remote and screen connections), 'tick'
// (the clock shown moved on).

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
    // The program's settings once it has given them; until then the defaults.
    this.settings = normalizeProgramSettings(null);
    this.player = new PlayerView(now);
    this.sessions = [];
    this.shipped = [];
    this.custom = [];
    this.customIds = new Set();
    this.selectedId = null;
    this.category = null;
    this.breathing = false;
    this.pendingStart = false;
    // A blackout asked for and not yet confirmed by the program: shown at once.
    this.blackoutAsked = null;
    // The last run's record, when the program has one that ended.
    this.record = null;
    // The tone generator's ranges as the program reports them, once it has.
    this.audioLimits = null;
    // The program refused this page's control calls: it lacks the control token.
    this.accessRefused = false;
    // Whether the program's event stream is open.
    this.following = false;
    this.remoteConnected = false;
    this.screenConnected = false;
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

  get lightAccepted() {
    return this.settings.photosensitivityAccepted;
  }

  // Blackout as the person sees it: what they just asked for, else what the program says.
  get blackout() {
    return this.blackoutAsked ?? this.player.blackout;
  }

  get selected() {
    return this.sessions.find((s) => s.id === this.selectedId) ?? null;
  }

  // The session the program plays, as this page knows it (null when it does not).
  get playing() {
    const id = this.player.status.sessionId;
    return this.player.active || this.player.state === PlayerState.FINISHED ? this.sessions.find((s) => s.id === id) ?? null : null;
  }

  // The session on show: the one playing, else the one selected.
  get shown() {
    return this.player.active ? this.playing : this.selected;
  }

  get running() {
    return this.player.running;
  }

  setSessions(custom) {
    this.customIds = new Set(custom.map((s) => s.id));
    this.custom = custom;
    this.sessions = [...custom, ...this.shipped.filter((s) => !this.customIds.has(s.id))];
    if (this.selectedId && !this.sessions.some((s) => s.id === this.selectedId)) this.selectedId = null;
  }
}
