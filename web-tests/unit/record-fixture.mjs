// A run's record in the shape the program keeps it ("/session/record"), made from a session's
// timeline: what the report is built from in these tests.
import { buildTimeline, rgbToHex, sampleTimeline } from '../../public/js/timeline.js';

const round = (v, step) => Math.round(v / step) * step;

// events: [{kind, atS}]; headband: the record's headband summary or null; seconds: the moments
// logged (one a second by default, up to stopAt or the end).
export function recordOf(session, { stopAt = null, events = [], headband = null, context = {}, startedAt = Date.UTC(2024, 4, 1, 19, 30) } = {}) {
  const timeline = buildTimeline(session);
  const end = stopAt ?? timeline.durationS;
  const log = [];
  const reached = new Map();
  for (let s = 0; s <= end; s += 1) {
    const x = sampleTimeline(timeline, s);
    if (!reached.has(x.phaseIndex)) reached.set(x.phaseIndex, s);
    log.push({ t: s, phase: x.phaseIndex, beatHz: round(x.beatHz, 0.01), lightHz: round(x.lightHz, 0.01), carrierHz: round(x.carrierHz, 0.1),
      color: rgbToHex(x.color), rgbIntensity: Math.round(x.rgbIntensity), whiteIntensity: Math.round(x.whiteIntensity) });
  }
  return {
    session: { id: session.id, title: session.title ?? '', titleEn: session.titleEn ?? '', goal: session.goal ?? '', goalEn: session.goalEn ?? '',
      category: session.category ?? '', categoryEn: session.categoryEn ?? '', audioMode: session.audioMode ?? '' },
    context,
    startedAt,
    endedAt: startedAt + end * 1000,
    outcome: stopAt === null ? 'finished' : 'stopped',
    plannedS: timeline.durationS,
    elapsedS: end,
    phases: timeline.phases.map((p, i) => ({
      name: p.name, nameEn: p.nameEn, plannedStartS: p.startS, plannedEndS: p.endS, reachedAtS: reached.get(i) ?? null,
      beat: [p.start.beatHz, p.end.beatHz], light: [p.start.lightHz, p.end.lightHz], carrier: [p.start.carrierHz, p.end.carrierHz],
      colorHex: rgbToHex(p.start), rgbIntensity: p.start.rgbIntensity, whiteIntensity: p.start.whiteIntensity,
      pulseShape: p.discrete.pulseShape, noiseType: p.discrete.noiseType,
    })),
    log,
    events: events.map((e) => ({ ...e, at: startedAt + e.atS * 1000 })),
    headband,
  };
}
