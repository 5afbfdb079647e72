// What the page itself still sends to an output: the editor's short "Beluisteren" of one phase,
// through the program's tone generator ("/audio/start", "/audio/update", "/audio/stop"). The
// session itself is the program's player's; nothing here plays it.

import { AudioUpdateGate, buildAudioRequest } from './native-audio.js';
import { SerialOutbox } from './outbox.js';

export class SoundPreview {
  // transport(path, body) -> Promise of {ok, status, body}.
  constructor(state, { transport, now = () => performance.now() }) {
    this.state = state;
    this.now = now;
    this.playing = false;
    this.gate = new AudioUpdateGate();
    this.outbox = new SerialOutbox(transport);
  }

  // A beat heard from the editor while no session plays ({session, sample}); null ends it.
  // False while a session plays: the sound is the session's then.
  listen(listened) {
    const s = this.state;
    if (s.player.active) {
      if (this.playing) this.end();
      return false;
    }
    if (!listened) {
      this.end();
      return true;
    }
    const a = s.settings.audio;
    const request = buildAudioRequest(listened.sample, listened.session,
      { mode: a.mode, pulseShape: a.pulseShape, balance: a.balance, bass: a.bass, mid: a.mid, treble: a.treble },
      s.settings.controls, s.audioLimits);
    if (!this.playing) {
      this.playing = true;
      this.gate.reset(request, this.now());
      this.outbox.send('/audio/start', request);
    } else {
      const update = this.gate.offer(request, this.now());
      if (update) this.outbox.send('/audio/update', update, 'update');
    }
    return true;
  }

  end() {
    if (this.playing) this.outbox.send('/audio/stop', {});
    this.playing = false;
  }

  // The page is going away: its preview must not sound on without it.
  leave(post) {
    this.outbox.close();
    if (this.playing) post('/audio/stop', {});
    this.playing = false;
  }

  back() {
    this.outbox.reopen();
  }
}
