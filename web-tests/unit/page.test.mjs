// Texts of the pages in both languages, and the pure parts of the page's own sound.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync, readdirSync } from 'node:fs';
import { TEXTS, translate, localized } from '../../public/js/i18n.js';
import { fillNoise, pickTrack, trackMatches } from '../../public/js/page-sound.js';

const publicDir = new URL('../../public/', import.meta.url);

test('every text exists in Dutch and English, and every key the pages use is defined', () => {
  assert.deepEqual(Object.keys(TEXTS.en).sort(), Object.keys(TEXTS.nl).sort());
  const sources = [
    ...['index.html', 'remote.html', 'screen-light.html'].map((f) => readFileSync(new URL(f, publicDir), 'utf8')),
    ...readdirSync(new URL('js/', publicDir)).map((f) => readFileSync(new URL(`js/${f}`, publicDir), 'utf8')),
  ].join('\n');
  const used = new Set();
  for (const m of sources.matchAll(/data-i18n(?:-placeholder)?="([^"]+)"/g)) used.add(m[1]);
  for (const m of sources.matchAll(/\bt\('([a-zA-Z]+\.[a-zA-Z.]+)'/g)) used.add(m[1]);
  assert.ok(used.size > 50, `found ${used.size} keys`);
  for (const key of used) assert.ok(key in TEXTS.nl, `missing text ${key}`);
  assert.equal(translate('en', 'light.error', { message: 'x' }), 'Light: x');
  assert.equal(translate('fr', 'player.start'), 'Start', 'unknown languages fall back to Dutch');
  assert.equal(localized({ title: 'Slaap', titleEn: 'Sleep' }, 'title', 'en'), 'Sleep');
  assert.equal(localized({ title: 'Slaap' }, 'title', 'en'), 'Slaap');
});

test('noise colours: normalised, and darker colours change more slowly', () => {
  let seed = 1;
  const random = () => { seed = (seed * 16807) % 2147483647; return seed / 2147483647; };
  const roughness = (a) => a.reduce((s, v, i) => (i ? s + Math.abs(v - a[i - 1]) : 0), 0) / a.length;
  const white = fillNoise('white', new Float32Array(20000), random);
  const pink = fillNoise('pink', new Float32Array(20000), random);
  const brown = fillNoise('brown', new Float32Array(20000), random);
  for (const a of [white, pink, brown]) assert.ok(Math.abs(Math.max(...a.map(Math.abs)) - 0.5) < 1e-6);
  assert.ok(roughness(white) > roughness(pink) && roughness(pink) > roughness(brown));
});

test('music tracks are picked by mood and picks move on', () => {
  const tracks = [{ file: 'a', mood: 'focus' }, { file: 'b', moods: ['calm', 'sleep'] }, { file: 'c', title: 'Calm Sea' }];
  assert.ok(trackMatches(tracks[1], 'sleep'));
  assert.equal(pickTrack(tracks, 'calm'), 1);
  assert.equal(pickTrack(tracks, 'calm', 1), 2, 'the next matching track');
  assert.equal(pickTrack(tracks, 'bright', 0), 1, 'no match: simply the next one');
  assert.equal(pickTrack([], 'calm'), -1);
});
