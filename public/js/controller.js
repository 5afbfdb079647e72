// What the user does to the session, handed to the program's player: start, pause, resume,
// seek, stop, blackout and the live controls. The program plays the session; what the page
// shows comes from the player's state, in its replies and its event stream.

import { PlayerState } from './player.js';
import { limitText } from './audio-limits.js';

export class Controller {
  // net: {getJson, postJson}; settings: the ProgramStore; askConsent(): shows the
  // photosensitivity warning; refusal(session): why the session may not start here (a text
  // for the user), or null; onError(text); onNotice(key): tells the user something by its key.
  constructor(state, { net, settings, askConsent = () => {}, onError = () => {}, refusal = () => null, onNotice = () => {} }) {
    Object.assign(this, { state, net, settings, askConsent, onError, refusal, onNotice });
    this.starting = false;
    this.recordAsked = 0;
  }

  t(key, values) {
    return this.state.t(key, values);
  }

  // A state document of the program's player, from a reply or the event stream.
  follow(raw) {
    const s = this.state;
    const wasActive = s.player.active;
    const changed = s.player.apply(raw);
    if (!changed) return;
    // 'session': what plays or whether it plays changed (the card and its phase list are drawn
    // again); 'player': every report (the readouts).
    if (changed.state || changed.session) s.emit('session');
    if (changed.state || changed.phase || changed.blackout || changed.session) s.emit('player', 'controls');
    else s.emit('player');
    // A run that ended (or the page's first look at one) has a record for the report.
    if (changed.state && !s.player.active && (wasActive || s.record === null)) this.loadRecord();
  }

  async loadRecord() {
    const asked = ++this.recordAsked;
    const reply = await this.net.getJson('/session/record');
    if (asked !== this.recordAsked || !reply.ok) return;
    const record = reply.body?.record;
    this.state.record = record && typeof record === 'object' && record.endedAt ? record : null;
    this.state.emit('player');
  }

  // A command to the player; its reply's state is shown at once. Null when it did not go
  // through (the user has been told why).
  async command(path, body = {}) {
    const reply = await this.net.postJson(path, body);
    if (reply.body?.state) this.follow(reply.body.state);
    if (reply.ok) return reply;
    this.failed(reply);
    return null;
  }

  failed(reply) {
    // A page without the control token says so in its own notice.
    if (reply.status === 403) return;
    if (reply.status === 0) this.onError(this.t('light.noConnection'));
    else if (reply.body?.error === 'playing') this.onNotice('library.busy');
    else this.onError(typeof reply.body?.message === 'string' && reply.body.message ? reply.body.message : this.t('player.commandFailed'));
  }

  async start() {
    const s = this.state;
    const session = s.selected;
    if (!session || s.player.active || this.starting) return;
    const refused = this.refusal(session);
    if (refused) {
      this.onError(refused);
      return;
    }
    this.starting = true;
    const wasBlackout = s.player.blackout;
    // The person's own sessions go as they are here; the program knows the library's by id.
    const body = s.customIds.has(session.id) ? { session } : { sessionId: session.id };
    let reply;
    try {
      reply = await this.net.postJson('/session/start', body);
    } finally {
      this.starting = false;
    }
    if (reply.ok) {
      s.record = null;
      if (reply.body?.state) this.follow(reply.body.state);
      // The program lifts a blackout for the new session; the person is told, rather than
      // wondering why the lamps came back.
      if (wasBlackout && !s.player.blackout) this.onNotice('blackout.lifted');
      return;
    }
    const error = reply.body?.error;
    if (reply.status === 409 && error === 'consent_required') {
      s.pendingStart = true;
      this.askConsent();
      return;
    }
    if (reply.body?.reason === 'limits') {
      const detail = reply.body.detail;
      const known = detail && ['beat', 'carrier'].includes(detail.field) && [detail.phase, detail.value, detail.min, detail.max].every(Number.isFinite);
      // Without the numbers, the program's own sentence says which phase asks what.
      this.onError(known ? limitText((k, v) => this.t(k, v), detail, 'limits.notPlayed')
        : this.t('limits.notPlayed', { problem: String(reply.body.message ?? '') }));
      return;
    }
    this.failed(reply);
  }

  // The warning was accepted: the program keeps that, and the session the person wanted starts.
  async consentGiven(startAfter) {
    if (!(await this.settings.accept())) {
      this.onError(this.t('light.noConnection'));
      return;
    }
    this.state.settings.photosensitivityAccepted = true;
    if (startAfter) await this.start();
  }

  pause() {
    return this.state.player.state === PlayerState.RUNNING ? this.command('/session/pause') : null;
  }

  resume() {
    return this.state.player.state === PlayerState.PAUSED ? this.command('/session/resume') : null;
  }

  togglePause() {
    const { state } = this.state.player;
    if (state === PlayerState.RUNNING) return this.pause();
    if (state === PlayerState.PAUSED) return this.resume();
    return this.start();
  }

  stop() {
    return this.state.player.active ? this.command('/session/stop') : null;
  }

  // Jumps to `seconds` into the playing session; values glide on from there.
  seek(seconds) {
    if (!this.state.player.active || !Number.isFinite(seconds)) return null;
    return this.command('/session/seek', { seconds });
  }

  seekToPhase(index) {
    if (!this.state.player.active || !Number.isInteger(index)) return null;
    return this.command('/session/seek', { phase: index });
  }

  // The finished state stays until the user acts; this is that act when they do nothing else.
  dismissFinished() {
    return this.state.player.state === PlayerState.FINISHED ? this.command('/session/stop') : null;
  }

  // Shown at once; the program darkens every output and its answer confirms it.
  async setBlackout(on) {
    const s = this.state;
    const wanted = Boolean(on);
    s.blackoutAsked = wanted;
    s.emit('controls');
    const reply = await this.net.postJson('/session/blackout', { on: wanted });
    if (s.blackoutAsked === wanted) s.blackoutAsked = null;
    if (reply.body?.state) this.follow(reply.body.state);
    if (!reply.ok) this.failed(reply);
    s.emit('controls');
  }

  toggleBlackout() {
    return this.setBlackout(!this.state.blackout);
  }

  setBreathing(on) {
    this.state.breathing = Boolean(on);
    this.state.emit('controls');
  }

  // Sliders fire many times a second; the program gets the last position.
  setControl(name, value) {
    this.state.settings.controls[name] = value;
    this.state.emit('controls');
    return this.save(true);
  }

  setToggle(name, value) {
    this.state.settings.controls[name] = Boolean(value);
    this.state.emit('controls');
    return this.save(false);
  }

  // Balance, equaliser and tone mode: heard at once in the playing session.
  setSound(name, value) {
    this.state.settings.audio[name] = value;
    this.state.emit('controls');
    return this.save(true);
  }

  async save(soon) {
    const stored = await this.settings.save(this.state.settings, { soon });
    if (stored === null) this.onError(this.t('settings.notStored'));
    return stored;
  }
}
