// What the control page shows of the state: the transport bar, the readouts, the live
// controls, the light status, the device panels and the toasts. Views only read the state;
// what the user does goes to the controller.

import qrcode from '../vendor/qrcode-generator/qrcode.js';
import { PlayerState } from './player.js';
import { formatClock } from './timeline.js';
import { outputReady } from './dmx-frame.js';
import { localized } from './i18n.js';
import { lampPulseHz } from './light-limits.js';

const $ = (id) => document.getElementById(id);
const TOAST_MS = 6000;
export const LIVE_SLIDERS = ['masterVolume', 'rgbIntensity', 'whiteIntensity'];
export const LIVE_TOGGLES = ['audioEnabled', 'musicEnabled', 'outputEnabled'];
export const SOUND_SLIDERS = ['balance', 'bass', 'mid', 'treble'];

// A page address that wraps after its slashes and dots, never inside a word.
function addressText(url) {
  const parts = url.split(/(?<=[/.:?&=])/);
  const fragment = document.createDocumentFragment();
  parts.forEach((part, i) => {
    fragment.append(part);
    if (i < parts.length - 1) fragment.append(document.createElement('wbr'));
  });
  return fragment;
}

export function balanceText(v) {
  return v === 0 ? 'L = R' : `${v < 0 ? 'L' : 'R'} ${Math.round(Math.abs(v) * 100)}%`;
}

export function gainText(v) {
  return `${v > 0 ? '+' : ''}${v} dB`;
}

// Toasts carry a key when they report a condition: the toast goes when the condition does.
export class Toasts {
  constructor() {
    this.timer = 0;
    this.key = null;
  }

  show(message, key = null) {
    const el = $('toast');
    el.textContent = message;
    el.hidden = false;
    this.key = key;
    clearTimeout(this.timer);
    this.timer = setTimeout(() => this.hide(), TOAST_MS);
  }

  hide() {
    clearTimeout(this.timer);
    $('toast').hidden = true;
    this.key = null;
  }

  dismiss(key) {
    if (this.key === key) this.hide();
  }

  update(key, message) {
    if (this.key === key) $('toast').textContent = message;
  }
}

export class Views {
  constructor(state, { toasts }) {
    this.state = state;
    this.toasts = toasts;
    this.shownLightError = '';
    this.shownAudioFailure = false;
    this.seekPreview = null; // fraction while the user drags on the progress bar
    // The light output's "/dmx/limits", once known: the readout says when the lamps hold steady.
    this.lightLimits = () => null;
    this.announced = { state: null, blackout: null };
  }

  // Says a change to screen readers, through the page's one polite live region.
  announce(text) {
    const el = $('announcer');
    if (el.textContent === text) el.textContent = '';
    el.textContent = text;
  }

  // The transport's and the blackout's changes, said once each; the first look only notes them.
  announceChanges() {
    const s = this.state;
    const state = s.player.state;
    const was = this.announced.state;
    if (was !== null && was !== state) {
      const title = localized(s.player.status, 'title', s.settings.language);
      const key = state === PlayerState.RUNNING ? (was === PlayerState.PAUSED ? 'announce.resumed' : 'announce.running')
        : state === PlayerState.PAUSED ? 'announce.paused' : state === PlayerState.FINISHED ? 'announce.finished' : 'announce.stopped';
      this.announce(this.t(key, { title }));
    }
    this.announced.state = state;
    if (this.announced.blackout !== null && this.announced.blackout !== s.blackout) {
      this.announce(this.t(s.blackout ? 'announce.blackoutOn' : 'announce.blackoutOff'));
    }
    this.announced.blackout = s.blackout;
  }

  t(key, values) {
    return this.state.t(key, values);
  }

  connection(id, connected) {
    const el = $(id);
    el.textContent = this.t(connected ? 'device.connected' : 'device.waiting');
    el.classList.toggle('on', connected);
  }

  devices() {
    this.connection('remoteConnection', this.state.remoteConnected);
    this.connection('screenConnection', this.state.screenConnected);
  }

  outputName(mode) {
    const out = this.state.settings.light;
    return mode === 'artnet' ? `Art-Net → ${out.targetIp} / ${out.universe}` : this.t(`output.${mode}`);
  }

  lightStatus() {
    const s = this.state;
    const out = s.settings.light;
    const status = s.player.status;
    const el = $('lightStatus');
    let text;
    // The program's own words for a failing output; a page that may not drive it says why.
    const message = s.accessRefused ? this.t('light.noAccess') : s.player.active && status.light ? status.lightError : '';
    const error = Boolean(message);
    if (error) text = this.t('light.error', { message });
    else if (!outputReady(out)) text = this.t('light.notConfigured');
    else if (s.blackout) text = this.t('light.blackout');
    else if (!s.settings.controls.outputEnabled) text = this.t('light.off');
    else if (s.player.active && status.light && status.lightLit) text = this.t('light.ok', { mode: this.outputName(out.outputMode) });
    else if (s.player.active && status.light) text = this.t('light.connecting', { mode: this.outputName(out.outputMode) });
    else text = this.t('light.ready', { mode: this.outputName(out.outputMode) });
    el.textContent = text;
    el.classList.toggle('error', error);
    // An error is announced once, however its wording changes while the output retries; its
    // toast goes as soon as the output works again.
    if (error && !this.shownLightError) this.toasts.show(text, 'light');
    else if (error) this.toasts.update('light', text);
    else this.toasts.dismiss('light');
    this.shownLightError = message;
  }

  controls() {
    const s = this.state;
    const c = s.settings.controls;
    for (const name of LIVE_SLIDERS) {
      const input = $(name);
      if (document.activeElement !== input) input.value = String(Math.round(c[name]));
      input.nextElementSibling.textContent = `${Math.round(c[name])}%`;
    }
    for (const name of LIVE_TOGGLES) $(name).checked = c[name];
    const a = s.settings.audio;
    for (const name of SOUND_SLIDERS) {
      const input = $(`live-${name}`);
      if (document.activeElement !== input) input.value = String(a[name]);
      input.nextElementSibling.textContent = name === 'balance' ? balanceText(a[name]) : gainText(a[name]);
    }
    $('live-audioMode').value = a.mode;
    const button = $('blackoutButton');
    button.setAttribute('aria-pressed', String(s.blackout));
    button.textContent = this.t(s.blackout ? 'live.blackoutOn' : 'live.blackout');
    button.classList.toggle('active', s.blackout);
    this.announceChanges();
    $('breathingGuideEnabled').checked = s.breathing;
    // The program plays the session silently when no sound device opens.
    const silent = s.player.running && (c.audioEnabled || c.musicEnabled) && !s.player.status.sound;
    if (silent && !this.shownAudioFailure) this.toasts.show(this.t('audio.startFailed'), 'audio');
    if (!silent) this.toasts.dismiss('audio');
    this.shownAudioFailure = silent;
    this.lightStatus();
  }

  // The transport bar and the readouts: on every report of the player, and as its clock moves.
  player() {
    const s = this.state;
    const p = s.player;
    const moment = p.moment();
    const state = p.state;
    const selected = s.selected;
    const finished = state === PlayerState.FINISHED;
    $('startButton').hidden = p.active;
    // A page without the control token cannot drive anything; it says so above.
    $('startButton').disabled = !selected || s.accessRefused;
    $('pauseButton').hidden = state !== PlayerState.RUNNING;
    $('resumeButton').hidden = state !== PlayerState.PAUSED;
    $('stopButton').disabled = !p.active;
    $('reportButton').hidden = p.active || !s.record;
    $('finishedNote').hidden = !finished;
    document.body.dataset.state = state;
    const language = s.settings.language;
    const duration = p.active || finished ? p.duration() : (selected ? Number(selected.durationMinutes) * 60 : 0);
    const elapsed = p.active || finished ? p.elapsed() : 0;
    const shownElapsed = this.seekPreview !== null && p.active ? this.seekPreview * duration : elapsed;
    $('elapsed').textContent = formatClock(shownElapsed);
    $('remaining').textContent = duration > 0 ? formatClock(duration - shownElapsed) : '--:--';
    const bar = $('phaseBar');
    bar.setAttribute('aria-valuemax', String(Math.round(duration)));
    bar.setAttribute('aria-valuenow', String(Math.round(shownElapsed)));
    const position = { elapsed: formatClock(shownElapsed), duration: formatClock(duration) };
    bar.setAttribute('aria-valuetext', moment
      ? this.t('transport.positionPhase', { ...position, phase: localized(moment.phase, 'name', language) })
      : this.t('transport.position', position));
    bar.classList.toggle('seekable', p.active);
    $('phaseCursor').style.left = duration > 0 ? `${(100 * shownElapsed) / duration}%` : '0';
    if (moment) {
      $('phaseName').textContent = localized(moment.phase, 'name', language);
      const phase = s.playing?.phases?.[moment.phaseIndex];
      $('phasePurpose').textContent = phase ? localized(phase, 'purpose', language) : '';
      $('beatHz').textContent = `${moment.beatHz.toFixed(2)} Hz`;
      // The lamps' own state: no pulse while paused (steady colour), off, or beyond the output.
      const pulse = p.status.light && p.running
        ? lampPulseHz(moment, { pulse: s.settings.light.pulse, limits: this.lightLimits() }) : 0;
      $('lightHz').textContent = !p.status.light ? '—' : pulse ? `${pulse.toFixed(2)} Hz` : this.t('player.steady');
      $('carrierHz').textContent = `${moment.carrierHz.toFixed(1)} Hz`;
      $('colourSwatch').style.background = moment.color;
    } else {
      // A finished session shows its end, not the last frequencies as if they still played.
      $('phaseName').textContent = finished ? this.t('transport.finished') : '—';
      $('phasePurpose').textContent = '';
      for (const id of ['beatHz', 'lightHz', 'carrierHz']) $(id).textContent = '—';
      $('colourSwatch').style.background = 'transparent';
    }
    for (const [i, li] of [...$('phaseList').children].entries()) {
      li.classList.toggle('current', Boolean(moment) && i === moment.phaseIndex);
    }
    $('topStatus').textContent = state === PlayerState.RUNNING ? this.t('player.running')
      : state === PlayerState.PAUSED ? this.t('player.paused') : finished ? this.t('transport.finished') : '';
    this.announceChanges();
  }

  showAddress(kind, url, others) {
    const link = $(`${kind}Address`);
    const box = $(`${kind}Qr`);
    box.replaceChildren();
    if (!url) {
      link.textContent = this.t('device.unavailable');
      link.removeAttribute('href');
      return;
    }
    link.replaceChildren(addressText(url));
    link.href = url;
    try {
      const code = qrcode(0, 'M');
      code.addData(url);
      code.make();
      box.innerHTML = code.createSvgTag({ cellSize: 4, margin: 2, scalable: true });
    } catch {
      box.textContent = '';
    }
    const list = $(`${kind}Addresses`);
    if (!list) return;
    list.replaceChildren(...others.filter((u) => u !== url).map((u) => {
      const li = document.createElement('li');
      const a = document.createElement('a');
      a.href = u; a.append(addressText(u)); a.target = '_blank'; a.rel = 'noopener';
      li.append(a);
      return li;
    }));
  }
}

// Four seconds in, six out: about six calm breaths a minute.
export class BreathingOverlay {
  constructor(t) {
    this.t = t;
    this.timer = 0;
    this.on = false;
  }

  show(on) {
    if (on === this.on) return;
    this.on = on;
    $('breathingOverlay').hidden = !on;
    // While the coaching covers the page, the keyboard stays in it (Escape and B still work);
    // closed, focus goes back where it was.
    for (const el of document.querySelectorAll('body > :not(#breathingOverlay):not(dialog):not(#toast):not(#announcer)')) el.inert = on;
    if (on) {
      this.returnFocus = document.activeElement;
      $('breathingClose').focus();
    } else if (this.returnFocus?.isConnected) {
      this.returnFocus.focus();
    }
    clearTimeout(this.timer);
    const circle = $('breathCircle');
    if (!on) { circle.classList.remove('inhale'); return; }
    const phase = (inhale) => {
      $('breathWord').textContent = this.t(inhale ? 'breath.in' : 'breath.out');
      circle.classList.toggle('inhale', inhale);
      this.timer = setTimeout(() => phase(!inhale), inhale ? 4000 : 6000);
    };
    phase(true);
  }
}
