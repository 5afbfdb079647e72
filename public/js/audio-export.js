// "Export as audio": the program renders the selected or edited session to a sound file on a
// thread of its own; the page asks for the progress, can break it off and offers the download.

import { controlUrl, deleteJson, getJson, postJson } from './net.js';

const $ = (id) => document.getElementById(id);
// A 20-minute session renders in a few seconds: a quarter second shows the bar moving.
const POLL_MS = 250;
export const AUDIO_FORMATS = [
  { value: 'wav', format: 'wav', bits: 16 },
  { value: 'wav24', format: 'wav', bits: 24 },
  { value: 'flac', format: 'flac', bits: 16 },
  { value: 'ogg', format: 'ogg', bits: 16 },
  { value: 'opus', format: 'opus', bits: 16 },
  { value: 'mp3', format: 'mp3', bits: 16 },
];

const clock = (seconds) => {
  const s = Math.max(0, Math.round(seconds));
  return `${Math.floor(s / 60)}:${String(s % 60).padStart(2, '0')}`;
};

// ctx: the panels' context (t, toast).
export function setupAudioExport(ctx) {
  const { t } = ctx;
  const dialog = $('audioExportDialog');
  const select = $('audioExportFormat');
  const status = $('audioExportStatus');
  const bar = $('audioExportProgress');
  const link = $('audioExportDownload');
  let target = null; // {sessionId} or {session}
  let render = null; // the program's render: {id, state, ...}
  let timer = null;

  for (const f of AUDIO_FORMATS) select.append(new Option(t(`audioExport.format.${f.value}`), f.value));

  function show() {
    const state = render?.state ?? 'idle';
    dialog.dataset.state = state;
    $('audioExportStart').hidden = state === 'rendering';
    $('audioExportCancel').hidden = state !== 'rendering';
    select.disabled = state === 'rendering';
    bar.hidden = state !== 'rendering' && state !== 'done';
    bar.value = render?.fraction ?? 0;
    link.hidden = state !== 'done';
    if (state === 'done') {
      link.href = controlUrl(`/session/render/${encodeURIComponent(render.id)}/file`);
      link.download = render.fileName;
      link.textContent = t('audioExport.download', { name: render.fileName });
    }
    if (state === 'rendering') {
      const percent = Math.floor((render.fraction ?? 0) * 100);
      status.textContent = Number.isFinite(render.remainingS)
        ? t('audioExport.progress', { percent, left: clock(render.remainingS) }) : t('audioExport.starting');
    } else if (state === 'done') status.textContent = t('audioExport.done');
    else if (state === 'cancelled') status.textContent = t('audioExport.cancelled');
    else if (state === 'failed') status.textContent = render.message || t('audioExport.failed');
  }

  function stopPolling() {
    clearTimeout(timer);
    timer = null;
  }

  async function poll() {
    timer = null;
    if (!render || render.state !== 'rendering') return;
    const reply = await getJson(`/session/render/${encodeURIComponent(render.id)}`);
    if (!render) return;
    if (reply.ok && reply.body?.render?.id === render.id) render = reply.body.render;
    else if (reply.status === 404) render = { ...render, state: 'failed', message: t('audioExport.lost') };
    show();
    // A missed answer is asked again; the program keeps rendering meanwhile.
    if (render.state === 'rendering' && dialog.open) timer = setTimeout(poll, POLL_MS);
  }

  async function start() {
    const choice = AUDIO_FORMATS.find((f) => f.value === select.value) ?? AUDIO_FORMATS[0];
    status.textContent = t('audioExport.starting');
    const reply = await postJson('/session/render', { ...target, format: choice.format, bits: choice.bits });
    if (!reply.ok) {
      render = null;
      show();
      status.textContent = reply.status === 0 ? t('light.noConnection') : (reply.body?.message || t('audioExport.failed'));
      return;
    }
    render = reply.body.render;
    show();
    stopPolling();
    timer = setTimeout(poll, POLL_MS);
  }

  async function cancel() {
    if (!render) return;
    stopPolling();
    await deleteJson(`/session/render/${encodeURIComponent(render.id)}`);
    render = { ...render, state: 'cancelled' };
    show();
  }

  $('audioExportStart').addEventListener('click', start);
  $('audioExportCancel').addEventListener('click', cancel);
  $('audioExportClose').addEventListener('click', () => dialog.close());
  // Closing while it renders breaks the render off: nobody is left to fetch the file.
  dialog.addEventListener('close', () => {
    if (render?.state === 'rendering') cancel();
    stopPolling();
  });

  return {
    // what: {sessionId} or {session}; title: shown in the dialog.
    open(what, title) {
      if (dialog.open) return;
      target = what;
      render = null;
      $('audioExportTitle').textContent = title;
      status.textContent = '';
      show();
      dialog.showModal();
      select.focus();
    },
  };
}
