// The settings dialog (light output, fixtures, sound, language, key) and the
// photosensitivity warning that must be accepted before any light.

import { buildDmxFrame, fixtureChannels } from './dmx-frame.js';
import { normalizeSettings, PHOTOSENSITIVITY_KEY } from './settings.js';
import { getJson } from './net.js';
import { balanceText, gainText } from './views.js';

const $ = (id) => document.getElementById(id);

export function setupWarning(state, { onAccepted, onClosed }) {
  const dialog = $('warningDialog');
  $('warningCheck').addEventListener('change', (e) => { $('warningAccept').disabled = !e.target.checked; });
  dialog.addEventListener('close', () => {
    const pending = state.pendingStart;
    state.pendingStart = false;
    if (dialog.returnValue === 'accept' && $('warningCheck').checked) {
      state.store.setItem(PHOTOSENSITIVITY_KEY, 'yes');
      if (pending) onAccepted();
    }
    onClosed();
  });
  return () => {
    $('warningCheck').checked = false;
    $('warningAccept').disabled = true;
    if (!dialog.open) dialog.showModal();
  };
}

// onSaved(previousLight): the new settings are in state.settings.
export function setupSettings(state, { onSaved }) {
  const dialog = $('settingsDialog');
  const form = $('settingsForm');
  const f = form.elements;
  const t = (key, values) => state.t(key, values);

  function read() {
    const n = (name) => Number(f[name].value);
    return normalizeSettings({
      ...state.settings,
      language: f.language.value,
      light: {
        outputMode: f.outputMode.value, targetIp: f.targetIp.value, universe: n('universe'), serialPort: f.serialPort.value,
        channelLayout: f.channelLayout.value, startAddress: n('startAddress'), fixtureCount: n('fixtureCount'),
        channelSpacing: n('channelSpacing'), pulse: f.pulse.checked, shortFrames: f.shortFrames.checked,
      },
      audio: { mode: f.audioMode.value, pulseShape: f.audioPulseShape.value, balance: n('balance'), bass: n('bass'),
        mid: n('mid'), treble: n('treble'), noise: f.noise.checked },
      openAIKey: f.openAIKey.value,
    });
  }

  function fill() {
    const s = state.settings;
    const set = (name, value) => {
      const el = f[name];
      if (el.type === 'checkbox') el.checked = Boolean(value); else el.value = String(value);
    };
    for (const [name, value] of Object.entries(s.light)) if (f[name] && name !== 'serialPort') set(name, value);
    set('audioMode', s.audio.mode);
    set('audioPulseShape', s.audio.pulseShape);
    for (const name of ['balance', 'bass', 'mid', 'treble', 'noise']) set(name, s.audio[name]);
    set('language', s.language);
    set('openAIKey', s.openAIKey);
    refreshPorts(s.light.serialPort);
    showRangeValues();
    updateModeFields();
    updateLayoutPreview();
  }

  function updateModeFields() {
    const mode = f.outputMode.value;
    for (const el of document.querySelectorAll('[data-for-mode]')) {
      el.hidden = el.dataset.forMode === 'artnet' ? mode !== 'artnet' : mode === 'artnet';
    }
  }

  function updateLayoutPreview() {
    const layout = read().light;
    const fixtures = fixtureChannels(layout);
    const el = $('layoutPreview');
    if (fixtures.length === 0) { el.textContent = t('settings.previewNone'); return; }
    const { dmx, pulseChannels } = buildDmxFrame(layout, { r: 1, g: 1, b: 1, white: 1 });
    const pulse = pulseChannels.length > 8 ? `${pulseChannels.slice(0, 8).join(', ')}, …` : pulseChannels.join(', ');
    el.textContent = t(fixtures.length === 1 ? 'settings.previewOne' : 'settings.preview',
      { first: layout.startAddress, last: dmx.length, fixtures: fixtures.length, pulse });
  }

  async function refreshPorts(selected = f.serialPort.value) {
    const reply = await getJson('/dmx/serial-ports');
    const ports = reply.ok && Array.isArray(reply.body?.ports) ? reply.body.ports : [];
    const options = [new Option(t(ports.length ? 'settings.autoPort' : 'settings.noPorts'), '')];
    for (const port of ports) options.push(new Option(port, port));
    if (selected && !ports.includes(selected)) options.push(new Option(selected, selected));
    f.serialPort.replaceChildren(...options);
    f.serialPort.value = selected || '';
  }

  function showRangeValues() {
    for (const input of form.querySelectorAll('input[type="range"]')) {
      let out = input.nextElementSibling;
      if (!out || out.tagName !== 'OUTPUT') {
        out = document.createElement('output');
        input.after(out);
      }
      const v = Number(input.value);
      out.textContent = input.name === 'balance' ? balanceText(v) : gainText(v);
    }
  }

  form.addEventListener('input', () => { showRangeValues(); updateLayoutPreview(); });
  f.outputMode.addEventListener('change', updateModeFields);
  $('settingsButton').addEventListener('click', () => { fill(); dialog.showModal(); });
  $('refreshPorts').addEventListener('click', () => refreshPorts());
  $('settingsCancel').addEventListener('click', () => dialog.close('cancel'));
  dialog.addEventListener('close', () => {
    if (dialog.returnValue !== 'save') return;
    const next = read();
    const previous = state.settings.light;
    // The live controls may have moved while the dialog was open; they are not the dialog's.
    next.controls = state.settings.controls;
    state.settings = next;
    state.saveSettings();
    onSaved(previous);
  });
}
