// The control page opened from another device, as a LAN user opens it: by the machine's network
// address, with and without the control token. The program, the browser and the address live
// in a network namespace this test makes (a veth pair with both ends inside), so nothing leaves
// the machine and the program sees a peer that is not loopback.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { readFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import { fileURLToPath } from 'node:url';
import { launchBrowser, startProgram, waitFor } from './harness.mjs';

const buildDir = process.env.SOLVERA_BUILD_DIR || 'build';
const ADDRESS = '10.213.7.1';
const inside = process.env.SOLVERA_PRIVATE_NETWORK === ADDRESS;

if (!inside) {
  // Runs this file again inside a fresh network namespace.
  test('pages on another device, in a private network', (t) => {
    const setup = [
      'ip link set lo up',
      'ip link add sv0 type veth peer name sv1',
      `ip addr add ${ADDRESS}/24 dev sv0`,
      'ip link set sv0 up', 'ip link set sv1 up',
    ].join(' && ');
    const probe = spawnSync('unshare', ['-n', 'sh', '-c', setup], { encoding: 'utf8' });
    if (probe.error || probe.status !== 0) {
      t.skip(`no network namespace here: ${probe.error?.message ?? probe.stderr.trim()}`);
      return;
    }
    // A test run of its own, not a child of this one (which would report in the runner's own form).
    const env = { ...process.env, SOLVERA_PRIVATE_NETWORK: ADDRESS };
    delete env.NODE_TEST_CONTEXT;
    const run = spawnSync('unshare', ['-n', 'sh', '-c',
      `${setup} && exec "${process.execPath}" --test --test-concurrency=1 --test-timeout=120000 "${fileURLToPath(import.meta.url)}"`], {
      encoding: 'utf8', env, timeout: 170_000,
    });
    t.diagnostic(run.stdout.split('\n').filter((l) => /^(not )?ok|^# (pass|fail)/.test(l)).join(' | '));
    assert.equal(run.status, 0, `${run.stdout}\n${run.stderr}`);
  });
} else {
  let program;
  let browser;
  let lanUrl;
  before(async () => {
    program = await startProgram(buildDir, { music: false });
    browser = await launchBrowser();
    lanUrl = program.url.replace('127.0.0.1', ADDRESS);
  });
  after(async () => {
    await browser?.close();
    await program?.stop();
  });

  test('without the token the page says at once what it needs, in its language, and never starts', async () => {
    const page = await browser.context.newPage();
    const refused = [];
    page.on('response', (r) => { if (r.status() === 403) refused.push(new URL(r.url()).pathname); });
    try {
      await page.goto(lanUrl);
      await waitFor(() => page.isVisible('#accessNotice'), 'the notice');
      assert.match(await page.textContent('#accessNotice'), /toegangstoken/);
      assert.equal(await page.isDisabled('#startButton'), true, 'Start cannot be pressed');
      await page.click('.session-item');
      assert.equal(await page.isDisabled('#startButton'), true, 'not even with a session chosen');
      await page.evaluate(() => window.toggleBlackout());
      assert.equal(await page.evaluate(() => document.body.dataset.state), 'idle');
      assert.equal(await page.textContent('#topStatus'), '', 'no "Sessie loopt"');
      await page.click('[data-lang="en"]');
      assert.match(await page.textContent('#accessNotice'), /access token/);
      assert.doesNotMatch(await page.textContent('#accessNotice'), /Vanaf andere apparaten/, 'no Dutch line in the English text');
      assert.ok(!(await page.isVisible('#toast')) || !/invalid_token/.test(await page.textContent('#toast')), 'no raw refusal shown');
      // The notice is for everyone: no serious or critical finding of axe-core on this page.
      await page.addScriptTag({ content: readFileSync(createRequire(import.meta.url).resolve('axe-core/axe.min.js'), 'utf8') });
      const found = await page.evaluate(() => window.axe.run(document, { resultTypes: ['violations'] }));
      assert.deepEqual(found.violations.filter((v) => ['serious', 'critical'].includes(v.impact)).map((v) => v.id), []);
    } finally {
      await page.close();
    }
  });

  test('with the address the program gives (its QR code on this machine), the page controls the program', async () => {
    const local = await browser.context.newPage();
    const page = await browser.context.newPage();
    try {
      // The page on the program's own machine shows the address with the token for others.
      await local.goto(program.url);
      await waitFor(() => local.isVisible('#controlPanel'), 'the control address');
      const address = await local.getAttribute('#controlAddress', 'href');
      assert.ok(address.startsWith(`http://${ADDRESS}:`) && /\/\?token=[0-9a-f]{32}$/.test(address), address);
      assert.ok(await local.locator('#controlQr svg').count(), 'as a QR code');

      await page.goto(address);
      await waitFor(() => page.evaluate(() => document.querySelectorAll('.session-item').length > 20), 'the library');
      assert.equal(await page.isHidden('#accessNotice'), true);
      assert.equal(await page.evaluate(() => fetch('/audio/limits').then((r) => r.status)), 403, 'the page is another device: without its token it would be refused');
      await page.click('.session-item');
      await page.click('#startButton');
      await waitFor(() => page.evaluate(() => document.getElementById('warningDialog').open), 'the start to go on to the light warning');
    } finally {
      await local.close();
      await page.close();
    }
  });
}
