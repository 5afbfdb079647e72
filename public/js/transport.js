// The transport bar's progress: a click or a drag on it moves the playing session there. While
// dragging only the display follows; the session jumps once, where the pointer is let go.

const $ = (id) => document.getElementById(id);

export function fractionAt(rect, clientX) {
  if (!(rect.width > 0)) return 0;
  return Math.min(1, Math.max(0, (clientX - rect.left) / rect.width));
}

export function setupTransport(state, { controller, views }) {
  // The page keeps room for the bar below its content, whatever the bar's height.
  const fixed = $('transportBar');
  const keepRoom = () => document.documentElement.style.setProperty('--transport-height', `${Math.ceil(fixed.offsetHeight)}px`);
  new ResizeObserver(keepRoom).observe(fixed);
  keepRoom();
  const bar = $('phaseBar');
  let dragging = false;
  const preview = (event) => {
    views.seekPreview = fractionAt(bar.getBoundingClientRect(), event.clientX);
    views.player();
  };
  bar.addEventListener('pointerdown', (event) => {
    if (!state.player.active || event.button !== 0) return;
    dragging = true;
    bar.setPointerCapture?.(event.pointerId);
    preview(event);
  });
  bar.addEventListener('pointermove', (event) => { if (dragging) preview(event); });
  const finish = (event, commit) => {
    if (!dragging) return;
    dragging = false;
    const fraction = fractionAt(bar.getBoundingClientRect(), event.clientX);
    views.seekPreview = null;
    if (commit) controller.seek(fraction * state.player.duration());
    else views.player();
  };
  bar.addEventListener('pointerup', (event) => finish(event, true));
  bar.addEventListener('pointercancel', (event) => finish(event, false));
  // From the keyboard: ten seconds a step, a phase with Page Up and Page Down.
  bar.addEventListener('keydown', (event) => {
    if (!state.player.active) return;
    const at = state.player.elapsed();
    const { phaseIndex, phaseCount, phaseElapsedS } = state.player.status;
    const index = Math.max(0, phaseIndex);
    const moves = {
      ArrowLeft: () => controller.seek(Math.max(0, at - 10)),
      ArrowRight: () => controller.seek(Math.min(state.player.duration(), at + 10)),
      // Back to this phase's start, or to the one before when just begun.
      PageUp: () => controller.seekToPhase(Math.max(0, index - (phaseElapsedS > 3 ? 0 : 1))),
      PageDown: () => controller.seekToPhase(Math.min(Math.max(0, phaseCount - 1), index + 1)),
      Home: () => controller.seek(0),
    };
    if (!moves[event.key]) return;
    event.preventDefault();
    event.stopPropagation();
    moves[event.key]();
  });
}
