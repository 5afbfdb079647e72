// Posts requests to the native side one at a time, in order. A queued request that has not
// left yet is replaced by a newer one of the same kind, so a burst of light frames collapses
// into the latest and a blackout never waits behind stale frames.

// What a request made on a closed outbox is answered with; it never went out.
const CLOSED = Object.freeze({ ok: false, status: 0, body: null, closed: true });

export class SerialOutbox {
  // transport(path, body) -> Promise of {ok, status, body}; onResult(item, result) is told of
  // every outcome (errors included), so the page can show them.
  constructor(transport, onResult = () => {}) {
    this.transport = transport;
    this.onResult = onResult;
    this.queue = [];
    this.busy = false;
    this.closed = false;
    this.idleWaiters = [];
  }

  // kind: requests of one kind replace each other while waiting (null: never replaced).
  send(path, body, kind = null) {
    if (this.closed) return Promise.resolve(CLOSED);
    return new Promise((resolve) => {
      const last = this.queue[this.queue.length - 1];
      if (kind !== null && last && last.kind === kind) {
        last.resolvers.push(resolve);
        last.path = path;
        last.body = body;
      } else {
        this.queue.push({ path, body, kind, resolvers: [resolve] });
      }
      this.pump();
    });
  }

  // For what must not wait (blackout): goes out at once even while another request is on its
  // way, and is queued again behind that one so it is also the last word.
  urgent(path, body, kind = null) {
    if (this.closed || !this.busy) return this.send(path, body, kind);
    const direct = Promise.resolve()
      .then(() => this.transport(path, body))
      .catch((error) => ({ ok: false, status: 0, body: null, error }));
    const repeat = this.send(path, body, kind);
    return Promise.all([direct, repeat]).then(([first, second]) => (second.ok ? second : first));
  }

  // The page is going away: what waits is dropped and nothing more goes out (a request made
  // after the page's last word would undo it) until reopen(). One already on its way still
  // completes.
  close() {
    this.closed = true;
    for (const item of this.queue.splice(0)) for (const resolve of item.resolvers) resolve(CLOSED);
  }

  reopen() {
    this.closed = false;
  }

  get pending() {
    return this.queue.length + (this.busy ? 1 : 0);
  }

  whenIdle() {
    if (!this.busy && this.queue.length === 0) return Promise.resolve();
    return new Promise((resolve) => this.idleWaiters.push(resolve));
  }

  async pump() {
    if (this.busy) return;
    this.busy = true;
    while (this.queue.length > 0) {
      const item = this.queue.shift();
      let result;
      try {
        result = await this.transport(item.path, item.body);
      } catch (error) {
        result = { ok: false, status: 0, body: null, error };
      }
      try {
        this.onResult(item, result);
      } catch {
        // A failing listener must not stall the lights.
      }
      for (const resolve of item.resolvers) resolve(result);
    }
    this.busy = false;
    const waiters = this.idleWaiters.splice(0);
    for (const resolve of waiters) resolve();
  }
}

// fetch-based transport: JSON in, JSON out.
export function fetchTransport(fetchImpl = globalThis.fetch) {
  return async (path, body) => {
    const response = await fetchImpl(path, {
      method: 'POST',
      headers: { 'Content-Type': 'application/json' },
      body: body === undefined ? '' : JSON.stringify(body),
      cache: 'no-store',
    });
    let parsed = null;
    try {
      parsed = await response.json();
    } catch {
      parsed = null;
    }
    return { ok: response.ok && parsed?.ok !== false, status: response.status, body: parsed };
  };
}
