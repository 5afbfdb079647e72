// Chromium driven over a plain DevTools connection, without an automation library: only such a
// page can be frozen the way a phone's browser freezes one on screen lock
// (Page.setWebLifecycleState); a page that playwright has attached to never is.
import { spawn } from 'node:child_process';
import { mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import WebSocket from 'ws';
import { CHROMIUM, waitFor } from './harness.mjs';

// One page's DevTools session: send(method, params) resolves its result; events are kept.
class PageSession {
  constructor(socket) {
    this.socket = socket;
    this.nextId = 1;
    this.waiting = new Map();
    this.events = [];
    socket.on('message', (data) => {
      const message = JSON.parse(String(data));
      if (message.id && this.waiting.has(message.id)) {
        const { resolve, reject } = this.waiting.get(message.id);
        this.waiting.delete(message.id);
        if (message.error) reject(new Error(`${message.error.message} (${message.error.code})`));
        else resolve(message.result);
      } else if (message.method) {
        this.events.push(message);
      }
    });
  }

  send(method, params = {}) {
    const id = this.nextId++;
    return new Promise((resolve, reject) => {
      this.waiting.set(id, { resolve, reject });
      this.socket.send(JSON.stringify({ id, method, params }));
    });
  }

  // The value of an expression in the page (awaited when it is a promise).
  async evaluate(expression) {
    const { result, exceptionDetails } = await this.send('Runtime.evaluate', { expression, awaitPromise: true, returnByValue: true });
    if (exceptionDetails) throw new Error(`${expression}: ${exceptionDetails.exception?.description ?? exceptionDetails.text}`);
    return result.value;
  }

  async navigate(url) {
    await this.send('Page.navigate', { url });
  }

  async reload() {
    await this.send('Page.reload', { ignoreCache: false });
  }

  // Frozen pages run no script and no timers; the browser keeps them as they were.
  freeze() {
    return this.send('Page.setWebLifecycleState', { state: 'frozen' });
  }

  thaw() {
    return this.send('Page.setWebLifecycleState', { state: 'active' });
  }

  close() {
    this.socket.close();
  }
}

// Headless Chromium with its DevTools endpoint on a port of its own choice.
export async function launchDevToolsBrowser() {
  const profile = mkdtempSync(join(tmpdir(), 'solvera-devtools-'));
  // A process group of its own: closing ends the helpers too, before the profile is removed.
  const child = spawn(CHROMIUM, ['--headless=new', '--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking',
    '--disable-component-update', '--disable-sync', '--remote-debugging-port=0', '--remote-debugging-address=127.0.0.1',
    '--autoplay-policy=no-user-gesture-required', `--user-data-dir=${profile}`, 'about:blank'], { stdio: 'ignore', detached: true });
  const exited = new Promise((r) => child.once('exit', r));
  const port = await waitFor(() => {
    if (child.exitCode !== null) throw new Error('chromium exited');
    try { return Number(readFileSync(join(profile, 'DevToolsActivePort'), 'utf8').split('\n')[0]) || null; } catch { return null; }
  }, 'the DevTools port', 20_000);
  const base = `http://127.0.0.1:${port}`;
  return {
    // A new tab on url, with a DevTools session on it.
    async open(url) {
      const target = await (await fetch(`${base}/json/new?${encodeURI(url)}`, { method: 'PUT' })).json();
      const socket = new WebSocket(target.webSocketDebuggerUrl, { perMessageDeflate: false });
      await new Promise((resolve, reject) => { socket.once('open', resolve); socket.once('error', reject); });
      const session = new PageSession(socket);
      session.targetId = target.id;
      await session.send('Page.enable');
      await session.send('Runtime.enable');
      return session;
    },
    // Closes the tab as a user closes it.
    async closeTab(session) {
      session.close();
      await fetch(`${base}/json/close/${session.targetId}`);
    },
    // The browser's helpers (renderers, network service, crash handler) may still write into
    // the profile after the browser itself has gone: the whole group ends first.
    async close() {
      const groupAlive = () => {
        try { process.kill(-child.pid, 0); return true; } catch { return false; }
      };
      const signalGroup = (signal) => { try { process.kill(-child.pid, signal); } catch { /* nobody left */ } };
      signalGroup('SIGTERM');
      await exited;
      try {
        await waitFor(() => !groupAlive(), 'the browser\'s helpers to end', 10_000);
      } catch {
        signalGroup('SIGKILL');
        await waitFor(() => !groupAlive(), 'the browser\'s helpers to be killed', 10_000);
      }
      rmSync(profile, { recursive: true, force: true });
    },
  };
}
