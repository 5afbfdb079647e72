// The settings: their defaults and the repair of stored or sent values. The program keeps them
// (with the sound device, the extra latency and the accepted warning); what a page kept in its
// local storage before is carried over to the program once.

import { normalizeFixtureLayout, OUTPUT_MODES, LIGHT_PULSE_SHAPES, MAX_EXTRA_OUTPUTS } from './dmx-frame.js';
import { AUDIO_MODES, AUDIO_PULSE_SHAPES } from './native-audio.js';

export const SETTINGS_KEY = 'solvera.settings.v1';
export const PHOTOSENSITIVITY_KEY = 'solvera.photosensitivityAccepted.v1';
export const CUSTOM_SESSIONS_KEY = 'solvera.customSessions.v1';

export const DEFAULT_SETTINGS = Object.freeze({
  language: 'nl',
  light: {
    outputMode: 'artnet',
    // No address until the user gives one: broadcasting into an unknown network is not ours to do.
    targetIp: '',
    universe: 0,
    serialPort: '',
    startAddress: 1,
    channelLayout: 'rgb',
    fixtureCount: 1,
    channelSpacing: 0,
    pulse: true,
    // Off: the shortest frames some receivers accept cannot be known from here.
    shortFrames: false,
    // sACN: the priority receivers merge by, and the interface multicast leaves by ('': the
    // system's choice). Art-Net: sequence numbers and ArtSync, off as most nodes expect.
    priority: 100,
    networkInterface: '',
    sequencing: false,
    sync: false,
    // More outputs that show the same light: [{outputMode, targetIp, universe, serialPort}].
    extraOutputs: [],
  },
  audio: {
    mode: 'session',
    pulseShape: 'session',
    balance: 0,
    bass: 0,
    mid: 0,
    treble: 0,
    noise: true,
  },
  controls: {
    masterVolume: 80,
    rgbIntensity: 100,
    whiteIntensity: 100,
    audioEnabled: true,
    musicEnabled: true,
    outputEnabled: true,
  },
  openAIKey: '',
});

const num = (v, lo, hi, fallback, integer = false) => {
  const n = Number(v);
  if (!Number.isFinite(n) || (integer && !Number.isInteger(n))) return fallback;
  return Math.min(hi, Math.max(lo, n));
};
const bool = (v, fallback) => (typeof v === 'boolean' ? v : fallback);
const oneOf = (v, list, fallback) => (list.includes(v) ? v : fallback);

export function normalizeSettings(raw) {
  const d = DEFAULT_SETTINGS;
  const r = raw && typeof raw === 'object' ? raw : {};
  const light = r.light && typeof r.light === 'object' ? r.light : {};
  const audio = r.audio && typeof r.audio === 'object' ? r.audio : {};
  const controls = r.controls && typeof r.controls === 'object' ? r.controls : {};
  const layout = normalizeFixtureLayout(light);
  const address = (v) => {
    const text = typeof v === 'string' ? v.trim() : '';
    return /^[A-Za-z0-9.-]*$/.test(text) ? text : '';
  };
  const extra = (o) => ({
    outputMode: oneOf(o?.outputMode, OUTPUT_MODES, d.light.outputMode),
    targetIp: address(o?.targetIp),
    universe: num(o?.universe, 0, 63999, 0, true),
    serialPort: typeof o?.serialPort === 'string' ? o.serialPort : '',
  });
  return {
    language: oneOf(r.language, ['nl', 'en'], d.language),
    light: {
      outputMode: oneOf(light.outputMode, OUTPUT_MODES, d.light.outputMode),
      targetIp: address(light.targetIp),
      universe: num(light.universe, 0, 63999, d.light.universe, true),
      serialPort: typeof light.serialPort === 'string' ? light.serialPort : '',
      startAddress: layout.startAddress,
      channelLayout: layout.channelLayout,
      fixtureCount: layout.fixtureCount,
      channelSpacing: num(light.channelSpacing, 0, 512, 0, true),
      pulse: bool(light.pulse, d.light.pulse),
      shortFrames: bool(light.shortFrames, d.light.shortFrames),
      priority: num(light.priority, 0, 200, d.light.priority, true),
      networkInterface: typeof light.networkInterface === 'string' ? light.networkInterface.trim() : '',
      sequencing: bool(light.sequencing, false),
      sync: bool(light.sync, false),
      extraOutputs: (Array.isArray(light.extraOutputs) ? light.extraOutputs : []).slice(0, MAX_EXTRA_OUTPUTS).map(extra),
    },
    audio: {
      mode: oneOf(audio.mode, ['session', ...AUDIO_MODES], d.audio.mode),
      pulseShape: oneOf(audio.pulseShape, ['session', ...AUDIO_PULSE_SHAPES], d.audio.pulseShape),
      balance: num(audio.balance, -1, 1, 0),
      bass: num(audio.bass, -12, 12, 0),
      mid: num(audio.mid, -12, 12, 0),
      treble: num(audio.treble, -12, 12, 0),
      noise: bool(audio.noise, d.audio.noise),
    },
    controls: {
      masterVolume: num(controls.masterVolume, 0, 100, d.controls.masterVolume),
      rgbIntensity: num(controls.rgbIntensity, 0, 100, d.controls.rgbIntensity),
      whiteIntensity: num(controls.whiteIntensity, 0, 100, d.controls.whiteIntensity),
      audioEnabled: bool(controls.audioEnabled, true),
      musicEnabled: bool(controls.musicEnabled, true),
      outputEnabled: bool(controls.outputEnabled, true),
    },
    openAIKey: typeof r.openAIKey === 'string' ? r.openAIKey.trim() : '',
  };
}

// The extra delay of the sound the person may set (Bluetooth headphones), in ms.
export const LATENCY_MAX_MS = 1000;
export const CARRIED_OVER_KEY = 'solvera.carriedOver.v1';

// The program's settings: the page's, plus the sound device ("" follows the system's default),
// the extra latency and whether the photosensitivity warning was accepted.
export function normalizeProgramSettings(raw) {
  const r = raw && typeof raw === 'object' ? raw : {};
  const audio = r.audio && typeof r.audio === 'object' ? r.audio : {};
  const page = normalizeSettings(r);
  return {
    ...page,
    audio: {
      ...page.audio,
      device: typeof audio.device === 'string' ? audio.device.trim() : '',
      latencyMs: Math.round(num(audio.latencyMs, 0, LATENCY_MAX_MS, 0)),
    },
    photosensitivityAccepted: r.photosensitivityAccepted === true,
  };
}

// What this browser kept before the program kept it, for "/settings/carry-over"; null when it
// kept nothing.
export function pageStorage(storage) {
  const read = (key) => {
    try {
      const text = storage.getItem(key);
      return text === null ? null : JSON.parse(text);
    } catch {
      return null;
    }
  };
  const settings = read(SETTINGS_KEY);
  const sessions = read(CUSTOM_SESSIONS_KEY);
  const customSessions = Array.isArray(sessions) ? sessions.filter((x) => x && typeof x.id === 'string' && Array.isArray(x.phases)) : [];
  const accepted = storage.getItem(PHOTOSENSITIVITY_KEY) === 'yes';
  if (!settings && !accepted && customSessions.length === 0) return null;
  return { settings: settings && typeof settings === 'object' ? normalizeSettings(settings) : null, photosensitivityAccepted: accepted, customSessions };
}

// The sound devices of "/audio/devices" as options: the system's default first, a chosen one
// that is not there now kept (and named so), so that opening and saving changes nothing.
export function deviceOptions(reply, chosen, t) {
  const names = Array.isArray(reply?.devices) ? reply.devices.map((d) => d?.name).filter((n) => typeof n === 'string' && n) : [];
  const options = [{ value: '', label: t('settings.deviceDefault') }, ...[...new Set(names)].map((n) => ({ value: n, label: n }))];
  if (chosen && !names.includes(chosen)) options.push({ value: chosen, label: t('settings.deviceMissing', { name: chosen }) });
  return options;
}

export function loadSettings(storage) {
  try {
    return normalizeSettings(JSON.parse(storage.getItem(SETTINGS_KEY) ?? 'null'));
  } catch {
    return normalizeSettings(null);
  }
}

export function saveSettings(storage, settings) {
  try {
    storage.setItem(SETTINGS_KEY, JSON.stringify(normalizeSettings(settings)));
    return true;
  } catch {
    return false; // private mode or a full store: the settings still hold for this visit
  }
}

export { LIGHT_PULSE_SHAPES };
