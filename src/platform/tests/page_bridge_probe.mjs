// Runs the control page's bridge (public/js/page-bridge.js) in a bare script context and says
// what the page side knows and receives: its message and function names, and for each script
// the program sends, which page function it reached with which arguments.
// Usage: node page_bridge_probe.mjs <page-bridge.js> <calls>
//   calls: JSON {"calls": [script, ...], "shortcuts": [{"function", "script"}, ...]}
import { readFileSync } from 'node:fs';
import vm from 'node:vm';

const [bridgePath, input] = process.argv.slice(2);
const source = readFileSync(bridgePath, 'utf8');
const { calls, shortcuts } = JSON.parse(input);

// A page with the bridge loaded; its document records the fallback's clicks.
function page(readyState) {
  const clicked = [];
  const document = { readyState, querySelector: (selector) => ({ click: () => clicked.push(selector) }) };
  const window = {};
  const context = vm.createContext({ window, document });
  vm.runInContext(source, context);
  return { window, context, clicked };
}

const names = page('complete').window.solveraPageBridge;

// Every notification the page knows gets a recorder; each script reaches one of them, or none.
const received = calls.map((script) => {
  const p = page('complete');
  const reached = [];
  const recorders = {};
  for (const name of names.notifications) recorders[name] = (...args) => reached.push({ name, args });
  p.window.solveraPageBridge.register(recorders);
  let error = null;
  try { vm.runInContext(script, p.context); } catch (e) { error = String(e); }
  return { reached, error };
});

// A shortcut's script: with the page function (called once, answers true), and without it while
// the page loads (the fallback clicks, answers false) and once it has loaded (answers true).
const shortcutOutcomes = shortcuts.map(({ function: name, script }) => {
  const outcome = {};
  for (const [label, readyState, registered] of [['registered', 'loading', true], ['loading', 'loading', false], ['loaded', 'complete', false]]) {
    const p = page(readyState);
    let called = 0;
    if (registered && names.toggles.includes(name)) p.window.solveraPageBridge.register({ [name]: () => { called += 1; } });
    let result = null;
    let error = null;
    try { result = vm.runInContext(script, p.context); } catch (e) { error = String(e); }
    outcome[label] = { result, called, clicked: p.clicked, error };
  }
  return outcome;
});

process.stdout.write(JSON.stringify({
  messages: names.messages,
  notifications: names.notifications,
  toggles: names.toggles,
  received,
  shortcuts: shortcutOutcomes,
}));
