// What the control page publishes for the phone and how it carries out the phone's commands.

export const COMMAND_TYPES = ['start', 'pause', 'resume', 'togglePause', 'stop', 'blackout', 'breathing',
  'masterVolume', 'rgbIntensity', 'whiteIntensity', 'audio', 'music', 'output'];

const clampPercent = (v) => Math.round(Math.min(100, Math.max(0, v)));

// The state document for "/remote/state". The first members are the ones the server's default
// document has; the rest let the phone show a little more.
export function buildRemoteState(view, nowMs) {
  return {
    ok: true,
    updatedAt: Math.floor(nowMs),
    connected: Boolean(view.remoteConnected),
    session: {
      title: view.title || 'Solvera Pro',
      timer: view.timer || '--:--',
      running: Boolean(view.running),
      paused: Boolean(view.paused),
      phase: view.phase || '',
      elapsed: view.elapsedText || '00:00',
      remaining: view.remainingText || '--:--',
      progress: Number.isFinite(view.progress) ? Math.round(view.progress * 1000) / 1000 : 0,
      selected: Boolean(view.selected),
      awaitingConsent: Boolean(view.awaitingConsent),
    },
    output: { enabled: Boolean(view.outputEnabled), blackout: Boolean(view.blackout) },
    controls: {
      masterVolume: clampPercent(view.masterVolume ?? 100),
      rgbIntensity: clampPercent(view.rgbIntensity ?? 0),
      whiteIntensity: clampPercent(view.whiteIntensity ?? 25),
    },
    audio: { enabled: Boolean(view.audioEnabled), musicPlaying: Boolean(view.musicPlaying), musicEnabled: Boolean(view.musicEnabled) },
    breathing: Boolean(view.breathing),
    language: view.language === 'en' ? 'en' : 'nl',
  };
}

// Turns one command record into a call on `actions`. Returns true when the command was known
// and well formed. Toggles take an optional boolean `value`; without it they flip.
export function applyRemoteCommand(command, actions) {
  if (!command || typeof command.type !== 'string') return false;
  const { type, value } = command;
  const flag = (current) => (typeof value === 'boolean' ? value : !current);
  const level = () => {
    const n = typeof value === 'string' ? Number(value) : value;
    return typeof n === 'number' && Number.isFinite(n) ? clampPercent(n) : null;
  };
  switch (type) {
    case 'start': actions.start(); return true;
    case 'pause': actions.pause(); return true;
    case 'resume': actions.resume(); return true;
    case 'togglePause': actions.togglePause(); return true;
    case 'stop': actions.stop(); return true;
    case 'blackout': actions.setBlackout(flag(actions.isBlackout())); return true;
    case 'breathing': actions.setBreathing(flag(actions.isBreathing())); return true;
    case 'audio': actions.setAudioEnabled(flag(actions.isAudioEnabled())); return true;
    case 'music': actions.setMusicEnabled(flag(actions.isMusicEnabled())); return true;
    case 'output': actions.setOutputEnabled(flag(actions.isOutputEnabled())); return true;
    case 'masterVolume':
    case 'rgbIntensity':
    case 'whiteIntensity': {
      const v = level();
      if (v === null) return false;
      actions.setControl(type, v);
      return true;
    }
    default:
      return false;
  }
}

// Keeps the `since` of the command poll. Commands already queued when the page opened are not
// carried out: the phone's user pressed them for an earlier page.
export class CommandCursor {
  constructor(lastCommandId = 0) {
    this.since = Number.isInteger(lastCommandId) && lastCommandId > 0 ? lastCommandId : 0;
  }

  // The commands of one poll reply that are new, oldest first; advances the cursor.
  take(commands) {
    if (!Array.isArray(commands)) return [];
    const fresh = commands
      .filter((c) => c && Number.isInteger(c.id) && c.id > this.since)
      .sort((a, b) => a.id - b.id);
    if (fresh.length > 0) this.since = fresh[fresh.length - 1].id;
    return fresh;
  }

  // The server was restarted (its counter is behind ours): start counting again.
  resync(lastCommandId) {
    if (Number.isInteger(lastCommandId) && lastCommandId < this.since) this.since = lastCommandId;
  }
}
