// What the desktop program relies on in the real control page: every page function it calls is
// the page's own once the page has loaded (not the bridge's waiting stand-in), and the two
// buttons its shortcuts click while the functions are missing do what the functions do.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { launchBrowser, startProgram, waitFor } from './harness.mjs';

const buildDir = process.env.SOLVERA_BUILD_DIR || 'build';
let program;
let browser;

before(async () => {
  program = await startProgram(buildDir, { music: false });
  browser = await launchBrowser();
});

after(async () => {
  await browser?.close();
  await program?.stop();
});

test('the page defines every function the program calls, and the fallback buttons toggle as the functions do', async () => {
  const page = await browser.context.newPage();
  try {
    await page.goto(program.url);
    await waitFor(() => page.evaluate(() => document.querySelectorAll('.session-item').length > 0), 'the page to load');
    const functions = await page.evaluate(() => {
      const bridge = window.solveraPageBridge;
      return Object.fromEntries([...bridge.notifications, ...bridge.toggles].map((name) => [name,
        typeof window[name] !== 'function' ? 'missing' : window[name].early ? 'waiting' : 'page']));
    });
    assert.equal(Object.keys(functions).length, 8);
    for (const [name, kind] of Object.entries(functions)) assert.equal(kind, 'page', `${name} is the page's own`);

    const blackout = () => page.getAttribute('#blackoutButton', 'aria-pressed');
    await page.evaluate(() => document.querySelector('#blackoutButton').click());
    assert.equal(await blackout(), 'true', 'the blackout fallback switches blackout on');
    await page.evaluate(() => window.toggleBlackout());
    assert.equal(await blackout(), 'false', 'the page function switches it off again');

    await page.evaluate(() => document.querySelector('#breathingGuideEnabled').click());
    assert.equal(await page.isVisible('#breathingOverlay'), true, 'the breathing fallback opens the coaching');
    await page.evaluate(() => window.toggleBreathingCoaching());
    assert.equal(await page.isHidden('#breathingOverlay'), true, 'the page function closes it');
  } finally {
    await page.close();
  }
});
