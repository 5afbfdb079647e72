// The page's keys: Space pauses and resumes, B switches blackout, Escape closes the breathing
// coaching. B works whatever has focus, except while the person types text; Space is left to a
// control it operates itself (a button, a check box) and to text. The desktop program is told
// when a key-taking field has focus, so that its presenter keys (Right arrow, F5) reach it.

import { hasNative, postNative } from './native.js';

const TEXT_INPUTS = new Set(['text', 'search', 'email', 'password', 'number', 'tel', 'url', 'date', 'time', 'datetime-local', 'month', 'week']);
// Inputs that Space operates.
const SPACE_INPUTS = new Set(['checkbox', 'radio', 'button', 'submit', 'reset', 'color', 'file', 'image']);
const SPACE_ROLES = new Set(['button', 'checkbox', 'switch', 'radio', 'menuitem', 'option', 'tab', 'link']);

// Whether the person types text into the element: every printable key belongs to it.
export function typesText(el) {
  if (!el || el.nodeType !== 1) return false;
  if (el.isContentEditable) return true;
  if (el.tagName === 'TEXTAREA') return true;
  if (el.tagName === 'INPUT') return TEXT_INPUTS.has((el.getAttribute('type') || 'text').toLowerCase());
  return false;
}

// Whether the element takes typed keys and arrows itself (text, lists, sliders): what the
// desktop program's presenter keys must leave alone.
export function takesKeys(el) {
  if (typesText(el)) return true;
  if (!el || el.nodeType !== 1) return false;
  if (el.tagName === 'SELECT') return true;
  if (el.tagName === 'INPUT' && (el.getAttribute('type') || '').toLowerCase() === 'range') return true;
  return el.getAttribute('role') === 'slider';
}

// Whether Space does something of its own on the element.
function spaceOperates(el) {
  if (!el || el.nodeType !== 1) return false;
  if (typesText(el)) return true;
  const tag = el.tagName;
  if (tag === 'BUTTON' || tag === 'SUMMARY' || tag === 'SELECT') return true;
  if (tag === 'INPUT') return SPACE_INPUTS.has((el.getAttribute('type') || 'text').toLowerCase());
  return SPACE_ROLES.has(el.getAttribute('role') ?? '');
}

// The page's own action for a key, or null. Keys with modifiers and auto-repeats are left alone.
export function pageKeyAction(event) {
  if (event.ctrlKey || event.metaKey || event.altKey || event.repeat) return null;
  const target = event.target;
  if (event.key === 'Escape') return 'escape';
  if (typesText(target)) return null;
  if (event.key === ' ' || event.code === 'Space') return spaceOperates(target) ? null : 'togglePause';
  if (event.key === 'b' || event.key === 'B') return 'blackout';
  return null;
}

// Tells the desktop program whether a key-taking element has focus, on every change. In an
// ordinary browser there is nobody to tell.
export function reportEditingFocus(doc = document, post = postNative) {
  let last = null;
  const report = () => {
    const editing = takesKeys(doc.activeElement);
    if (editing === last) return;
    last = editing;
    post('editingFocus', editing);
  };
  doc.addEventListener('focusin', report);
  // focusout fires before the next element has focus; look once it has.
  doc.addEventListener('focusout', () => setTimeout(report, 0));
  report();
}

export function setupKeys(state, { controller }) {
  // Right arrow and F5 toggle the coaching only in the desktop program; a browser keeps them.
  if (hasNative('editingFocus')) document.getElementById('keysHelp').dataset.i18n = 'keys.helpDesktop';
  document.addEventListener('keydown', (event) => {
    const action = pageKeyAction(event);
    if (!action) return;
    if (action === 'escape') {
      if (state.breathing) controller.setBreathing(false);
      return;
    }
    // Blackout is for safety: it works in a dialog too. Space belongs to what is open.
    if (action === 'togglePause' && (document.querySelector('dialog[open]') || !state.player.active)) return;
    event.preventDefault();
    if (action === 'togglePause') controller.togglePause();
    else window.toggleBlackout();
  });
  reportEditingFocus();
}
