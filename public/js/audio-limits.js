// The ranges the program's tone generator plays, as the program reports them ("/audio/limits").
// The editor, the import and the request builder check against this one table (the program
// checks a session against it when it starts): a session that asks for more is told so, never
// played differently.

export const AUDIO_LIMITS_PATH = '/audio/limits';
const RANGES = ['beatHz', 'carrierHz', 'volume', 'balance', 'gainDb'];

// The reply's table, or null when it is not one.
export function parseAudioLimits(body) {
  if (!body || typeof body !== 'object' || body.ok !== true) return null;
  const table = {};
  for (const key of RANGES) {
    const range = body[key];
    const min = Number(range?.min);
    const max = Number(range?.max);
    if (!Number.isFinite(min) || !Number.isFinite(max) || min > max) return null;
    table[key] = { min, max };
  }
  return table;
}

export function clampTo(range, value) {
  return range ? Math.min(range.max, Math.max(range.min, value)) : value;
}

// The first value of a session's timeline the generator would not play as written:
// {phase (1-based), field ('beat' or 'carrier'), value, min, max}, or null. Glides run between
// the phases' own values, so the phases' ends are enough.
export function soundOutsideLimits(timeline, limits) {
  for (const [i, phase] of timeline.phases.entries()) {
    for (const [field, key, range] of [['beat', 'beatHz', limits.beatHz], ['carrier', 'carrierHz', limits.carrierHz]]) {
      for (const value of [phase.start[key], phase.end[key]]) {
        if (!(value >= range.min && value <= range.max)) return { phase: i + 1, field, value, min: range.min, max: range.max };
      }
    }
  }
  return null;
}

// The user's message for a value out of reach (a problem of soundOutsideLimits): which value of
// which phase, the generator's range, then what happens (outcome: "limits.notPlayed" or
// "limits.notImported").
export function limitText(t, problem, outcome) {
  const { phase, value, min, max } = problem;
  return t(outcome, { problem: t(`limits.${problem.field}`, { phase, value, min, max }) });
}

// The page's copy of the table: asked once at start, again whenever it is needed and missing.
export class AudioLimits {
  constructor(getJson) {
    this.getJson = getJson;
    this.table = null;
    this.status = 0; // the last reply's HTTP status; 403 means the page lacks its token
    this.pending = null;
  }

  // Resolves the table, or null when the program did not give it.
  load() {
    if (this.table) return Promise.resolve(this.table);
    this.pending ??= this.getJson(AUDIO_LIMITS_PATH).then((reply) => {
      this.pending = null;
      this.status = reply.status;
      this.table = reply.ok ? parseAudioLimits(reply.body) : null;
      return this.table;
    });
    return this.pending;
  }
}
