// The control page as the face of the program's player, against a fake program: what it asks
// the player, what it shows of the player's state, how it follows the event stream, and how
// settings and own sessions reach the program.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { AppState, pageStore } from '../../public/js/state.js';
import { Controller } from '../../public/js/controller.js';
import { PlayerState, PlayerView, normalizeStatus } from '../../public/js/player.js';
import { SessionEvents, SILENCE_LIMIT_MS } from '../../public/js/session-events.js';
import { ProgramStore, SAVE_DELAY_MS } from '../../public/js/program-settings.js';
import { Relays } from '../../public/js/relays.js';
import { SoundPreview } from '../../public/js/outputs.js';
import { getJson, onControlTokenRefused, postJson } from '../../public/js/net.js';
import { CARRIED_OVER_KEY, CUSTOM_SESSIONS_KEY, PHOTOSENSITIVITY_KEY, SETTINGS_KEY } from '../../public/js/settings.js';
import { translate } from '../../public/js/i18n.js';

const nl = (key, values) => translate('nl', key, values);
const settle = async () => { for (let i = 0; i < 20; i += 1) await new Promise((r) => setImmediate(r)); };

const shipped = {
  id: 'twee', title: 'Twee fasen', durationMinutes: 2, audioMode: 'monaural',
  phases: [
    { name: 'A', start: '00:00', end: '01:00', audioFrequencyHz: '10', colorHex: '#ff0000' },
    { name: 'B', start: '01:00', end: '02:00', audioFrequencyHz: '6', colorHex: '#0000ff' },
  ],
};
const own = { ...shipped, id: 'eigen-1', title: 'Eigen' };

// The program's player, as far as the page can see it: replies to its commands, in the shape
// of the routes, and the state it last gave.
function fakeProgram({ consent = true } = {}) {
  const calls = [];
  let revision = 0;
  const player = { state: 'idle', sessionId: '', title: '', elapsedS: 0, durationS: 0, phaseIndex: -1, blackout: false };
  const status = () => ({ ...player, revision: ++revision, light: true, lightLit: player.state === 'running' && !player.blackout });
  const replies = {
    '/session/start': (body) => {
      if (player.state === 'running' || player.state === 'paused') return { ok: false, status: 409, body: { ok: false, error: 'playing', message: 'Er speelt al een sessie.' } };
      if (!consent) return { ok: false, status: 409, body: { ok: false, error: 'consent_required', message: 'Lees eerst de waarschuwing.' } };
      const session = body.session ?? shipped;
      Object.assign(player, { state: 'running', sessionId: session.id, title: session.title, durationS: 120, elapsedS: 0, phaseIndex: 0, blackout: false });
      return { ok: true, status: 200, body: { ok: true, state: status() } };
    },
    '/session/pause': () => { player.state = 'paused'; return { ok: true, status: 200, body: { ok: true, state: status() } }; },
    '/session/resume': () => { player.state = 'running'; return { ok: true, status: 200, body: { ok: true, state: status() } }; },
    '/session/stop': () => { player.state = 'idle'; return { ok: true, status: 200, body: { ok: true, state: status() } }; },
    '/session/seek': (body) => {
      if (Number.isInteger(body.phase)) Object.assign(player, { phaseIndex: body.phase, elapsedS: body.phase * 60 });
      else Object.assign(player, { elapsedS: body.seconds, phaseIndex: body.seconds >= 60 ? 1 : 0 });
      return { ok: true, status: 200, body: { ok: true, state: status() } };
    },
    '/session/blackout': (body) => { player.blackout = body.on; return { ok: true, status: 200, body: { ok: true, state: status() } }; },
    '/settings/consent': () => { consent = true; return { ok: true, status: 200, body: { ok: true } }; },
    '/session/record': () => ({ ok: true, status: 200, body: { ok: true, record: { endedAt: 5, outcome: 'stopped', phases: [] } } }),
  };
  const answer = async (path, body) => {
    calls.push({ path, body });
    return (replies[path] ?? (() => ({ ok: false, status: 404, body: null })))(body ?? {});
  };
  return { calls, player, status, replies, net: { postJson: answer, getJson: (path) => answer(path) } };
}

function page(program = fakeProgram()) {
  let nowMs = 1000;
  const state = new AppState(pageStore(null), () => nowMs);
  state.shipped = [shipped];
  state.setSessions([own]);
  state.selectedId = shipped.id;
  const shown = { errors: [], notices: [], warnings: 0 };
  const controller = new Controller(state, {
    net: program.net,
    settings: { accept: async () => (await program.net.postJson('/settings/consent', { accepted: true })).ok, save: async (s) => s },
    askConsent: () => { shown.warnings += 1; },
    onError: (text) => shown.errors.push(text),
    onNotice: (key) => shown.notices.push(key),
    refusal: () => (state.accessRefused ? nl('net.tokenNeeded') : null),
  });
  return { state, controller, program, shown, advance: (ms) => { nowMs += ms; } };
}

test('commands go to the program\'s player and its answer is what the page shows; the clock runs on between reports', async () => {
  const p = page();
  await p.controller.start();
  assert.deepEqual(p.program.calls.at(-1), { path: '/session/start', body: { sessionId: 'twee' } }, 'a library session by its id');
  assert.equal(p.state.player.state, PlayerState.RUNNING);
  p.advance(2500);
  assert.equal(p.state.player.elapsed(), 2.5, 'the shown time moves on between reports');
  await p.controller.pause();
  p.advance(60_000);
  assert.equal(p.state.player.elapsed(), 0, 'and stands while paused');
  await p.controller.resume();
  await p.controller.seekToPhase(1);
  assert.deepEqual(p.program.calls.at(-1).body, { phase: 1 });
  assert.equal(p.state.player.moment().phaseIndex, 1);
  await p.controller.seek(30);
  assert.deepEqual(p.program.calls.at(-1).body, { seconds: 30 });
  p.advance(500_000);
  assert.equal(p.state.player.elapsed(), 120, 'never past the end');
  // A report older than the one shown (a reply overtaken by an event) changes nothing.
  const old = { ...p.program.status(), revision: 1, state: 'paused' };
  assert.equal(p.state.player.apply(old), null);
  assert.equal(p.state.player.state, PlayerState.RUNNING);
  await p.controller.start();
  assert.equal(p.program.calls.filter((c) => c.path === '/session/start').length, 1, 'no start while one plays');
  await p.controller.stop();
  await settle();
  assert.equal(p.state.player.state, PlayerState.IDLE);
  assert.ok(p.state.record, 'the ended run\'s record is fetched for the report');

  p.state.selectedId = own.id;
  await p.controller.start();
  assert.deepEqual(p.program.calls.at(-1).body, { session: own }, 'an own session goes whole');
  assert.deepEqual(p.shown.errors, []);
});

test('the program\'s refusals: the warning first, a session beyond the tone generator, one already playing; a page without its token asks nothing', async () => {
  const p = page(fakeProgram({ consent: false }));
  await p.controller.start();
  assert.equal(p.shown.warnings, 1, 'the warning is shown');
  assert.equal(p.state.pendingStart, true);
  await p.controller.consentGiven(true);
  assert.deepEqual(p.program.calls.map((c) => c.path), ['/session/start', '/settings/consent', '/session/start']);
  assert.equal(p.state.player.state, PlayerState.RUNNING, 'accepted, the session starts');
  assert.equal(p.state.lightAccepted, true);

  p.program.replies['/session/start'] = () => ({ ok: false, status: 400, body: { ok: false, reason: 'limits', message: 'Fase 2 vraagt te veel.',
    detail: { phase: 2, field: 'beat', value: 40, min: 1, max: 30 } } });
  await p.controller.stop();
  await p.controller.start();
  assert.equal(p.shown.errors.at(-1), 'Fase 2 vraagt een toon van 40 Hz; de toongenerator speelt 1 tot 30 Hz. De sessie start niet: pas haar aan in de editor.');
  p.program.replies['/session/start'] = () => ({ ok: false, status: 400, body: { ok: false, reason: 'limits', message: 'Fase 2 vraagt te veel.' } });
  await p.controller.start();
  assert.equal(p.shown.errors.at(-1), 'Fase 2 vraagt te veel. De sessie start niet: pas haar aan in de editor.', 'without its figures, the program\'s own sentence and what follows');
  p.program.replies['/session/start'] = () => ({ ok: false, status: 409, body: { ok: false, error: 'playing', message: 'x' } });
  await p.controller.start();
  assert.deepEqual(p.shown.notices, ['library.busy'], 'started elsewhere meanwhile');

  const before = p.program.calls.length;
  p.state.accessRefused = true;
  await p.controller.start();
  assert.equal(p.program.calls.length, before, 'nothing asked without the token');
  assert.equal(p.shown.errors.at(-1), nl('net.tokenNeeded'));
});

test('blackout shows at once, the program confirms it, and a new session starts with it lifted and says so', async () => {
  const p = page();
  const pending = p.controller.setBlackout(true);
  assert.equal(p.state.blackout, true, 'shown before the program answered');
  await pending;
  assert.equal(p.state.blackoutAsked, null);
  assert.equal(p.state.player.blackout, true, 'the program holds it');
  await p.controller.start();
  assert.equal(p.state.blackout, false);
  assert.deepEqual(p.shown.notices, ['blackout.lifted']);
  assert.equal(nl('blackout.lifted'), 'Blackout opgeheven: de nieuwe sessie begint met licht.');
  await p.controller.stop();
  await p.controller.start();
  assert.deepEqual(p.shown.notices, ['blackout.lifted'], 'nothing to say when there was no blackout');
  // A blackout the program did not take is not shown as on.
  p.program.replies['/session/blackout'] = () => ({ ok: false, status: 0, body: null });
  await p.controller.toggleBlackout();
  assert.equal(p.state.blackout, false);
  assert.equal(p.shown.errors.at(-1), nl('light.noConnection'));
});

test('the state document is read whatever it leaves out; values nested or beside', () => {
  const empty = normalizeStatus(null);
  assert.deepEqual([empty.state, empty.phaseIndex, empty.values.beatHz, empty.blackout], ['idle', -1, 0, false]);
  const flat = normalizeStatus({ state: 'paused', elapsedS: 500, durationS: 300, beatHz: 7.5, color: '#FF0000', phaseName: 'Rust' });
  assert.deepEqual([flat.elapsedS, flat.values.beatHz, flat.values.color], [300, 7.5, '#ff0000'], 'elapsed within the session');
  const nested = normalizeStatus({ state: 'bogus', values: { lightHz: 9, color: 'red' } });
  assert.deepEqual([nested.state, nested.values.lightHz, nested.values.color], ['idle', 9, '#000000']);
  const view = new PlayerView(() => 0);
  view.apply({ state: 'running', elapsedS: 3, durationS: 10, phaseIndex: 0, phaseName: 'Rust', lightHz: 9, pulseShape: 'square' });
  assert.deepEqual(view.moment(), { phaseIndex: 0, phase: { name: 'Rust', nameEn: '' }, ...view.status.values, pulseShape: 'square' });
  view.apply({ state: 'finished', durationS: 10 });
  assert.equal(view.moment(), null);
  assert.equal(view.elapsed(), 10);
});

// An EventSource the test drives.
class FakeSource {
  constructor(url) {
    this.url = url;
    this.readyState = 0;
    this.listeners = {};
    this.closed = false;
  }

  addEventListener(type, fn) { (this.listeners[type] ??= []).push(fn); }

  emit(type, event = {}) { for (const fn of this.listeners[type] ?? []) fn(event); }

  close() { this.closed = true; this.readyState = 2; }
}

test('the event stream: each state to the page, a refused stream opened again with a growing wait, a silent one replaced', () => {
  const sources = [];
  const timers = [];
  let now = 0;
  const states = [];
  let running = false;
  const events = new SessionEvents({
    url: '/session/events?token=abc',
    open: (url) => { const s = new FakeSource(url); sources.push(s); return s; },
    onState: (raw) => states.push(raw.state),
    expectReports: () => running,
    now: () => now,
    later: (fn, ms) => { timers.push({ fn, at: now + ms }); return timers.length; },
    cancel: (id) => { if (id) timers[id - 1].fn = () => {}; },
  });
  const runDue = () => {
    for (const timer of timers.filter((x) => x.at <= now && !x.done)) { timer.done = true; timer.fn(); }
  };
  events.start();
  assert.equal(sources[0].url, '/session/events?token=abc');
  sources[0].emit('state', { data: '{"state":"running"}' });
  sources[0].emit('state', { data: 'not json' });
  assert.deepEqual(states, ['running']);
  assert.equal(events.connected, true);

  // A dropped connection that the browser retries itself: nothing to do here.
  sources[0].readyState = 0;
  sources[0].emit('error');
  assert.equal(events.connected, false);
  now += 1000;
  runDue();
  assert.equal(sources.length, 1);
  // Refused (closed for good): opened again after 1 s, then 2 s.
  sources[0].readyState = 2;
  sources[0].emit('error');
  now += 999;
  runDue();
  assert.equal(sources.length, 1);
  now += 1;
  runDue();
  assert.equal(sources.length, 2);
  sources[1].readyState = 2;
  sources[1].emit('error');
  now += 1000;
  runDue();
  assert.equal(sources.length, 2, 'the second wait is longer');
  now += 1000;
  runDue();
  assert.equal(sources.length, 3);
  sources[2].emit('state', { data: '{"state":"running"}' });

  // Silent for longer than a playing session allows: replaced.
  running = true;
  now += SILENCE_LIMIT_MS + 10;
  runDue();
  assert.equal(sources.length, 4);
  assert.equal(sources[2].closed, true, 'the silent one is closed');
  // Events from a replaced stream are not taken.
  sources[2].listeners.state[0]({ data: '{"state":"paused"}' });
  assert.deepEqual(states, ['running', 'running']);
  events.reconnect();
  assert.equal(sources.length, 5);
  assert.equal(sources[3].closed, true);
});

function memoryStore(entries = {}) {
  const map = new Map(Object.entries(entries));
  return { getItem: (k) => (map.has(k) ? map.get(k) : null), setItem: (k, v) => { map.set(k, String(v)); return true; }, map };
}

test('local storage goes to the program once; then the program\'s settings and own sessions are used', async () => {
  const calls = [];
  let carryReply = { ok: false, status: 0, body: null };
  const programSettings = { language: 'en', audio: { latencyMs: 180, device: 'USB' }, photosensitivityAccepted: true };
  let reachable = false;
  const net = {
    postJson: async (path, body) => { calls.push([path, body]); return path === '/settings/carry-over' ? carryReply : { ok: true, body: { ok: true } }; },
    getJson: async (path) => {
      calls.push([path]);
      if (!reachable) return { ok: false, status: 0, body: null };
      if (path === '/settings') return { ok: true, body: { ok: true, settings: programSettings, fresh: false } };
      return { ok: true, body: { ok: true, sessions: [own, { id: 'broken' }] } };
    },
    putJson: async (path, body) => { calls.push([path, JSON.parse(JSON.stringify(body))]); return { ok: true, body: { ok: true, settings: body } }; },
  };
  const store = memoryStore({ [SETTINGS_KEY]: JSON.stringify({ language: 'nl', controls: { masterVolume: 20 } }),
    [PHOTOSENSITIVITY_KEY]: 'yes', [CUSTOM_SESSIONS_KEY]: JSON.stringify([own, 'rubbish']) });
  const timers = [];
  const kept = new ProgramStore({ net, store, later: (fn, ms) => { timers.push({ fn, ms }); return timers.length; }, cancel: (id) => { if (id) timers[id - 1].fn = () => {}; } });

  // The program cannot be reached: the page's own copy holds for this visit, and it tries again next time.
  const offline = await kept.load();
  assert.equal(calls[0][0], '/settings/carry-over');
  assert.deepEqual(calls[0][1].customSessions, [own]);
  assert.deepEqual([calls[0][1].photosensitivityAccepted, calls[0][1].settings.controls.masterVolume], [true, 20]);
  assert.equal(store.getItem(CARRIED_OVER_KEY), null);
  assert.deepEqual([offline.reachable, offline.settings.controls.masterVolume], [false, 20], 'the page\'s own copy for this visit');

  reachable = true;
  carryReply = { ok: true, body: { ok: true, settings: { ...programSettings, controls: { masterVolume: 20 } }, sessions: [own] } };
  calls.length = 0;
  const first = await kept.load();
  assert.deepEqual(calls.map((c) => c[0]), ['/settings/carry-over']);
  assert.deepEqual([first.settings.controls.masterVolume, first.settings.audio.latencyMs, first.settings.photosensitivityAccepted], [20, 180, true]);
  assert.deepEqual(first.sessions, [own]);
  assert.equal(store.getItem(CARRIED_OVER_KEY), 'yes');

  calls.length = 0;
  const second = await kept.load();
  assert.deepEqual(calls.map((c) => c[0]).sort(), ['/sessions/own', '/settings'], 'carried over once only');
  assert.deepEqual([second.settings.language, second.settings.audio.device], ['en', 'USB']);
  assert.deepEqual(second.sessions, [own], 'what is not a session is left out');

  // Slider moves in a burst are one store of the last position; every caller hears the outcome.
  calls.length = 0;
  const settings = second.settings;
  const saved = [];
  for (const v of [30, 40, 50]) {
    settings.controls.masterVolume = v;
    kept.save(settings, { soon: true }).then((r) => saved.push(r?.controls.masterVolume));
  }
  assert.equal(timers.at(-1).ms, SAVE_DELAY_MS);
  for (const t of timers.splice(0)) t.fn();
  await settle();
  assert.deepEqual(calls.map((c) => [c[0], c[1].controls.masterVolume]), [['/settings', 50]]);
  assert.deepEqual(saved, [50, 50, 50]);
});

test('a browser that kept nothing carries nothing over and is not asked again', async () => {
  const calls = [];
  const net = { postJson: async (p) => { calls.push(p); return { ok: false }; },
    getJson: async (p) => { calls.push(p); return { ok: true, body: { ok: true, settings: {}, sessions: [] } }; } };
  const store = memoryStore();
  const loaded = await new ProgramStore({ net, store }).load();
  assert.deepEqual(calls.sort(), ['/sessions/own', '/settings']);
  assert.equal(store.getItem(CARRIED_OVER_KEY), 'yes');
  assert.deepEqual([loaded.settings.audio.latencyMs, loaded.settings.photosensitivityAccepted], [0, false]);
});

test('only the coaching is taken from the phone\'s commands; new tokens are picked up', async () => {
  const state = new AppState(pageStore(null));
  let token = 'first';
  let commands = [{ id: 4, type: 'breathing' }, { id: 5, type: 'blackout' }, { id: 6, type: 'stop' }];
  const later = [];
  const asked = [];
  const net = {
    getJson: async (path) => {
      asked.push(path);
      if (path === '/remote/info') return { ok: true, body: { token, lastCommandId: 3, url: 'http://192.168.1.5:8080/remote' } };
      if (path.startsWith('/remote/commands')) return path.includes(`token=${token}`) ? { ok: true, body: { commands } } : { ok: false, status: 403 };
      if (path === '/screen-light/info') {
        return { ok: true, body: { token: 's', url: 'http://192.168.1.5:8080/screen-light',
          urls: ['http://192.168.1.5:8080/screen-light', 'http://127.0.0.1:8080/screen-light'], localUrl: 'http://127.0.0.1:8080/screen-light' } };
      }
      return { ok: true, body: { connected: true } };
    },
  };
  const calls = [];
  const addresses = {};
  const relays = new Relays(state, {
    net,
    actions: { isBreathing: () => state.breathing, setBreathing: (on) => { calls.push(on); state.breathing = on; } },
    onAddress: (kind, url, others) => { addresses[kind] = [url, others]; },
    later: (fn) => later.push(fn),
    every: () => {},
  });
  await relays.connectRemote();
  await settle();
  assert.deepEqual(calls, [true], 'breathing only: the program carries out the rest itself');
  later.shift()();
  await settle();
  assert.deepEqual(calls, [true], 'each command once');
  token = 'second';
  commands = [{ id: 7, type: 'breathing', value: false }];
  later.shift()();
  await settle();
  later.shift()();
  await settle();
  assert.deepEqual(calls, [true, false]);
  assert.ok(asked.some((p) => p.includes('token=second')), 'asked with the new token');
  assert.ok(!asked.some((p) => p.startsWith('/remote/state') || p.startsWith('/screen-light/state')), 'the page publishes nothing');
  await relays.connectScreenLight();
  assert.deepEqual(addresses.screen, ['http://192.168.1.5:8080/screen-light', ['http://127.0.0.1:8080/screen-light']], 'each address once');
  assert.equal(state.screenConnected, true);
});

test('the editor\'s preview sounds through the tone generator only while no session plays, and ends with the page', async () => {
  const state = new AppState(pageStore(null));
  const sent = [];
  const preview = new SoundPreview(state, { transport: async (path, body) => { sent.push([path, body?.beat]); return { ok: true }; }, now: () => 0 });
  const sample = { beatHz: 9, carrierHz: 200, pulseVolume: 50, envelope: 1 };
  assert.equal(preview.listen({ session: shipped, sample }), true);
  assert.equal(preview.listen({ session: shipped, sample: { ...sample, beatHz: 8 } }), true);
  await settle();
  assert.deepEqual(sent, [['/audio/start', 9]], 'updates no faster than the tone generator is asked');
  state.player.apply({ state: 'running', durationS: 60 });
  assert.equal(preview.listen({ session: shipped, sample }), false, 'a session plays: the sound is its own');
  await settle();
  assert.equal(sent.at(-1)[0], '/audio/stop');
  state.player.apply({ state: 'idle' });
  preview.listen({ session: shipped, sample });
  const last = [];
  preview.leave((path) => last.push(path));
  assert.deepEqual(last, ['/audio/stop']);
  assert.equal(preview.listen(null), true);
});

test('only a call refused for want of the control token is reported as such', async () => {
  const replies = {
    '/session/start': [403, { ok: false, error: 'invalid_token' }],
    '/remote/commands?token=old': [401, { ok: false, error: 'invalid_token' }],
    '/audio/start': [400, { ok: false, error: 'invalid_request' }],
  };
  const realFetch = globalThis.fetch;
  globalThis.fetch = async (path) => new Response(JSON.stringify(replies[path][1]), { status: replies[path][0] });
  const refused = [];
  const stop = onControlTokenRefused((path) => refused.push(path));
  try {
    for (const path of Object.keys(replies)) {
      const reply = path === '/session/start' ? await postJson(path, {}) : await getJson(path);
      assert.equal(reply.ok, false, path);
    }
    assert.deepEqual(refused, ['/session/start']);
  } finally {
    stop();
    globalThis.fetch = realFetch;
  }
});
