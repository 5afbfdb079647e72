// The page's settings, kept in its local storage, with defaults and repair of stored values.

import { normalizeFixtureLayout, OUTPUT_MODES, LIGHT_PULSE_SHAPES } from './dmx-frame.js';
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
  const targetIp = typeof light.targetIp === 'string' ? light.targetIp.trim() : '';
  return {
    language: oneOf(r.language, ['nl', 'en'], d.language),
    light: {
      outputMode: oneOf(light.outputMode, OUTPUT_MODES, d.light.outputMode),
      targetIp: /^[A-Za-z0-9.-]*$/.test(targetIp) ? targetIp : '',
      universe: num(light.universe, 0, 32767, d.light.universe, true),
      serialPort: typeof light.serialPort === 'string' ? light.serialPort : '',
      startAddress: layout.startAddress,
      channelLayout: layout.channelLayout,
      fixtureCount: layout.fixtureCount,
      channelSpacing: num(light.channelSpacing, 0, 512, 0, true),
      pulse: bool(light.pulse, d.light.pulse),
      shortFrames: bool(light.shortFrames, d.light.shortFrames),
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
