// Runs the real desktop program (GTK window, WebKit web view) under a virtual X display with a
// private session bus, on this repository's pages. The control page gets one extra script, a
// probe, that runs expressions the test sends and reports every call the program makes into
// the page; panels are driven with xdotool as a user would.
import { spawn, spawnSync } from 'node:child_process';
import { createServer } from 'node:http';
import { createHash } from 'node:crypto';
import { crc32 } from 'node:zlib';
import { chmodSync, cpSync, existsSync, mkdirSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join, resolve } from 'node:path';
import { freePort, REPO, waitFor } from '../e2e/harness.mjs';

export { waitFor, firstLine };

export function missingTools() {
  const missing = ['Xvfb', 'dbus-daemon', 'xdotool'].filter((tool) => spawnSync('sh', ['-c', `command -v ${tool}`]).status !== 0);
  return missing.length ? `${missing.join(', ')} not installed` : '';
}

// A child process in a group of its own, ended with its group.
export function start(command, args, options = {}) {
  const child = spawn(command, args, { detached: true, ...options });
  child.exited = new Promise((r) => child.once('exit', (code, signal) => r({ code, signal })));
  // The whole group: also what the child started and left behind.
  child.stopGroup = async (signal = 'SIGTERM') => {
    try { process.kill(-child.pid, signal); } catch { /* nobody left */ }
    return child.exited;
  };
  return child;
}

function firstLine(stream, what) {
  return new Promise((resolveLine, reject) => {
    let text = '';
    const timer = setTimeout(() => reject(new Error(`no ${what}`)), 15_000);
    stream.on('data', (d) => {
      text += d;
      const end = text.indexOf('\n');
      if (end >= 0) { clearTimeout(timer); resolveLine(text.slice(0, end).trim()); }
    });
  });
}

// ---- the probe and its driver ---------------------------------------------------------------

const PAGE_FUNCTIONS = ['solveraMusicLibraryDownloadStatus', 'solveraMusicLibraryInstalled', 'solveraSessionFileImported',
  'solveraSessionFileExported', 'solveraClipboardText', 'solveraMuseBridgeEvents'];

function probeScript(driver) {
  return `// Test probe: not part of the application.
(() => {
  const DRIVER = ${JSON.stringify(driver)};
  let seq = 0;
  addEventListener('error', (e) => post('/error', { message: String(e.message), where: e.filename + ':' + e.lineno }));
  addEventListener('unhandledrejection', (e) => post('/error', { message: String(e.reason?.stack || e.reason) }));
  const post = (path, body) => fetch(DRIVER + path, { method: 'POST', body: JSON.stringify(body) }).catch(() => {});
  const texts = () => Object.fromEntries(['musicStatus', 'musicResult', 'headbandStatus', 'toast']
    .map((id) => [id, document.getElementById(id)?.textContent ?? null]));
  // Every call the program makes into the page is reported, with what the page shows after it.
  for (const name of ${JSON.stringify(PAGE_FUNCTIONS)}) {
    let page;
    Object.defineProperty(window, name, {
      configurable: true,
      set(fn) { page = fn; },
      get() {
        // Calls that wait for the page's modules are reported when the page takes them.
        if (!page || page.early) return page;
        return (...args) => {
          const n = seq++;
          let result;
          try { result = page(...args); } finally { post('/call', { seq: n, name, args, after: texts() }); }
          return result;
        };
      },
    });
  }
  async function serve() {
    for (;;) {
      let command = null;
      try {
        const reply = await fetch(DRIVER + '/next', { cache: 'no-store' });
        if (reply.status === 200) command = await reply.json();
      } catch {
        await new Promise((r) => setTimeout(r, 200));
      }
      if (!command) continue;
      let result;
      try {
        const value = await (0, eval)('(async () => (' + command.expr + '))()');
        result = { id: command.id, ok: true, value: value === undefined ? null : value };
      } catch (error) {
        result = { id: command.id, ok: false, error: String(error?.stack || error) };
      }
      await post('/result', result);
    }
  }
  addEventListener('DOMContentLoaded', () => {
    // The handlers are not enumerable: ask for each by name.
    const names = ['musicLibrary', 'sessionFiles', 'clipboard', 'analysisPrint', 'museBridge'];
    post('/hello', { handlers: names.every((n) => window.webkit?.messageHandlers?.[n]) ? 'yes' : 'no' });
    serve();
  });
})();
`;
}

async function startDriver() {
  const calls = [];
  const hellos = [];
  const errors = [];
  const waiting = []; // commands not yet taken by the page
  const takers = []; // page requests waiting for a command
  const pending = new Map();
  let nextId = 1;
  const server = createServer((req, res) => {
    const chunks = [];
    req.on('data', (c) => chunks.push(c));
    req.on('end', () => {
      res.setHeader('Access-Control-Allow-Origin', '*');
      const body = chunks.length ? JSON.parse(Buffer.concat(chunks).toString('utf8')) : null;
      if (req.url === '/next') {
        const command = waiting.shift();
        if (command) { res.writeHead(200, { 'Content-Type': 'application/json' }); res.end(JSON.stringify(command)); return; }
        const taker = { res, timer: setTimeout(() => { takers.splice(takers.indexOf(taker), 1); res.writeHead(204); res.end(); }, 10_000) };
        takers.push(taker);
        return;
      }
      if (req.url === '/result') {
        pending.get(body.id)?.(body);
        pending.delete(body.id);
      } else if (req.url === '/call') {
        calls.push(body);
        calls.sort((a, b) => a.seq - b.seq);
      } else if (req.url === '/error') {
        errors.push(body);
      } else if (req.url === '/hello') {
        hellos.push(body);
      }
      res.writeHead(204);
      res.end();
    });
  });
  await new Promise((r) => server.listen(0, '127.0.0.1', r));
  return {
    url: `http://127.0.0.1:${server.address().port}`,
    calls,
    hellos,
    errors,
    // Runs an expression in the page; resolves with its (JSON) value, rejects with its error.
    evaluate(expr, timeoutMs = 20_000) {
      const command = { id: nextId++, expr };
      return new Promise((resolveValue, reject) => {
        const timer = setTimeout(() => { pending.delete(command.id); reject(new Error(`page did not answer: ${expr}`)); }, timeoutMs);
        pending.set(command.id, (result) => {
          clearTimeout(timer);
          if (result.ok) resolveValue(result.value); else reject(new Error(`${expr}: ${result.error}`));
        });
        const taker = takers.shift();
        if (taker) {
          clearTimeout(taker.timer);
          taker.res.writeHead(200, { 'Content-Type': 'application/json' });
          taker.res.end(JSON.stringify(command));
        } else {
          waiting.push(command);
        }
      });
    },
    close: () => new Promise((r) => { for (const t of takers) clearTimeout(t.timer); server.closeAllConnections(); server.close(r); }),
  };
}

// ---- the core music library on a stand-in content service ----------------------------------

// A ZIP archive of stored (uncompressed) entries: {name: Buffer}.
export function zipArchive(files) {
  const locals = [];
  const centrals = [];
  let offset = 0;
  for (const [name, data] of Object.entries(files)) {
    const nameBytes = Buffer.from(name, 'utf8');
    const crc = crc32(data) >>> 0;
    const local = Buffer.alloc(30);
    local.writeUInt32LE(0x04034b50, 0); local.writeUInt16LE(20, 4); local.writeUInt16LE(0x0800, 6);
    local.writeUInt16LE(0, 8); local.writeUInt16LE(0, 10); local.writeUInt16LE(0x21, 12);
    local.writeUInt32LE(crc, 14); local.writeUInt32LE(data.length, 18); local.writeUInt32LE(data.length, 22);
    local.writeUInt16LE(nameBytes.length, 26); local.writeUInt16LE(0, 28);
    const central = Buffer.alloc(46);
    central.writeUInt32LE(0x02014b50, 0); central.writeUInt16LE(20, 4); central.writeUInt16LE(20, 6);
    central.writeUInt16LE(0x0800, 8); central.writeUInt16LE(0, 10); central.writeUInt16LE(0, 12); central.writeUInt16LE(0x21, 14);
    central.writeUInt32LE(crc, 16); central.writeUInt32LE(data.length, 20); central.writeUInt32LE(data.length, 24);
    central.writeUInt16LE(nameBytes.length, 28); central.writeUInt32LE(offset, 42);
    locals.push(local, nameBytes, data);
    centrals.push(central, nameBytes);
    offset += 30 + nameBytes.length + data.length;
  }
  const cd = Buffer.concat(centrals);
  const end = Buffer.alloc(22);
  end.writeUInt32LE(0x06054b50, 0);
  end.writeUInt16LE(Object.keys(files).length, 8); end.writeUInt16LE(Object.keys(files).length, 10);
  end.writeUInt32LE(cd.length, 12); end.writeUInt32LE(offset, 16);
  return Buffer.concat([...locals, cd, end]);
}

async function startContentService(archive) {
  const requests = [];
  const server = createServer((req, res) => {
    requests.push(req.url);
    if (req.url !== '/Solvera-Pro-Core-Music-Library.zip') { res.writeHead(404); res.end(); return; }
    res.writeHead(200, { 'Content-Type': 'application/zip', 'Content-Length': archive.length });
    res.end(archive);
  });
  await new Promise((r) => server.listen(0, '127.0.0.1', r));
  return { url: `http://127.0.0.1:${server.address().port}`, requests, close: () => new Promise((r) => { server.closeAllConnections(); server.close(r); }) };
}

// ---- the program -----------------------------------------------------------------------------

// The headband stand-in: the bridge program's output contract, readings at a headband's pace.
// It renames itself at once: other copies of the program end processes called like the bridge.
const BRIDGE = `#!/bin/sh
printf %s test-bridge > /proc/$$/comm
run=$(( $(cat runs 2>/dev/null || echo 0) + 1 ))
echo $run > runs
echo "{\\"type\\":\\"status\\",\\"status\\":\\"connected\\",\\"message\\":\\"Stand-in headband, run $run\\"}"
echo "not an event"
i=0
while [ $i -lt 6000 ]; do
  echo "{\\"type\\":\\"bands\\",\\"bands\\":{\\"alpha\\":0.$(( i % 9 + 1 )),\\"theta\\":0.3}}"
  i=$(( i + 1 ))
  sleep 0.05
done
`;

// bridge: the headband bridge program's text (a stand-in by default); extraEnv: more
// environment for the program and its bridge.
export async function startDesktop({ buildDir, library, bridge = BRIDGE, extraEnv = {} }) {
  const scratch = mkdtempSync(join(tmpdir(), 'solvera-desktop-'));
  const dirs = Object.fromEntries(['config', 'data', 'state', 'cache', 'runtime', 'tmp', 'files'].map((d) => {
    const path = join(scratch, d);
    mkdirSync(path, { recursive: true, mode: 0o700 });
    return [d, path];
  }));
  const children = [];
  const closers = [];
  // Should the test runner end this process early (a time-out), nothing it started stays.
  const killAll = () => { for (const child of children) { try { process.kill(-child.pid, 'SIGKILL'); } catch { /* gone */ } } };
  const onSignal = () => { killAll(); process.exit(1); };
  process.once('exit', killAll);
  process.once('SIGTERM', onSignal);
  process.once('SIGINT', onSignal);
  const stopAll = async () => {
    process.off('SIGTERM', onSignal);
    process.off('SIGINT', onSignal);
    for (const child of children.reverse()) await child.stopGroup();
    for (const close of closers) await close();
    rmSync(scratch, { recursive: true, force: true });
  };
  try {
    const display = start('Xvfb', ['-displayfd', '1', '-screen', '0', '1600x1000x24', '-nolisten', 'tcp', '-noreset'], { stdio: ['ignore', 'pipe', 'ignore'] });
    children.push(display);
    const displayName = `:${await firstLine(display.stdout, 'display number')}`;
    const bus = start('dbus-daemon', ['--session', '--nofork', '--print-address=1'], { stdio: ['ignore', 'pipe', 'ignore'] });
    children.push(bus);
    const busAddress = await firstLine(bus.stdout, 'bus address');

    const driver = await startDriver();
    closers.push(driver.close);
    const archive = zipArchive(library);
    const content = await startContentService(archive);
    closers.push(content.close);

    // The resource folder: Info.json, the stand-in bridge, this repository's pages plus the probe.
    const resources = join(scratch, 'resources');
    const pub = join(resources, 'public');
    mkdirSync(join(resources, 'muse-bridge'), { recursive: true });
    mkdirSync(pub, { recursive: true });
    writeFileSync(join(resources, 'Info.json'), JSON.stringify({
      CFBundleName: 'Solvera Pro Audio+Light', CFBundleShortVersionString: '1.0.0', SolveraProductCode: 'audio-light',
      SolveraContentBaseURL: content.url, SolveraCoreMusicLibrarySHA256: createHash('sha256').update(archive).digest('hex'),
    }));
    writeFileSync(join(resources, 'muse-bridge', 'SolveraMuseBridge'), bridge);
    chmodSync(join(resources, 'muse-bridge', 'SolveraMuseBridge'), 0o755);
    // Copied, not linked: the server serves no link that leaves its folder.
    const source = resolve(REPO, 'public');
    cpSync(source, pub, { recursive: true, dereference: true });
    const index = readFileSync(join(source, 'index.html'), 'utf8').replace('<script src="js/page-bridge.js">', '<script src="probe.js"></script>\n<script src="js/page-bridge.js">');
    writeFileSync(join(pub, 'index.html'), index);
    writeFileSync(join(pub, 'probe.js'), probeScript(driver.url));

    // The default application for web pages: notes what it is asked to open.
    const opened = join(scratch, 'opened.txt');
    writeFileSync(join(scratch, 'browser.sh'), `#!/bin/sh\necho "$1" >> '${opened}'\n`);
    chmodSync(join(scratch, 'browser.sh'), 0o755);
    mkdirSync(join(dirs.data, 'applications'), { recursive: true });
    writeFileSync(join(dirs.data, 'applications', 'solvera-test-browser.desktop'),
      `[Desktop Entry]\nType=Application\nName=Testbrowser\nExec=${join(scratch, 'browser.sh')} %u\nMimeType=text/html;x-scheme-handler/http;x-scheme-handler/https;\n`);
    writeFileSync(join(dirs.config, 'mimeapps.list'),
      '[Default Applications]\ntext/html=solvera-test-browser.desktop\nx-scheme-handler/http=solvera-test-browser.desktop\nx-scheme-handler/https=solvera-test-browser.desktop\n');

    const env = {
      ...process.env,
      DISPLAY: displayName,
      WAYLAND_DISPLAY: '',
      DBUS_SESSION_BUS_ADDRESS: busAddress,
      GTK_A11Y: 'none',
      NO_AT_BRIDGE: '1',
      GSETTINGS_BACKEND: 'memory',
      GIO_USE_VFS: 'local',
      XDG_CONFIG_HOME: dirs.config,
      XDG_DATA_HOME: dirs.data,
      XDG_STATE_HOME: dirs.state,
      XDG_CACHE_HOME: dirs.cache,
      XDG_RUNTIME_DIR: dirs.runtime,
      TMPDIR: dirs.tmp,
      SDL_AUDIODRIVER: 'dummy',
      ...extraEnv,
    };
    const suppressions = resolve(REPO, 'src/app/tests/desktop_lsan.supp');
    if (existsSync(suppressions)) env.LSAN_OPTIONS = `suppressions=${suppressions}:print_suppressions=0`;

    const port = await freePort();
    const program = start(resolve(buildDir, 'solvera-pro'), ['--port', String(port), '--resources', resources],
      { env, stdio: ['ignore', 'pipe', 'pipe'] });
    children.push(program);
    let output = '';
    program.stdout.on('data', (d) => { output += d; });
    program.stderr.on('data', (d) => { output += d; });
    await waitFor(() => {
      if (program.exitCode !== null) throw new Error(`solvera-pro exited: ${output}`);
      return output.includes(`: http://127.0.0.1:${port}`);
    }, 'the ready line', 30_000);
    await waitFor(() => driver.hellos.length > 0, 'the control page in the window', 30_000);
    if (driver.hellos[0].handlers !== 'yes') throw new Error('the page has no script-message handlers: not the desktop window');

    const tool = (args) => spawnSync(args[0], args.slice(1), { env, encoding: 'utf8', timeout: 20_000 });
    return {
      env,
      dirs,
      files: dirs.files,
      url: `http://127.0.0.1:${port}`,
      resources,
      content,
      page: driver,
      evaluate: driver.evaluate,
      calls: driver.calls,
      errors: driver.errors,
      output: () => output,
      opened: () => (existsSync(opened) ? readFileSync(opened, 'utf8').split('\n').filter(Boolean) : []),
      tool,
      // A window of exactly that title: its id, waiting until it is on screen.
      window(title) {
        const found = tool(['xdotool', 'search', '--sync', '--onlyvisible', '--name', `^${title.replace(/[+.]/g, '\\$&')}$`]);
        return found.stdout.split('\n')[0];
      },
      // Types into a file panel of that title and confirms, as a user would.
      choose(title, path, { replaceName = false } = {}) {
        const panel = this.window(title);
        if (!panel) throw new Error(`no panel "${title}"`);
        tool(['xdotool', 'windowfocus', '--sync', panel]);
        if (replaceName) tool(['xdotool', 'key', 'ctrl+a']);
        tool(['xdotool', 'type', '--delay', '20', path]);
        tool(['xdotool', 'key', 'Return']);
      },
      dismiss(title) {
        const panel = this.window(title);
        if (!panel) throw new Error(`no panel "${title}"`);
        tool(['xdotool', 'windowfocus', '--sync', panel]);
        tool(['xdotool', 'key', 'Escape']);
      },
      async stop() {
        // The program alone first: it must end its web view and bridge itself, in order.
        if (program.exitCode === null) program.kill('SIGTERM');
        const ended = await Promise.race([program.exited, new Promise((r) => setTimeout(() => r(null), 20_000))]);
        const { code, signal } = ended ?? await program.stopGroup('SIGKILL');
        await program.stopGroup('SIGKILL'); // helpers it left behind, if any
        const log = output;
        children.splice(children.indexOf(program), 1);
        await stopAll();
        if (code !== 0 || /Sanitizer|runtime error:/.test(log)) throw new Error(`solvera-pro ended with ${signal ?? code}:\n${log}`);
      },
      stopAll,
    };
  } catch (error) {
    await stopAll();
    throw error;
  }
}
