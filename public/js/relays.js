// The other devices as the control page shows them: the phone remote's and the screen
// light's addresses (with their codes) and whether one is connected. The program feeds both
// from its player and carries out the phone's commands itself; the page only takes the
// breathing coaching, which is its own.

import { applyRemoteCommand, CommandCursor } from './remote-protocol.js';
import { withToken } from './net.js';

export const REMOTE_POLL_MS = 400;
export const STATUS_POLL_MS = 2000;

export class Relays {
  // net: {getJson}; actions: {isBreathing(), setBreathing(on)}; onAddress(kind, url, others)
  // shows a page address.
  constructor(state, { net, actions, onAddress = () => {}, later = (fn, ms) => setTimeout(fn, ms),
    every = (fn, ms) => setInterval(fn, ms) }) {
    Object.assign(this, { state, net, actions, onAddress, later, every });
    this.remote = { token: null, cursor: null };
    this.screen = { token: null };
  }

  // ---- remote --------------------------------------------------------------------------------

  async remoteInfo() {
    const info = await this.net.getJson('/remote/info');
    if (!info.ok || !info.body?.token) return false;
    this.remote.token = info.body.token;
    this.remote.cursor = new CommandCursor(info.body.lastCommandId);
    this.onAddress('remote', info.body.url || info.body.localUrl, []);
    return true;
  }

  async connectRemote() {
    if (!(await this.remoteInfo())) {
      this.onAddress('remote', null, []);
      return;
    }
    this.pollCommands();
    this.every(() => this.pollRemoteStatus(), STATUS_POLL_MS);
  }

  // Only the coaching is the page's; every other command the program carries out itself.
  async pollCommands() {
    const { token, cursor } = this.remote;
    const reply = await this.net.getJson(withToken('/remote/commands', token, { since: String(cursor.since) }));
    if (reply.ok && Array.isArray(reply.body?.commands)) {
      for (const command of cursor.take(reply.body.commands)) {
        if (command.type === 'breathing') applyRemoteCommand(command, this.actions);
      }
    } else if (reply.status === 403) {
      // The program was restarted and made new tokens: pick them up.
      await this.remoteInfo();
    }
    this.later(() => this.pollCommands(), reply.ok ? REMOTE_POLL_MS : REMOTE_POLL_MS * 5);
  }

  // Whether a device is connected; stateKey: 'remoteConnected' or 'screenConnected'.
  async clientStatus(path, token, stateKey) {
    const reply = await this.net.getJson(withToken(path, token));
    if (!reply.ok) return reply;
    const connected = reply.body.connected === true;
    if (connected !== this.state[stateKey]) {
      this.state[stateKey] = connected;
      this.state.emit('devices');
    }
    return reply;
  }

  async pollRemoteStatus() {
    const reply = await this.clientStatus('/remote/client-status', this.remote.token, 'remoteConnected');
    if (!reply.ok) return;
    const info = await this.net.getJson('/remote/info');
    if (info.ok) this.remote.cursor.resync(info.body.lastCommandId);
  }

  // ---- screen light --------------------------------------------------------------------------

  // The first page address is shown big with its code; the others (more interfaces, this
  // machine) are listed under it, each once.
  applyScreenInfo(info) {
    this.screen.token = info.token;
    const first = info.url || info.localUrl;
    const urls = Array.isArray(info.urls) ? info.urls : [];
    const others = [...new Set([...urls, info.localUrl].filter((u) => typeof u === 'string' && u && u !== first))];
    this.onAddress('screen', first, others);
  }

  async connectScreenLight() {
    const info = await this.net.getJson('/screen-light/info');
    if (!info.ok || !info.body?.token) {
      this.onAddress('screen', null, []);
      return;
    }
    this.applyScreenInfo(info.body);
    await this.pollScreenStatus();
    this.every(() => this.pollScreenStatus(), STATUS_POLL_MS);
  }

  async pollScreenStatus() {
    const reply = await this.clientStatus('/screen-light/client-status', this.screen.token, 'screenConnected');
    if (reply.status !== 403) return;
    // The program was restarted and made new tokens: pick them up.
    const info = await this.net.getJson('/screen-light/info');
    if (info.ok && info.body?.token) this.applyScreenInfo(info.body);
  }
}
