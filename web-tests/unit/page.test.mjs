// Texts of the pages in both languages.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync, readdirSync } from 'node:fs';
import { TEXTS, translate, localized } from '../../public/js/i18n.js';

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
