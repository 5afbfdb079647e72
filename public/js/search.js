// Local search over the session library, in Dutch and English. Every result carries the
// scores and matched terms that the Ask AI ranking takes as its candidates.

const STOPWORDS = new Set(`de het een en of voor van met bij in op aan te om naar ik wil wilt mij me
mijn je jij jouw u uw is ben zijn was wordt worden iets wat die dat dit deze als maar ook nog
sessie sessies graag kan kun kunnen heb hebben hoe waar welke beetje erg heel zeer
the a an and or for of with at in on to into i want would like me my you your is am are was be
some something that this these those as but also still session sessions please can could have
how where which bit very really help helps need
niet geen not cannot cant dont doesnt`.split(/\s+/));

// Words that mean the same thing here, across the two languages and lay terms.
const SYNONYM_GROUPS = [
  ['slaap', 'slapen', 'inslapen', 'doorslapen', 'slapeloosheid', 'sleep', 'asleep', 'sleeping', 'insomnia', 'bedtime', 'nacht', 'night'],
  ['ontspanning', 'ontspannen', 'ontspan', 'relax', 'relaxation', 'relaxed', 'rust', 'rustig', 'calm', 'kalm', 'kalmte', 'unwind', 'tot rust'],
  ['stress', 'spanning', 'gespannen', 'tension', 'tense', 'overprikkeld', 'overwhelmed', 'druk'],
  ['angst', 'angstig', 'onrust', 'onrustig', 'zorgen', 'piekeren', 'anxiety', 'anxious', 'worry', 'worrying', 'nervous', 'nerveus'],
  ['focus', 'concentratie', 'concentreren', 'concentration', 'studeren', 'studie', 'study', 'leren', 'learning', 'werk', 'work', 'productief', 'productive', 'attention', 'aandacht'],
  ['meditatie', 'mediteren', 'meditation', 'meditate', 'mindfulness', 'stilte', 'stillness', 'contemplatie'],
  ['energie', 'energiek', 'energy', 'energize', 'vitaliteit', 'vitality', 'wakker', 'awake', 'alert', 'moe', 'tired', 'fatigue', 'vermoeid', 'opkikker', 'boost'],
  ['creativiteit', 'creatief', 'creativity', 'creative', 'inspiratie', 'inspiration', 'ideeen', 'ideas', 'brainstorm', 'schrijven', 'writing'],
  ['herstel', 'herstellen', 'recovery', 'recover', 'regeneratie', 'sport', 'training', 'workout'],
  ['ochtend', 'morning', 'opstaan', 'wake'],
  ['middag', 'afternoon', 'dip', 'powernap', 'nap', 'dutje'],
  ['stemming', 'mood', 'somber', 'vrolijk', 'uplift', 'opbeuren', 'positief', 'positive', 'gelukkig', 'happy'],
  ['tinnitus', 'oorsuizen', 'piep', 'fluittoon', 'ringing', 'oor', 'ear', 'ears', 'oren'],
  ['visualisatie', 'visualization', 'visualisation', 'verbeelding', 'imagination', 'dromen', 'dream', 'dreams', 'lucid'],
  ['ademhaling', 'adem', 'breathing', 'breath', 'breathwork'],
  ['lichaam', 'body', 'bodyscan', 'lichaamsbewustzijn', 'grounding', 'aarden'],
  ['ganzfeld', 'kleurveld', 'colour field', 'color field'],
];

// Brainwave bands as they are usually named, with their range in hertz.
export const BANDS = {
  delta: [0.5, 4],
  theta: [4, 8],
  alpha: [8, 12],
  smr: [12, 15],
  beta: [13, 30],
  gamma: [30, 45],
};

const FIELD_WEIGHTS = { title: 6, topics: 5, concepts: 4, category: 3, goal: 2, phases: 1 };

export function fold(text) {
  return String(text ?? '')
    .toLowerCase()
    .normalize('NFD')
    .replace(/[\u0300-\u036f]/g, '')
    .replace(/[^a-z0-9.,]+/g, ' ')
    .trim();
}

export function tokenize(text) {
  return fold(text)
    .split(/\s+/)
    .map((w) => w.replace(/^[.,]+|[.,]+$/g, ''))
    .filter((w) => w.length > 0);
}

const synonymIndex = new Map();
for (const group of SYNONYM_GROUPS) {
  for (const word of group) synonymIndex.set(fold(word), group.map(fold));
}

const BAND_ALIASES = { alfa: 'alpha' };

// "alpha", "alfa", "alfagolven", "theta-waves" -> the band's name, else null.
function bandName(token) {
  const stem = token.replace(/-?(golven|waves|wave|golf|ritme|rhythm)$/, '');
  const name = BAND_ALIASES[stem] ?? stem;
  return Object.hasOwn(BANDS, name) ? name : null;
}

// Understands "10 hz", "10hz", band names, and durations ("20 min", "kort", "short", "lang").
export function parseQuery(query) {
  const tokens = tokenize(query);
  const terms = [];
  const frequencies = [];
  const bands = [];
  let durationMinutes = null;
  let durationHint = null;
  for (let i = 0; i < tokens.length; i += 1) {
    const token = tokens[i];
    const next = tokens[i + 1];
    const hz = token.match(/^(\d+(?:[.,]\d+)?)hz$/);
    if (hz) { frequencies.push(parseFloat(hz[1].replace(',', '.'))); continue; }
    if (/^\d+(?:[.,]\d+)?$/.test(token)) {
      const n = parseFloat(token.replace(',', '.'));
      if (next === 'hz' || next === 'hertz') { frequencies.push(n); i += 1; continue; }
      if (next && /^(min|minuten|minutes|minuut|minute|mins)$/.test(next)) { durationMinutes = n; i += 1; continue; }
      const min = token.match(/^(\d+)min$/);
      if (min) { durationMinutes = Number(min[1]); continue; }
      continue;
    }
    const minutes = token.match(/^(\d+)(?:min|m)$/);
    if (minutes) { durationMinutes = Number(minutes[1]); continue; }
    const band = bandName(token);
    if (band) { bands.push(band); continue; }
    if (/^(kort|korte|short|quick|snel|snelle)$/.test(token)) { durationHint = 'short'; continue; }
    if (/^(lang|lange|long)$/.test(token)) { durationHint = 'long'; continue; }
    if (STOPWORDS.has(token) || token.length < 2) continue;
    terms.push(token);
  }
  return { terms: [...new Set(terms)], frequencies, bands, durationMinutes, durationHint };
}

function sessionFields(session) {
  const phases = Array.isArray(session.phases) ? session.phases : [];
  return {
    title: tokenize(`${session.title ?? ''} ${session.titleEn ?? ''}`),
    topics: tokenize((session.topics ?? []).join(' ')),
    concepts: tokenize((session.concepts ?? []).join(' ')),
    category: tokenize(`${session.category ?? ''} ${session.categoryEn ?? ''} ${session.subcategory ?? ''} ${session.subcategoryEn ?? ''}`),
    goal: tokenize(`${session.goal ?? ''} ${session.goalEn ?? ''} ${session.categoryPurpose ?? ''}`),
    phases: tokenize(phases.map((p) => `${p.name ?? ''} ${p.nameEn ?? ''} ${p.purpose ?? ''}`).join(' ')),
  };
}

// A term matches a word when they are equal or one begins the other (at least 4 letters), so
// "ontspan" finds "ontspanning" and "meditatie" finds "meditatiesessie".
function wordMatches(term, word) {
  if (term === word) return 1;
  if (term.length >= 4 && word.length >= 4 && (word.startsWith(term) || term.startsWith(word))) return 0.8;
  return 0;
}

function bestFieldScore(variants, fields) {
  let best = 0;
  let field = null;
  for (const [name, words] of Object.entries(fields)) {
    for (const { word: variant, weight } of variants) {
      for (const word of words) {
        const s = wordMatches(variant, word) * weight * FIELD_WEIGHTS[name];
        if (s > best) { best = s; field = name; }
      }
    }
  }
  return { score: best, field };
}

function overlap([lo, hi], [a, b]) {
  return Math.max(0, Math.min(hi, b) - Math.max(lo, a));
}

export function searchSessions(sessions, query) {
  const q = parseQuery(query);
  const anyCriterion = q.terms.length > 0 || q.frequencies.length > 0 || q.bands.length > 0 ||
    q.durationMinutes !== null || q.durationHint !== null;
  const results = [];
  for (const session of sessions) {
    const fields = sessionFields(session);
    let internal = 0;
    let matchedCriteria = 0;
    let anchorMatch = false;
    const matchedTerms = [];
    for (const term of q.terms) {
      const variants = [{ word: term, weight: 1 }];
      for (const synonym of synonymIndex.get(term) ?? []) {
        for (const part of synonym.split(' ')) if (part !== term) variants.push({ word: part, weight: 0.6 });
      }
      const { score, field } = bestFieldScore(variants, fields);
      if (score > 0) {
        internal += score;
        matchedCriteria += 1;
        matchedTerms.push(term);
        if ((field === 'title' || field === 'topics') && score >= FIELD_WEIGHTS[field] * 0.8) anchorMatch = true;
      }
    }
    const range = Array.isArray(session.frequencyRangeHz) && session.frequencyRangeHz.length === 2
      ? session.frequencyRangeHz.map(Number) : null;
    if (range) {
      for (const f of q.frequencies) {
        if (f >= range[0] - 0.25 && f <= range[1] + 0.25) { internal += 5; matchedCriteria += 1; matchedTerms.push(`${f} Hz`); }
      }
      for (const band of q.bands) {
        if (overlap(range, BANDS[band]) > 0) { internal += 4; matchedCriteria += 1; matchedTerms.push(band); }
      }
    }
    const minutes = Number(session.durationMinutes);
    if (q.durationMinutes !== null && Number.isFinite(minutes)) {
      const closeness = Math.max(0, 1 - Math.abs(minutes - q.durationMinutes) / Math.max(10, q.durationMinutes));
      if (closeness > 0) { internal += 3 * closeness; matchedCriteria += 1; }
    }
    if (q.durationHint === 'short' && minutes <= 15) { internal += 2; matchedCriteria += 1; }
    if (q.durationHint === 'long' && minutes >= 40) { internal += 2; matchedCriteria += 1; }
    const criteria = q.terms.length + q.frequencies.length + q.bands.length +
      (q.durationMinutes !== null ? 1 : 0) + (q.durationHint !== null ? 1 : 0);
    const evidence = criteria > 0 ? matchedCriteria / criteria : 0;
    const relevance = anyCriterion ? Math.round(100 * (0.6 * evidence + 0.4 * Math.min(1, internal / (6 * Math.max(1, criteria))))) : 0;
    if (anyCriterion && matchedCriteria === 0) continue;
    results.push({
      session,
      id: session.id,
      internalScore: Math.round(internal * 100) / 100,
      evidenceScore: Math.round(evidence * 100) / 100,
      relevanceScore: relevance,
      anchorMatch,
      matchedTerms,
    });
  }
  if (anyCriterion) {
    results.sort((a, b) => b.relevanceScore - a.relevanceScore || b.internalScore - a.internalScore);
  }
  return results;
}

// The candidate objects for the Ask AI ranking request, best first, at most 40.
export function askAiCandidates(results, language = 'nl') {
  return results.slice(0, 40).map((r) => {
    const s = r.session;
    const en = language !== 'nl';
    return {
      id: s.id,
      title: (en && s.titleEn) || s.title || '',
      goal: (en && s.goalEn) || s.goal || '',
      category: s.category ?? '',
      subcategory: s.subcategory ?? '',
      durationMinutes: s.durationMinutes ?? null,
      internalScore: r.internalScore,
      evidenceScore: r.evidenceScore,
      relevanceScore: r.relevanceScore,
      anchorMatch: r.anchorMatch,
      matchedTerms: r.matchedTerms.slice(0, 8),
      topics: (s.topics ?? []).slice(0, 5),
      concepts: (s.concepts ?? []).slice(0, 5),
      frequencyRangeHz: (s.frequencyRangeHz ?? []).slice(0, 2),
    };
  });
}
