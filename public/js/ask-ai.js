// Ask AI: OpenAI rewrites the question into search phrases and concepts, the local search runs
// over all of them, and OpenAI ranks the best candidates with a short reason each. Without a
// key, or when OpenAI fails, the local search answers on its own.

import { askAiCandidates, searchSessions } from './search.js';
import { localized } from './i18n.js';

export const MAX_CANDIDATES = 40;
export const MAX_RECOMMENDATIONS = 5;
// The program waits up to 27 s for OpenAI; the page waits a little longer for the program.
export const ASK_AI_WAIT_MS = 30_000;

const MAX_QUERY_CHARS = 200;
const MAX_EXPANDED_CHARS = 1200;
const MAX_REASON_CHARS = 400;

const text = (v) => (typeof v === 'string' ? v.trim() : '');

// The searches to run: the question itself, then OpenAI's normalised question, phrases and
// concepts, each with a weight that says how far it is from the user's own words.
export function expansionQueries(question, expansion) {
  const queries = [];
  const seen = new Set();
  const add = (value, weight) => {
    const q = text(value).slice(0, MAX_QUERY_CHARS);
    const key = q.toLowerCase();
    if (!q || seen.has(key)) return;
    seen.add(key);
    queries.push({ query: q, weight });
  };
  add(question, 1);
  if (expansion && typeof expansion === 'object') {
    add(expansion.normalizedQuestion, 0.95);
    for (const phrase of Array.isArray(expansion.searchPhrases) ? expansion.searchPhrases.slice(0, 24) : []) add(phrase, 0.9);
    for (const concept of Array.isArray(expansion.concepts) ? expansion.concepts.slice(0, 12) : []) add(concept, 0.8);
  }
  return queries;
}

// The expanded question as one text for the ranking request.
export function expandedQuestionText(question, expansion) {
  if (!expansion || typeof expansion !== 'object') return text(question).slice(0, MAX_EXPANDED_CHARS);
  const strings = (list, n) => (Array.isArray(list) ? list.slice(0, n).map(text).filter(Boolean) : []);
  const parts = [text(expansion.normalizedQuestion) || text(question)];
  const phrases = strings(expansion.searchPhrases, 24);
  const concepts = strings(expansion.concepts, 12);
  if (phrases.length) parts.push(`search phrases: ${phrases.join(', ')}`);
  if (concepts.length) parts.push(`concepts: ${concepts.join(', ')}`);
  return parts.join(' | ').slice(0, MAX_EXPANDED_CHARS);
}

// Merges the results of several searches into one list per session: the best weighted score
// counts, and every other phrasing that also found the session adds a quarter of its own.
export function mergeSearchRuns(runs) {
  const bySession = new Map();
  for (const { results, weight } of runs) {
    for (const r of results) {
      const weighted = {
        internal: r.internalScore * weight,
        relevance: r.relevanceScore * weight,
        evidence: r.evidenceScore * weight,
      };
      let m = bySession.get(r.id);
      if (!m) {
        m = { session: r.session, id: r.id, runs: [], anchorMatch: false, matchedTerms: [] };
        bySession.set(r.id, m);
      }
      m.runs.push(weighted);
      m.anchorMatch ||= r.anchorMatch;
      for (const term of r.matchedTerms) if (!m.matchedTerms.includes(term)) m.matchedTerms.push(term);
    }
  }
  const merged = [...bySession.values()].map((m) => {
    const byInternal = [...m.runs].sort((a, b) => b.internal - a.internal);
    const internal = byInternal[0].internal + 0.25 * byInternal.slice(1).reduce((s, r) => s + r.internal, 0);
    return {
      session: m.session,
      id: m.id,
      internalScore: Math.round(internal * 100) / 100,
      evidenceScore: Math.round(Math.max(...m.runs.map((r) => r.evidence)) * 100) / 100,
      relevanceScore: Math.round(Math.max(...m.runs.map((r) => r.relevance))),
      anchorMatch: m.anchorMatch,
      matchedTerms: m.matchedTerms,
      hits: m.runs.length,
    };
  });
  merged.sort((a, b) => b.relevanceScore - a.relevanceScore || b.internalScore - a.internalScore || b.hits - a.hits);
  return merged;
}

export function searchExpanded(sessions, question, expansion) {
  return mergeSearchRuns(expansionQueries(question, expansion).map(({ query, weight }) => ({
    results: searchSessions(sessions, query).filter((r) => r.relevanceScore > 0),
    weight,
  })));
}

// The candidates for the ranking: the matches first, best first, then the rest of the
// library with zero scores, so that OpenAI can still find what the words missed.
export function rankingCandidates(sessions, merged, language) {
  const ids = new Set(merged.map((r) => r.id));
  const rest = sessions.filter((s) => !ids.has(s.id)).map((session) => ({
    session, id: session.id, internalScore: 0, evidenceScore: 0, relevanceScore: 0, anchorMatch: false, matchedTerms: [],
  }));
  return askAiCandidates([...merged, ...rest].slice(0, MAX_CANDIDATES), language);
}

// OpenAI's recommendations that name a candidate, once each, at most five.
export function pickRecommendations(recommendations, candidates, sessionsById) {
  const allowed = new Set(candidates.map((c) => c.id));
  const picked = [];
  for (const r of Array.isArray(recommendations) ? recommendations : []) {
    if (!r || typeof r.id !== 'string' || !allowed.has(r.id) || picked.some((p) => p.id === r.id)) continue;
    const session = sessionsById.get(r.id);
    if (!session) continue;
    picked.push({ id: r.id, session, reason: text(r.reason).slice(0, MAX_REASON_CHARS) });
    if (picked.length === MAX_RECOMMENDATIONS) break;
  }
  return picked;
}

// The local answer: the best matches, with what they matched as the reason.
export function localRecommendations(results, language, t) {
  return results.filter((r) => r.relevanceScore > 0).slice(0, MAX_RECOMMENDATIONS).map((r) => {
    const terms = r.matchedTerms.slice(0, 4).join(', ');
    const goal = localized(r.session, 'goal', language);
    return {
      id: r.id,
      session: r.session,
      reason: terms ? t('ask.localReason', { terms, goal }) : goal,
    };
  });
}

// What went wrong, as one word the page has a message for.
export function askAiErrorKind(reply) {
  if (!reply || reply.status === 0) return reply?.timedOut ? 'pageTimeout' : 'offline';
  const error = reply.body?.error;
  if (error === 'missing_openai_api_key') return 'key';
  if (error === 'openai_timeout') return 'timeout';
  if (error === 'invalid_payload') return 'payload';
  if (reply.status === 401 || reply.status === 403) return 'keyRejected';
  if (reply.status === 429) return 'rateLimit';
  if (reply.status >= 200 && reply.status < 300) return 'answer';
  // Also what the program answers when no HTTP reply came back at all.
  if ([502, 503, 504].includes(reply.status)) return 'unreachable';
  return 'upstream';
}

// Failures after which a second OpenAI request is pointless.
const FINAL_KINDS = new Set(['key', 'keyRejected', 'rateLimit', 'timeout', 'pageTimeout', 'offline', 'unreachable']);

// Runs one question. post(path, body) -> reply as net.js gives it (the key goes in its
// headers); onStage('expanding' | 'ranking') reports progress. Returns
// {source: 'ai' | 'local', recommendations, notice: error word or null, status}.
export async function runAskAi({ question, language, apiKey, sessions, post, t, onStage = () => {} }) {
  const sessionsById = new Map(sessions.map((s) => [s.id, s]));
  const local = (results, notice, status = 0) => ({
    source: 'local', recommendations: localRecommendations(results, language, t), notice, status,
  });
  if (!text(question)) return { source: 'local', recommendations: [], notice: 'empty', status: 0 };
  if (!text(apiKey)) return local(searchExpanded(sessions, question, null), 'noKey');

  onStage('expanding');
  const expansionReply = await post('/openai/ask-ai-query', { language, question });
  let expansion = null;
  if (expansionReply.ok && expansionReply.body?.expansion && typeof expansionReply.body.expansion === 'object') {
    expansion = expansionReply.body.expansion;
  } else {
    const kind = askAiErrorKind(expansionReply);
    // Other failures only cost the expansion: the ranking can still be asked.
    if (FINAL_KINDS.has(kind)) return local(searchExpanded(sessions, question, null), kind, expansionReply.status);
  }

  const merged = searchExpanded(sessions, question, expansion);
  const candidates = rankingCandidates(sessions, merged, language);
  onStage('ranking');
  const rankingReply = await post('/openai/ask-ai', {
    language,
    question,
    expandedQuestion: expandedQuestionText(question, expansion),
    sessions: candidates,
  });
  if (!rankingReply.ok || !Array.isArray(rankingReply.body?.recommendations)) {
    return local(merged, askAiErrorKind(rankingReply), rankingReply.status);
  }
  const picked = pickRecommendations(rankingReply.body.recommendations, candidates, sessionsById);
  if (picked.length === 0) return local(merged, 'noPick');
  return { source: 'ai', recommendations: picked, notice: null, status: rankingReply.status, expansion };
}
