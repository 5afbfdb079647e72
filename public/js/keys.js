// The page's keys: Space pauses and resumes, B switches blackout, Escape closes the breathing
// coaching. A user typing in a field gets their keys; the desktop program is told when such a
// field has focus, so that its presenter keys (Right arrow, F5) reach the field too.

import { postNative } from './native.js';

const TEXT_INPUTS = new Set(['text', 'search', 'email', 'password', 'number', 'tel', 'url', 'date', 'time', 'range']);

// Whether the element takes typed keys (and arrows) itself.
export function takesKeys(el) {
  if (!el || el.nodeType !== 1) return false;
  if (el.isContentEditable) return true;
  const tag = el.tagName;
  if (tag === 'TEXTAREA' || tag === 'SELECT') return true;
  if (tag === 'INPUT') return TEXT_INPUTS.has((el.getAttribute('type') || 'text').toLowerCase());
  return el.getAttribute('role') === 'slider';
}

// The page's own action for a key, or null. Keys with modifiers, keys for a field and Space on
// a button (which presses the button) are left alone.
export function pageKeyAction(event) {
  if (event.ctrlKey || event.metaKey || event.altKey || event.repeat) return null;
  const target = event.target;
  if (takesKeys(target)) return null;
  if (event.key === 'Escape') return 'escape';
  if (event.key === ' ' || event.code === 'Space') {
    const interactive = target?.closest?.('button, a[href], summary, input, label');
    return interactive ? null : 'togglePause';
  }
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
  document.addEventListener('keydown', (event) => {
    const action = pageKeyAction(event);
    if (!action) return;
    // A dialog keeps its keys: Space and B belong to what is open.
    if (action !== 'escape' && document.querySelector('dialog[open]')) return;
    if (action === 'escape') {
      if (state.breathing) controller.setBreathing(false);
      return;
    }
    // Space scrolls the page as usual while no session plays.
    if (action === 'togglePause' && !state.player.active) return;
    event.preventDefault();
    if (action === 'togglePause') controller.togglePause();
    else window.toggleBlackout();
  });
  reportEditingFocus();
}
