// Panels for what the desktop program does on this computer: the music library, session files,
// the analysis report and the headband. In an ordinary browser each falls back to what a
// browser can do itself (downloads, a file input, a new tab) or says where it works.

import { TEXTS } from './i18n.js';
import { getJson, postJson } from './net.js';
import { hasNative, postNative } from './native.js';
import { addImportedSession, parseSessionFile, sessionFileContent, sessionFileName, SESSION_FILE_MAX_BYTES, utf8Length } from './session-file.js';
import { buildReportHtml, reportTitle } from './report.js';
import { limitText } from './audio-limits.js';

const $ = (id) => document.getElementById(id);
const known = (key) => Object.hasOwn(TEXTS.nl, key);
const STEPS = ['downloading', 'verifying', 'installing'];
const OTHER_PLAYER = /\.(sbg|gnaural)$/i;

// ---- music library -------------------------------------------------------------------------

export function musicResultText(t, result) {
  if (!result) return '';
  if (result.ok) return t('music.installedCount', { count: result.count });
  const key = `music.failed.${result.word}`;
  return known(key) ? t(key) : t('music.failed.other', { word: result.word });
}

export function setupMusicLibrary(ctx) {
  const { t } = ctx;
  const state = { tracks: [], phase: null, result: null, waiting: false };

  // The program answers whether a library is installed; asking for its manifest file directly
  // would log a missing file on every load where none is.
  async function load() {
    const reply = await getJson('/music/library');
    const tracks = reply.body && Array.isArray(reply.body.tracks) ? reply.body.tracks.filter((x) => x && typeof x.file === 'string') : [];
    state.tracks = tracks;
    render();
  }

  function render() {
    let status;
    if (state.phase) status = t(`music.status.${state.phase}`);
    else if (state.tracks.length) status = t('music.ready', { count: state.tracks.length });
    else status = t('music.none');
    $('musicStatus').textContent = status;
    const progress = $('musicProgress');
    progress.hidden = !state.phase;
    const at = STEPS.indexOf(state.phase);
    for (const li of progress.querySelectorAll('[data-step]')) {
      const i = STEPS.indexOf(li.dataset.step);
      li.classList.toggle('done', at > i);
      li.classList.toggle('current', at === i);
    }
    $('musicProgressBar').value = at + 0.5;
    const result = $('musicResult');
    result.textContent = musicResultText(t, state.result);
    result.hidden = !state.result;
    result.classList.toggle('error', Boolean(state.result && !state.result.ok && state.result.word !== 'cancelled'));
    const native = hasNative('musicLibrary');
    const button = $('installMusicButton');
    button.hidden = !native;
    button.disabled = Boolean(state.phase) || state.waiting;
    button.textContent = t(state.tracks.length ? 'music.reinstall' : 'music.install');
    $('musicBrowserNote').hidden = native || state.tracks.length > 0;
  }

  const downloadStatus = (status, message) => {
    if (status === 'failed') {
      state.phase = null;
      state.result = { ok: false, word: String(message ?? '') };
    } else {
      state.phase = String(status);
      state.result = null;
    }
    render();
  };

  const installed = (ok, message) => {
    state.phase = null;
    state.waiting = false;
    state.result = ok ? { ok: true, count: String(message ?? '') } : { ok: false, word: String(message ?? '') };
    render();
    if (ok) {
      ctx.toast(musicResultText(t, state.result));
      load();
    }
  };

  $('installMusicButton').addEventListener('click', () => {
    if (postNative('musicLibrary', 'install')) {
      state.waiting = true;
      state.result = null;
      render();
    }
  });
  const pageFunctions = { solveraMusicLibraryDownloadStatus: downloadStatus, solveraMusicLibraryInstalled: installed };
  return { load, render, state, pageFunctions };
}

// ---- session files -------------------------------------------------------------------------

const FIELD_NAMES = {
  nl: { audioFrequencyHz: 'toonfrequentie', lightFrequencyHz: 'lichtfrequentie', carrierFrequencyHz: 'draaggolf', colorHex: 'kleur',
    rgb: 'RGB-kleur', rgbIntensity: 'RGB-intensiteit', whiteIntensity: 'wit-intensiteit', pulseVolume: 'toonvolume',
    musicVolume: 'muziekvolume', noiseVolume: 'ruisvolume', reverbMix: 'galm' },
  en: { audioFrequencyHz: 'beat frequency', lightFrequencyHz: 'light frequency', carrierFrequencyHz: 'carrier', colorHex: 'colour',
    rgb: 'RGB colour', rgbIntensity: 'RGB intensity', whiteIntensity: 'white intensity', pulseVolume: 'beat volume',
    musicVolume: 'music volume', noiseVolume: 'noise volume', reverbMix: 'reverb' },
};

// The user's message for a refused import.
export function importErrorText(t, language, parsed) {
  const field = (FIELD_NAMES[language] ?? FIELD_NAMES.nl)[parsed.detail?.field] ?? parsed.detail?.field ?? '';
  if (parsed.reason === 'limits') return limitText(t, parsed.detail, 'limits.notImported');
  if (parsed.reason === 'values') {
    return parsed.detail?.phase ? t('files.invalid.values', { phase: parsed.detail.phase, field }) : t('files.invalid.sessionValues', { field });
  }
  const key = `files.invalid.${parsed.reason}`;
  return known(key) ? t(key) : t('files.import.other', { word: parsed.reason });
}

export function setupSessionFiles(ctx) {
  const { t } = ctx;

  // Checked against the tone generator's own table: what is imported plays as written. The
  // table is nearly always known already; then the import is done when the program's call returns.
  function importText(text) {
    const known = ctx.audioLimitsNow();
    if (known) { importChecked(text, known); return Promise.resolve(); }
    return ctx.audioLimits().then((table) => (table ? importChecked(text, table) : ctx.toast(t('limits.unknown'))));
  }

  async function importChecked(text, audioLimits) {
    const parsed = parseSessionFile(text, { audioLimits });
    if (!parsed.ok) { ctx.toast(importErrorText(t, ctx.language(), parsed)); return; }
    const { session, replaced } = addImportedSession(ctx.customSessions(), ctx.shippedIds(), parsed.session);
    const kept = await ctx.keepSession(session);
    if (kept.message) { ctx.toast(t('files.notKept', { message: kept.message })); return; }
    ctx.select(session.id, { reveal: true });
    ctx.toast(kept.ok ? t(replaced ? 'files.reimported' : 'files.imported', { title: session.title }) : t('files.storeFull'));
  }

  // Another player's file (SBaGen, Gnaural): the program reads it, and the editor opens it as a
  // new session with what it could not take over named.
  async function importOther(fileName, text) {
    ctx.toast(t('files.import.converting'));
    const reply = await postJson('/session/import', { fileName, text }, { timeoutMs: 15_000 });
    if (reply.ok && reply.body?.session) { ctx.openImported(reply.body.session, reply.body.notices ?? []); return; }
    if (!reply.body) { ctx.toast(t('light.noConnection')); return; }
    const error = reply.body.error;
    const message = typeof error === 'object' && error ? (error[ctx.language()] ?? error.nl) : reply.body.message;
    ctx.toast(t('files.import.failed', { message: String(message ?? error ?? '') }));
  }

  // The window's own file dialog hands over only the text: XML is Gnaural's, other text that
  // is not JSON is read as SBaGen's.
  function importAny(name, text) {
    const head = text.trimStart();
    const other = name ? OTHER_PLAYER.test(name) && name
      : !head.startsWith('{') && (head.startsWith('<') ? 'bestand.gnaural' : 'bestand.sbg');
    if (other) importOther(other, text); else importText(text);
  }

  const imported = (ok, value) => {
    if (ok) { importAny(null, String(value ?? '')); return; }
    const key = `files.import.${value}`;
    ctx.toast(known(key) ? t(key) : t('files.import.other', { word: String(value) }));
  };

  const exported = (ok, reason) => {
    if (ok) { ctx.toast(t('files.exported')); return; }
    const key = `files.export.${reason}`;
    ctx.toast(known(key) ? t(key) : t('files.export.other', { word: String(reason) }));
  };

  $('exportButton').addEventListener('click', () => {
    const session = ctx.selected();
    if (!session) return;
    let content;
    try {
      content = sessionFileContent(session, { application: ctx.edition() });
    } catch (error) {
      // Only a stored session that no longer passes the checks gets here.
      ctx.toast(importErrorText(t, ctx.language(), { reason: error.reason ?? 'format', detail: error.detail ?? {} }));
      return;
    }
    const filename = sessionFileName(session, ctx.language());
    if (utf8Length(content) > SESSION_FILE_MAX_BYTES) { ctx.toast(t('files.export.size')); return; }
    if (postNative('sessionFiles', { action: 'export', filename, content })) return;
    const url = URL.createObjectURL(new Blob([content], { type: 'application/octet-stream' }));
    const link = document.createElement('a');
    link.href = url;
    link.download = filename;
    document.body.append(link);
    link.click();
    link.remove();
    setTimeout(() => URL.revokeObjectURL(url), 60_000);
    ctx.toast(t('files.downloaded', { name: filename }));
  });

  const fileInput = $('importFile');
  $('importButton').addEventListener('click', () => {
    if (postNative('sessionFiles', { action: 'import' })) return;
    fileInput.value = '';
    fileInput.click();
  });
  fileInput.addEventListener('change', async () => {
    const file = fileInput.files?.[0];
    if (!file) return;
    if (file.size > SESSION_FILE_MAX_BYTES) { ctx.toast(t('files.invalid.size')); return; }
    let text;
    try { text = await file.text(); } catch { ctx.toast(t('files.import.read')); return; }
    importAny(file.name, text);
  });

  $('deleteButton').addEventListener('click', () => {
    const session = ctx.selected();
    if (!session || !ctx.isCustom(session.id)) return;
    if (!window.confirm(t('files.confirmDelete', { title: session.title }))) return;
    ctx.forgetSession(session.id);
    ctx.select(null);
    ctx.toast(t('files.deleted', { title: session.title }));
  });
  return { importText, pageFunctions: { solveraSessionFileImported: imported, solveraSessionFileExported: exported } };
}

// ---- analysis report -----------------------------------------------------------------------

export function setupReport(ctx) {
  const { t } = ctx;
  $('reportButton').addEventListener('click', async () => {
    // The program's record: it holds what happened while no page was open too.
    let run = ctx.record();
    if (!run) {
      const reply = await getJson('/session/record');
      run = reply.ok && reply.body?.record?.endedAt ? reply.body.record : null;
    }
    if (!run) { ctx.toast(t('report.none')); return; }
    const language = ctx.language();
    const html = buildReportHtml(run, { language, t, application: ctx.edition() });
    if (postNative('analysisPrint', { html, title: reportTitle(run, language, t) })) {
      ctx.toast(t('report.sent'));
      return;
    }
    const url = URL.createObjectURL(new Blob([html], { type: 'text/html' }));
    const opened = window.open(url, '_blank');
    if (!opened) { ctx.toast(t('report.blocked')); URL.revokeObjectURL(url); return; }
    setTimeout(() => URL.revokeObjectURL(url), 120_000);
    ctx.toast(t('report.opened'));
  });
}

// ---- headband: a module of its own ----------------------------------------------------------

export { setupHeadband } from './headband-panel.js';
