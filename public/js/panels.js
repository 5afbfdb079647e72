// Panels that talk to OpenAI and the maker's services through the program: Ask AI, the
// session explanation, the marketplace and affiliate forms, and pasting from the clipboard.

import { ASK_AI_WAIT_MS, askAiErrorKind, runAskAi } from './ask-ai.js';
import { affiliateOutcome, affiliateQuery, buildSubmission, marketplaceOutcome, PUBLISHER_HEADER, SERVICE_WAIT_MS } from './marketplace.js';
import { localized } from './i18n.js';
import { getJson, postJson } from './net.js';

const $ = (id) => document.getElementById(id);
export const DESCRIPTION_WAIT_MS = 40_000;
const PUBLISHER_KEY = 'solvera.publisher.v1';
const OPENAI_HEADER = 'X-OpenAI-API-Key';

function noticeText(t, kind, status) {
  return t(`ask.notice.${kind}`, { status });
}

// ---- Ask AI --------------------------------------------------------------------------------

export function setupAskAi(ctx) {
  const { t } = ctx;
  const form = $('askForm');
  const input = $('askInput');
  const panel = $('askPanel');
  const status = $('askStatus');
  const list = $('askResults');
  let asked = 0;
  let shown = null; // {question, result} or {question, busy: stage}; kept to re-render in another language

  const setStatus = (message, { busy = false, error = false } = {}) => {
    status.hidden = !message;
    status.textContent = message;
    status.classList.toggle('busy', busy);
    status.classList.toggle('error', error);
  };

  const render = () => {
    panel.hidden = !shown;
    if (!shown) return;
    const language = ctx.language();
    $('askQuestion').textContent = `“${shown.question}”`;
    if (shown.stage) {
      $('askSourceText').textContent = t('ask.title');
      setStatus(t(`ask.stage.${shown.stage}`), { busy: true });
      list.replaceChildren();
      return;
    }
    const { result } = shown;
    let message = '';
    if (result.notice) {
      message = noticeText(t, result.notice, result.status);
      if (!['noKey', 'empty'].includes(result.notice) && result.recommendations.length) message += ` ${t('ask.fallback')}`;
    }
    if (!result.recommendations.length && result.notice !== 'empty') message = [message, t('ask.none')].filter(Boolean).join(' ');
    setStatus(message, { error: Boolean(result.notice) && result.notice !== 'noKey' });
    $('askSourceText').textContent = t(result.source === 'ai' ? 'ask.source.ai' : 'ask.source.local');
    list.replaceChildren(...result.recommendations.map((r) => {
      const li = document.createElement('li');
      const button = document.createElement('button');
      button.type = 'button';
      button.className = 'ask-item';
      button.dataset.id = r.id;
      button.setAttribute('aria-pressed', String(ctx.selected()?.id === r.id));
      button.innerHTML = '<span class="name"></span><span class="meta"></span><span class="reason"></span>';
      button.querySelector('.name').textContent = localized(r.session, 'title', language);
      button.querySelector('.meta').textContent = `${localized(r.session, 'category', language)} · ${r.session.durationMinutes} ${t('library.minutes')}`;
      button.querySelector('.reason').textContent = r.reason;
      button.addEventListener('click', () => { ctx.select(r.id, { reveal: true }); render(); });
      li.append(button);
      return li;
    }));
  };

  $('askClear').addEventListener('click', () => { asked += 1; shown = null; render(); $('askButton').disabled = false; input.focus(); });

  form.addEventListener('submit', async (event) => {
    event.preventDefault();
    const question = input.value.trim();
    if (!question) { input.focus(); return; }
    const mine = ++asked;
    const apiKey = ctx.apiKey();
    $('askButton').disabled = true;
    shown = { question, stage: apiKey ? 'expanding' : 'local' };
    render();
    if (window.matchMedia('(max-width: 760px)').matches) panel.scrollIntoView({ behavior: 'smooth', block: 'start' });
    try {
      const result = await runAskAi({
        question,
        language: ctx.language(),
        apiKey,
        sessions: ctx.sessions(),
        t,
        post: (path, body) => postJson(path, body, { timeoutMs: ASK_AI_WAIT_MS, headers: { [OPENAI_HEADER]: apiKey } }),
        onStage: (stage) => { if (mine === asked) { shown.stage = stage; render(); } },
      });
      if (mine !== asked) return; // a newer question took over, or the answer was cleared
      shown = { question, result };
      render();
    } finally {
      if (mine === asked) $('askButton').disabled = false;
    }
  });
  return { render };
}

// ---- session explanation -------------------------------------------------------------------

// The explanation's plain text as blocks: headings (a short line of its own without closing
// punctuation), paragraphs and lists.
export function descriptionBlocks(textValue) {
  const blocks = [];
  const lines = String(textValue ?? '').replace(/\r\n?/g, '\n').split('\n');
  const isHeading = (line) => line.length <= 80 && !/[.:;!?,]$/.test(line) && !/^[-•*]\s/.test(line) && /\p{L}/u.test(line);
  const listItem = (line) => line.match(/^(?:[-•*]|\d+[.)])\s+(.*)$/)?.[1];
  let group = [];
  const flush = () => {
    if (!group.length) return;
    let rest = group;
    // A first line with text under it is a title; a line on its own only when it is short.
    if (isHeading(rest[0]) && (rest.length > 1 || rest[0].split(/\s+/).length <= 8)) {
      blocks.push({ kind: 'heading', text: rest[0] });
      rest = rest.slice(1);
    }
    let paragraph = [];
    let items = [];
    const endParagraph = () => { if (paragraph.length) blocks.push({ kind: 'paragraph', text: paragraph.join(' ') }); paragraph = []; };
    const endList = () => { if (items.length) blocks.push({ kind: 'list', items }); items = []; };
    for (const line of rest) {
      const item = listItem(line);
      if (item !== undefined) { endParagraph(); items.push(item); } else { endList(); paragraph.push(line); }
    }
    endParagraph();
    endList();
    group = [];
  };
  for (const raw of lines) {
    const line = raw.trim();
    if (line) group.push(line); else flush();
  }
  flush();
  return blocks;
}

function renderBlocks(container, blocks) {
  container.replaceChildren(...blocks.map((b) => {
    if (b.kind === 'list') {
      const ul = document.createElement('ul');
      for (const item of b.items) { const li = document.createElement('li'); li.textContent = item; ul.append(li); }
      return ul;
    }
    const el = document.createElement(b.kind === 'heading' ? 'h3' : 'p');
    el.textContent = b.text;
    return el;
  }));
}

export function setupDescription(ctx) {
  const { t } = ctx;
  const dialog = $('descriptionDialog');
  const body = $('descriptionBody');
  const statusLine = $('descriptionStatus');
  const retry = $('descriptionRetry');
  const cache = new Map();
  let current = 0;
  let sessionShown = null;

  const setStatus = (message, busy = false, error = false) => {
    statusLine.textContent = message;
    statusLine.hidden = !message;
    statusLine.classList.toggle('busy', busy);
    statusLine.classList.toggle('error', error);
  };

  async function explain(session) {
    const language = ctx.language();
    const key = `${session.id}|${language}`;
    const mine = ++current;
    sessionShown = session;
    $('descriptionTitle').textContent = localized(session, 'title', language);
    retry.hidden = true;
    body.replaceChildren();
    if (!dialog.open) dialog.showModal();
    if (cache.has(key)) { setStatus(''); renderBlocks(body, descriptionBlocks(cache.get(key))); return; }
    const apiKey = ctx.apiKey();
    if (!apiKey) { setStatus(t('describe.noKey'), false, true); return; }
    setStatus(t('describe.loading'), true);
    const reply = await postJson('/openai/session-description', { session, language, edition: ctx.edition() },
      { timeoutMs: DESCRIPTION_WAIT_MS, headers: { [OPENAI_HEADER]: apiKey } });
    if (mine !== current) return;
    if (reply.ok && typeof reply.body?.description === 'string') {
      const text = reply.body.description.trim();
      if (!text) { setStatus(t('describe.empty'), false, true); retry.hidden = false; return; }
      cache.set(key, text);
      setStatus('');
      renderBlocks(body, descriptionBlocks(text));
      return;
    }
    setStatus(noticeText(t, askAiErrorKind(reply), reply.status), false, true);
    retry.hidden = false;
  }

  $('describeButton').addEventListener('click', () => { const s = ctx.selected(); if (s) explain(s); });
  retry.addEventListener('click', () => { if (sessionShown) explain(sessionShown); });
  $('descriptionClose').addEventListener('click', () => { current += 1; dialog.close(); });
  dialog.addEventListener('close', () => { current += 1; });
}

// ---- marketplace and affiliate -------------------------------------------------------------

function showReply(el, message, ok) {
  el.hidden = !message;
  el.textContent = message;
  el.classList.toggle('ok', ok === true);
  el.classList.toggle('error', ok === false);
}

export function setupMarketplace(ctx) {
  const { t } = ctx;
  const dialog = $('marketDialog');
  const form = $('marketForm');
  const f = form.elements;
  const lookup = $('affiliateForm');
  let autoTitle = '';
  let autoDescription = '';

  const fillFromSession = () => {
    const session = ctx.sessions().find((s) => s.id === f.session.value);
    if (!session) return;
    const language = ctx.language();
    // Fields the user has not changed follow the chosen session.
    if (!f.title.value || f.title.value === autoTitle) f.title.value = autoTitle = localized(session, 'title', language);
    if (!f.description.value || f.description.value === autoDescription) f.description.value = autoDescription = localized(session, 'goal', language);
  };

  const open = (sessionId) => {
    const language = ctx.language();
    const sessions = ctx.sessions();
    f.session.replaceChildren(...sessions.map((s) => new Option(localized(s, 'title', language), s.id)));
    f.session.value = sessionId ?? ctx.selected()?.id ?? sessions[0]?.id ?? '';
    try {
      const saved = JSON.parse(ctx.store.getItem(PUBLISHER_KEY) ?? 'null');
      if (saved && !f.publisherName.value) f.publisherName.value = String(saved.name ?? '');
      if (saved && !f.publisherEmail.value) f.publisherEmail.value = String(saved.email ?? '');
    } catch { /* nothing remembered */ }
    fillFromSession();
    showReply($('marketReply'), '', null);
    if (!dialog.open) dialog.showModal();
  };

  f.session.addEventListener('change', fillFromSession);
  $('marketButton').addEventListener('click', () => open(null));
  $('publishButton').addEventListener('click', () => open(ctx.selected()?.id));
  $('marketClose').addEventListener('click', () => dialog.close());

  form.addEventListener('submit', async (event) => {
    event.preventDefault();
    const session = ctx.sessions().find((s) => s.id === f.session.value);
    if (!session) return;
    try {
      ctx.store.setItem(PUBLISHER_KEY, JSON.stringify({ name: f.publisherName.value.trim(), email: f.publisherEmail.value.trim() }));
    } catch { /* not remembered */ }
    let body;
    try {
      body = buildSubmission({
        session,
        language: ctx.language(),
        application: ctx.edition(),
        listing: { title: f.title.value, description: f.description.value, tags: f.tags.value, priceEUR: f.price.value },
        publisher: { name: f.publisherName.value, email: f.publisherEmail.value },
      });
    } catch {
      showReply($('marketReply'), t('market.invalid'), false); // a stored session that no longer passes the checks
      return;
    }
    $('marketSubmit').disabled = true;
    showReply($('marketReply'), t('market.sending'), null);
    const reply = await postJson('/marketplace/submissions', body,
      { timeoutMs: SERVICE_WAIT_MS, headers: { [PUBLISHER_HEADER]: f.publisherCode.value.trim() } });
    $('marketSubmit').disabled = false;
    const outcome = marketplaceOutcome(reply);
    showReply($('marketReply'), t(outcome.key, outcome.values).trim(), outcome.ok);
  });

  lookup.addEventListener('submit', async (event) => {
    event.preventDefault();
    const query = affiliateQuery(lookup.elements.lookup.value);
    const profile = $('affiliateProfile');
    profile.hidden = true;
    if (!query) { showReply($('affiliateReply'), t('affiliate.missing'), false); return; }
    $('affiliateSubmit').disabled = true;
    showReply($('affiliateReply'), t('affiliate.searching'), null);
    const reply = await getJson(`/affiliate-profile?${query}`, { timeoutMs: SERVICE_WAIT_MS });
    $('affiliateSubmit').disabled = false;
    const outcome = affiliateOutcome(reply);
    showReply($('affiliateReply'), t(outcome.key, outcome.values).trim(), outcome.ok);
    profile.replaceChildren(...outcome.fields.flatMap(([name, value]) => {
      const dt = document.createElement('dt');
      dt.textContent = name;
      const dd = document.createElement('dd');
      dd.textContent = value;
      return [dt, dd];
    }));
    profile.hidden = outcome.fields.length === 0;
  });
}

// ---- pasting -------------------------------------------------------------------------------

// Buttons with data-paste="<field name>" put the clipboard text into that field of their form.
export function setupPasteButtons(ctx) {
  for (const button of document.querySelectorAll('[data-paste]')) {
    button.hidden = !ctx.clipboard.available;
    button.addEventListener('click', async () => {
      const field = button.closest('form')?.elements[button.dataset.paste];
      if (!field) return;
      const text = await ctx.clipboard.readText();
      if (text === null) { ctx.toast(ctx.t('common.pasteFailed')); return; }
      const value = text.trim();
      if (!value) { ctx.toast(ctx.t('common.pasteEmpty')); return; }
      field.value = value;
      field.dispatchEvent(new Event('input', { bubbles: true }));
      field.focus();
    });
  }
}
