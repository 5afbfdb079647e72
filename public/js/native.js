// The desktop program's script messages, and the clipboard reply that comes back as a page
// call. In an ordinary browser there is no bridge: callers fall back to browser means.

export const CLIPBOARD_WAIT_MS = 3000;

export function nativeHandlers(win = globalThis.window) {
  return win?.webkit?.messageHandlers ?? null;
}

export function hasNative(name, win = globalThis.window) {
  return Boolean(nativeHandlers(win)?.[name]);
}

// Hands the page functions the program calls to the page bridge (js/page-bridge.js), which
// runs the calls that arrived before them.
export function registerPageFunctions(handlers, win = globalThis.window) {
  win.solveraPageBridge.register(handlers);
}

// Posts a script message; false when the page is not in the desktop program. Only the names
// of the page bridge's list (js/page-bridge.js) may be posted: the program registers no other.
export function postNative(name, body, win = globalThis.window) {
  const known = win?.solveraPageBridge?.messages;
  if (known && !known.includes(name)) throw new Error(`unknown script message: ${name}`);
  const handler = nativeHandlers(win)?.[name];
  if (!handler) return false;
  try {
    // Newer web views answer with a promise; nobody replies to these messages.
    const reply = handler.postMessage(body);
    if (reply && typeof reply.catch === 'function') reply.catch(() => {});
    return true;
  } catch {
    return false;
  }
}

// Reads clipboard text: through the program where there is one (its reply arrives as the page
// function solveraClipboardText, which hands it to deliver()), else through the browser's
// clipboard. Resolves null when nothing could be read.
export class ClipboardReader {
  constructor(win = globalThis.window, waitMs = CLIPBOARD_WAIT_MS) {
    this.win = win;
    this.waitMs = waitMs;
    this.waiting = [];
  }

  get available() {
    return hasNative('clipboard', this.win) || typeof this.win.navigator?.clipboard?.readText === 'function';
  }

  // value: the text, or null when the request could not be made.
  deliver(text) {
    const value = typeof text === 'string' || text === null ? text : '';
    // One reply answers every request that was waiting: they all asked for the same text.
    for (const waiter of this.waiting.splice(0)) {
      clearTimeout(waiter.timer);
      waiter.resolve(value);
    }
  }

  readText() {
    if (hasNative('clipboard', this.win)) {
      return new Promise((resolve) => {
        const waiter = { resolve };
        waiter.timer = setTimeout(() => {
          this.waiting = this.waiting.filter((w) => w !== waiter);
          resolve(null);
        }, this.waitMs);
        this.waiting.push(waiter);
        if (!postNative('clipboard', 'readText', this.win)) this.deliver(null);
      });
    }
    const clipboard = this.win.navigator?.clipboard;
    if (typeof clipboard?.readText !== 'function') return Promise.resolve(null);
    return clipboard.readText().catch(() => null);
  }
}
