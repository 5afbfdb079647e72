// Stand-ins on 127.0.0.1 for the services the program relays to: the OpenAI Responses API,
// the marketplace and the affiliate-profile service. Every request is kept for the tests.
import { createServer } from 'node:http';

export const GOOD_PUBLISHER_CODE = 'PUB-123';
export const KNOWN_AFFILIATE = { email: 'anna@example.org', license_key: 'SVP-1234-5678' };
export const RATE_LIMITED_KEY = `sk-ratelimited${'x'.repeat(20)}`;
export const INVENTED_ID = 'bestaat-niet';

const SLEEP = /slaap|slapen|sleep|insomnia/i;

// The model's expansion: phrases a real model would give for a sleep question.
function expansionFor(question) {
  if (SLEEP.test(question)) {
    return { normalizedQuestion: 'trouble falling asleep', searchPhrases: ['insomnia', 'falling asleep', 'inslapen'], concepts: ['sleep onset', 'delta', 'ontspanning'] };
  }
  return { normalizedQuestion: question, searchPhrases: [question], concepts: [] };
}

// The model's ranking: the first three candidates about sleep (else the first three), and
// one id that was never offered, which the page must drop.
function rankingFor(input) {
  const about = (c) => SLEEP.test([c.title, ...(c.topics ?? []), ...(c.concepts ?? [])].join(' '));
  const chosen = (SLEEP.test(input.question) ? input.sessions.filter(about) : input.sessions).slice(0, 3);
  const reason = input.language === 'nl' ? 'Helpt je rustig in slaap te vallen' : 'Helps you drift off to sleep';
  return {
    recommendations: [
      { id: INVENTED_ID, reason: 'made up' },
      ...chosen.map((c, i) => ({ id: c.id, reason: `${reason} (${i + 1}): ${c.title}` })),
    ],
  };
}

const DESCRIPTION = {
  nl: 'Doel van de sessie\nDeze sessie helpt je de dag los te laten.\nHet licht blijft zacht.\n\nFase voor fase\nEerst land je in de ruimte. Daarna zakt de toon naar theta.\n\nVeiligheid\nKies een comfortabele sterkte en stop bij ongemak.',
  en: 'Purpose of the session\nThis session helps you let go of the day.\n\nPhase by phase\nFirst you settle in.\n\nSafety\nChoose a comfortable intensity and stop if discomfort occurs.',
};

function send(res, status, body) {
  const text = typeof body === 'string' ? body : JSON.stringify(body);
  res.writeHead(status, { 'Content-Type': 'application/json', 'Content-Length': Buffer.byteLength(text) });
  res.end(text);
}

export async function startStandIns() {
  const requests = [];
  const server = createServer((req, res) => {
    const chunks = [];
    req.on('data', (c) => chunks.push(c));
    req.on('end', () => {
      const url = new URL(req.url, 'http://127.0.0.1');
      const raw = Buffer.concat(chunks).toString('utf8');
      let body = null;
      try { body = raw ? JSON.parse(raw) : null; } catch { body = null; }
      const record = { method: req.method, path: url.pathname, query: url.searchParams, headers: req.headers, body, raw };
      requests.push(record);

      if (req.method === 'POST' && url.pathname === '/v1/responses') {
        if (req.headers.authorization === `Bearer ${RATE_LIMITED_KEY}`) {
          return send(res, 429, { error: { message: 'Rate limit reached', type: 'requests' } });
        }
        const input = JSON.parse(body.input);
        record.input = input;
        const format = body.text?.format?.name;
        if (format === 'solvera_query_expansion') {
          return send(res, 200, { output: [{ type: 'message', content: [{ type: 'output_text', text: JSON.stringify(expansionFor(input.question)) }] }] });
        }
        if (format === 'solvera_session_recommendations') {
          return send(res, 200, { output_text: JSON.stringify(rankingFor(input)) });
        }
        return send(res, 200, { output_text: DESCRIPTION[input.language] ?? DESCRIPTION.en });
      }
      if (req.method === 'POST' && url.pathname === '/v2/submissions') {
        if (req.headers['x-solvera-publisher-code'] !== GOOD_PUBLISHER_CODE) {
          return send(res, 401, { ok: false, error: 'invalid_publisher_code', message: 'Unknown publisher code.' });
        }
        return send(res, 201, { ok: true, id: 'sub_42', status: 'pending_review', message: 'Thank you, we review every submission.' });
      }
      if (req.method === 'GET' && url.pathname === '/wp-json/solvera-affiliate/v1/profile') {
        const email = url.searchParams.get('email');
        const key = url.searchParams.get('license_key');
        if (email === KNOWN_AFFILIATE.email || key === KNOWN_AFFILIATE.license_key) {
          return send(res, 200, { name: 'Anna de Vries', email: KNOWN_AFFILIATE.email, code: 'ANNA10', commission_rate: '20%', payout: { method: 'bank', currency: 'EUR' } });
        }
        return send(res, 404, { code: 'affiliate_not_found', message: 'No affiliate profile matches.', data: { status: 404 } });
      }
      send(res, 404, { error: 'not found' });
    });
  });
  await new Promise((r) => server.listen(0, '127.0.0.1', r));
  const base = `http://127.0.0.1:${server.address().port}`;
  return {
    base,
    requests,
    // Info.json keys that send the program's relays here.
    info: { SolveraOpenAIBaseURL: base, SolveraMarketplaceBaseURL: base, SolveraWebServiceBaseURL: base },
    openAI: () => requests.filter((r) => r.path === '/v1/responses'),
    close: () => new Promise((r) => { server.closeAllConnections?.(); server.close(r); }),
  };
}
