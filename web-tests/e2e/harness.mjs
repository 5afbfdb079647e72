// Test harness: the real program in headless mode, an Art-Net listener on a loopback address
// of our own, a small music library, and Debian's Chromium driven by playwright-core.
import { spawn } from 'node:child_process';
import { createSocket } from 'node:dgram';
import { createServer } from 'node:net';
import { mkdtempSync, mkdirSync, writeFileSync, rmSync, statSync, symlinkSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { dirname, join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';

export const CHROMIUM = process.env.SOLVERA_CHROMIUM || '/usr/bin/chromium';
export const REPO = resolve(dirname(fileURLToPath(import.meta.url)), '../..');
const CHROMIUM_FLAGS = ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync',
  '--autoplay-policy=no-user-gesture-required'];

export function freePort() {
  return new Promise((resolvePort, reject) => {
    const server = createServer();
    server.once('error', reject);
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolvePort(port));
    });
  });
}

// Polls `check` until it returns something truthy; fails with `what` after the timeout.
export async function waitFor(check, what, timeoutMs = 10_000, intervalMs = 25) {
  const deadline = Date.now() + timeoutMs;
  for (;;) {
    const value = await check();
    if (value) return value;
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what}`);
    await new Promise((r) => setTimeout(r, intervalMs));
  }
}

export function wav(seconds, hz, rate = 8000) {
  const samples = Math.floor(seconds * rate);
  const data = Buffer.alloc(44 + samples * 2);
  data.write('RIFF', 0); data.writeUInt32LE(36 + samples * 2, 4); data.write('WAVE', 8);
  data.write('fmt ', 12); data.writeUInt32LE(16, 16); data.writeUInt16LE(1, 20); data.writeUInt16LE(1, 22);
  data.writeUInt32LE(rate, 24); data.writeUInt32LE(rate * 2, 28); data.writeUInt16LE(2, 32); data.writeUInt16LE(16, 34);
  data.write('data', 36); data.writeUInt32LE(samples * 2, 40);
  for (let i = 0; i < samples; i += 1) data.writeInt16LE(Math.round(8000 * Math.sin((2 * Math.PI * hz * i) / rate)), 44 + i * 2);
  return data;
}

// The installed music library the page reads from "/music-library/".
function installMusicLibrary(dataHome) {
  const root = join(dataHome, 'Solvera Pro', 'Music Library');
  mkdirSync(root, { recursive: true });
  writeFileSync(join(root, 'calm.wav'), wav(3, 220));
  writeFileSync(join(root, 'calm.png'), Buffer.from('89504e470d0a1a0a', 'hex'));
  writeFileSync(join(root, 'manifest.json'), JSON.stringify({
    format: 'solvera-music-library',
    tracks: [{ file: 'calm.wav', cover: 'calm.png', title: 'Testnummer kalm', mood: 'calm' }],
  }));
}

// A resource folder of the test's own: Info.json with the given keys (base addresses of
// stand-in services) and the web application of this repository.
export function writeResources(folder, info = {}, publicDir = resolve(REPO, 'public')) {
  mkdirSync(folder, { recursive: true });
  writeFileSync(join(folder, 'Info.json'), JSON.stringify({
    CFBundleName: 'Solvera Pro Audio+Light', CFBundleShortVersionString: '1.0.0', ...info,
  }));
  symlinkSync(publicDir, join(folder, 'public'));
  return folder;
}

// options.info: Info.json keys (a resource folder of the test's own is made); options.music:
// false leaves the music library out.
export async function startProgram(buildDir, { info = null, music = true } = {}) {
  const binary = resolve(buildDir, 'solvera-pro');
  const scratch = mkdtempSync(join(tmpdir(), 'solvera-web-'));
  const env = {
    ...process.env,
    XDG_CONFIG_HOME: join(scratch, 'config'),
    XDG_DATA_HOME: join(scratch, 'data'),
    XDG_STATE_HOME: join(scratch, 'state'),
    XDG_CACHE_HOME: join(scratch, 'cache'),
    SDL_AUDIODRIVER: 'disk',
    SDL_DISKAUDIOFILE: join(scratch, 'audio.raw'),
  };
  if (music) installMusicLibrary(env.XDG_DATA_HOME);
  const port = await freePort();
  const args = ['--headless', '--port', String(port)];
  if (info) args.push('--resources', writeResources(join(scratch, 'resources'), info));
  const child = spawn(binary, args, { env, stdio: ['ignore', 'pipe', 'pipe'] });
  let output = '';
  child.stdout.on('data', (d) => { output += d; });
  child.stderr.on('data', (d) => { output += d; });
  const exited = new Promise((r) => child.once('exit', (code, signal) => r({ code, signal })));
  const url = await waitFor(() => {
    if (child.exitCode !== null) throw new Error(`solvera-pro exited: ${output}`);
    return output.match(/: (http:\/\/127\.0\.0\.1:\d+)/)?.[1];
  }, 'the program to print its address', 15_000);
  return {
    url,
    audioFile: env.SDL_DISKAUDIOFILE,
    audioBytes() {
      try { return statSync(env.SDL_DISKAUDIOFILE).size; } catch { return 0; }
    },
    // Ends the program as a user would; it must leave in order (status 0) and, in a sanitizer
    // build, without a report.
    async stop() {
      if (child.exitCode === null && child.signalCode === null) child.kill('SIGTERM');
      const { code, signal } = await exited;
      rmSync(scratch, { recursive: true, force: true });
      if (code !== 0 || /Sanitizer|runtime error:/.test(output)) {
        throw new Error(`solvera-pro ended with ${signal ?? code}:\n${output}`);
      }
    },
  };
}

// ArtDmx packets on UDP port 6454 of a random 127.x.y.z address.
export async function startArtNetListener() {
  const address = `127.${1 + Math.floor(Math.random() * 250)}.${Math.floor(Math.random() * 250)}.${2 + Math.floor(Math.random() * 250)}`;
  const socket = createSocket('udp4');
  const frames = [];
  socket.on('message', (msg) => {
    if (msg.length < 18 || msg.toString('latin1', 0, 8) !== 'Art-Net\0' || msg.readUInt16LE(8) !== 0x5000) return;
    const universe = msg.readUInt16LE(14) & 0x7fff;
    const length = msg.readUInt16BE(16);
    frames.push({ at: Date.now(), universe, dmx: [...msg.subarray(18, 18 + length)] });
  });
  await new Promise((r, reject) => { socket.once('error', reject); socket.bind(6454, address, r); });
  return { address, frames, close: () => new Promise((r) => socket.close(r)) };
}

export async function launchBrowser() {
  const profile = mkdtempSync(join(tmpdir(), 'solvera-chromium-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: CHROMIUM,
    headless: true,
    // playwright passes the fresh profile folder as --user-data-dir.
    args: CHROMIUM_FLAGS,
    viewport: { width: 1280, height: 860 },
  });
  return {
    context,
    async close() {
      await context.close();
      rmSync(profile, { recursive: true, force: true });
    },
  };
}

// Records the page's POST requests to the program's device endpoints, with their bodies.
export function recordDeviceRequests(page) {
  const requests = [];
  page.on('request', (request) => {
    if (request.method() !== 'POST') return;
    const { pathname } = new URL(request.url());
    if (pathname !== '/dmx' && !pathname.startsWith('/audio/')) return;
    let body = null;
    try { body = request.postDataJSON(); } catch { body = null; }
    requests.push({ at: Date.now(), path: pathname, body });
  });
  return requests;
}
