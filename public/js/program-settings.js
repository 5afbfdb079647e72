// The settings and the person's own sessions as the program keeps them, shared by every page,
// the phone and the command line. The first time a browser connects, what it kept in its own
// storage is handed to the program once; from then on the program's copy is the one used.

import { CARRIED_OVER_KEY, loadSettings, normalizeProgramSettings, pageStorage } from './settings.js';

// Live sliders send many changes a second; the program needs the last one.
export const SAVE_DELAY_MS = 150;

const sessionList = (list) => (Array.isArray(list) ? list.filter((x) => x && typeof x.id === 'string' && Array.isArray(x.phases)) : []);

export class ProgramStore {
  // net: {getJson, postJson, putJson, deleteJson}; store: the page's storage.
  constructor({ net, store, later = (fn, ms) => setTimeout(fn, ms), cancel = (id) => clearTimeout(id) }) {
    Object.assign(this, { net, store, later, cancel });
    this.saveTimer = null;
    this.pending = null;
    this.waiters = [];
    this.lastSaved = null;
    this.saving = Promise.resolve(null);
  }

  // The settings and own sessions to start with: {settings, sessions, reachable}. Without an
  // answer from the program the page's own copy holds for this visit.
  async load() {
    const carried = await this.carryOver();
    if (carried) return carried;
    const [settings, own] = await Promise.all([this.net.getJson('/settings'), this.net.getJson('/sessions/own')]);
    if (!settings.ok || !settings.body?.settings) {
      return { settings: normalizeProgramSettings(loadSettings(this.store)), sessions: [], reachable: false };
    }
    return { settings: normalizeProgramSettings(settings.body.settings), sessions: sessionList(own.body?.sessions), reachable: true };
  }

  // Hands this browser's storage to the program, once: settings only while the program has
  // none, own sessions merged by id. Null when there was nothing to hand over (or it is done).
  async carryOver() {
    if (this.store.getItem(CARRIED_OVER_KEY) === 'yes') return null;
    const kept = pageStorage(this.store);
    if (!kept) {
      this.store.setItem(CARRIED_OVER_KEY, 'yes');
      return null;
    }
    const reply = await this.net.postJson('/settings/carry-over', kept);
    if (!reply.ok || !reply.body?.settings) return null; // tried again on the next visit
    this.store.setItem(CARRIED_OVER_KEY, 'yes');
    return { settings: normalizeProgramSettings(reply.body.settings), sessions: sessionList(reply.body.sessions), reachable: true };
  }

  // Stores the settings in the program; soon: wait a moment for more changes (sliders).
  // Resolves the program's normalised settings, or null when it did not take them.
  save(settings, { soon = false } = {}) {
    this.pending = settings;
    this.cancel(this.saveTimer);
    this.saveTimer = null;
    const done = new Promise((resolve) => this.waiters.push(resolve));
    if (soon) this.saveTimer = this.later(() => { this.saveTimer = null; this.flush(); }, SAVE_DELAY_MS);
    else this.flush();
    return done;
  }

  // One save at a time, so that an older one never lands after a newer one.
  flush() {
    const waiters = this.waiters.splice(0);
    this.saving = this.saving.then(async () => {
      const settings = this.pending;
      // An earlier turn already sent what these callers asked for.
      if (!settings) return this.lastSaved;
      this.pending = null;
      const reply = await this.net.putJson('/settings', settings);
      this.lastSaved = reply.ok && reply.body?.settings ? normalizeProgramSettings(reply.body.settings) : null;
      return this.lastSaved;
    });
    this.saving.then((result) => { for (const resolve of waiters) resolve(result); });
    return this.saving;
  }

  async accept() {
    const reply = await this.net.postJson('/settings/consent', { accepted: true });
    return reply.ok;
  }

  // Reply of "/sessions/own/<id>": ok, or the program's message when it refused the session.
  async putSession(session) {
    const reply = await this.net.putJson(`/sessions/own/${encodeURIComponent(session.id)}`, session);
    return { ok: reply.ok, message: reply.ok ? '' : String(reply.body?.message ?? '') };
  }

  async removeSession(id) {
    const reply = await this.net.deleteJson(`/sessions/own/${encodeURIComponent(id)}`);
    return reply.ok;
  }
}
