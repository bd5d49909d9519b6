// The line board's page: one event stream carries a new picture of the line
// whenever a station records a visit. Every text from the record goes into
// the page as text (textContent), never as markup.
'use strict';

(function () {
  const SILENT_MS = 5 * 60 * 1000;
  const token = new URLSearchParams(location.search).get('token');
  // What tests and the benchmark read: when data first showed, how many
  // pictures came, and when each visit first appeared on the page.
  const state = { picture: null, receivedAt: 0, updates: 0, firstDataAt: null, seen: {} };
  window.vendrillBoard = state;
  let chart = null;

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
    const body = table.tBodies[0];
    body.replaceChildren(...rows);
  }

  function visitRow(v, columns) {
    const tr = el('tr');
    tr.dataset.time = v.time;
    for (const c of columns) {
      let td;
      if (c === 'time') td = el('td', localTime(v.time));
      else if (c === 'result') td = el('td', v.result, 'result-' + v.result);
      else if (c === 'reason') td = el('td', v.reason, 'reason');
      else td = el('td', v[c]);
      tr.appendChild(td);
    }
    return tr;
  }

  function renderStations(p) {
    const rows = p.stations.map((s) => {
      const tr = el('tr');
      tr.dataset.station = s.station;
      tr.appendChild(el('td', s.station));
      tr.appendChild(el('td', s.named, 'num named'));
      tr.appendChild(el('td', s.failed, 'num failed'));
      tr.appendChild(el('td', s.unconfirmed, 'num unconfirmed'));
      tr.appendChild(el('td', s.last_hour, 'num per-hour'));
      tr.appendChild(el('td', s.last ? (s.last.name || s.last.address) + ' · ' + s.last.result : ''));
      const ago = el('td', '', 'num ago');
      ago.dataset.time = s.last ? s.last.time : '';
      tr.appendChild(ago);
      return tr;
    });
    fill(document.getElementById('stations'), rows);
    document.getElementById('no-stations').hidden = rows.length > 0;
    tick();
  }

  // Hours are the record's (UTC); the chart shows the last 12 in local time.
  function renderChart(p) {
    const box = document.getElementById('chart');
    if (typeof Dygraph === 'undefined') {
      box.textContent = 'The chart needs the libjs-dygraphs package on the board\'s machine.';
      return;
    }
    const stations = [...new Set(p.hours.map((h) => h.station))].sort();
    const hourMs = 3600 * 1000;
    const nowHour = Math.floor(Date.parse(p.now || new Date().toISOString()) / hourMs) * hourMs;
    const counts = new Map();
    for (const h of p.hours) counts.set(h.hour + '\n' + h.station, h.printers);
    const data = [];
    for (let k = 11; k >= 0; --k) {
      const t = nowHour - k * hourMs;
      const hour = new Date(t).toISOString().slice(0, 13) + ':00:00.000Z';
      data.push([new Date(t), ...stations.map((s) => counts.get(hour + '\n' + s) || 0)]);
    }
    // Dygraphs writes labels as markup: they go in escaped.
    const escape = (s) => s.replace(/[&<>"']/g, (c) => '&#' + c.charCodeAt(0) + ';');
    const labels = ['Hour', ...stations.map(escape)];
    const legend = document.getElementById('legend');
    if (stations.length === 0) {
      if (chart) { chart.destroy(); chart = null; }
      box.replaceChildren(el('p', 'No printer in the last 12 hours.', 'quiet'));
      legend.replaceChildren();
      return;
    }
    const options = { labels, legend: 'never', drawPoints: true, strokeWidth: 3, includeZero: true,
      axes: { y: { valueFormatter: (v) => String(v) } }, ylabel: 'printers' };
    if (chart && chart.getLabels().join('\n') === labels.join('\n')) {
      chart.updateOptions({ file: data });
    } else {
      if (chart) chart.destroy();
      box.replaceChildren();
      chart = new Dygraph(box, data, options);
    }
    const colors = chart.getColors();
    legend.replaceChildren(...stations.map((s, k) => {
      const li = el('li');
      const swatch = el('span', '', 'swatch');
      swatch.style.background = colors[k];
      li.append(swatch, document.createTextNode(s));
      return li;
    }));
  }

  function render(p) {
    state.picture = p;
    state.receivedAt = Date.now();
    state.updates += 1;
    const problem = document.getElementById('problem');
    problem.hidden = !p.error;
    problem.textContent = p.error || '';
    renderStations(p);
    fill(document.getElementById('latest'),
      p.latest.map((v) => visitRow(v, ['time', 'station', 'address', 'name', 'result', 'reason'])));
    fill(document.getElementById('failures'),
      p.failures.map((v) => visitRow(v, ['time', 'station', 'address', 'name', 'reason'])));
    for (const v of p.latest) {
      const key = v.time + ' ' + v.station + ' ' + v.address;
      if (!(key in state.seen)) state.seen[key] = Date.now();
    }
    renderChart(p);
    if (state.firstDataAt === null) state.firstDataAt = performance.now();
    document.body.dataset.updates = String(state.updates);
  }

  function tick() {
    document.getElementById('clock').textContent = new Date().toLocaleTimeString();
    const now = serverNow();
    for (const td of document.querySelectorAll('#stations td.ago')) {
      if (!td.dataset.time) continue;
      const ms = now - Date.parse(td.dataset.time);
      td.textContent = agoText(ms);
      td.parentElement.classList.toggle('silent', ms > SILENT_MS);
    }
  }

  let events = null;
  function connect() {
    const link = document.getElementById('link');
    if (events) return;
    events = new EventSource(withToken('events'));
    events.onopen = () => { link.textContent = 'live'; link.className = 'status live'; };
    events.onmessage = (e) => render(JSON.parse(e.data));
    events.onerror = () => { link.textContent = 'connection lost, trying again…'; link.className = 'status lost'; };
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
      fill(table, answer.visits.map((v) => visitRow(v, ['time', 'station', 'address', 'name', 'result', 'found', 'reason'])));
      table.hidden = answer.visits.length === 0;
      note.textContent = answer.visits.length === 0 ? 'No printer with the address or name ' + q + '.'
        : answer.visits.length + ' visits';
    } catch (err) {
      table.hidden = true;
      note.textContent = 'The search failed: ' + err.message;
    }
  }

  document.addEventListener('DOMContentLoaded', () => {
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
    connect();
    setInterval(tick, 1000);
    // A page left for another keeps no stream open (the browser may keep it
    // for going back); it follows the line again when shown.
    window.addEventListener('pagehide', () => { if (events) { events.close(); events = null; } });
    window.addEventListener('pageshow', (e) => { if (e.persisted) connect(); });
  });
})();
