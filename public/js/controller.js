// What the user (or the phone) does to the session: start, pause, seek, stop, blackout and
// the live controls, and the tick that carries the session's moment to the outputs.

import { PlayerState } from './player.js';
import { outputReady } from './dmx-frame.js';

export class Controller {
  // outputs: Outputs; relays: Relays (set once made); recorder: SessionRecorder; sound:
  // PageSound or null; askConsent(): shows the photosensitivity warning; refusal(session): why
  // the session may not start here (a text for the user), or null; onNotice(key): tells the
  // user something with a text key.
  constructor(state, { outputs, recorder, sound = null, askConsent = () => {}, onError = () => {}, refusal = () => null,
    onNotice = () => {} }) {
    Object.assign(this, { state, outputs, recorder, sound, askConsent, onError, refusal, onNotice });
    this.relays = null;
  }

  publishAll() {
    this.relays?.publishAll();
  }

  start() {
    const s = this.state;
    const session = s.selected;
    if (!session || s.player.active) return;
    const refused = this.refusal(session);
    if (refused) {
      this.onError(new Error(refused));
      return;
    }
    if (!s.lightAccepted) {
      s.pendingStart = true;
      this.askConsent();
      this.relays?.publishRemote(true);
      return;
    }
    try {
      s.player.load(session);
    } catch (error) {
      this.onError(error);
      return;
    }
    // A blackout belongs to the session it was pressed in: the next one starts with light, and
    // the person is told, rather than sitting in the dark without knowing why.
    if (s.blackout) {
      this.setBlackout(false);
      this.onNotice('blackout.lifted');
    }
    s.player.start();
    this.recorder.start(session, s.player.timeline, {
      audioMode: s.settings.audio.mode === 'session' ? (session.audioMode || 'binaural') : s.settings.audio.mode,
      outputMode: outputReady(s.settings.light) && s.settings.controls.outputEnabled ? s.settings.light.outputMode : '',
      lightPulse: s.settings.light.pulse,
    });
    s.audioFailed = false;
    // The page graph needs a gesture in an ordinary browser; a remote start may not have one.
    this.sound?.resume().then(() => s.emit('player'));
    this.changed();
  }

  pause() {
    if (!this.state.player.pause()) return;
    this.recorder.mark('pause', this.state.player.elapsed());
    this.sound?.pause();
    this.changed();
  }

  resume() {
    if (!this.state.player.resume()) return;
    this.recorder.mark('resume', this.state.player.elapsed());
    this.sound?.resume().then(() => this.state.emit('player'));
    this.changed();
  }

  togglePause() {
    const { state } = this.state.player;
    if (state === PlayerState.RUNNING) this.pause();
    else if (state === PlayerState.PAUSED) this.resume();
    else this.start();
  }

  stop() {
    const elapsed = this.state.player.elapsed();
    if (!this.state.player.stop()) return;
    this.recorder.finish('stopped', elapsed);
    this.outputs.end();
    this.changed();
  }

  // Jumps to `seconds` into the playing session; values glide on from there.
  seek(seconds) {
    const { player } = this.state;
    if (!player.seek(seconds)) return;
    this.recorder.mark('seek', player.elapsed());
    this.changed();
  }

  seekToPhase(index) {
    const phase = this.state.player.timeline?.phases[index];
    if (phase) this.seek(phase.startS);
  }

  // The finished state stays until the user acts; this is that act when they do nothing else.
  dismissFinished() {
    if (this.state.player.state !== PlayerState.FINISHED) return;
    this.state.player.state = PlayerState.IDLE;
    this.changed();
  }

  setBlackout(on) {
    const s = this.state;
    if (Boolean(on) !== s.blackout) this.recorder.mark(on ? 'blackoutOn' : 'blackoutOff', s.player.elapsed());
    s.blackout = Boolean(on);
    if (s.blackout) this.outputs.blackout();
    else this.outputs.refreshLight();
    s.emit('controls');
    this.tick();
    this.publishAll();
  }

  setBreathing(on) {
    this.state.breathing = Boolean(on);
    this.state.emit('controls');
    this.relays?.publishRemote(true);
  }

  // Sliders fire many times a second; the next tick carries the change to lamps, sound and relays.
  setControl(name, value) {
    this.state.settings.controls[name] = value;
    this.state.saveSettings();
    this.state.emit('controls');
  }

  setToggle(name, value) {
    const s = this.state;
    s.settings.controls[name] = Boolean(value);
    s.saveSettings();
    if (name === 'audioEnabled' && value) s.audioFailed = false;
    if (name === 'outputEnabled' && value) this.outputs.refreshLight();
    s.emit('controls');
    this.tick();
    this.publishAll();
  }

  // Balance, equaliser and tone mode: saved, and heard from the next tick on.
  setSound(name, value) {
    this.state.settings.audio[name] = value;
    this.state.saveSettings();
    this.state.emit('controls');
  }

  // What the phone's commands call.
  remoteActions() {
    return {
      start: () => (this.state.player.state === PlayerState.PAUSED ? this.resume() : this.start()),
      pause: () => this.pause(),
      resume: () => this.resume(),
      togglePause: () => this.togglePause(),
      stop: () => this.stop(),
      isBlackout: () => this.state.blackout,
      setBlackout: (v) => this.setBlackout(v),
      isBreathing: () => this.state.breathing,
      setBreathing: (v) => this.setBreathing(v),
      isAudioEnabled: () => this.state.settings.controls.audioEnabled,
      setAudioEnabled: (v) => this.setToggle('audioEnabled', v),
      isMusicEnabled: () => this.state.settings.controls.musicEnabled,
      setMusicEnabled: (v) => this.setToggle('musicEnabled', v),
      isOutputEnabled: () => this.state.settings.controls.outputEnabled,
      setOutputEnabled: (v) => this.setToggle('outputEnabled', v),
      setControl: (name, v) => this.setControl(name, v),
    };
  }

  changed() {
    this.tick();
    this.state.emit('player');
    this.publishAll();
  }

  tick() {
    const s = this.state;
    const wasActive = s.player.active;
    const sample = s.player.tick();
    s.lastSample = sample;
    const finishedNow = wasActive && s.player.state === PlayerState.FINISHED;
    if (s.running || finishedNow) this.recorder.sample(sample);
    if (finishedNow) {
      this.outputs.end();
      this.recorder.finish('finished', s.player.duration());
      s.emit('player');
      this.publishAll();
    }
    this.outputs.update(sample);
    s.emit('tick');
    this.relays?.publishScreenLight(false);
    this.relays?.publishRemote(false);
  }
}
