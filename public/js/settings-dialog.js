// The settings dialog (light output, fixtures, sound with its device and delay, language,
// key) and the photosensitivity warning that must be accepted before any light. The program
// keeps both.

import { buildDmxFrame, fixtureChannels, MAX_EXTRA_OUTPUTS, OUTPUT_MODES, SERIAL_MODES } from './dmx-frame.js';
import { deviceOptions, normalizeProgramSettings } from './settings.js';
import { getJson } from './net.js';
import { balanceText, gainText } from './views.js';
import { CalibrationAid } from './calibration.js';

const $ = (id) => document.getElementById(id);

// onAccepted(startAfter): the person accepted; startAfter when a start waited for it.
export function setupWarning(state, { onAccepted }) {
  const dialog = $('warningDialog');
  $('warningCheck').addEventListener('change', (e) => { $('warningAccept').disabled = !e.target.checked; });
  dialog.addEventListener('close', () => {
    const pending = state.pendingStart;
    state.pendingStart = false;
    if (dialog.returnValue === 'accept' && $('warningCheck').checked) onAccepted(pending);
  });
  return () => {
    $('warningCheck').checked = false;
    $('warningAccept').disabled = true;
    if (!dialog.open) dialog.showModal();
  };
}

// save(settings) -> the program's stored settings or null; onSaved(stored): they are in
// state.settings (stored: and the program has them); onFailed(): the program did not take them.
export function setupSettings(state, { save, onSaved, onFailed }) {
  const dialog = $('settingsDialog');
  const form = $('settingsForm');
  const f = form.elements;
  const t = (key, values) => state.t(key, values);
  const calibration = new CalibrationAid({
    createContext: () => (globalThis.AudioContext ? new AudioContext({ latencyHint: 'interactive' }) : null),
    flash: (on) => $('calibrationFlash').classList.toggle('on', on),
  });

  function read() {
    const n = (name) => Number(f[name].value);
    return normalizeProgramSettings({
      ...state.settings,
      language: f.language.value,
      light: {
        outputMode: f.outputMode.value, targetIp: f.targetIp.value, universe: n('universe'), serialPort: f.serialPort.value,
        priority: n('priority'), networkInterface: f.networkInterface.value, sequencing: f.sequencing.checked,
        sync: f.sync.checked, extraOutputs: readExtraOutputs(),
        channelLayout: f.channelLayout.value, startAddress: n('startAddress'), fixtureCount: n('fixtureCount'),
        channelSpacing: n('channelSpacing'), pulse: f.pulse.checked, shortFrames: f.shortFrames.checked,
      },
      audio: { mode: f.audioMode.value, pulseShape: f.audioPulseShape.value, balance: n('balance'), bass: n('bass'),
        mid: n('mid'), treble: n('treble'), noise: f.noise.checked, device: f.audioDevice.value, latencyMs: n('latencyMs') },
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
    fillExtraOutputs(s.light.extraOutputs);
    listNodes(false);
    set('audioMode', s.audio.mode);
    set('audioPulseShape', s.audio.pulseShape);
    for (const name of ['balance', 'bass', 'mid', 'treble', 'noise', 'latencyMs']) set(name, s.audio[name]);
    set('language', s.language);
    set('openAIKey', s.openAIKey);
    refreshPorts(s.light.serialPort);
    refreshDevices(s.audio.device);
    showRangeValues();
    updateModeFields();
    updateLayoutPreview();
  }

  function updateModeFields() {
    const mode = f.outputMode.value;
    for (const el of document.querySelectorAll('[data-for-mode]')) {
      el.hidden = !el.dataset.forMode.split(' ').includes(mode);
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

  // More outputs, one row each: kind, address (or serial port), universe.
  function extraOutputRow(output) {
    const row = document.createElement('div');
    row.className = 'row extra-output';
    const mode = document.createElement('select');
    for (const m of OUTPUT_MODES) mode.add(new Option(t(`output.${m}`), m));
    mode.value = output.outputMode;
    const address = document.createElement('input');
    address.placeholder = t('settings.outputAddress');
    address.setAttribute('aria-label', t('settings.outputAddress'));
    address.value = SERIAL_MODES.includes(output.outputMode) ? output.serialPort : output.targetIp;
    const universe = document.createElement('input');
    Object.assign(universe, { type: 'number', min: 0, max: 63999, step: 1, value: output.universe });
    universe.setAttribute('aria-label', t('settings.universe'));
    const remove = document.createElement('button');
    Object.assign(remove, { type: 'button', className: 'ghost small', textContent: t('settings.removeOutput') });
    remove.addEventListener('click', () => { row.remove(); $('addOutput').disabled = false; });
    row.append(mode, address, universe, remove);
    return row;
  }

  function fillExtraOutputs(outputs) {
    $('extraOutputs').replaceChildren(...outputs.map(extraOutputRow));
    $('addOutput').disabled = outputs.length >= MAX_EXTRA_OUTPUTS;
  }

  function readExtraOutputs() {
    return [...$('extraOutputs').children].map((row) => {
      const [mode, address, universe] = row.querySelectorAll('select, input');
      const serial = SERIAL_MODES.includes(mode.value);
      return { outputMode: mode.value, targetIp: serial ? '' : address.value.trim(), universe: Number(universe.value),
        serialPort: serial ? address.value.trim() : '' };
    });
  }

  // The Art-Net nodes that answered; picking one fills in its address and first universe.
  let nodes = [];
  async function listNodes(again) {
    const select = $('artNetNodes');
    select.replaceChildren(new Option(t('settings.nodesLooking'), ''));
    const reply = await getJson(again ? '/dmx/nodes?refresh=1' : '/dmx/nodes');
    nodes = reply.ok && Array.isArray(reply.body?.nodes) ? reply.body.nodes : [];
    const options = [new Option(t(nodes.length ? 'settings.nodesPick' : 'settings.nodesNone'), '')];
    nodes.forEach((node, i) => {
      const universes = Array.isArray(node.universes) && node.universes.length ? ` · ${node.universes.join(', ')}` : '';
      options.push(new Option(`${node.name || node.ip} (${node.ip})${universes}`, String(i)));
    });
    select.replaceChildren(...options);
  }

  async function refreshDevices(chosen = f.audioDevice.value) {
    const show = (options) => {
      f.audioDevice.replaceChildren(...options.map((o) => new Option(o.label, o.value)));
      f.audioDevice.value = chosen || '';
    };
    show(deviceOptions(null, chosen, t));
    const reply = await getJson('/audio/devices');
    if (reply.ok) show(deviceOptions(reply.body, chosen, t));
  }

  function showRangeValues() {
    for (const input of form.querySelectorAll('input[type="range"]')) {
      let out = input.nextElementSibling;
      if (!out || out.tagName !== 'OUTPUT') {
        out = document.createElement('output');
        input.after(out);
      }
      const v = Number(input.value);
      out.textContent = input.name === 'balance' ? balanceText(v) : input.name === 'latencyMs' ? `${v} ms` : gainText(v);
    }
  }

  function calibrate(on) {
    const started = on && calibration.start();
    if (!on) calibration.stop();
    $('calibrateButton').setAttribute('aria-pressed', String(Boolean(started)));
    $('calibrateButton').textContent = t(started ? 'settings.calibrateStop' : 'settings.calibrate');
    const help = $('calibrationHelp');
    help.hidden = !on;
    help.textContent = on ? t(started ? 'settings.calibrateHelp' : 'settings.calibrateNoSound') : '';
  }

  form.addEventListener('input', () => {
    showRangeValues();
    updateLayoutPreview();
    calibration.extraMs = Number(f.latencyMs.value);
  });
  f.outputMode.addEventListener('change', updateModeFields);
  $('settingsButton').addEventListener('click', () => { fill(); calibration.extraMs = Number(f.latencyMs.value); dialog.showModal(); });
  $('refreshPorts').addEventListener('click', () => refreshPorts());
  $('refreshNodes').addEventListener('click', () => listNodes(true));
  $('artNetNodes').addEventListener('change', (e) => {
    const node = nodes[Number(e.target.value)];
    if (!e.target.value || !node) return;
    f.targetIp.value = node.ip;
    if (Array.isArray(node.universes) && node.universes.length) f.universe.value = String(node.universes[0]);
    updateLayoutPreview();
  });
  $('addOutput').addEventListener('click', () => {
    const rows = $('extraOutputs');
    rows.append(extraOutputRow({ outputMode: 'artnet', targetIp: '', universe: 0, serialPort: '' }));
    $('addOutput').disabled = rows.children.length >= MAX_EXTRA_OUTPUTS;
  });
  $('calibrateButton').addEventListener('click', () => calibrate(!calibration.running));
  $('settingsCancel').addEventListener('click', () => dialog.close('cancel'));
  dialog.addEventListener('close', async () => {
    calibrate(false);
    if (dialog.returnValue !== 'save') return;
    const next = read();
    // The live controls may have moved while the dialog was open; they are not the dialog's.
    next.controls = state.settings.controls;
    next.photosensitivityAccepted = state.settings.photosensitivityAccepted;
    state.settings = next;
    onSaved(false);
    const stored = await save(next);
    if (!stored) { onFailed(); return; }
    // The program's repair is the one that holds; the live controls stay as they are now.
    state.settings = { ...stored, controls: state.settings.controls };
    onSaved(true);
  });
}
