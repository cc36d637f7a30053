// The page over the logged frames: reads the range and choices from the
// address (#from=…&to=… or #preset=1h, id, byte, …), asks api.php and draws
// the cards, the charts and the table of identifiers.
'use strict';

(function () {
  const MINUTE = 60000;
  const PRESETS = { '15m': 15 * MINUTE, '1h': 60 * MINUTE, '6h': 360 * MINUTE, '24h': 1440 * MINUTE, '7d': 10080 * MINUTE };
  // Bucket lengths in seconds the charts choose from; at most MAX_BUCKETS.
  const STEPS = [1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 900, 1800, 3600, 7200, 10800, 21600, 43200, 86400, 604800];
  const MAX_BUCKETS = 150;
  // Below a minute the buckets come from the frames themselves: only for
  // ranges with few of them.
  const FINE_STEP_FRAMES = 300000;
  const STACKED_IDS = 8;
  // Identifiers the table shows at most: the busiest of the range.
  const PAGE_IDS = 500;
  const COLORS = ['#2563eb', '#ea580c', '#16a34a', '#9333ea', '#dc2626', '#0891b2', '#ca8a04', '#db2777', '#94a3b8'];
  // Bus-off red, the controller's states in warm colors, the rest cooler.
  const HEALTH_COLORS = ['#dc2626', '#ea580c', '#ca8a04', '#9333ea', '#db2777', '#0891b2', '#2563eb', '#16a34a', '#94a3b8'];
  const EFF = 0x1FFFFFFF, RTR = 0x40000000, ERR = 0x20000000;

  const $ = (id) => document.getElementById(id);
  const state = { preset: '1h', from: 0, to: 0, id: null, source: null, bitrate: 500000, byte: 0, width: '1', index: null };
  const charts = {};
  let info = null;
  let ids = [];
  // Of the whole range (the table may show only part of its identifiers):
  // identifiers, frames, bits on the bus, first and last frame.
  let totals = { count: 0, frames: 0, bits: 0, first: null, last: null };
  let explicitRange = false;
  let pendingNotice = null;
  let generation = 0;

  // --- Formatting

  const pad = (n, w = 2) => String(n).padStart(w, '0');
  function hexId(id) {
    const bare = id & EFF;
    return '0x' + (bare > 0x7FF ? pad(bare.toString(16).toUpperCase(), 8) : pad(bare.toString(16).toUpperCase(), 3));
  }
  const idLabel = (id) => hexId(id) + (isRemote(id) ? ' rtr' : '');
  function fmtTime(ms, withSeconds = true) {
    const d = new Date(ms);
    return `${d.getFullYear()}-${pad(d.getMonth() + 1)}-${pad(d.getDate())} ${pad(d.getHours())}:${pad(d.getMinutes())}` +
      (withSeconds ? `:${pad(d.getSeconds())}` : '');
  }
  function fmtAxis(ms, span) {
    const d = new Date(ms);
    const hm = `${pad(d.getHours())}:${pad(d.getMinutes())}`;
    if (span <= 10 * MINUTE) return `${hm}:${pad(d.getSeconds())}`;
    if (span <= 1440 * MINUTE) return hm;
    return `${pad(d.getMonth() + 1)}-${pad(d.getDate())} ${hm}`;
  }
  function fmtNum(n, digits = 0) {
    return n.toLocaleString('en-US', { minimumFractionDigits: digits, maximumFractionDigits: digits });
  }
  function fmtRate(n) { return fmtNum(n, n < 10 ? 2 : n < 100 ? 1 : 0); }
  function fmtAgo(ms) {
    const s = Math.round(ms / 1000);
    if (s < 90) return `${s} s ago`;
    if (s < 5400) return `${Math.round(s / 60)} min ago`;
    if (s < 172800) return `${Math.round(s / 3600)} h ago`;
    return `${Math.round(s / 86400)} days ago`;
  }
  function toInput(ms) {
    const d = new Date(ms);
    return `${d.getFullYear()}-${pad(d.getMonth() + 1)}-${pad(d.getDate())}T${pad(d.getHours())}:${pad(d.getMinutes())}`;
  }
  function el(tag, cls, text) {
    const e = document.createElement(tag);
    if (cls) e.className = cls;
    if (text !== undefined) e.textContent = text;
    return e;
  }

  // --- Frames

  function bytesOf(hex) {
    const out = [];
    for (let i = 0; i + 1 < hex.length; i += 2) out.push(parseInt(hex.substr(i, 2), 16));
    return out;
  }
  const isExtended = (id) => (id & EFF) > 0x7FF;
  const isRemote = (id) => (id & RTR) !== 0;
  // Bits of one frame on the wire without stuff bits: 47 (standard) or 67
  // (extended) bits of frame and gap, and the data field.
  function frameBits(id, frames, bytes) {
    return frames * (isExtended(id) ? 67 : 47) + (isRemote(id) ? 0 : 8 * bytes);
  }
  // An Elster telegram: 11-bit data frame of 5 to 7 bytes, message type in
  // the low nibble of byte 0, receiver number in the low nibble of byte 1.
  function elster(id, data) {
    const d = data;
    if (id > 0x7FF || d.length < 5 || d.length > 7 || (d[0] & 0x08) || (d[1] & 0xF0)) return null;
    const extended = d[2] === 0xFA;
    const index = extended ? d[3] * 256 + d[4] : d[2];
    const n = d.length;
    // A read request (type 1) carries no value.
    const value = n === 5 && extended ? 0x8000
      : n <= 6 ? d[n - 2] * 256 + d[n - 1] : extended ? d[5] * 256 + d[6] : d[3] * 256 + d[4];
    const types = { 0: 'write', 1: 'read', 2: 'answer' };
    return {
      receiver: (d[0] & 0xF0) * 8 + (d[1] & 0x0F), type: types[d[0] & 0x0F] || `type ${d[0] & 0x0F}`,
      index, value: value === 0x8000 || (d[0] & 0x0F) === 1 ? null : value,
    };
  }

  // --- Address and controls

  function readHash() {
    const h = new URLSearchParams(location.hash.slice(1));
    explicitRange = h.has('preset') || (h.has('from') && h.has('to'));
    if (h.has('from') && h.has('to')) {
      state.preset = null;
      state.from = Number(h.get('from'));
      state.to = Number(h.get('to'));
    } else {
      state.preset = PRESETS[h.get('preset')] || h.get('preset') === 'all' ? h.get('preset') : '1h';
    }
    state.id = h.has('id') ? Number(h.get('id')) : null;
    state.source = h.has('source') ? h.get('source') : null;
    if (h.has('bitrate')) state.bitrate = Number(h.get('bitrate')) || 500000;
    state.byte = Number(h.get('byte') || 0);
    state.width = h.get('width') || '1';
    state.index = h.has('index') ? Number(h.get('index')) : null;
  }
  function writeHash() {
    const h = new URLSearchParams();
    if (state.preset) h.set('preset', state.preset);
    else { h.set('from', state.from); h.set('to', state.to); }
    if (state.id !== null) h.set('id', state.id);
    if (state.source !== null) h.set('source', state.source);
    if (state.bitrate !== 500000) h.set('bitrate', state.bitrate);
    if (state.id !== null) {
      h.set('byte', state.byte);
      if (state.width !== '1') h.set('width', state.width);
      if (state.index !== null) h.set('index', state.index);
    }
    history.replaceState(null, '', '#' + h.toString());
  }
  // Ranges of presets end at the next whole minute, a week's at the next
  // whole hour: the summary's minutes and hours answer them without
  // reading frames.
  function resolveRange() {
    if (state.preset === 'all') {
      if (info && info.first !== null) {
        state.from = Math.floor(info.first / MINUTE) * MINUTE;
        state.to = Math.floor(info.last / MINUTE) * MINUTE + MINUTE;
      } else {
        state.to = Math.ceil(Date.now() / MINUTE) * MINUTE;
        state.from = state.to - 60 * MINUTE;
      }
    } else if (state.preset) {
      const unit = PRESETS[state.preset] >= PRESETS['7d'] ? 60 * MINUTE : MINUTE;
      state.to = Math.ceil((Date.now() + 1) / unit) * unit;
      state.from = state.to - PRESETS[state.preset];
    }
    $('from').value = toInput(state.from);
    $('to').value = toInput(state.to);
    document.querySelectorAll('[data-preset]').forEach((b) => b.classList.toggle('active', b.dataset.preset === state.preset));
  }

  // --- API

  async function api(params, headers = null) {
    const q = new URLSearchParams(params);
    if (state.source !== null && params.q !== 'info' && params.q !== 'sources') q.set('source', state.source);
    const res = await fetch('api.php?' + q.toString(), { headers: { Accept: 'application/json' } });
    let body = null;
    try { body = await res.json(); } catch (e) { body = null; }
    if (!res.ok) throw new Error((body && body.error) || `${res.status} ${res.statusText}`);
    if (headers) res.headers.forEach((v, k) => { headers[k] = v; });
    return body;
  }
  // The span the frames of the range cover, in seconds: rates and the load
  // are means over it, not over a range that holds frames in a part only.
  function dataSeconds() {
    if (totals.first === null) return 1;
    return Math.max(1, (totals.last - totals.first) / 1000);
  }
  function notice(text, actions = [], kind = 'info') {
    const n = $('notice');
    n.replaceChildren();
    n.hidden = !text;
    n.className = 'notice ' + kind;
    if (!text) return;
    n.append(el('span', '', text));
    for (const [label, action] of actions) {
      const b = el('button', 'link', label);
      b.type = 'button';
      b.addEventListener('click', action);
      n.append(b);
    }
  }

  // --- Charts

  // Ticks on whole local minutes, hours or days, at most about seven.
  const TICK_STEPS = [1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 900, 1800, 3600, 7200, 10800, 21600, 43200, 86400, 172800, 604800]
    .map((s) => s * 1000);
  function timeTicks(scale) {
    const span = scale.max - scale.min;
    const step = TICK_STEPS.find((s) => span / s <= 7) || TICK_STEPS[TICK_STEPS.length - 1];
    const offset = -new Date(scale.min).getTimezoneOffset() * MINUTE;
    const ticks = [];
    for (let t = Math.ceil((scale.min + offset) / step) * step - offset; t <= scale.max; t += step) ticks.push({ value: t });
    scale.ticks = ticks;
  }
  function axisOptions(span, yTitle, stacked) {
    return {
      x: {
        type: 'linear', stacked, offset: false, min: state.from, max: state.to, afterBuildTicks: timeTicks,
        ticks: { maxRotation: 0, autoSkip: true, callback: (v) => fmtAxis(v, span) },
        grid: { display: false },
      },
      y: { stacked, beginAtZero: true, title: { display: !!yTitle, text: yTitle }, ticks: { maxTicksLimit: 6 } },
    };
  }
  function drawChart(name, config) {
    if (charts[name]) charts[name].destroy();
    config.options = Object.assign({
      responsive: true, maintainAspectRatio: false, animation: false, normalized: true,
      interaction: { mode: 'nearest', axis: 'x', intersect: false },
    }, config.options || {});
    charts[name] = new Chart($(name), config);
  }
  function tooltipTitle(items) { return items.length ? fmtTime(items[0].parsed.x) : ''; }

  function chooseStep(span, frames) {
    for (const s of STEPS) {
      if (s < 60 && frames > FINE_STEP_FRAMES) continue;
      if (span / (s * 1000) <= MAX_BUCKETS) return s;
    }
    return STEPS[STEPS.length - 1];
  }

  async function drawRates(total) {
    const span = state.to - state.from;
    const step = chooseStep(span, total);
    const rows = await api(state.id === null
      ? { q: 'buckets', from: state.from, to: state.to, step, top: STACKED_IDS }
      : { q: 'buckets', from: state.from, to: state.to, step, can_id: state.id });
    const width = step * 1000;
    const n = Math.ceil(span / width);
    // The identifiers with the most frames each get a color (the API
    // names the busiest); the rest are stacked as "other" (can_id null).
    const sums = new Map();
    for (const [, id, frames] of rows) if (id !== null) sums.set(id, (sums.get(id) || 0) + frames);
    const top = [...sums.keys()].sort((a, b) => sums.get(b) - sums.get(a) || a - b);
    const series = new Map();
    const bits = new Array(n).fill(0);
    for (const [start, id, frames, bytes, ext] of rows) {
      const i = Math.round((start - state.from) / width);
      const key = id === null ? 'other' : id;
      if (!series.has(key)) series.set(key, new Array(n).fill(0));
      series.get(key)[i] += frames / step;
      bits[i] += id === null ? (frames - ext) * 47 + ext * 67 + 8 * bytes : frameBits(id, frames, bytes);
    }
    const order = [...top.filter((id) => series.has(id)), ...(series.has('other') ? ['other'] : [])];
    const xs = Array.from({ length: n }, (_, i) => state.from + i * width + width / 2);
    const datasets = order.map((key, k) => ({
      label: key === 'other' ? 'other' : idLabel(key),
      data: series.get(key).map((y, i) => ({ x: xs[i], y })),
      backgroundColor: COLORS[key === 'other' ? COLORS.length - 1 : k % (COLORS.length - 1)],
      borderWidth: 0, barPercentage: 1, categoryPercentage: 0.9,
    }));
    $('rate-title').textContent = state.id === null
      ? `Frames per second${order.length > 1 ? ', stacked by identifier' : ''}`
      : `Frames per second of ${idLabel(state.id)}`;
    $('rate-note').textContent = `mean of ${step < 60 ? step + ' s' : step < 3600 ? step / 60 + ' min' : step / 3600 + ' h'}`;
    drawChart('rate-chart', {
      type: 'bar', data: { datasets },
      options: {
        scales: axisOptions(span, 'frames/s', true),
        plugins: {
          legend: { display: datasets.length > 1, position: 'bottom', labels: { boxWidth: 12 } },
          tooltip: { callbacks: { title: tooltipTitle, label: (c) => `${c.dataset.label}: ${fmtRate(c.parsed.y)} /s` } },
        },
      },
    });
    // The end of the range may lie in the future (presets end at the next
    // minute): the load of a bucket counts the time that has passed.
    const now = Date.now();
    const load = bits.map((b, i) => {
      const start = state.from + i * width;
      const seconds = Math.max(0, Math.min(width, now - start)) / 1000;
      return { x: xs[i], y: seconds > 0 ? (100 * b) / (state.bitrate * seconds) : null };
    });
    const peak = load.reduce((m, p) => (p.y !== null && p.y > m ? p.y : m), 0);
    $('c-load-peak').textContent = state.id === null && rows.length ? `peak ${fmtNum(peak, peak < 1 ? 2 : 1)} %` : '';
    $('load-note').textContent = `at ${fmtNum(state.bitrate / 1000)} kbit/s` + (state.id !== null ? `, ${idLabel(state.id)} only` : '');
    drawChart('load-chart', {
      type: 'line',
      data: { datasets: [{ label: 'bus load %', data: load, borderColor: '#0f766e', backgroundColor: 'rgba(15,118,110,0.15)', fill: true, pointRadius: 0, borderWidth: 1.5, spanGaps: false }] },
      options: {
        scales: axisOptions(span, '%', false),
        plugins: { legend: { display: false }, tooltip: { callbacks: { title: tooltipTitle, label: (c) => `${fmtNum(c.parsed.y, 2)} %` } } },
      },
    });
    return step;
  }

  // The bus's own error frames by class, in the buckets of the rates; the
  // block shows only when the range holds any.
  async function drawHealth(step) {
    const h = {};
    const rows = await api({ q: 'health', from: state.from, to: state.to, step }, h);
    $('health').hidden = rows.length === 0;
    if (!rows.length) return;
    const classes = (h['x-classes'] || '').split(',');
    const width = step * 1000;
    const sums = classes.map((_, c) => rows.reduce((n, r) => n + r[c + 1], 0));
    $('health-note').textContent = classes.map((name, c) => (sums[c] ? `${fmtNum(sums[c])} ${name}` : null))
      .filter((t) => t).join(', ');
    const datasets = classes.map((name, c) => ({
      label: name,
      data: rows.filter((r) => r[c + 1]).map((r) => ({ x: r[0] + width / 2, y: r[c + 1] })),
      backgroundColor: HEALTH_COLORS[c % HEALTH_COLORS.length], borderWidth: 0, barPercentage: 1, categoryPercentage: 0.9,
    })).filter((d) => d.data.length);
    drawChart('health-chart', {
      type: 'bar', data: { datasets },
      options: {
        scales: axisOptions(state.to - state.from, 'error frames', true),
        plugins: { legend: { display: true, position: 'bottom', labels: { boxWidth: 12 } },
          tooltip: { callbacks: { title: tooltipTitle, label: (c) => `${c.dataset.label}: ${fmtNum(c.parsed.y)}` } } },
      },
    });
  }

  function drawSeries(name, points, label, color) {
    const span = state.to - state.from;
    const banded = points.some((p) => p[1] !== p[2]);
    const datasets = [{
      label: banded ? `${label} (max)` : label, data: points.map((p) => ({ x: p[0], y: p[2] })),
      borderColor: color, backgroundColor: color + '33', pointRadius: points.length > 200 ? 0 : 2,
      borderWidth: 1.5, stepped: !banded, fill: false,
    }];
    if (banded) {
      datasets.push({
        label: `${label} (min)`, data: points.map((p) => ({ x: p[0], y: p[1] })), borderColor: color,
        backgroundColor: color + '33', pointRadius: 0, borderWidth: 1, fill: '-1',
      });
    }
    const scales = axisOptions(span, '', false);
    scales.y.beginAtZero = false;
    drawChart(name, {
      type: 'line', data: { datasets },
      options: { scales, plugins: { legend: { display: banded, position: 'bottom' }, tooltip: { callbacks: { title: tooltipTitle } } } },
    });
  }

  // --- Table and cards

  function dataCell(entry) {
    const td = el('td', 'data');
    const data = bytesOf(entry.data);
    const prev = entry.prev ? bytesOf(entry.prev) : null;
    if (isRemote(entry.can_id)) { td.append(el('span', 'muted', 'remote request')); return td; }
    if (!data.length) { td.append(el('span', 'muted', 'no data')); return td; }
    data.forEach((b, i) => {
      const changed = prev !== null && (i >= prev.length || prev[i] !== b);
      const s = el('span', changed ? 'byte changed' : 'byte', pad(b.toString(16).toUpperCase()));
      if (changed) s.title = prev && i < prev.length ? `was ${pad(prev[i].toString(16).toUpperCase())}` : 'new byte';
      td.append(s);
    });
    return td;
  }

  function drawTable() {
    const body = $('ids').tBodies[0];
    body.replaceChildren();
    const seconds = dataSeconds();
    let anyElster = false;
    for (const e of ids) {
      const tr = el('tr');
      tr.dataset.id = e.can_id;
      if (e.can_id === state.id) tr.className = 'selected';
      const idCell = el('td', 'id');
      const link = el('a', '', hexId(e.can_id));
      link.href = '#';
      link.addEventListener('click', (ev) => { ev.preventDefault(); select(state.id === e.can_id ? null : e.can_id); });
      idCell.append(link);
      if (isExtended(e.can_id)) idCell.append(el('span', 'mark ext', 'ext'));
      if (isRemote(e.can_id)) idCell.append(el('span', 'mark rtr', 'rtr'));
      if (e.can_id & ERR) idCell.append(el('span', 'mark err', 'err'));
      tr.append(idCell);
      tr.append(el('td', 'num', fmtNum(e.frames)));
      tr.append(el('td', 'num', fmtRate(e.frames / seconds)));
      const mean = e.frames > 1 ? (e.last - e.first) / (e.frames - 1) : null;
      const cycle = el('td', 'num cycle');
      cycle.append(el('span', '', mean === null ? '–' : fmtNum(mean, mean < 100 ? 1 : 0)));
      if (e.cycle_min !== null && e.cycle_min !== undefined) cycle.append(el('span', 'sub', `${fmtNum(e.cycle_min)}…${fmtNum(e.cycle_max)}`));
      tr.append(cycle);
      tr.append(dataCell(e));
      const t = isRemote(e.can_id) ? null : elster(e.can_id, bytesOf(e.data));
      const ecell = el('td', 'elster-col');
      if (t) {
        anyElster = true;
        ecell.textContent = `${t.type} → ${hexId(t.receiver)} · idx ${pad(t.index.toString(16).toUpperCase(), 4)}` +
          (t.value === null ? '' : ` · ${t.value}`);
      }
      tr.append(ecell);
      const seen = el('td', 'seen');
      seen.append(el('span', '', fmtTime(e.last)));
      seen.append(el('span', 'sub', fmtAgo(Date.now() - e.last)));
      tr.append(seen);
      body.append(tr);
    }
    $('ids').classList.toggle('no-elster', !anyElster);
    $('ids-note').textContent = !ids.length ? ''
      : totals.count > ids.length ? `the ${fmtNum(ids.length)} busiest of ${fmtNum(totals.count)} in range (list cut) · click one for its values`
        : `${ids.length} in range · click one for its values`;
    if (!ids.length) {
      const tr = el('tr');
      const td = el('td', 'empty', 'No frames in this range.');
      td.colSpan = 7;
      tr.append(td);
      body.append(tr);
    }
  }

  function drawCards() {
    const frames = totals.frames;
    const seconds = dataSeconds();
    const bits = totals.bits;
    $('c-frames').textContent = fmtNum(frames);
    $('c-rate').textContent = fmtRate(frames / seconds);
    $('c-ids').textContent = fmtNum(totals.count);
    const load = (100 * bits) / (state.bitrate * seconds);
    $('c-load').textContent = `${fmtNum(load, load < 1 ? 2 : 1)} %`;
    return frames;
  }

  // --- One identifier

  async function drawDetail() {
    const box = $('detail');
    const entry = ids.find((e) => e.can_id === state.id);
    box.hidden = state.id === null;
    if (state.id === null) return;
    $('detail-title').textContent = `${hexId(state.id)}${isExtended(state.id) ? ' (extended)' : ''}${isRemote(state.id) ? ' remote requests' : ''}`;
    const len = entry ? entry.data.length / 2 : 8;
    const byteSel = $('byte');
    byteSel.replaceChildren();
    const pair = state.width !== '1';
    for (let i = 0; i < Math.max(1, pair ? len - 1 : len); ++i) {
      const o = el('option', '', pair ? `bytes ${i}–${i + 1}` : `byte ${i}`);
      o.value = i;
      byteSel.append(o);
    }
    state.byte = Math.min(state.byte, byteSel.options.length - 1);
    byteSel.value = state.byte;
    $('width').value = state.width;
    const params = { q: 'bytes', can_id: state.id, from: state.from, to: state.to, byte: state.byte };
    if (pair) { params.width = 2; params.order = state.width.slice(1); }
    const label = pair ? `bytes ${state.byte}–${state.byte + 1} (${state.width === '2le' ? 'little' : 'big'}-endian)` : `byte ${state.byte}`;
    drawSeries('value-chart', await api(params), label, '#2563eb');

    const indexes = (state.id & ~EFF) === 0 && state.id <= 0x7FF
      ? await api({ q: 'elster_indexes', can_id: state.id, from: state.from, to: state.to }) : [];
    $('elster-box').hidden = !indexes.length;
    if (!indexes.length) return;
    const sel = $('elster-index');
    sel.replaceChildren();
    for (const [index, n] of indexes) {
      const o = el('option', '', `0x${pad(index.toString(16).toUpperCase(), 4)} (${fmtNum(n)} values)`);
      o.value = index;
      sel.append(o);
    }
    if (state.index === null || !indexes.some(([i]) => i === state.index)) state.index = indexes[0][0];
    sel.value = state.index;
    const points = await api({ q: 'elster', can_id: state.id, from: state.from, to: state.to, index: state.index });
    drawSeries('elster-chart', points, `index 0x${pad(state.index.toString(16).toUpperCase(), 4)}`, '#ea580c');
  }

  function select(id) {
    state.id = id;
    state.index = null;
    writeHash();
    load();
  }

  // --- Loading

  async function load() {
    const mine = ++generation;
    document.body.classList.add('loading');
    try {
      if (!info) info = await api({ q: 'info' });
      resolveRange();
      writeHash();
      if (info.source_column) await loadSources();
      // The busiest identifiers of the range, shown by identifier.
      const h = {};
      const found = await api({ q: 'ids', from: state.from, to: state.to, detail: 1, order: 'frames', limit: PAGE_IDS }, h);
      if (mine !== generation) return;
      ids = found.sort((a, b) => a.can_id - b.can_id);
      const num = (v) => (v === undefined || v === '' ? null : Number(v));
      totals = { count: num(h['x-total-count']) ?? ids.length, frames: num(h['x-total-frames']) ?? 0,
        bits: num(h['x-total-bits']) ?? 0, first: num(h['x-first']), last: num(h['x-last']) };
      if (ids.length && !explicitRange && state.preset === '1h' && totals.first - state.from > 30 * MINUTE) {
        // Frames in the last part of the hour only, on a first visit: the
        // range starts with them, so that the charts do not squeeze them
        // into the right edge.
        explicitRange = true;
        state.preset = null;
        state.from = Math.floor(totals.first / MINUTE) * MINUTE;
        pendingNotice = [`Frames only since ${fmtTime(totals.first)}: showing the range from then on.`,
          [['Last hour', () => setPreset('1h')]]];
        return load();
      }
      if (!ids.length && info.last !== null && !explicitRange && state.preset === '1h') {
        // Nothing in the last hour on a first visit: show the whole log when
        // it spans a week at most, else the day up to its newest frame, and
        // say so.
        const newest = `The newest frame is from ${fmtTime(info.last)} (${fmtAgo(Date.now() - info.last)})`;
        explicitRange = true;
        if (info.last - info.first <= PRESETS['7d']) {
          state.preset = 'all';
          pendingNotice = [`Nothing was logged in the last hour. ${newest}: showing everything logged.`];
        } else {
          state.preset = null;
          state.to = Math.floor(info.last / MINUTE) * MINUTE + MINUTE;
          state.from = state.to - PRESETS['24h'];
          pendingNotice = [`Nothing was logged in the last hour. ${newest}: showing the day up to it.`,
            [['Whole log', () => setPreset('all')]]];
        }
        return load();
      }
      if (!ids.length) {
        const end = info.last === null ? 0 : Math.floor(info.last / MINUTE) * MINUTE + MINUTE;
        notice(info.last === null ? 'The table holds no frames yet.' : `No frames in this range. The newest frame is from ${fmtTime(info.last)}.`,
          info.last === null ? [] : [['Show the hour up to it', () => setRange(end - 60 * MINUTE, end)], ['Whole log', () => setPreset('all')]]);
      } else {
        notice(...(pendingNotice || ['']));
      }
      pendingNotice = null;
      const total = drawCards();
      drawTable();
      await drawHealth(await drawRates(total));
      await drawDetail();
    } catch (err) {
      notice(`Could not load the data: ${err.message}`, [['Try again', load]], 'error');
    } finally {
      if (mine === generation) document.body.classList.remove('loading');
    }
  }

  async function loadSources() {
    const names = await api({ q: 'sources', from: state.from, to: state.to });
    const sel = $('source');
    const keep = state.source;
    sel.replaceChildren(el('option', '', 'all'));
    sel.options[0].value = '\u0000all';
    for (const name of names) {
      const o = el('option', '', name === '' ? '(unnamed)' : name);
      o.value = name;
      sel.append(o);
    }
    if (keep !== null && !names.includes(keep)) {
      const o = el('option', '', keep === '' ? '(unnamed)' : keep);
      o.value = keep;
      sel.append(o);
    }
    sel.value = keep === null ? '\u0000all' : keep;
    $('source-box').hidden = names.length < 2 && keep === null;
  }

  function setPreset(p) {
    state.preset = p;
    explicitRange = true;
    pendingNotice = null;
    load();
  }
  function setRange(from, to) {
    state.preset = null;
    state.from = from;
    state.to = to;
    explicitRange = true;
    pendingNotice = null;
    load();
  }

  function init() {
    $('tz').textContent = Intl.DateTimeFormat().resolvedOptions().timeZone || 'browser time';
    if (typeof Chart === 'undefined') {
      notice('Chart.js is missing (Debian package libjs-chart.js): the charts cannot be drawn.', [], 'error');
      return;
    }
    Chart.defaults.font.family = getComputedStyle(document.body).fontFamily;
    Chart.defaults.color = '#475569';
    readHash();
    $('bitrate').value = String(state.bitrate);
    document.querySelectorAll('[data-preset]').forEach((b) => b.addEventListener('click', () => setPreset(b.dataset.preset)));
    $('range').addEventListener('submit', (ev) => {
      ev.preventDefault();
      const from = new Date($('from').value).getTime();
      const to = new Date($('to').value).getTime();
      if (!(from < to)) { notice('"From" must be before "To".', [], 'error'); return; }
      setRange(from, to);
    });
    $('bitrate').addEventListener('change', () => { state.bitrate = Number($('bitrate').value); writeHash(); load(); });
    $('source').addEventListener('change', () => {
      const v = $('source').value;
      state.source = v === '\u0000all' ? null : v;
      load();
    });
    $('detail-close').addEventListener('click', () => select(null));
    $('byte').addEventListener('change', () => { state.byte = Number($('byte').value); writeHash(); drawDetail().catch((e) => notice(e.message, [], 'error')); });
    $('width').addEventListener('change', () => { state.width = $('width').value; writeHash(); drawDetail().catch((e) => notice(e.message, [], 'error')); });
    $('elster-index').addEventListener('change', () => { state.index = Number($('elster-index').value); writeHash(); drawDetail().catch((e) => notice(e.message, [], 'error')); });
    window.addEventListener('hashchange', () => { readHash(); load(); });
    load();
  }

  document.addEventListener('DOMContentLoaded', init);
})();
