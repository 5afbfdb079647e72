// The relays to other devices: the phone remote (state out, commands in) and the screen
// lights (state out). Both publish on change, with a heartbeat, and pick up new tokens when
// the program was restarted.

import { PlayerState } from './player.js';
import { formatClock, rgbToHex } from './timeline.js';
import { localized } from './i18n.js';
import { applyRemoteCommand, buildRemoteState, CommandCursor } from './remote-protocol.js';
import { buildScreenLightState, screenColorFromLook } from './screen-sync.js';
import { withToken } from './net.js';

export const REMOTE_POLL_MS = 400;
export const STATUS_POLL_MS = 2000;
export const HEARTBEAT_MS = 2000;
export const SCREEN_PUBLISH_MIN_MS = 250;

export class Relays {
  // net: {getJson, postJson}; outputs: the page's Outputs (light look and pulse);
  // actions: what remote commands call (remote-protocol.js); onAddress(kind, url, others)
  // shows a page address.
  constructor(state, { net, outputs, actions, onAddress = () => {}, now = () => performance.now(),
    later = (fn, ms) => setTimeout(fn, ms), every = (fn, ms) => setInterval(fn, ms) }) {
    Object.assign(this, { state, net, outputs, actions, onAddress, now, later, every });
    this.remote = { token: null, cursor: null, lastDoc: '', lastSentAt: 0 };
    this.screen = { token: null, lastDoc: '', lastSentAt: 0, epoch: null };
  }

  timerText() {
    const { player } = this.state;
    if (player.active) return formatClock(player.duration() - player.elapsed());
    const session = this.state.selected;
    return session ? formatClock(Number(session.durationMinutes) * 60) : '--:--';
  }

  remoteView() {
    const s = this.state;
    const session = s.shown;
    const sample = s.lastSample;
    const c = s.settings.controls;
    const { player } = s;
    return {
      title: session ? localized(session, 'title', s.settings.language) : '',
      timer: this.timerText(),
      running: player.active,
      paused: player.state === PlayerState.PAUSED,
      phase: player.active && sample ? localized(sample.phase, 'name', s.settings.language) : '',
      elapsedText: formatClock(player.elapsed()),
      remainingText: this.timerText(),
      progress: player.active && player.duration() > 0 ? player.elapsed() / player.duration() : 0,
      selected: Boolean(session),
      outputEnabled: c.outputEnabled,
      blackout: s.blackout,
      masterVolume: c.masterVolume,
      rgbIntensity: c.rgbIntensity,
      whiteIntensity: c.whiteIntensity,
      audioEnabled: c.audioEnabled,
      musicPlaying: Boolean(this.outputs.sound?.musicPlaying),
      musicEnabled: c.musicEnabled,
      breathing: s.breathing,
      language: s.settings.language,
      remoteConnected: s.remoteConnected,
      awaitingConsent: s.pendingStart,
    };
  }

  screenView() {
    const s = this.state;
    const sample = s.lastSample;
    const session = s.shown;
    const language = s.settings.language;
    const active = !s.blackout && this.outputs.lightWanted() && sample !== null;
    const look = active ? this.outputs.look(sample) : { r: 0, g: 0, b: 0, white: 0 };
    const { color, intensity } = screenColorFromLook(look);
    return {
      active,
      frequencyHz: sample?.lightHz || 10,
      pulseShape: sample?.pulseShape || 'sine',
      pulse: this.outputs.lightPulses(sample),
      // Lamps count their pulse from their first frame; screens use the same moment. Without
      // lamps the screens keep their own steady epoch.
      pulseEpochMs: this.outputs.pulseEpochMs ?? this.screen.epoch ?? (this.screen.epoch = s.serverNow()),
      color: active ? color : (sample ? rgbToHex(sample.color) : '#40c9ff'),
      intensity: active ? intensity : 0,
      language,
      sessionTitle: session ? localized(session, 'title', language) : 'Solvera Pro',
      phase: s.player.active && sample ? localized(sample.phase, 'name', language) : s.t('player.standby'),
    };
  }

  // Sends a document when it changed, or as a heartbeat; minGapMs holds back fast changes.
  publish(channel, path, doc, force, minGapMs = 0) {
    if (!channel.token) return;
    const { updatedAt, ...comparable } = doc;
    const key = JSON.stringify(comparable);
    const now = this.now();
    if (!force && key === channel.lastDoc && now - channel.lastSentAt < HEARTBEAT_MS) return;
    if (!force && now - channel.lastSentAt < minGapMs) return;
    channel.lastDoc = key;
    channel.lastSentAt = now;
    this.net.postJson(withToken(path, channel.token), doc);
  }

  publishRemote(force = false) {
    if (!this.remote.token) return;
    this.publish(this.remote, '/remote/state', buildRemoteState(this.remoteView(), this.state.serverNow()), force);
  }

  publishScreenLight(force = false) {
    if (!this.screen.token) return;
    // During glides the colour changes every tick; screens poll a few times a second anyway.
    this.publish(this.screen, '/screen-light/state', buildScreenLightState(this.screenView(), this.state.serverNow()),
      force, SCREEN_PUBLISH_MIN_MS);
  }

  publishAll() {
    this.publishRemote(true);
    this.publishScreenLight(true);
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
    this.publishRemote(true);
    this.pollCommands();
    this.every(() => this.pollRemoteStatus(), STATUS_POLL_MS);
  }

  async pollCommands() {
    const { token, cursor } = this.remote;
    const reply = await this.net.getJson(withToken('/remote/commands', token, { since: String(cursor.since) }));
    if (reply.ok && Array.isArray(reply.body?.commands)) {
      for (const command of cursor.take(reply.body.commands)) applyRemoteCommand(command, this.actions);
    } else if (reply.status === 403) {
      // The program was restarted and made new tokens: pick them up.
      if (await this.remoteInfo()) this.publishRemote(true);
    }
    this.later(() => this.pollCommands(), reply.ok ? REMOTE_POLL_MS : REMOTE_POLL_MS * 5);
  }

  // Asks whether a device is connected; the reply's time also tunes the server clock. Returns
  // the reply and whether the connection changed (stateKey: 'remoteConnected' or 'screenConnected').
  async clientStatus(path, token, stateKey) {
    const sent = Date.now();
    const reply = await this.net.getJson(withToken(path, token));
    if (!reply.ok) return { reply, changed: false };
    this.state.clock.add(sent, Date.now(), Number(reply.body.now));
    const connected = reply.body.connected === true;
    if (connected === this.state[stateKey]) return { reply, changed: false };
    this.state[stateKey] = connected;
    this.state.emit('devices');
    return { reply, changed: true };
  }

  async pollRemoteStatus() {
    const { reply, changed } = await this.clientStatus('/remote/client-status', this.remote.token, 'remoteConnected');
    if (!reply.ok) return;
    if (changed) this.publishRemote(true);
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
    this.publishScreenLight(true);
    this.every(() => this.pollScreenStatus(), STATUS_POLL_MS);
  }

  async pollScreenStatus() {
    const { reply } = await this.clientStatus('/screen-light/client-status', this.screen.token, 'screenConnected');
    if (reply.status !== 403) return;
    // The program was restarted and made new tokens: pick them up.
    const info = await this.net.getJson('/screen-light/info');
    if (info.ok && info.body?.token) {
      this.applyScreenInfo(info.body);
      this.publishScreenLight(true);
    }
  }
}
