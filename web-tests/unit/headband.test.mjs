// The headband's state in the page (contact, battery, lost packets, the words under the
// status) and the report's brain waves per phase, without a browser.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { HeadbandMonitor, statusMessage } from '../../public/js/headband.js';
import { buildReportHtml } from '../../public/js/report.js';
import { recordOf } from './record-fixture.mjs';
import { TEXTS, translate } from '../../public/js/i18n.js';

const known = (key) => Object.hasOwn(TEXTS.nl, key);
const words = (language) => ({ t: (key, values) => translate(language, key, values), known, language });
const BRIDGE = 'solvera-muse-bridge';
const WRAPPER = 'solvera-macos-wrapper';

test('contact per electrode, battery and lost packets are state, not plotted series', () => {
  const monitor = new HeadbandMonitor(() => 1_700_000_000_000);
  monitor.accept([
    { type: 'contact', channel: 'TP9', quality: 'good', variance: 800 },
    { type: 'contact', channel: 'AF7', quality: 'none', variance: 0 },
    { type: 'contact', channel: 'AF8', quality: 'poor', variance: 90000 },
    { type: 'contact', channel: 'TP10', quality: 'bogus' },
    { type: 'battery', percent: 87.5 },
    { type: 'packetLoss', lost: 3, received: 1000 },
    { type: 'bands', bands: { delta: 0.1, theta: 0.1, alpha: 0.6, beta: 0.1, gamma: 0.1 }, electrodes: ['TP9'] },
  ]);
  assert.deepEqual(monitor.looseElectrodes(), ['AF7', 'AF8'], 'an unknown quality is ignored');
  assert.deepEqual([monitor.battery.percent, monitor.packetLoss.lost], [87.5, 3]);
  assert.deepEqual(monitor.plotSeries(), ['delta', 'theta', 'alpha', 'beta', 'gamma']);
  assert.ok(!monitor.series.has('variance') && !monitor.series.has('percent') && !monitor.series.has('lost'));
  assert.equal(monitor.readingCount, 1);

  monitor.accept({ type: 'status', status: 'disconnected', source: BRIDGE, message: 'x' });
  assert.deepEqual(monitor.looseElectrodes(), [], 'a dropout forgets the old contact');
});

test('the page words every status; raw English and system texts never show', () => {
  const at = (status, source, message, extra = {}) => ({ type: 'status', status, source, message, receivedAt: 1_700_000_000_000, ...extra });
  const shown = (events, language = 'nl') => {
    const monitor = new HeadbandMonitor();
    monitor.accept(events);
    return statusMessage(monitor, words(language));
  };
  // The program's own life-cycle events: English by contract, or the system's words.
  assert.equal(shown([at('starting', WRAPPER, 'Muse bridge started.')]), 'Het hoofdbandprogramma is gestart.');
  assert.equal(shown([at('failed', WRAPPER, 'Failed to execute child process “x” (No such file or directory)')]),
    'Het hoofdbandprogramma kon niet starten.');
  assert.equal(shown([at('unavailable', WRAPPER, 'Muse bridge executable not found.')], 'en'),
    'The headband program is missing from this installation.');
  assert.equal(shown([at('odd', WRAPPER, 'Something English.')]), '', 'an unknown word shows nothing raw');

  // The bridge's own words are Dutch: shown as they are; in English by their reason.
  const noBluez = at('unavailable', BRIDGE, 'Bluetooth is niet beschikbaar: de Bluetooth-dienst draait niet op deze computer.', { reason: 'noBluez' });
  assert.equal(shown([noBluez]), noBluez.message);
  assert.equal(shown([noBluez], 'en'), 'Bluetooth is not available: the Bluetooth service is not running on this computer.');
  assert.equal(shown([at('reconnecting', BRIDGE, 'Opnieuw verbinden met de hoofdband…')], 'en'), 'Reconnecting to the headband…');
  // Its exit after saying why keeps the why in view.
  assert.equal(shown([noBluez, at('stopped', WRAPPER, 'Muse bridge stopped with status 2.')]), noBluez.message);
  assert.equal(shown([at('streaming', BRIDGE, 'Metingen komen binnen.'), at('stopped', WRAPPER, 'Muse bridge stopped with status 0.')]),
    'Het hoofdbandprogramma is gestopt. Kies Hoofdband zoeken om het opnieuw te proberen.');
});

test('the report gives the mean band powers of each phase, the strongest in bold', () => {
  const session = {
    id: 'banden', title: 'Banden', category: 'Test', audioMode: 'binaural',
    phases: [
      { name: 'Ontspannen', start: '00:00', end: '00:30', audioFrequencyHz: '10', lightFrequencyHz: '10', colorHex: '#00ff00' },
      { name: 'Diep', start: '00:30', end: '01:00', audioFrequencyHz: '6', lightFrequencyHz: '6', colorHex: '#0000ff' },
    ],
  };
  // The program's record: per phase the mean of the band powers that arrived while it played.
  const run = recordOf(session, { headband: { readings: 3, statuses: [], series: [], phases: [
    { phase: 0, n: 2, bands: { delta: 0.1, theta: 0.2, alpha: 0.5, beta: 0.1, gamma: 0.1 } },
    { phase: 1, n: 1, bands: { delta: 0.1, theta: 0.5, alpha: 0.2, beta: 0.1, gamma: 0.1 } }] } });

  const html = buildReportHtml(run, { language: 'nl', t: words('nl').t });
  assert.match(html, /<h2>Hersengolven per fase<\/h2>/);
  const rows = [...html.matchAll(/<tr><td>(\d)<\/td><td>([^<]*)<\/td><td>(\d+)<\/td>(.*?)<\/tr>/g)].map((m) => [m[1], m[2], m[3], m[4]]);
  assert.deepEqual(rows.map((r) => r.slice(0, 3)), [['1', 'Ontspannen', '2'], ['2', 'Diep', '1']]);
  assert.equal(rows[0][3], '<td>10%</td><td>20%</td><td><b>50%</b></td><td>10%</td><td>10%</td>');
  assert.equal(rows[1][3], '<td>10%</td><td><b>50%</b></td><td>20%</td><td>10%</td><td>10%</td>');

  const quiet = { record: recordOf(session, { stopAt: 1 }) };
  assert.match(buildReportHtml(quiet.record, { language: 'en', t: words('en').t }), /No brain-wave readings arrived during this session\./);
});
