// The headband path end to end in the program's own window: the real bridge program, started by
// the program, talks to a simulated BlueZ with a Muse headband (10 Hz rhythm) on a private bus,
// and the page's headband panel shows the connection, the contact, the battery and alpha
// leading the five bands.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { existsSync } from 'node:fs';
import { resolve } from 'node:path';
import { firstLine, missingTools, start, startDesktop, waitFor } from './desktop-harness.mjs';
import { REPO } from '../e2e/harness.mjs';

const buildDir = resolve(process.env.SOLVERA_BUILD_DIR || 'build');
const bridgeProgram = resolve(buildDir, 'resources/muse-bridge/SolveraMuseBridge');
const simulator = resolve(REPO, 'src/bridge/tests/simulated_headband.py');
const why = missingTools() || (existsSync(bridgeProgram) ? '' : 'the bridge program is not built')
  || (existsSync('/usr/lib/python3/dist-packages/dbusmock') ? '' : 'python3-dbusmock not installed');

// The real bridge under another name: orphan cleanup, run by other test programs at the same
// time, ends every process called like the bridge.
const BRIDGE = `#!/bin/sh
ln -sf '${bridgeProgram}' ./headband-bridge
exec ./headband-bridge
`;

let desktop;
const helpers = [];
const text = (id) => desktop.evaluate(`document.getElementById(${JSON.stringify(id)}).textContent`);

before(async () => {
  if (why) return;
  try {
    const bus = start('dbus-daemon', ['--session', '--nofork', '--print-address=1'], { stdio: ['ignore', 'pipe', 'ignore'] });
    helpers.push(bus);
    const address = await firstLine(bus.stdout, 'bus address');
    const headband = start('/usr/bin/python3', [simulator, '--speed', '2'], {
      env: { ...process.env, DBUS_SYSTEM_BUS_ADDRESS: address }, stdio: ['ignore', 'pipe', 'inherit'],
    });
    helpers.push(headband);
    assert.equal(await firstLine(headband.stdout, 'the simulated headband'), 'ready');
    desktop = await startDesktop({
      buildDir, library: {}, bridge: BRIDGE, extraEnv: { DBUS_SYSTEM_BUS_ADDRESS: address },
    });
  } catch (error) {
    for (const helper of helpers.reverse()) await helper.stopGroup('SIGKILL');
    throw error;
  }
});

after(async () => {
  if (desktop?.errors.length) console.log('page errors:', JSON.stringify(desktop.errors, null, 1));
  try {
    await desktop?.stop();
  } finally {
    for (const helper of helpers.reverse()) await helper.stopGroup('SIGKILL');
  }
});

test('the panel shows the simulated headband streaming with alpha dominant', { skip: why || false }, async () => {
  const legend = () => desktop.evaluate('[...document.querySelectorAll("#headbandLegend li")].map((li) => [li.querySelector(".name").textContent, Number(li.querySelector(".value").textContent)])');
  const bands = await waitFor(async () => {
    const entries = await legend();
    return entries.length === 5 ? Object.fromEntries(entries) : null;
  }, 'five bands in the plot legend', 60_000);
  assert.deepEqual(Object.keys(bands).sort(), ['alpha', 'beta', 'delta', 'gamma', 'theta']);
  const strongest = Object.entries(bands).sort((a, b) => b[1] - a[1])[0][0];
  assert.equal(strongest, 'alpha', `bands: ${JSON.stringify(bands)}`);

  assert.match(await text('headbandStatus'), /^Ontvangt metingen \(\d+\)$/);
  assert.equal(await text('headbandMessage'), 'Metingen komen binnen.');
  await waitFor(async () => (await desktop.evaluate('[...document.querySelectorAll("#headbandContact li.contact-good")].map((li) => li.textContent).join()')) === 'TP9,AF7,AF8,TP10',
    'good contact on all four electrodes', 30_000);
  assert.equal(await desktop.evaluate('document.getElementById("headbandHint").hidden'), true, 'no hint to adjust the band');
  assert.equal(await text('headbandFacts'), 'Batterij 88%');
  const events = desktop.calls.filter((c) => c.name === 'solveraMuseBridgeEvents').flatMap((c) => c.args[0]);
  const words = events.filter((e) => e.source === 'solvera-muse-bridge' && e.type === 'status').map((e) => e.status);
  assert.deepEqual(words.slice(0, 4), ['scanning', 'connecting', 'connected', 'streaming']);
});
