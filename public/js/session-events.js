// Follows the program's player through its event stream ("/session/events"): every state it
// sends goes to onState. The browser reconnects a dropped stream by itself; a stream the
// program refused or that went silent while a session plays is opened again here.

export const EVENTS_PATH = '/session/events';
// While a session plays the program reports at least once a second.
export const SILENCE_LIMIT_MS = 5000;
export const RETRY_MS = [1000, 2000, 5000, 10000];

export class SessionEvents {
  // open(url) -> an EventSource; url: the stream's address (with the token where needed);
  // onState(raw state); onConnection(connected); expectReports(): whether reports are due (a
  // session plays), for the silence watchdog; later/cancel: timers.
  constructor({ open = (url) => new EventSource(url), url = EVENTS_PATH, onState, onConnection = () => {},
    expectReports = () => false, now = () => Date.now(), later = (fn, ms) => setTimeout(fn, ms),
    cancel = (id) => clearTimeout(id) }) {
    Object.assign(this, { open, url, onState, onConnection, expectReports, now, later, cancel });
    this.source = null;
    this.connected = false;
    this.failures = 0;
    this.retryTimer = null;
    this.watchTimer = null;
    this.lastHeardAt = 0;
  }

  start() {
    this.stop();
    this.lastHeardAt = this.now();
    let source;
    try {
      source = this.open(this.url);
    } catch {
      this.retry();
      return;
    }
    this.source = source;
    source.addEventListener('state', (event) => {
      if (this.source !== source) return;
      let raw;
      try { raw = JSON.parse(event.data); } catch { return; }
      this.lastHeardAt = this.now();
      this.failures = 0;
      this.setConnected(true);
      this.onState(raw);
    });
    source.addEventListener('error', () => {
      if (this.source !== source) return;
      this.setConnected(false);
      // CLOSED: the browser gave up (a refusal, not an event stream); it tries again itself otherwise.
      if (source.readyState === 2) this.retry();
    });
    this.watch();
  }

  stop() {
    this.cancel(this.retryTimer);
    this.cancel(this.watchTimer);
    this.retryTimer = null;
    this.watchTimer = null;
    this.source?.close();
    this.source = null;
  }

  // Opens the stream afresh now (the page came back from the browser's page cache, or woke up).
  reconnect() {
    this.failures = 0;
    this.start();
  }

  retry() {
    this.source?.close();
    this.source = null;
    this.cancel(this.retryTimer);
    const wait = RETRY_MS[Math.min(this.failures, RETRY_MS.length - 1)];
    this.failures += 1;
    this.retryTimer = this.later(() => { this.retryTimer = null; this.start(); }, wait);
  }

  // A stream that stays open but brings nothing while a session plays (a proxy holding it, a
  // connection the machine forgot after sleep) is replaced.
  watch() {
    this.cancel(this.watchTimer);
    this.watchTimer = this.later(() => {
      this.watchTimer = null;
      if (!this.source) return;
      if (this.expectReports() && this.now() - this.lastHeardAt > SILENCE_LIMIT_MS) {
        this.setConnected(false);
        this.start();
        return;
      }
      this.watch();
    }, SILENCE_LIMIT_MS / 2);
  }

  setConnected(connected) {
    if (connected === this.connected) return;
    this.connected = connected;
    this.onConnection(connected);
  }
}
