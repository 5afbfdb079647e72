// Ask AI: the expansion merge, the candidates sent for ranking and the answer the page shows
// for each reply of the program.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { askAiErrorKind, expandedQuestionText, expansionQueries, mergeSearchRuns, pickRecommendations,
  rankingCandidates, runAskAi, searchExpanded } from '../../public/js/ask-ai.js';
import { searchSessions } from '../../public/js/search.js';
import { translate } from '../../public/js/i18n.js';

const sessions = JSON.parse(readFileSync(new URL('../../public/sessions/library.json', import.meta.url), 'utf8')).sessions;
const t = (key, values) => translate('nl', key, values);

test('the user\'s own words weigh most; expansion phrases are deduplicated and bounded', () => {
  const queries = expansionQueries('  Ik kan niet slapen ', {
    normalizedQuestion: 'ik kan niet slapen', // same as the question: not searched twice
    searchPhrases: ['insomnia', 'INSOMNIA', 42, '', ...Array.from({ length: 30 }, (_, i) => `p${i}`)],
    concepts: ['sleep onset'],
  });
  assert.deepEqual(queries.slice(0, 2), [{ query: 'Ik kan niet slapen', weight: 1 }, { query: 'insomnia', weight: 0.9 }]);
  assert.equal(queries.filter((q) => q.weight === 0.9).length, 1 + 20, 'of the first 24 phrases: the repeat, the empty text and the number dropped');
  assert.deepEqual(queries.at(-1), { query: 'sleep onset', weight: 0.8 });
  assert.deepEqual(expansionQueries('x', null), [{ query: 'x', weight: 1 }]);
  assert.equal(expandedQuestionText('q', { normalizedQuestion: 'n', searchPhrases: ['a', 'b'], concepts: ['c'] }),
    'n | search phrases: a, b | concepts: c');
  assert.equal(expandedQuestionText('q'.repeat(2000), null).length, 1200);
});

test('merging: best weighted score counts, every further phrasing adds a quarter, terms are united', () => {
  const s1 = { id: 'a' };
  const s2 = { id: 'b' };
  const hit = (session, internal, relevance, terms, anchor = false) => ({
    session, id: session.id, internalScore: internal, evidenceScore: relevance / 100, relevanceScore: relevance, anchorMatch: anchor, matchedTerms: terms,
  });
  const merged = mergeSearchRuns([
    { weight: 1, results: [hit(s1, 4, 50, ['slaap'])] },
    { weight: 0.8, results: [hit(s1, 10, 90, ['insomnia', 'slaap'], true), hit(s2, 6, 95, ['delta'])] },
  ]);
  assert.deepEqual(merged.map((m) => m.id), ['b', 'a'], 'ordered by weighted relevance');
  const a = merged.find((m) => m.id === 'a');
  assert.equal(a.relevanceScore, 72);
  assert.equal(a.internalScore, 9, '10*0.8 + 0.25*4');
  assert.equal(a.anchorMatch, true);
  assert.deepEqual(a.matchedTerms, ['slaap', 'insomnia']);
  assert.equal(a.hits, 2);
});

test('the expansion finds what the words alone miss, and ranking gets every session at most once, matches first', () => {
  const plain = searchSessions(sessions, 'wakker liggen').filter((r) => r.relevanceScore > 0).map((r) => r.id);
  const expanded = searchExpanded(sessions, 'wakker liggen', { normalizedQuestion: 'cannot fall asleep', searchPhrases: ['insomnia', 'inslapen'], concepts: ['sleep'] });
  const sleepIds = sessions.filter((s) => s.category === 'Slaap').map((s) => s.id);
  assert.ok(sleepIds.some((id) => !plain.slice(0, 3).includes(id)), 'the words alone do not put every sleep session on top');
  assert.ok(expanded.slice(0, 3).every((r) => sleepIds.includes(r.id)), `sleep sessions first: ${expanded.slice(0, 3).map((r) => r.id)}`);
  const candidates = rankingCandidates(sessions, expanded, 'nl');
  assert.equal(candidates.length, Math.min(40, sessions.length));
  assert.equal(new Set(candidates.map((c) => c.id)).size, candidates.length);
  assert.deepEqual(candidates.slice(0, expanded.length).map((c) => c.id), expanded.map((r) => r.id).slice(0, 40));
  const tail = candidates[candidates.length - 1];
  assert.deepEqual([tail.relevanceScore, tail.internalScore, tail.anchorMatch, tail.matchedTerms], [0, 0, false, []]);
  const many = Array.from({ length: 45 }, (_, i) => ({ ...sessions[0], id: `s${i}` }));
  assert.equal(rankingCandidates(many, [], 'en').length, 40);
});

test('recommendations must name an offered candidate, once, at most five', () => {
  const byId = new Map(sessions.map((s) => [s.id, s]));
  const offered = sessions.slice(0, 8).map((s) => ({ id: s.id }));
  const picked = pickRecommendations([
    { id: 'invented', reason: 'x' }, { id: sessions[9].id, reason: 'not offered' }, null, { reason: 'no id' },
    ...offered.map((c) => ({ id: c.id, reason: ` r ${c.id} ` })), { id: offered[0].id, reason: 'again' },
  ], offered, byId);
  assert.deepEqual(picked.map((p) => p.id), offered.slice(0, 5).map((c) => c.id));
  assert.equal(picked[0].reason, `r ${offered[0].id}`);
  assert.equal(picked[0].session, byId.get(offered[0].id));
});

test('error words for every reply the program can give', () => {
  assert.equal(askAiErrorKind({ status: 401, body: { ok: false, error: 'missing_openai_api_key' } }), 'key');
  assert.equal(askAiErrorKind({ status: 401, body: { ok: false, error: 'openai_error' } }), 'keyRejected');
  assert.equal(askAiErrorKind({ status: 429, body: { ok: false, error: 'openai_error' } }), 'rateLimit');
  assert.equal(askAiErrorKind({ status: 502, body: { ok: false, error: 'openai_timeout' } }), 'timeout');
  assert.equal(askAiErrorKind({ status: 200, body: { ok: false, error: 'openai_error' } }), 'answer');
  assert.equal(askAiErrorKind({ status: 500, body: { ok: false, error: 'openai_error' } }), 'upstream');
  assert.equal(askAiErrorKind({ status: 502, body: { ok: false, error: 'openai_error' } }), 'unreachable');
  assert.equal(askAiErrorKind({ status: 400, body: { ok: false, error: 'invalid_payload' } }), 'payload');
  assert.equal(askAiErrorKind({ status: 0, body: null, timedOut: true }), 'pageTimeout');
  assert.equal(askAiErrorKind({ status: 0, body: null }), 'offline');
  for (const kind of ['unreachable', 'key', 'keyRejected', 'rateLimit', 'timeout', 'answer', 'upstream', 'payload', 'pageTimeout', 'offline', 'noKey', 'noPick', 'empty']) {
    assert.notEqual(t(`ask.notice.${kind}`), `ask.notice.${kind}`, kind);
  }
});

// A program that answers from a script of replies, keeping what was asked.
function scripted(...replies) {
  const calls = [];
  const post = async (path, body) => { calls.push({ path, body }); return replies.shift() ?? { ok: false, status: 0, body: null }; };
  return { calls, post };
}
const ask = (post, question = 'ik kan niet slapen', apiKey = 'sk-test') => runAskAi({ question, language: 'nl', apiKey, sessions, post, t });

test('without a key the local search answers, with its matches as reasons, and nothing is sent', async () => {
  const { calls, post } = scripted();
  const result = await ask(post, 'I can\'t sleep', '');
  assert.equal(calls.length, 0);
  assert.equal(result.source, 'local');
  assert.equal(result.notice, 'noKey');
  assert.ok(result.recommendations.length >= 3 && result.recommendations.slice(0, 3).every((r) => r.session.category === 'Slaap'),
    result.recommendations.map((r) => r.id).join());
  assert.match(result.recommendations[0].reason, /^Past bij: sleep\./);
});

test('the full flow: expansion, then ranking of the merged candidates with the expanded question', async () => {
  const expansion = { normalizedQuestion: 'trouble falling asleep', searchPhrases: ['insomnia'], concepts: ['delta'] };
  const { calls, post } = scripted(
    { ok: true, status: 200, body: { ok: true, expansion } },
    { ok: true, status: 200, body: { ok: true, recommendations: [{ id: 'slaap-inslapen', reason: 'Voor het inslapen' }] } },
  );
  const result = await ask(post);
  assert.deepEqual(calls.map((c) => c.path), ['/openai/ask-ai-query', '/openai/ask-ai']);
  assert.deepEqual(calls[0].body, { language: 'nl', question: 'ik kan niet slapen' });
  const ranking = calls[1].body;
  assert.equal(ranking.expandedQuestion, 'trouble falling asleep | search phrases: insomnia | concepts: delta');
  assert.equal(ranking.question, 'ik kan niet slapen');
  assert.ok(ranking.sessions.length <= 40);
  assert.ok(ranking.sessions[0].relevanceScore > 0 && ranking.sessions[0].matchedTerms.length > 0, 'the scores go along');
  assert.deepEqual(result.recommendations.map((r) => [r.id, r.reason]), [['slaap-inslapen', 'Voor het inslapen']]);
  assert.equal(result.source, 'ai');
});

test('failures: a refused key ends at once, an unreadable expansion still ranks, a failed ranking falls back', async () => {
  let run = scripted({ ok: false, status: 401, body: { ok: false, error: 'missing_openai_api_key' } });
  let result = await ask(run.post);
  assert.equal(run.calls.length, 1, 'no ranking after a refused key');
  assert.deepEqual([result.source, result.notice], ['local', 'key']);
  assert.ok(result.recommendations.length > 0, 'local results all the same');

  run = scripted({ ok: false, status: 502, body: { ok: false, error: 'openai_timeout' } });
  result = await ask(run.post);
  assert.deepEqual([run.calls.length, result.notice], [1, 'timeout']);

  run = scripted({ ok: false, status: 200, body: { ok: false, error: 'openai_error' } },
    { ok: true, status: 200, body: { ok: true, recommendations: [{ id: 'slaap-terug-in-slaap', reason: 'r' }] } });
  result = await ask(run.post);
  assert.equal(run.calls.length, 2, 'the ranking is still asked');
  assert.equal(run.calls[1].body.expandedQuestion, 'ik kan niet slapen');
  assert.deepEqual([result.source, result.recommendations[0].id], ['ai', 'slaap-terug-in-slaap']);

  run = scripted({ ok: true, status: 200, body: { ok: true, expansion: { searchPhrases: ['insomnia'] } } },
    { ok: false, status: 429, body: { ok: false, error: 'openai_error' } });
  result = await ask(run.post);
  assert.deepEqual([result.source, result.notice, result.status], ['local', 'rateLimit', 429]);

  run = scripted({ ok: true, status: 200, body: { ok: true, expansion: {} } },
    { ok: true, status: 200, body: { ok: true, recommendations: [{ id: 'invented', reason: 'x' }] } });
  result = await ask(run.post);
  assert.deepEqual([result.source, result.notice], ['local', 'noPick']);
  assert.ok(result.recommendations.length > 0);
});
