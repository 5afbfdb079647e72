// The session library: the shipped sessions and the user's own, the list with its search and
// category chips, the selected session's card with its phases, and the selection itself.

import { buildTimeline, formatClock } from './timeline.js';
import { localized } from './i18n.js';
import { searchSessions } from './search.js';
import { getJson } from './net.js';

const $ = (id) => document.getElementById(id);
const MINE = '\u0000mine'; // the category chip of the user's own sessions
const LAST_SESSION_KEY = 'solvera.lastSession';

export class Library {
  // onSeekPhase(index): a click on a phase of the playing session; onBusy(): a session was
  // chosen while another plays.
  constructor(state, { onSelected = () => {}, onSeekPhase = () => {}, onBusy = () => {} }) {
    this.state = state;
    this.onSelected = onSelected;
    this.onSeekPhase = onSeekPhase;
    this.onBusy = onBusy;
  }

  t(key, values) {
    return this.state.t(key, values);
  }

  // The shipped library; own: the person's own sessions, as the program keeps them.
  async load(own = []) {
    const s = this.state;
    const reply = await getJson('sessions/library.json');
    s.shipped = Array.isArray(reply.body?.sessions) ? reply.body.sessions : [];
    s.setSessions(own);
    const last = s.store.getItem(LAST_SESSION_KEY);
    s.selectedId = s.sessions.some((x) => x.id === last) ? last : null;
  }

  // The list of own sessions as shown (the program keeps them; see ProgramStore).
  setCustom(list) {
    this.state.setSessions(list);
    this.render();
    this.detail();
  }

  select(id, { reveal = false } = {}) {
    const s = this.state;
    if (s.player.active) return; // the running session stays; stop it first
    s.selectedId = id;
    if (reveal && id) {
      // An imported or recommended session must be findable in the list: lift filters that hide it.
      const session = s.sessions.find((x) => x.id === id);
      if (session && s.category !== null && !(s.category === MINE ? s.customIds.has(id) : session.category === s.category)) s.category = null;
      if (session && $('searchInput').value && !searchSessions([session], $('searchInput').value).length) $('searchInput').value = '';
    }
    s.store.setItem(LAST_SESSION_KEY, id);
    this.render();
    this.detail();
    this.onSelected();
    if (reveal && id) {
      document.querySelector(`.session-item[data-id="${CSS.escape(id)}"]`)?.scrollIntoView({ block: 'nearest' });
      if (window.matchMedia('(max-width: 760px)').matches) document.querySelector('.session-card')?.scrollIntoView({ behavior: 'smooth' });
    }
  }

  item(s, language) {
    const li = document.createElement('li');
    const button = document.createElement('button');
    button.type = 'button';
    button.className = 'session-item';
    button.dataset.id = s.id;
    button.setAttribute('aria-pressed', String(s.id === this.state.selectedId));
    const colours = s.phases.map((p) => p.colorHex).filter(Boolean);
    button.innerHTML = '<span class="stripe"></span><span class="name"></span><span class="meta"></span>';
    if (this.state.customIds.has(s.id)) {
      const own = document.createElement('span');
      own.className = 'own';
      own.textContent = this.t('library.own');
      button.querySelector('.name').append(own);
    }
    button.querySelector('.stripe').style.background = `linear-gradient(90deg, ${colours.join(', ') || '#333'})`;
    button.querySelector('.name').prepend(localized(s, 'title', language));
    const range = Array.isArray(s.frequencyRangeHz) ? ` · ${s.frequencyRangeHz.join('–')} Hz` : '';
    button.querySelector('.meta').textContent = `${localized(s, 'category', language)} · ${s.durationMinutes} ${this.t('library.minutes')}${range}`;
    button.addEventListener('click', () => {
      // The playing session stays; the person learns why the click changed nothing.
      if (this.state.player.active && s.id !== this.state.player.status.sessionId) this.onBusy();
      else this.select(s.id);
    });
    li.append(button);
    return li;
  }

  render() {
    const s = this.state;
    const language = s.settings.language;
    let results = searchSessions(s.sessions, $('searchInput').value);
    if (s.category === MINE) results = results.filter((r) => s.customIds.has(r.session.id));
    else if (s.category) results = results.filter((r) => r.session.category === s.category);
    const items = results.map(({ session }) => this.item(session, language));
    $('sessionList').replaceChildren(...items);
    $('noResults').hidden = items.length > 0;
    const categories = [...new Set(s.sessions.filter((x) => !s.customIds.has(x.id)).map((x) => x.category))];
    if (s.customIds.size) categories.unshift(MINE);
    if (s.category !== null && !categories.includes(s.category)) s.category = null;
    const chips = [null, ...categories].map((c) => {
      const chip = document.createElement('button');
      chip.type = 'button';
      chip.className = 'chip';
      chip.setAttribute('aria-pressed', String(s.category === c));
      const example = s.sessions.find((x) => x.category === c);
      chip.textContent = c === null ? this.t('library.all') : c === MINE ? this.t('library.mine') : localized(example, 'category', language);
      chip.addEventListener('click', () => { s.category = c; this.render(); });
      return chip;
    });
    $('categoryChips').replaceChildren(...chips);
  }

  // The selected session's card and the phase segments of the transport bar.
  detail() {
    const s = this.state;
    // The session playing, even one this page does not have (started elsewhere): its title then.
    const status = s.player.status;
    const session = s.player.active ? (s.playing ?? { id: status.sessionId, title: status.title, titleEn: status.titleEn, durationMinutes: Math.round(status.durationS / 60), phases: [] }) : s.selected;
    const language = s.settings.language;
    $('sessionActions').hidden = !session;
    $('deleteButton').hidden = !session || !s.customIds.has(session.id);
    const bar = $('phaseBar');
    bar.querySelectorAll('.seg').forEach((e) => e.remove());
    if (!session) {
      $('sessionTitle').textContent = this.t('player.choose');
      $('sessionGoal').textContent = '';
      $('sessionCategory').textContent = '';
      $('phaseList').replaceChildren();
      return;
    }
    $('sessionTitle').textContent = localized(session, 'title', language);
    $('sessionGoal').textContent = localized(session, 'goal', language);
    $('sessionCategory').textContent = [localized(session, 'category', language), localized(session, 'subcategory', language),
      `${session.durationMinutes} ${this.t('library.minutes')}`].filter(Boolean).join(' · ');
    // The same timeline the player uses, so the bar matches what will play.
    let timeline = null;
    try { timeline = buildTimeline(session); } catch { timeline = null; }
    const list = session.phases.map((phase, i) => {
      const placed = timeline?.phases[i];
      if (placed) {
        const seg = document.createElement('div');
        seg.className = 'seg';
        seg.style.left = `${(100 * placed.startS) / timeline.durationS}%`;
        seg.style.width = `${(100 * (placed.endS - placed.startS)) / timeline.durationS}%`;
        seg.style.background = phase.colorHex || '#333';
        seg.title = localized(phase, 'name', language);
        bar.prepend(seg);
      }
      const li = document.createElement('li');
      li.innerHTML = '<span class="dot"></span><span class="when"></span><span class="what"><strong></strong><small></small></span><span class="freq"></span>';
      li.querySelector('.dot').style.background = phase.colorHex || '#333';
      li.querySelector('.when').textContent = placed ? `${formatClock(placed.startS)}–${formatClock(placed.endS)}` : '';
      li.querySelector('strong').textContent = localized(phase, 'name', language);
      li.querySelector('small').textContent = localized(phase, 'purpose', language);
      li.querySelector('.freq').textContent = phase.audioFrequencyHz ? `${phase.audioFrequencyHz} Hz` : '';
      li.dataset.index = String(i);
      li.title = this.t('transport.jump');
      li.addEventListener('click', () => this.onSeekPhase(i));
      if (s.player.active) {
        li.tabIndex = 0;
        li.addEventListener('keydown', (event) => {
          if (event.key !== 'Enter' && event.key !== ' ') return;
          event.preventDefault();
          event.stopPropagation(); // Space here jumps, it does not pause
          this.onSeekPhase(i);
        });
      }
      return li;
    });
    $('phaseList').replaceChildren(...list);
  }
}
