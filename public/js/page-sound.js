// The page's own audio graph: noise (white, pink, brown) and music from the installed music
// library, each with its own level, through a shared reverb. The beat itself is native.

const LEVEL_TIME_CONSTANT_S = 0.6;

// Fills `out` with noise of the given colour, peak about 0.5. `random` returns 0..1.
export function fillNoise(type, out, random = Math.random) {
  let b0 = 0, b1 = 0, b2 = 0, b3 = 0, b4 = 0, b5 = 0, b6 = 0, brown = 0;
  for (let i = 0; i < out.length; i += 1) {
    const white = random() * 2 - 1;
    if (type === 'pink') {
      // Paul Kellet's economy filter: -3 dB per octave within 0.05 dB over the audio band.
      b0 = 0.99886 * b0 + white * 0.0555179;
      b1 = 0.99332 * b1 + white * 0.0750759;
      b2 = 0.96900 * b2 + white * 0.1538520;
      b3 = 0.86650 * b3 + white * 0.3104856;
      b4 = 0.55000 * b4 + white * 0.5329522;
      b5 = -0.7616 * b5 - white * 0.0168980;
      out[i] = b0 + b1 + b2 + b3 + b4 + b5 + b6 + white * 0.5362;
      b6 = white * 0.115926;
    } else if (type === 'brown') {
      // Leaky integration keeps the random walk from drifting away.
      brown = (brown + 0.02 * white) / 1.02;
      out[i] = brown;
    } else {
      out[i] = white;
    }
  }
  let peak = 0;
  for (let i = 0; i < out.length; i += 1) peak = Math.max(peak, Math.abs(out[i]));
  const scale = peak > 0 ? 0.5 / peak : 0;
  for (let i = 0; i < out.length; i += 1) out[i] *= scale;
  return out;
}

export const REVERB_PRESETS = { room: 0.9, plate: 1.6, hall: 2.6, cathedral: 4.2 };

// A stereo impulse response: decaying noise, a little different per channel for width.
export function fillImpulse(preset, sampleRate, channels, random = Math.random) {
  const seconds = REVERB_PRESETS[preset] ?? REVERB_PRESETS.room;
  const length = Math.floor(seconds * sampleRate);
  for (const data of channels) {
    for (let i = 0; i < Math.min(length, data.length); i += 1) {
      const decay = Math.pow(1 - i / length, 3);
      data[i] = (random() * 2 - 1) * decay * 0.6;
    }
  }
  return length;
}

// Whether a track's mood, moods, tags, title or category mention the mood word.
export function trackMatches(track, mood) {
  const word = String(mood || '').toLowerCase();
  if (!word || !track) return false;
  const text = [track.mood, ...(Array.isArray(track.moods) ? track.moods : []),
    ...(Array.isArray(track.tags) ? track.tags : []), track.title, track.category]
    .filter((v) => typeof v === 'string').join(' ').toLowerCase();
  return text.includes(word);
}

// Picks the track for a mood: the first matching track after `after`, else simply the next
// one, so consecutive picks differ.
export function pickTrack(tracks, mood, after = -1) {
  if (!Array.isArray(tracks) || tracks.length === 0) return -1;
  const order = tracks.map((_, i) => (after + 1 + i) % tracks.length);
  return order.find((i) => trackMatches(tracks[i], mood)) ?? order[0];
}

export class PageSound {
  constructor() {
    this.context = null;
    this.noiseType = null;
    this.noiseSource = null;
    this.reverbPreset = null;
    this.tracks = [];
    this.trackIndex = -1;
    this.mood = '';
    this.music = null;
    this.musicPlaying = false;
    this.wantMusic = false;
    this.switching = false;
  }

  get available() {
    return typeof window !== 'undefined' && Boolean(window.AudioContext || window.webkitAudioContext);
  }

  // Builds the graph on first use; must follow a user gesture in an ordinary browser.
  ensure() {
    if (this.context || !this.available) return this.context;
    const Ctx = window.AudioContext || window.webkitAudioContext;
    const ctx = new Ctx();
    this.context = ctx;
    this.master = ctx.createGain();
    this.master.gain.value = 0;
    this.master.connect(ctx.destination);
    this.dry = ctx.createGain();
    this.dry.connect(this.master);
    this.wet = ctx.createGain();
    this.wet.gain.value = 0;
    this.wet.connect(this.master);
    this.convolver = ctx.createConvolver();
    this.convolver.connect(this.wet);
    this.noiseGain = ctx.createGain();
    this.noiseGain.gain.value = 0;
    this.noiseGain.connect(this.dry);
    this.noiseGain.connect(this.convolver);
    this.musicGain = ctx.createGain();
    this.musicGain.gain.value = 0;
    this.musicGain.connect(this.dry);
    this.musicGain.connect(this.convolver);
    this.music = new Audio();
    this.music.preload = 'auto';
    this.music.addEventListener('ended', () => this.nextTrack());
    this.music.addEventListener('error', () => { this.musicPlaying = false; });
    ctx.createMediaElementSource(this.music).connect(this.musicGain);
    this.setReverb('room');
    return ctx;
  }

  get suspended() {
    return Boolean(this.context && this.context.state !== 'running');
  }

  async resume() {
    if (!this.ensure()) return false;
    try {
      await this.context.resume();
    } catch {
      return false;
    }
    if (this.wantMusic) this.playMusic();
    return this.context.state === 'running';
  }

  async pause() {
    if (!this.context) return;
    this.music?.pause();
    this.musicPlaying = false;
    try { await this.context.suspend(); } catch { /* already closed */ }
  }

  stop() {
    if (!this.context) return;
    const now = this.context.currentTime;
    this.master.gain.setTargetAtTime(0, now, 0.3);
    this.wantMusic = false;
    setTimeout(() => {
      if (this.wantMusic) return;
      this.music.pause();
      this.musicPlaying = false;
      if (this.noiseSource) { this.noiseSource.stop(); this.noiseSource = null; this.noiseType = null; }
    }, 1500);
  }

  setTracks(tracks) {
    this.tracks = Array.isArray(tracks) ? tracks.filter((t) => t && typeof t.file === 'string') : [];
    this.trackIndex = -1;
  }

  setReverb(preset) {
    if (!this.context || preset === this.reverbPreset) return;
    const rate = this.context.sampleRate;
    const seconds = REVERB_PRESETS[preset] ?? REVERB_PRESETS.room;
    const buffer = this.context.createBuffer(2, Math.floor(seconds * rate), rate);
    fillImpulse(preset, rate, [buffer.getChannelData(0), buffer.getChannelData(1)]);
    this.convolver.buffer = buffer;
    this.reverbPreset = preset;
  }

  setNoise(type) {
    if (!this.context || type === this.noiseType) return;
    const rate = this.context.sampleRate;
    const buffer = this.context.createBuffer(2, rate * 6, rate);
    fillNoise(type, buffer.getChannelData(0));
    fillNoise(type, buffer.getChannelData(1));
    const source = this.context.createBufferSource();
    source.buffer = buffer;
    source.loop = true;
    source.connect(this.noiseGain);
    source.start();
    const old = this.noiseSource;
    this.noiseSource = source;
    this.noiseType = type;
    if (old) old.stop(this.context.currentTime + 0.05);
  }

  musicURL(track) {
    return `/music-library/${track.file.split('/').map(encodeURIComponent).join('/')}`;
  }

  currentTrack() {
    return this.trackIndex >= 0 ? this.tracks[this.trackIndex] : null;
  }

  playMusic() {
    if (!this.music || this.tracks.length === 0 || this.suspended) return;
    if (this.trackIndex < 0) this.trackIndex = pickTrack(this.tracks, this.mood);
    const url = this.musicURL(this.tracks[this.trackIndex]);
    if (!this.music.src.endsWith(url)) this.music.src = url;
    this.music.play().then(() => { this.musicPlaying = true; }, () => { this.musicPlaying = false; });
  }

  nextTrack() {
    if (this.tracks.length === 0) return;
    this.trackIndex = pickTrack(this.tracks, this.mood, this.trackIndex);
    this.music.src = this.musicURL(this.tracks[this.trackIndex]);
    if (this.wantMusic) this.playMusic();
  }

  // A new mood changes the track only when the current one does not fit it and another does.
  setMood(mood) {
    if (mood === this.mood) return;
    this.mood = mood;
    const current = this.currentTrack();
    if (!current || !this.wantMusic || trackMatches(current, mood)) return;
    const pick = pickTrack(this.tracks, mood, this.trackIndex);
    if (pick === this.trackIndex || !trackMatches(this.tracks[pick], mood)) return;
    this.switching = true;
    this.musicGain.gain.setTargetAtTime(0, this.context.currentTime, 0.8);
    setTimeout(() => {
      this.switching = false;
      this.trackIndex = pick;
      this.music.src = this.musicURL(this.tracks[pick]);
      if (this.wantMusic) this.playMusic();
    }, 2500);
  }

  // Levels are 0..1. Changes are smoothed so glides and slider moves never click.
  setLevels({ master, noise, music, reverb, noiseType, reverbPreset, mood, musicOn }) {
    if (!this.context) return;
    const now = this.context.currentTime;
    this.setReverb(reverbPreset);
    if (noise > 0.001) this.setNoise(noiseType);
    this.master.gain.setTargetAtTime(master, now, LEVEL_TIME_CONSTANT_S);
    this.noiseGain.gain.setTargetAtTime(noise, now, LEVEL_TIME_CONSTANT_S);
    this.musicGain.gain.setTargetAtTime(musicOn && !this.switching ? music : 0, now, LEVEL_TIME_CONSTANT_S);
    this.dry.gain.setTargetAtTime(1 - reverb * 0.6, now, LEVEL_TIME_CONSTANT_S);
    this.wet.gain.setTargetAtTime(reverb, now, LEVEL_TIME_CONSTANT_S);
    this.wantMusic = Boolean(musicOn) && this.tracks.length > 0;
    if (this.wantMusic) {
      this.setMood(mood);
      if (this.music.paused) this.playMusic();
    } else if (this.music && !this.music.paused) {
      this.music.pause();
      this.musicPlaying = false;
    }
  }
}
