// The page bridge: the program's calls that arrive before the page's modules wait and run
// once their functions are registered, in the order the program made them.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import vm from 'node:vm';

const source = readFileSync(new URL('../../public/js/page-bridge.js', import.meta.url), 'utf8');

function freshWindow() {
  const window = {};
  vm.runInNewContext(source, { window });
  return window;
}

test('early calls wait for their functions and run in the order the program made them', () => {
  const win = freshWindow();
  const seen = [];
  const record = (name) => (...args) => seen.push([name, ...args]);
  win.solveraMuseBridgeEvents([{ status: 'starting' }]);
  win.solveraMusicLibraryDownloadStatus('downloading', '');
  win.solveraMuseBridgeEvents([{ status: 'scanning' }]);
  win.solveraClipboardText('a"b');

  win.solveraPageBridge.register({ solveraMuseBridgeEvents: record('events') });
  assert.deepEqual(seen, [['events', [{ status: 'starting' }]], ['events', [{ status: 'scanning' }]]],
    'only the calls whose function is registered run');

  win.solveraPageBridge.register({
    solveraMusicLibraryDownloadStatus: () => { throw new Error('bad call'); },
    solveraClipboardText: record('clipboard'),
  });
  assert.deepEqual(seen.slice(2), [['clipboard', 'a"b']], 'a failing call does not stop the ones after it');

  win.solveraPageBridge.register({ solveraSessionFileExported: record('exported') });
  assert.equal(seen.length, 3, 'a call runs once');
  win.solveraClipboardText('later');
  assert.deepEqual(seen.at(-1), ['clipboard', 'later'], 'after registration the page function is called directly');
});

test('the toggles do not wait, and only the program\'s page functions can be registered', () => {
  const win = freshWindow();
  // The program clicks the buttons itself while the page lacks these.
  assert.equal(typeof win.toggleBlackout, 'undefined');
  assert.equal(typeof win.toggleBreathingCoaching, 'undefined');
  let toggled = 0;
  win.solveraPageBridge.register({ toggleBlackout: () => { toggled += 1; } });
  win.toggleBlackout();
  assert.equal(toggled, 1);
  assert.throws(() => win.solveraPageBridge.register({ solveraTypo: () => {} }), /unknown page function: solveraTypo/);
  assert.throws(() => win.solveraPageBridge.register({ solveraClipboardText: undefined }), /not a function: solveraClipboardText/);
  for (const name of ['solveraMusicLibraryDownloadStatus', 'solveraMusicLibraryInstalled', 'solveraSessionFileImported',
    'solveraSessionFileExported', 'solveraClipboardText', 'solveraMuseBridgeEvents']) {
    assert.equal(typeof win[name], 'function', `${name} exists before any module runs`);
  }
});
