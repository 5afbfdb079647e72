// The session's outputs: light frames to the lamps, the beat to the native tone generator and
// the levels of the page's own sound. Each tick hands over the sample of the moment; requests
// go out only on change, one at a time, through the given transport.

import { PlayerState } from './player.js';
import { buildDmxFrame, buildDmxRequest, blackoutRequest, lightLook, outputReady, streamKey } from './dmx-frame.js';
import { AudioUpdateGate, buildAudioRequest } from './native-audio.js';
import { SerialOutbox } from './outbox.js';

export const LIGHT_RETRY_MS = 2000;
// Stop lowers the beat over about a second before it ends, as pause does in the engine.
export const STOP_FADE_MS = 1000;
export const STOP_FADE_STEPS = 5;

// A name for this page's light requests, so the program can order them per page.
function pageClientId() {
  const bytes = crypto.getRandomValues(new Uint8Array(6));
  return `control-${Array.from(bytes, (b) => b.toString(16).padStart(2, '0')).join('')}`;
}

export class Outputs {
  // transport(path, body) -> Promise of {ok, status, body}; sound: the page's PageSound (or
  // null); later(fn, ms) schedules the steps of the stop fade.
  constructor(state, { transport, sound = null, now = () => performance.now(), later = (fn, ms) => setTimeout(fn, ms) }) {
    this.state = state;
    this.sound = sound;
    this.now = now;
    this.later = later;
    this.light = { lastKey: null, retryAt: 0, stream: null, clientId: pageClientId(), sequence: 0 };
    this.audio = { running: false, gate: new AudioUpdateGate(), last: null, fade: 0, previewing: false };
    this.lightOutbox = new SerialOutbox(transport, (item, result) => this.lightResult(item, result));
    this.audioOutbox = new SerialOutbox(transport, (item, result) => this.audioResult(item, result));
  }

  lightResult(item, result) {
    if (item.path !== '/dmx') return;
    const light = this.state.light;
    const before = `${light.error}|${light.confirmed}`;
    // With several outputs the reply names each one's result: a fault of one (a widget
    // unplugged) shows while the others go on.
    const failed = result.ok && Array.isArray(result.body?.outputs)
      ? result.body.outputs.filter((o) => o && o.ok === false) : [];
    if (failed.length > 0) {
      light.error = failed.map((o) => `${this.state.t(`output.${o.outputMode}`)}: ${o.error}`).join(' · ');
      light.confirmed = false;
    } else if (result.ok) {
      light.error = '';
      light.confirmed = true;
    } else {
      // The program answers in Dutch; that text is what the user needs to see. A refusal for
      // want of the control token is a word, not a sentence: say it in the page's words.
      const refused = result.status === 403 && result.body?.error === 'invalid_token';
      light.error = refused ? this.state.t('light.noAccess')
        : result.body?.error || (result.status ? `HTTP ${result.status}` : this.state.t('light.noConnection'));
      light.confirmed = false;
      this.light.lastKey = null;
      this.light.retryAt = this.now() + LIGHT_RETRY_MS;
    }
    if (`${light.error}|${light.confirmed}` !== before) this.state.emit('light');
  }

  audioResult(item, result) {
    if (item.path !== '/audio/start') return;
    const failed = !result.ok;
    if (failed && this.audio.running) this.audio.running = false;
    if (failed !== this.state.audioFailed) {
      this.state.audioFailed = failed;
      this.state.emit('controls');
    }
  }

  lightWanted() {
    const s = this.state;
    return s.player.active && s.settings.controls.outputEnabled && !s.blackout && s.lightAccepted;
  }

  look(sample) {
    return lightLook(sample, this.state.settings.controls);
  }

  // A paused session holds its colour as steady light: flashing without the session is no rest.
  lightPulses(sample) {
    return Boolean(this.state.settings.light.pulse && sample && sample.lightHz > 0 && this.state.running);
  }

  // The moment the lamps count their pulse from, or null before the first frame.
  get pulseEpochMs() {
    return this.light.stream?.epochMs ?? null;
  }

  sendLight(request, { force = false, urgent = false } = {}) {
    const key = JSON.stringify(request);
    if (!force && key === this.light.lastKey) return;
    // The lamps count their pulse from the first frame of a stream (one target and universe,
    // or one serial output); a frame for another stream starts a new count.
    const stream = streamKey(request);
    if (this.light.stream?.key !== stream) this.light.stream = { key: stream, epochMs: this.state.serverNow() };
    this.light.lastKey = key;
    this.state.light.lit = request.dmx.some((v) => v > 0);
    if (urgent) this.lightOutbox.urgent('/dmx', this.numbered(request), 'frame');
    else this.lightOutbox.send('/dmx', this.numbered(request), 'frame');
  }

  // Requests travel on connections of their own and can overtake each other (a frame still on
  // its way when the page closes could arrive after the closing blackout); numbered, the
  // program follows only the latest of this page.
  numbered(request) {
    return { ...request, clientId: this.light.clientId, seq: ++this.light.sequence };
  }

  updateLight(sample) {
    const out = this.state.settings.light;
    if (!outputReady(out)) return;
    if (!this.lightWanted() || !sample) {
      // Dark once, then quiet: nothing is sent while idle.
      if (this.state.light.lit) this.sendLight(blackoutRequest(out, out));
      return;
    }
    if (this.light.lastKey === null && this.now() < this.light.retryAt) return;
    const frame = buildDmxFrame(out, this.look(sample));
    const pulse = this.lightPulses(sample) ? { hz: sample.lightHz, shape: sample.pulseShape } : null;
    this.sendLight(buildDmxRequest(out, frame, pulse));
  }

  // Light frames are sent again from the next tick (blackout lifted, output switched on).
  refreshLight() {
    this.light.lastKey = null;
  }

  blackout() {
    const out = this.state.settings.light;
    if (outputReady(out)) this.sendLight(blackoutRequest(out, out), { force: true, urgent: true });
  }

  // New light settings: the old output goes dark before the new one takes over.
  changeLightSettings(previous) {
    if (this.state.light.lit && outputReady(previous)) this.sendLight(blackoutRequest(previous, previous), { force: true });
    this.light.lastKey = null;
    this.state.light.error = '';
    this.state.light.confirmed = false;
    this.state.emit('light');
  }

  audioSettings() {
    const a = this.state.settings.audio;
    return { mode: a.mode, pulseShape: a.pulseShape, balance: a.balance, bass: a.bass, mid: a.mid, treble: a.treble };
  }

  updateAudio(sample) {
    const s = this.state;
    const wanted = s.running && s.settings.controls.audioEnabled && !s.audioFailed && sample;
    if (!wanted) {
      if (this.audio.running) this.stopBeat({ fade: s.player.state !== PlayerState.PAUSED });
      return;
    }
    const request = buildAudioRequest(sample, s.player.session, this.audioSettings(), s.settings.controls, s.audioLimits);
    this.audio.last = request;
    const now = this.now();
    if (!this.audio.running) {
      this.cancelFade();
      this.audio.previewing = false;
      this.audio.running = true;
      this.audio.gate.reset(request, now);
      this.audioOutbox.send('/audio/start', request);
      return;
    }
    const update = this.audio.gate.offer(request, now);
    if (update) this.audioOutbox.send('/audio/update', update, 'update');
  }

  // A beat heard from the editor while no session plays; null ends it. False while a session
  // plays: its beat is not the editor's to change.
  preview(listened) {
    if (this.state.player.active) return false;
    if (!listened) {
      if (this.audio.previewing) this.audioOutbox.send('/audio/stop', {});
      this.audio.previewing = false;
      return true;
    }
    const request = buildAudioRequest(listened.sample, listened.session, this.audioSettings(), this.state.settings.controls,
      this.state.audioLimits);
    if (this.audio.previewing) this.audioOutbox.send('/audio/update', request, 'update');
    else this.audioOutbox.send('/audio/start', request);
    this.audio.previewing = true;
    return true;
  }

  cancelFade() {
    if (!this.audio.fade) return;
    this.audio.fade = 0;
    // The engine may still be sounding the faded beat: a fresh start begins from silence.
    this.audioOutbox.send('/audio/stop', {});
  }

  // Ends the beat; with fade, lowers it over STOP_FADE_MS through updates before the stop.
  stopBeat({ fade = true } = {}) {
    this.audio.running = false;
    const last = this.audio.last;
    if (!fade || !last || !(last.volume > 0)) {
      this.audioOutbox.send('/audio/stop', {});
      return;
    }
    const token = ++this.audio.fade;
    const step = (k) => {
      if (this.audio.fade !== token) return;
      if (k >= STOP_FADE_STEPS) {
        this.audio.fade = 0;
        this.audioOutbox.send('/audio/stop', {});
        return;
      }
      const volume = Math.round(last.volume * (1 - k / STOP_FADE_STEPS) * 1000) / 1000;
      this.audioOutbox.send('/audio/update', { ...last, volume }, 'update');
      this.later(() => step(k + 1), STOP_FADE_MS / STOP_FADE_STEPS);
    };
    step(1);
  }

  updatePageSound(sample) {
    const sound = this.sound;
    const s = this.state;
    if (!sound?.context || !s.running || !sample) return;
    const c = s.settings.controls;
    sound.setLevels({
      master: (c.masterVolume / 100) * sample.envelope,
      noise: s.settings.audio.noise && c.audioEnabled ? sample.noiseVolume / 100 : 0,
      music: sample.musicVolume / 100,
      reverb: sample.reverbMix / 100,
      noiseType: sample.noiseType,
      reverbPreset: sample.reverbPreset,
      mood: sample.musicMood,
      musicOn: c.musicEnabled,
    });
  }

  // One tick: the sample of the moment (null when nothing plays).
  update(sample) {
    const active = this.state.player.active ? sample : null;
    this.updateLight(active);
    this.updateAudio(active);
    this.updatePageSound(sample);
  }

  // The session is over (stopped or finished): lamps dark, beat faded out, page sound off.
  end() {
    this.sound?.stop();
    const out = this.state.settings.light;
    if (outputReady(out) && (this.state.light.lit || this.light.lastKey !== null)) this.sendLight(blackoutRequest(out, out), { force: true });
    if (this.audio.running) this.stopBeat({ fade: true });
  }

  // The page is going away: no time for queues or fades. Its timers may still tick a little
  // while; nothing they make may follow the last word (a lit frame numbered after the
  // blackout would light the lamps again).
  leave(post) {
    this.lightOutbox.close();
    this.audioOutbox.close();
    const out = this.state.settings.light;
    if (outputReady(out) && (this.state.light.lit || this.state.player.active)) post('/dmx', this.numbered(blackoutRequest(out, out)));
    if (this.audio.running || this.audio.fade || this.audio.previewing) post('/audio/stop', {});
    this.state.light.lit = false;
    this.audio.running = false;
    this.audio.previewing = false;
    this.audio.fade = 0;
  }

  // The page is shown again from the browser's page cache: lamps and beat take up where the
  // session is (the beat afresh: the program stopped it, and nothing since went out).
  back() {
    this.lightOutbox.reopen();
    this.audioOutbox.reopen();
    this.refreshLight();
    this.audio.running = false;
    this.audio.previewing = false;
  }
}
