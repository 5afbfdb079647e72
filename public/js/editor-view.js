// The session editor: a dialog to make a session from scratch or from a copy, with its phases,
// messages next to the fields, a preview of the course and listening to one phase. Saved
// sessions go to "My sessions" through the same checks as an imported file.

import { addPhase, checkDraft, draftFromSession, movePhase, newDraft, NOISE_TYPES, phaseSession, PULSE_SHAPES,
  removePhase, sessionFromDraft, setPhaseTime, splitPhase } from './session-draft.js';
import { buildTimeline, rgbToHex, sampleTimeline } from './timeline.js';
import { parseSessionFile, sessionFileContent } from './session-file.js';
import { limitText } from './audio-limits.js';

const $ = (id) => document.getElementById(id);
const LISTEN_TICK_MS = 250;
const PREVIEW_POINTS = 160;
const NUMBER_FIELDS = [['beatFrom', 'beatTo', 'editor.beat'], ['lightFrom', 'lightTo', 'editor.light']];
const LEVEL_FIELDS = ['rgbIntensity', 'whiteIntensity', 'pulseVolume', 'musicVolume', 'noiseVolume'];

function el(tag, attrs = {}, children = []) {
  const node = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs)) {
    if (k === 'text') node.textContent = v; else node.setAttribute(k, v);
  }
  node.append(...children);
  return node;
}

// ctx: the page's panel context (its audioLimits() resolves the tone generator's table, or
// null); listen(request or null) plays a preview beat and answers whether it could (not while
// a session plays); lightLimits() resolves the program's limits of the light output in use, or
// null.
export function setupEditor(ctx, { listen, lightLimits }) {
  const { t } = ctx;
  const dialog = $('editorDialog');
  const form = $('editorForm');
  let draft = null;
  let listening = null; // {index, player, timer}
  let limits = null;
  let soundLimits = null;
  // A field's message shows once the person has been in it, or once they asked to save: an
  // empty form does not open with complaints.
  let touched = new Set();
  let showAll = false;

  const errorId = (name) => `editor-error-${name.replaceAll('.', '-')}`;
  const field = (name, label, input, wide = false) => {
    input.setAttribute('aria-describedby', errorId(name));
    return el('label', { class: wide ? 'wide' : '' },
      [el('span', { text: label }), input, el('small', { class: 'field-error', id: errorId(name), 'data-error-for': name })]);
  };
  const text = (name, value, extra = {}) => el('input', { name, value: String(value ?? ''), autocomplete: 'off', ...extra });
  const options = (name, values, selected, label) => {
    const select = el('select', { name });
    for (const v of values) select.append(new Option(label(v), v, false, v === selected));
    return select;
  };

  function phaseItem(p, i) {
    const at = (m) => `phases.${i}.${m}`;
    const decimal = { inputmode: 'decimal', class: 'short' };
    const grid = el('div', { class: 'phase-fields' }, [
      field(at('name'), t('editor.phaseName'), text(at('name'), p.name, { maxlength: '120' }), true),
      field(at('start'), t('editor.start'), text(at('start'), p.start, { class: 'short', placeholder: 'mm:ss' })),
      field(at('end'), t('editor.end'), text(at('end'), p.end, { class: 'short', placeholder: 'mm:ss' })),
      ...NUMBER_FIELDS.flatMap(([from, to, label]) => [
        field(at(from), `${t(label)} ${t('editor.from')}`, text(at(from), p[from], decimal)),
        field(at(to), `${t(label)} ${t('editor.to')}`, text(at(to), p[to], decimal)),
      ]),
      field(at('pulseShape'), t('settings.shape'), options(at('pulseShape'), PULSE_SHAPES, p.pulseShape, (v) => t(`shape.${v}`))),
      field(at('colorHex'), t('player.colour'), el('input', { type: 'color', name: at('colorHex'), value: p.colorHex })),
      ...LEVEL_FIELDS.map((m) => field(at(m), t(`editor.${m}`), text(at(m), p[m], { ...decimal, inputmode: 'numeric' }))),
      field(at('noiseType'), t('editor.noiseType'), options(at('noiseType'), NOISE_TYPES, p.noiseType, (v) => t(`editor.noise.${v}`))),
    ]);
    const button = (action, label, disabled = false) => el('button', { type: 'button', class: 'ghost small', 'data-action': action,
      'data-index': String(i), ...(disabled ? { disabled: '' } : {}), text: label });
    const last = draft.phases.length - 1;
    const tools = el('div', { class: 'phase-tools' }, [
      button('up', t('editor.up'), i === 0), button('down', t('editor.down'), i === last),
      button('split', t('editor.split')), button('remove', t('editor.remove'), last === 0),
      button('listen', t(listening?.index === i ? 'editor.stopListening' : 'editor.listen')),
    ]);
    return el('li', { class: 'editor-phase', 'data-index': String(i) },
      [el('h3', { text: `${t('player.phase')} ${i + 1}` }), grid, tools]);
  }

  function renderPhases() {
    $('editorPhases').replaceChildren(...draft.phases.map(phaseItem));
    validate();
  }

  // Messages next to their fields (those the person has been in, or all after a save), and in
  // the bar by the Save button how many are left and the first of them, so none is off-screen;
  // the course drawn from what can be read so far.
  function validate() {
    const problems = checkDraft(draft, { lightLimits: limits, audioLimits: soundLimits });
    const shown = problems.filter((p) => showAll || touched.has(p.field) || p.field === 'phases');
    for (const out of form.querySelectorAll('[data-error-for]')) out.textContent = '';
    for (const input of form.querySelectorAll('[aria-invalid]')) input.removeAttribute('aria-invalid');
    for (const p of shown) {
      const out = form.querySelector(`[data-error-for="${p.field}"]`);
      if (out && !out.textContent) out.textContent = t(p.key, p.values);
      form.elements[p.field]?.setAttribute('aria-invalid', 'true');
    }
    const summary = $('editorProblems');
    summary.hidden = shown.length === 0;
    if (shown.length) {
      const first = shown[0];
      const phase = /^phases\.(\d+)\./.exec(first.field);
      const where = phase ? `${t('player.phase')} ${Number(phase[1]) + 1}: ` : '';
      $('editorProblemsText').textContent = t('editor.problems', { count: problems.length, first: where + t(first.key, first.values) });
      summary.dataset.field = first.field;
    }
    drawPreview();
    return problems;
  }

  function showProblem(field) {
    const input = form.elements[field] ?? form.querySelector(`[data-error-for="${field}"]`);
    input?.scrollIntoView?.({ block: 'center' });
    input?.focus?.();
  }

  function drawPreview() {
    const svg = $('editorPreview');
    let timeline;
    try { timeline = buildTimeline(sessionFromDraft(draft)); } catch { svg.replaceChildren(); return; }
    const samples = Array.from({ length: PREVIEW_POINTS + 1 }, (_, k) => sampleTimeline(timeline, (k / PREVIEW_POINTS) * timeline.durationS));
    const top = Math.max(1, ...samples.flatMap((s) => [s.beatHz, s.lightHz]).filter(Number.isFinite)) * 1.15;
    const x = (k) => ((k / PREVIEW_POINTS) * 400).toFixed(1);
    const y = (v) => (80 - (Math.min(v, top) / top) * 76).toFixed(1);
    const line = (key, cls) => `<polyline class="${cls}" points="${samples.map((s, k) => (Number.isFinite(s[key]) ? `${x(k)},${y(s[key])}` : '')).join(' ')}"/>`;
    const strip = samples.slice(0, -1).map((s, k) => `<rect x="${x(k)}" y="84" width="${(400 / PREVIEW_POINTS + 0.5).toFixed(2)}" height="12" fill="${rgbToHex(s.color)}"/>`).join('');
    const marks = timeline.phases.slice(1).map((p) => `<line class="mark" x1="${((p.startS / timeline.durationS) * 400).toFixed(1)}" x2="${((p.startS / timeline.durationS) * 400).toFixed(1)}" y1="0" y2="96"/>`).join('');
    svg.innerHTML = `${marks}${line('beatHz', 'beat')}${line('lightHz', 'light')}${strip}<text x="2" y="10">${Math.round(top)} Hz</text>`;
  }

  function stopListening() {
    if (!listening) return;
    clearInterval(listening.timer);
    listening = null;
    listen(null);
  }

  function startListening(index) {
    stopListening();
    const session = phaseSession(draft, index);
    const timeline = buildTimeline(session);
    const startedAt = performance.now();
    const step = () => {
      const at = (performance.now() - startedAt) / 1000;
      // Heard at its level from the first moment: no session fade for a short listen.
      const sample = at < timeline.durationS ? { ...sampleTimeline(timeline, at), envelope: 1 } : null;
      if (!sample || !listen({ session, sample })) { stopListening(); renderPhases(); }
    };
    listening = { index, timer: setInterval(step, LISTEN_TICK_MS) };
    step();
  }

  // notices: what an imported file held that the session cannot ({nl, en} each).
  async function open(next, { notices = [], heading = null } = {}) {
    soundLimits = await ctx.audioLimits();
    draft = next;
    const language = ctx.language();
    $('editorNoticeList').replaceChildren(...notices.map((n) => el('li', { text: String(n[language] ?? n.nl ?? '') })));
    $('editorNotices').hidden = notices.length === 0;
    touched = new Set();
    showAll = false;
    const f = form.elements;
    f.title.value = draft.title;
    f.goal.value = draft.goal;
    f.category.value = draft.category;
    f.audioMode.value = draft.audioMode;
    f.carrier.value = String(draft.carrier);
    $('editorCategories').replaceChildren(...[...new Set(ctx.sessions().map((s) => s.category).filter(Boolean))].map((c) => new Option(c)));
    $('editorHeading').textContent = t(heading ?? (ctx.isCustom(draft.id) ? 'editor.editTitle' : 'editor.newTitle'));
    $('editorStatus').textContent = '';
    renderPhases();
    if (!dialog.open) dialog.showModal();
    f.title.focus();
    lightLimits().then((found) => { limits = found; if (dialog.open) validate(); });
  }

  form.addEventListener('input', (event) => {
    const name = event.target.name;
    if (!name || !draft) return;
    touched.add(name);
    const parts = name.split('.');
    if (parts[0] === 'phases' && (parts[2] === 'start' || parts[2] === 'end')) {
      // The neighbouring phase's edge moves along and shows its new time.
      for (const moved of setPhaseTime(draft, Number(parts[1]), parts[2], event.target.value)) {
        const [, index, member] = moved.split('.');
        if (form.elements[moved]) form.elements[moved].value = draft.phases[Number(index)][member];
      }
    } else if (parts[0] === 'phases') draft.phases[Number(parts[1])][parts[2]] = event.target.value;
    else draft[name] = event.target.value;
    validate();
  });
  form.addEventListener('focusout', (event) => {
    if (!event.target.name || !draft || touched.has(event.target.name)) return;
    touched.add(event.target.name);
    validate();
  });
  $('editorShowProblem').addEventListener('click', () => showProblem($('editorProblems').dataset.field));
  $('editorPhases').addEventListener('click', (event) => {
    const button = event.target.closest('button[data-action]');
    if (!button) return;
    const i = Number(button.dataset.index);
    const action = button.dataset.action;
    if (action === 'listen') {
      if (listening?.index === i) stopListening(); else startListening(i);
      renderPhases();
      return;
    }
    stopListening();
    if (action === 'up') movePhase(draft, i, -1);
    else if (action === 'down') movePhase(draft, i, 1);
    else if (action === 'split') splitPhase(draft, i);
    else if (action === 'remove') removePhase(draft, i);
    renderPhases();
  });
  $('editorAddPhase').addEventListener('click', () => { addPhase(draft); renderPhases(); });
  // The session as it stands in the editor, rendered by the program without saving it first.
  $('editorAudioExport').addEventListener('click', () => {
    showAll = true;
    const problems = validate();
    if (problems.length) { $('editorStatus').textContent = t('audioExport.invalid'); showProblem(problems[0].field); return; }
    $('editorStatus').textContent = '';
    const session = { ...sessionFromDraft(draft), id: draft.id };
    ctx.exportAudio({ session }, session.title);
  });
  $('editorCancel').addEventListener('click', () => dialog.close('cancel'));
  dialog.addEventListener('close', stopListening);
  form.addEventListener('submit', async (event) => {
    event.preventDefault();
    showAll = true;
    const problems = validate();
    if (problems.length) { showProblem(problems[0].field); return; }
    // The same checks an imported file passes: what is saved plays and exports alike.
    const parsed = parseSessionFile(sessionFileContent(sessionFromDraft(draft)), { audioLimits: soundLimits });
    if (!parsed.ok) {
      // A phase's own carrier, kept from a copied session, is only seen here.
      $('editorStatus').textContent = parsed.reason === 'limits' ? limitText(t, parsed.detail, 'limits.notSaved') : t(`files.invalid.${parsed.reason}`);
      return;
    }
    const session = { ...parsed.session, id: draft.id };
    const kept = await ctx.keepSession(session);
    // The program checks what it keeps; its refusal is said where the person is.
    if (kept.message) { $('editorStatus').textContent = t('files.notKept', { message: kept.message }); return; }
    dialog.close('save');
    ctx.select(session.id, { reveal: true });
    ctx.toast(t(kept.ok ? 'editor.saved' : 'files.notStored', { title: session.title }));
  });

  const freshId = () => `eigen-${Date.now().toString(36)}${Math.floor(Math.random() * 1296).toString(36)}`;
  $('newSessionButton').addEventListener('click', () => open(newDraft(freshId())));
  $('editButton').addEventListener('click', () => {
    const session = ctx.selected();
    if (!session) return;
    open(ctx.isCustom(session.id) ? draftFromSession(session)
      : draftFromSession(session, { id: freshId(), copyTitle: t('editor.copyTitle', { title: session.title }) }));
  });
  return {
    // Another player's file read by the program: a new session, not yet saved.
    openImported(session, notices) {
      return open(draftFromSession(session, { id: freshId() }), { notices, heading: 'editor.importTitle' });
    },
    render() {
      const session = ctx.selected();
      $('editButton').textContent = t(session && ctx.isCustom(session.id) ? 'editor.edit' : 'editor.copy');
    },
  };
}
