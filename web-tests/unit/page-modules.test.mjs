// The control page's outputs and relays against a fake transport and clock: what reaches the
// lamps, the tone generator, the phone and the screens, and what the page shows about it.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { AppState, pageStore } from '../../public/js/state.js';
import { Outputs, STOP_FADE_STEPS } from '../../public/js/outputs.js';
import { Relays } from '../../public/js/relays.js';
import { getJson, onControlTokenRefused, postJson } from '../../public/js/net.js';
import { Controller } from '../../public/js/controller.js';
import { SessionRecorder } from '../../public/js/report.js';
import { PHOTOSENSITIVITY_KEY } from '../../public/js/settings.js';

const session = {
  id: 'two', title: 'Twee fasen', durationMinutes: 2, audioMode: 'monaural', carrierFrequencyHz: 200,
  phases: [
    { name: 'A', start: '00:00', end: '01:00', audioFrequencyHz: '10', colorHex: '#ff0000', rgbIntensity: 100, pulseVolume: 50 },
    { name: 'B', start: '01:00', end: '02:00', audioFrequencyHz: '12 → 6', lightFrequencyHz: '8', colorHex: '#0000ff', rgbIntensity: 100, pulseVolume: 50 },
  ],
};

// A page without a browser: a clock the test moves, a transport that answers what the test
// says, timers the test runs.
function page({ reply = () => ({ ok: true }) } = {}) {
  let nowMs = 1000;
  const sent = [];
  const timers = [];
  const transport = async (path, body) => { sent.push({ path, body }); return reply(path, body); };
  const state = new AppState(pageStore(null), () => nowMs);
  state.store.setItem(PHOTOSENSITIVITY_KEY, 'yes');
  state.settings.light = { ...state.settings.light, targetIp: '127.0.0.9', universe: 2 };
  state.shipped = [session];
  state.setSessions([]);
  state.selectedId = 'two';
  const outputs = new Outputs(state, { transport, now: () => nowMs, later: (fn) => timers.push(fn) });
  const controller = new Controller(state, { outputs, recorder: new SessionRecorder(() => nowMs) });
  const settle = async () => { for (let i = 0; i < 20; i += 1) await new Promise((r) => setImmediate(r)); };
  const runTimers = async () => { while (timers.length) { timers.shift()(); await settle(); } };
  return { state, outputs, controller, sent, settle, runTimers, advance: (ms) => { nowMs += ms; } };
}

const of = (sent, path) => sent.filter((r) => r.path === path).map((r) => r.body);

test('a session drives lamps and beat; seeking lands in the glide at the right values; live sound controls apply; stop fades the beat out', async () => {
  const p = page();
  p.controller.start();
  await p.settle();
  const [start] = of(p.sent, '/audio/start');
  assert.deepEqual([start.mode, start.beat, start.carrier], ['monaural', 10, 200]);
  p.advance(10_000); // past the fade-in
  p.controller.tick();
  await p.settle();
  const red = of(p.sent, '/dmx').at(-1);
  assert.deepEqual([red.targetIp, red.universe, red.pulseHz], ['127.0.0.9', 2, 10]);
  assert.ok(red.dmx[0] > 0 && red.dmx[2] === 0, 'red in the first phase');

  // Halfway into phase B, after its glide from A: the beat is halfway down 12 → 6.
  p.advance(300);
  p.controller.seek(90);
  p.controller.tick();
  await p.settle();
  assert.equal(p.state.lastSample.phaseIndex, 1);
  assert.equal(p.state.lastSample.beatHz, 9);
  assert.equal(of(p.sent, '/audio/update').at(-1).beat, 9);
  const blue = of(p.sent, '/dmx').at(-1);
  assert.ok(blue.dmx[2] > 0 && blue.dmx[0] === 0 && blue.pulseHz === 8, JSON.stringify(blue));
  // Seeking back to the first phase's start brings back its values at once.
  p.controller.seekToPhase(0);
  p.controller.tick();
  assert.equal(p.state.lastSample.beatHz, 10);
  p.advance(300);
  p.controller.seek(30);
  p.controller.tick();
  await p.settle();

  // The live sound controls reach the running beat on the next tick, without a dialog.
  p.controller.setSound('balance', -0.5);
  p.controller.setSound('treble', 4);
  p.controller.setSound('mode', 'isochronic');
  p.advance(300);
  p.controller.tick();
  await p.settle();
  const live = of(p.sent, '/audio/update').at(-1);
  assert.deepEqual([live.balance, live.treble, live.mode], [-0.5, 4, 'isochronic']);

  const before = p.sent.length;
  const volume = of(p.sent, '/audio/update').at(-1)?.volume ?? start.volume;
  p.controller.stop();
  await p.runTimers();
  const after = p.sent.slice(before);
  const fades = after.filter((r) => r.path === '/audio/update').map((r) => r.body.volume);
  assert.equal(fades.length, STOP_FADE_STEPS - 1, `a fade of updates before the stop (${fades})`);
  assert.ok(fades.every((v, i) => v < (i ? fades[i - 1] : volume)), `the level only goes down (${fades})`);
  assert.equal(after.at(-1).path, '/audio/stop', 'the stop comes last');
  assert.ok(after.some((r) => r.path === '/dmx' && r.body.dmx.every((v) => v === 0)), 'the lamps go dark');

  // Every light request carries this page's name and a rising count, the closing blackout too,
  // so the program can tell one that was overtaken on the way; another page has its own name.
  p.outputs.state.light.lit = true;
  p.outputs.leave((path, body) => p.sent.push({ path, body }));
  const light = of(p.sent, '/dmx');
  assert.ok(/^control-[0-9a-f]{12}$/.test(light[0].clientId), light[0].clientId);
  assert.ok(light.every((r, i) => r.clientId === light[0].clientId && (i === 0 || r.seq > light[i - 1].seq)),
    JSON.stringify(light.map((r) => [r.clientId, r.seq])));
  assert.ok(light.at(-1).dmx.every((v) => v === 0), 'the closing blackout comes last');
  assert.notEqual(page().outputs.light.clientId, light[0].clientId);
});

test('once the page has said its last word nothing follows it; back from the page cache, lamps and beat take up again', async () => {
  const p = page();
  p.controller.start();
  p.advance(10_000);
  p.controller.tick();
  await p.settle();
  p.advance(300);
  p.controller.seek(90); // a new colour, queued behind nothing yet: the tick below sends it
  const last = [];
  p.outputs.leave((path, body) => last.push({ path, body }));
  assert.deepEqual(last.map((r) => r.path), ['/dmx', '/audio/stop']);
  const before = p.sent.length;
  // The page's timers still run a little while it goes: ticks, the stop fade.
  for (let i = 0; i < 3; i += 1) {
    p.advance(300);
    p.controller.tick();
  }
  await p.runTimers();
  assert.deepEqual(p.sent.slice(before), [], 'nothing after the closing blackout and stop');

  p.outputs.back();
  p.advance(300);
  p.controller.tick();
  await p.settle();
  const again = p.sent.slice(before);
  const frame = of(again, '/dmx').at(-1);
  assert.ok(frame && frame.dmx.some((v) => v > 0) && frame.seq > last[0].body.seq, JSON.stringify(frame));
  assert.equal(of(again, '/audio/start').length, 1, 'the beat starts again');
});

test('a start during the fade of a stop cuts the fade short and begins afresh', async () => {
  const p = page();
  p.controller.start();
  p.advance(20_000);
  p.controller.tick();
  await p.settle();
  p.controller.stop();
  await p.settle();
  p.controller.start();
  await p.runTimers();
  const audio = p.sent.filter((r) => r.path.startsWith('/audio/')).map((r) => r.path);
  const last = audio.lastIndexOf('/audio/start');
  assert.equal(audio[last - 1], '/audio/stop', 'stopped before the new start');
  assert.deepEqual(audio.slice(last + 1).filter((x) => x === '/audio/stop'), [], 'the old fade does not stop the new session');
});

test('the light status: an error shows until a frame goes through; "active" only once the output answered', async () => {
  let failing = true;
  const p = page({ reply: (path) => (path === '/dmx' && failing ? { ok: false, status: 502, body: { error: 'Geen USB-apparaat gevonden' } } : { ok: true }) });
  const seen = [];
  p.state.on('light', () => seen.push({ ...p.state.light }));
  assert.equal(p.state.light.confirmed, false, 'not active before any frame');
  p.controller.start();
  await p.settle();
  assert.equal(p.state.light.error, 'Geen USB-apparaat gevonden');
  assert.equal(p.state.light.confirmed, false);
  // The cause is mended: the next try (after the retry pause) clears the error.
  failing = false;
  p.advance(2500);
  p.controller.tick();
  await p.settle();
  assert.equal(p.state.light.error, '');
  assert.equal(p.state.light.confirmed, true);
  assert.deepEqual(seen.map((l) => [l.error, l.confirmed]), [['Geen USB-apparaat gevonden', false], ['', true]], 'told on each change only');
  // New output settings must prove themselves again.
  p.outputs.changeLightSettings(p.state.settings.light);
  assert.equal(p.state.light.confirmed, false);
});

function fakeNet(handlers) {
  const posts = [];
  return {
    posts,
    net: {
      getJson: async (path) => (handlers[path.split('?')[0]] ?? (() => ({ ok: false, status: 404 })))(path),
      postJson: async (path, body) => { posts.push({ path, body }); return { ok: true }; },
    },
  };
}

test('relays publish on change or heartbeat, carry out each phone command once and pick up new tokens', async () => {
  const p = page();
  let token = 'first';
  let commands = [{ id: 4, type: 'blackout' }];
  const later = [];
  const { net, posts } = fakeNet({
    '/remote/info': () => ({ ok: true, body: { token, lastCommandId: 3, url: 'http://192.168.1.5:8080/remote' } }),
    '/remote/commands': (path) => (path.includes(`token=${token}`) ? { ok: true, body: { commands } } : { ok: false, status: 403 }),
    '/screen-light/info': () => ({ ok: true, body: { token: 's', url: 'http://192.168.1.5:8080/screen-light',
      urls: ['http://192.168.1.5:8080/screen-light', 'http://127.0.0.1:8080/screen-light'], localUrl: 'http://127.0.0.1:8080/screen-light' } }),
    '/screen-light/client-status': () => ({ ok: true, body: { connected: true, now: Date.now() } }),
  });
  const addresses = {};
  let nowMs = 0;
  const relays = new Relays(p.state, { net, outputs: p.outputs, actions: p.controller.remoteActions(),
    onAddress: (kind, url, others) => { addresses[kind] = [url, others]; }, now: () => nowMs,
    later: (fn) => later.push(fn), every: () => {} });
  p.controller.relays = relays;
  await relays.connectRemote();
  await p.settle();
  assert.equal(p.state.blackout, true, 'the command after the page\'s first id was carried out');
  const published = () => posts.filter((x) => x.path.startsWith('/remote/state'));
  const count = published().length;
  relays.publishRemote(false);
  assert.equal(published().length, count, 'nothing new, no heartbeat due: nothing sent');
  nowMs += 2500;
  relays.publishRemote(false);
  assert.equal(published().length, count + 1, 'the heartbeat');
  // The same command list again is not carried out twice; a restarted program's new token is used.
  later.shift()();
  await p.settle();
  assert.equal(p.state.blackout, true);
  token = 'second';
  commands = [{ id: 5, type: 'blackout', value: false }];
  later.shift()();
  await p.settle();
  assert.match(published().at(-1).path, /token=second/, 'published with the new token');
  later.shift()();
  await p.settle();
  assert.equal(p.state.blackout, false);

  await relays.connectScreenLight();
  assert.deepEqual(addresses.screen, ['http://192.168.1.5:8080/screen-light', ['http://127.0.0.1:8080/screen-light']], 'each address once');
  assert.equal(p.state.screenConnected, true);
  const screen = posts.filter((x) => x.path.startsWith('/screen-light/state')).at(-1).body;
  assert.equal(screen.active, false, 'no session plays: the screens stay dark');
});

test('only a call refused for want of the control token is reported as such', async () => {
  const replies = {
    '/dmx': [403, { ok: false, error: 'invalid_token' }],
    '/remote/commands?token=old': [401, { ok: false, error: 'invalid_token' }],
    '/audio/start': [400, { ok: false, error: 'invalid_request' }],
  };
  const realFetch = globalThis.fetch;
  globalThis.fetch = async (path) => new Response(JSON.stringify(replies[path][1]), { status: replies[path][0] });
  const refused = [];
  const stop = onControlTokenRefused((path) => refused.push(path));
  try {
    for (const path of Object.keys(replies)) {
      const reply = path === '/dmx' ? await postJson(path, { dmx: [] }) : await getJson(path);
      assert.equal(reply.ok, false, path);
    }
    assert.deepEqual(refused, ['/dmx']);
  } finally {
    stop();
    globalThis.fetch = realFetch;
  }
});
