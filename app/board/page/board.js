// The line board's page: one event stream carries a new picture of the line
// whenever a station records a visit. Every text from the record goes into
// the page as text (textContent), never as markup; station ids are never
// used as keys of plain objects (a station may be called __proto__).
'use strict';

(function () {
  // Parameters as written: a token may hold '+', which is no space here.
  function rawParams(search) {
    const out = new Map();
    for (const part of search.replace(/^\?/, '').split('&')) {
      if (!part) continue;
      const eq = part.indexOf('=');
      const raw = eq < 0 ? '' : part.slice(eq + 1);
      let value = raw;
      try { value = decodeURIComponent(raw); } catch (e) { /* kept as written */ }
      out.set(eq < 0 ? part : part.slice(0, eq), value);
    }
    return out;
  }
  const params = rawParams(location.search);
  const token = params.get('token') || null;
  const wall = params.has('wall');
  // Line colours told apart by most eyes, also in grey (Okabe and Ito).
  const PALETTE = ['#0072B2', '#E69F00', '#009E73', '#CC79A7', '#56B4E9', '#D55E00', '#F0E442', '#999999',
    '#332288', '#88CCEE', '#117733', '#AA4499'];
  // What tests and the benchmark read: when data first showed, how many
  // pictures came, and when each visit first appeared on the page.
  const state = { picture: null, receivedAt: 0, updates: 0, firstDataAt: null, seen: Object.create(null),
    heardAt: 0, sound: false, lastBeep: 0, layout: '' };
  window.vendrillBoard = state;
  let chart = null;
  let chartKey = '';

  function withToken(url) {
    if (!token) return url;
    return url + (url.includes('?') ? '&' : '?') + 'token=' + encodeURIComponent(token);
  }

  function el(tag, text, cls) {
    const e = document.createElement(tag);
    if (text !== undefined && text !== null) e.textContent = String(text);
    if (cls) e.className = cls;
    return e;
  }

  function localTime(iso) {
    const d = new Date(iso);
    const today = new Date();
    return d.toDateString() === today.toDateString() ? d.toLocaleTimeString() : d.toLocaleString();
  }

  function agoText(ms) {
    const s = Math.max(0, Math.round(ms / 1000));
    if (s < 60) return s + ' s';
    const m = Math.floor(s / 60);
    if (m < 60) return m + ' min';
    return Math.floor(m / 60) + ' h ' + (m % 60) + ' min';
  }

  function serverNow() {
    if (!state.picture || !state.picture.now) return Date.now();
    return Date.parse(state.picture.now) + (Date.now() - state.receivedAt);
  }

  function fill(table, rows) {
    table.tBodies[0].replaceChildren(...rows);
  }

  function visitRow(v, columns) {
    const tr = el('tr');
    tr.dataset.time = v.time;
    for (const c of columns) {
      let td;
      if (c === 'time') td = el('td', localTime(v.time));
      else if (c === 'result') td = el('td', v.result, 'result-' + v.result);
      else if (c === 'reason') td = el('td', v.reason, 'reason');
      else if (c === 'radio') td = el('td', v.radio || '', v.radio ? 'radio-' + v.radio : '');
      else td = el('td', v[c]);
      tr.appendChild(td);
    }
    return tr;
  }

  function setLink(text, cls) {
    const link = document.getElementById('link');
    link.textContent = text;
    link.className = 'badge status ' + cls;
  }

  // ---- the picture ------------------------------------------------------

  function renderProblem(p) {
    const problem = document.getElementById('problem');
    problem.hidden = !p.error;
    problem.textContent = p.error ? 'The record cannot be read: the figures are from ' +
      localTime(p.now || new Date().toISOString()) + '. ' + p.error : '';
    const record = document.getElementById('record-state');
    const down = p.record && p.record.state === 'down';
    record.textContent = down ? 'record down' : 'record live';
    record.className = 'badge ' + (down ? 'down' : 'live');
    record.title = (p.record && p.record.how) || '';
  }

  function renderTop(p) {
    let named = 0, repeats = 0, failed = 0, visits = 0, shiftNamed = 0, radioChecked = 0, radioFailed = 0;
    for (const s of p.stations) {
      named += s.named;
      repeats += s.already_named;
      failed += s.failed;
      visits += s.printers;
      shiftNamed += s.shift_named;
      radioChecked += s.radio_checked;
      radioFailed += s.radio_failed;
    }
    document.getElementById('line-total').textContent = String(named);
    document.getElementById('line-more').textContent =
      'already named ' + repeats + ' · failed ' + failed + (radioChecked ? ' · radio failed ' + radioFailed : '') +
      ' · visits ' + visits;
    const target = document.getElementById('line-target');
    target.dataset.perHour = p.settings && p.settings.line_per_hour ? String(p.settings.line_per_hour) : '';
    target.dataset.actual = String(shiftNamed);
  }

  function part(tile, name, text) {
    const e = el('div', text, name);
    e.dataset.part = name;
    tile.appendChild(e);
    return e;
  }

  function renderStations(p) {
    const settings = p.settings || {};
    const targets = new Map((settings.stations || []).map((s) => [s.station, s]));
    const days = new Map(p.stations.map((s) => [s.station, s]));
    const names = [...days.keys()];
    for (const t of targets.values()) if (t.expected && !days.has(t.station)) names.push(t.station);
    names.sort();
    const tiles = names.map((name) => {
      const d = days.get(name);
      const t = targets.get(name);
      const tile = el('div', null, 'tile');
      tile.dataset.station = name;
      part(tile, 'name', name).title = name;
      part(tile, 'named', d ? d.named : 0);
      const target = part(tile, 'target', 'no target');
      target.dataset.perHour = t && t.per_hour ? String(t.per_hour) : '';
      target.dataset.actual = String(d ? d.shift_named : 0);
      part(tile, 'yield', d && d.first_visits
        ? 'first pass ' + Math.round(100 * d.first_named / d.first_visits) + ' %' : 'first pass –');
      const ago = part(tile, 'ago', d ? '' : 'not started today');
      ago.dataset.time = d && d.last ? d.last.time : '';
      tile.dataset.silentAfter = String(t && t.silent_after_s >= 0 ? t.silent_after_s : settings.silent_after_s || 300);
      part(tile, 'details', d ? 'failed ' + d.failed + (d.radio_checked ? ' · radio failed ' + d.radio_failed : '') +
        ' · unconfirmed ' + d.unconfirmed + ' · already named ' + d.already_named + ' · last hour ' + d.last_hour
        : 'expected, no printer yet');
      part(tile, 'last', d && d.last ? 'last: ' + (d.last.name || d.last.address) + ' · ' + d.last.result : '');
      if (!d) tile.classList.add('not-started');
      return tile;
    });
    const box = document.getElementById('stations');
    box.replaceChildren(...tiles);
    if (wall) layoutWall(box, tiles.length);
    document.getElementById('no-stations').hidden = tiles.length > 0;
    const limit = Math.round((settings.silent_after_s || 300) / 60);
    document.getElementById('tile-legend').textContent = 'Red: no printer for more than ' + limit +
      ' min (or the station\'s own limit) · amber: expected today, not started · first pass: printers named at ' +
      'their first visit (and heard right over the air where checked), of those seen for the first time today · ' +
      'radio failed: the radio check did not pass the printer · target: named this shift against the target so far.';
  }

  // The wall's grid: as many columns as make the tiles biggest, a tile
  // about one and a half times as wide as it is high.
  function layoutWall(box, n) {
    let best = 1, bestSize = 0;
    for (let cols = 1; cols <= Math.max(1, n); ++cols) {
      const rows = Math.ceil(Math.max(1, n) / cols);
      const size = Math.min(box.clientWidth / cols / 1.5, box.clientHeight / rows);
      if (size > bestSize) { bestSize = size; best = cols; }
    }
    box.style.gridTemplateColumns = 'repeat(' + best + ', minmax(0, 1fr))';
    box.style.gridTemplateRows = 'repeat(' + Math.ceil(Math.max(1, n) / best) + ', minmax(0, 1fr))';
  }

  function renderLists(p) {
    const failures = wall ? p.failures.slice(0, 8) : p.failures;
    fill(document.getElementById('latest'),
      p.latest.map((v) => visitRow(v, ['time', 'station', 'address', 'name', 'result', 'radio', 'reason'])));
    fill(document.getElementById('failures'),
      failures.map((v) => visitRow(v, ['time', 'station', 'address', 'name', 'reason'])));
    const total = p.failures_today || 0;
    document.getElementById('failures-note').textContent = total === 0 ? 'No failure today.'
      : failures.length >= total ? 'All ' + total + ' failures of today.'
        : 'The newest ' + failures.length + ' of ' + total + ' failures today.';
    for (const v of p.latest) {
      const key = v.time + ' ' + v.station + ' ' + v.address;
      if (!(key in state.seen)) state.seen[key] = Date.now();
    }
  }

  // Printers named per completed hour (the record's hours, shown in local
  // time); the running hour is told apart, under the chart.
  function renderChart(p) {
    const box = document.getElementById('chart');
    const legend = document.getElementById('legend');
    const running = document.getElementById('running-hour');
    if (typeof Dygraph === 'undefined') {
      box.textContent = 'The chart needs the libjs-dygraphs package on the board\'s machine.';
      return;
    }
    const hourMs = 3600 * 1000;
    const nowHour = Math.floor(Date.parse(p.now || new Date().toISOString()) / hourMs) * hourMs;
    const hourKey = (t) => new Date(t).toISOString().slice(0, 13) + ':00:00.000Z';
    const stations = [...new Set(p.hours.map((h) => h.station))].sort();
    const counts = new Map();
    for (const h of p.hours) counts.set(h.hour + '\n' + h.station, h.named);
    const thisHour = stations.map((s) => s + ' ' + (counts.get(hourKey(nowHour) + '\n' + s) || 0));
    running.textContent = stations.length ? 'This hour so far (since ' +
      new Date(nowHour).toLocaleTimeString([], { hour: '2-digit', minute: '2-digit' }) + '): ' +
      thisHour.join(' · ') : '';
    if (stations.length === 0) {
      if (chart) { chart.destroy(); chart = null; chartKey = ''; }
      box.replaceChildren(el('p', 'No printer in the last 12 hours.', 'quiet'));
      legend.replaceChildren();
      return;
    }
    const data = [];
    for (let k = 12; k >= 1; --k) {
      const t = nowHour - k * hourMs;
      data.push([new Date(t), ...stations.map((s) => counts.get(hourKey(t) + '\n' + s) || 0)]);
    }
    // The chart's own names for the lines: station ids never become its keys.
    const labels = ['Hour', ...stations.map((s, k) => 'station ' + k)];
    const colors = stations.map((s, k) => PALETTE[k % PALETTE.length]);
    const key = stations.join('\n');
    // The legend takes its place before the chart measures what is left.
    legend.replaceChildren(...stations.map((s, k) => {
      const li = el('li');
      const swatch = el('span', '', 'swatch');
      swatch.style.background = colors[k];
      li.append(swatch, document.createTextNode(s));
      return li;
    }));
    const style = getComputedStyle(document.body);
    if (chart && chartKey === key) {
      chart.updateOptions({ file: data });
    } else {
      if (chart) chart.destroy();
      box.replaceChildren();
      // Our own legend names the lines; the chart's would write inline
      // styles, which the page's Content-Security-Policy refuses.
      Dygraph.PLUGINS = Dygraph.PLUGINS.filter((plugin) => plugin !== Dygraph.Plugins.Legend);
      chart = new Dygraph(box, data, {
        labels, colors, legend: 'never', drawPoints: true, pointSize: 3, strokeWidth: wall ? 4 : 3, includeZero: true,
        axisLabelFontSize: wall ? 20 : 14, yLabelWidth: wall ? 24 : 18,
        ylabel: wall ? null : 'printers named', axisLineColor: style.getPropertyValue('--quiet').trim() || '#888',
        gridLineColor: style.getPropertyValue('--line').trim() || '#ddd',
        axes: {
          y: { valueFormatter: (v) => String(v), axisLabelFormatter: (v) => (Number.isInteger(v) ? String(v) : '') },
        },
      });
      chartKey = key;
    }
  }

  function render(p) {
    state.picture = p;
    state.receivedAt = Date.now();
    state.updates += 1;
    // One part that fails leaves the others to show what they can.
    for (const show of [renderProblem, renderTop, renderStations, renderLists, renderChart]) {
      try {
        show(p);
      } catch (err) {
        console.warn('line board: ' + show.name + ': ' + err);
      }
    }
    tick();
    if (state.firstDataAt === null) state.firstDataAt = performance.now();
    document.body.dataset.updates = String(state.updates);
  }

  // ---- what moves with the clock -----------------------------------------

  function targetText(e, shiftStart, now) {
    const perHour = parseFloat(e.dataset.perHour || '');
    if (!perHour) return;
    const soFar = Math.max(0, perHour * (now - shiftStart) / 3600000);
    const actual = parseInt(e.dataset.actual || '0', 10);
    const share = soFar > 0 ? Math.round(100 * actual / soFar) : 100;
    e.textContent = actual + ' of ' + Math.round(soFar) + ' target · ' + share + ' %';
    e.classList.toggle('behind', share < 90);
    e.classList.toggle('ahead', share >= 100);
  }

  function beep() {
    try {
      const audio = state.audio || (state.audio = new AudioContext());
      const tone = audio.createOscillator();
      const gain = audio.createGain();
      tone.frequency.value = 880;
      gain.gain.value = 0.2;
      tone.connect(gain).connect(audio.destination);
      tone.start();
      tone.stop(audio.currentTime + 0.4);
    } catch (e) { /* no sound on this machine */ }
  }

  function tick() {
    document.getElementById('clock').textContent = new Date().toLocaleTimeString();
    const p = state.picture;
    const now = serverNow();
    const shiftStart = p && p.shift ? Date.parse(p.shift.start) : now;
    const silent = [];
    for (const tile of document.querySelectorAll('#stations .tile')) {
      const ago = tile.querySelector('[data-part=ago]');
      if (ago && ago.dataset.time) {
        const ms = now - Date.parse(ago.dataset.time);
        ago.textContent = 'last printer ' + agoText(ms) + ' ago';
        const isSilent = ms > parseInt(tile.dataset.silentAfter || '300', 10) * 1000;
        tile.classList.toggle('silent', isSilent);
        if (isSilent) silent.push(tile.dataset.station + ' (' + agoText(ms) + ')');
      }
      const target = tile.querySelector('[data-part=target]');
      if (target) targetText(target, shiftStart, now);
    }
    const line = document.getElementById('line-target');
    if (line.dataset.perHour) {
      targetText(line, shiftStart, now);
      line.textContent = 'this shift ' + line.textContent;
    } else {
      line.textContent = '';
    }
    const alert = document.getElementById('alert');
    alert.hidden = silent.length === 0 || !p || !!p.error;
    alert.textContent = silent.length ? 'Silent: ' + silent.join(', ') : '';
    if (!alert.hidden && state.sound && Date.now() - state.lastBeep > 30000) {
      state.lastBeep = Date.now();
      beep();
    }
    // Banners come and go: the chart and the wall's tiles take the room left.
    const box = document.getElementById('chart');
    const size = box.clientWidth + 'x' + box.clientHeight + ' ' + document.getElementById('stations').clientHeight;
    if (size !== state.layout) {
      state.layout = size;
      if (chart) chart.resize();
      if (wall) layoutWall(document.getElementById('stations'), document.querySelectorAll('#stations .tile').length);
    }
    // A stream that brings nothing, not even its ping, is given up.
    if (events && state.heardAt && Date.now() - state.heardAt > 40000) dropStream('no news from the board');
  }

  // ---- the stream, and our own way back after any failure of it ------------

  let events = null;
  let retryMs = 1000;
  let retryTimer = null;

  function heard() {
    state.heardAt = Date.now();
    retryMs = 1000;
    setLink('live', 'live');
  }

  function dropStream(why) {
    if (events) { events.close(); events = null; }
    if (retryTimer) return;
    const wait = Math.round(retryMs * (0.75 + Math.random() * 0.5));
    retryMs = Math.min(retryMs * 2, 15000);
    setLink(why + ', trying again in ' + Math.max(1, Math.round(wait / 1000)) + ' s', 'lost');
    retryTimer = setTimeout(() => { retryTimer = null; connect(); }, wait);
  }

  function connect() {
    if (events || retryTimer) return;
    const source = new EventSource(withToken('events'));
    events = source;
    source.onopen = heard;
    source.onmessage = (e) => { heard(); render(JSON.parse(e.data)); };
    source.addEventListener('ping', heard);
    // The browser would give up after a refusal (503, 401): we never do.
    source.onerror = () => { if (events === source) dropStream('connection lost'); };
  }

  async function search(e) {
    e.preventDefault();
    const q = document.getElementById('q').value.trim();
    const note = document.getElementById('search-note');
    const table = document.getElementById('history');
    if (!q) return;
    note.textContent = 'searching…';
    try {
      const r = await fetch(withToken('api/printer?q=' + encodeURIComponent(q)));
      const answer = await r.json();
      if (!r.ok) throw new Error(answer.error || r.statusText);
      fill(table, answer.visits.map((v) => visitRow(v, ['time', 'station', 'address', 'name', 'result', 'found', 'radio',
        'name_heard', 'reason'])));
      table.hidden = answer.visits.length === 0;
      note.textContent = answer.visits.length === 0 ? 'No printer with the address or name ' + q + '.'
        : answer.visits.length >= answer.limit ? 'The newest ' + answer.visits.length + ' visits, newest first.'
          : answer.visits.length + (answer.visits.length === 1 ? ' visit.' : ' visits, newest first.');
    } catch (err) {
      table.hidden = true;
      note.textContent = 'The search failed: ' + err.message;
    }
  }

  document.addEventListener('DOMContentLoaded', () => {
    if (wall) document.body.classList.add('wall');
    document.getElementById('search').addEventListener('submit', search);
    if (token) {
      const t = document.getElementById('export-token');
      t.value = token;
      t.disabled = false;
    }
    const today = new Date();
    const iso = new Date(today.getTime() - today.getTimezoneOffset() * 60000).toISOString().slice(0, 10);
    document.getElementById('from').value = iso;
    document.getElementById('to').value = iso;
    // Sound needs the browser's leave: a kiosk may give it, else one press.
    const sound = document.getElementById('sound');
    sound.addEventListener('click', () => {
      state.sound = !state.sound;
      sound.textContent = state.sound ? 'Sound off' : 'Sound on';
      if (state.sound) beep();
    });
    const showSound = () => { sound.hidden = !(state.picture && state.picture.settings.alert_sound); };
    setInterval(showSound, 2000);
    connect();
    setInterval(tick, 1000);
    // A page left for another keeps no stream open (the browser may keep it
    // for going back); it follows the line again when shown.
    window.addEventListener('pagehide', () => {
      if (events) { events.close(); events = null; }
      if (retryTimer) { clearTimeout(retryTimer); retryTimer = null; }
    });
    window.addEventListener('pageshow', (e) => { if (e.persisted) connect(); });
    window.addEventListener('resize', () => {
      state.layout = '';
      tick();
    });
  });
})();
