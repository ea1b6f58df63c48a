// The live view's page. It polls the program's JSON API at the scan rate and
// keeps the table, the link's statistics, the stations and the trends up to
// date. Whatever comes from the PLC or the variables file goes into the page
// as text (textContent), never as markup.
'use strict';

(() => {
  const KEPT_MS = 5 * 60 * 1000; // the trend span the program keeps
  const MIN_SPAN_MS = 30 * 1000;
  const VALUES_SHOWN = 8;
  const DEFAULT_TRENDS = 4;
  const LANE = 1.5; // height of one bit's lane: 1 for the bit, the rest a gap
  const COLOURS = ['#0969da', '#1a7f37', '#8250df', '#bc4c00', '#bf3989', '#0a7ea4', '#4d7c0f',
    '#953800'];
  const QUALITY = { // class and text mark of each quality
    'good': ['good', '✓'], 'stale': ['stale', '!'], 'failed': ['failed', '✕'],
    'never read': ['never', '–'],
  };
  const STORAGE_KEY = 'plc-live-view.trends';

  const $ = (id) => document.getElementById(id);
  const view = {
    plan: null,        // the variable list the rows and trends are built for
    variables: [],
    rows: [],
    points: [],        // per variable, per value: [{x: epoch ms, y}]
    trendScan: 0,      // the newest scan with a trend point here
    charts: new Map(), // variable index -> {chart, box}
    received: 0,       // local time of the latest answer
    scan: -1,
    scanSeen: 0,       // local time the scan number last moved
    intervalMs: 500,
    answered: false,
    lost: false,
    stations: [],
  };

  function element(tag, className, text) {
    const e = document.createElement(tag);
    if (className) e.className = className;
    if (text !== undefined) e.textContent = text;
    return e;
  }

  function duration(ms) {
    const s = ms / 1000;
    if (s < 10) return s.toFixed(1) + ' s';
    if (s < 90) return Math.round(s) + ' s';
    if (s < 5400) return Math.round(s / 60) + ' min';
    return (s / 3600).toFixed(1) + ' h';
  }

  const clock = (ms) => new Date(ms).toLocaleTimeString([], { hour12: false });
  const count = (n) => n.toLocaleString();
  const plain = (n) => String(Number(n.toPrecision(6))); // no grouping: register values
  const roundTrip = (ms) => ms < 1 ? ms.toFixed(2) : ms < 100 ? ms.toFixed(1) : Math.round(ms);
  const isBit = (v) => v.type.endsWith('.bit');
  const sinceAnswer = () => Date.now() - view.received;

  async function fetchJson(path) {
    const response = await fetch(path, { cache: 'no-store' });
    if (!response.ok) throw new Error(path + ': HTTP ' + response.status);
    return response.json();
  }

  // ---- trends chosen, kept across reloads ----

  const keyOf = (v) => [v.station, v.type, v.address, v.label].join('|');

  function chosenTrends(variables) {
    let saved = null;
    try {
      saved = JSON.parse(localStorage.getItem(STORAGE_KEY));
    } catch (e) { /* no storage: the defaults */ }
    const picked = new Set();
    variables.forEach((v, i) => {
      if (Array.isArray(saved) ? saved.includes(keyOf(v)) : i < DEFAULT_TRENDS) picked.add(i);
    });
    return picked;
  }

  function saveTrends() {
    const keys = [...view.charts.keys()].map((i) => keyOf(view.variables[i]));
    try {
      localStorage.setItem(STORAGE_KEY, JSON.stringify(keys));
    } catch (e) { /* no storage */ }
  }

  // ---- the table ----

  function buildTable(values) {
    for (const c of view.charts.values()) c.chart.destroy();
    view.charts.clear();
    $('charts').replaceChildren();
    view.plan = values.plan;
    view.variables = values.variables;
    view.points = values.variables.map(() => []);
    view.trendScan = 0;
    const picked = chosenTrends(values.variables);
    view.rows = values.variables.map((v, i) => {
      const pick = element('input');
      pick.type = 'checkbox';
      pick.checked = picked.has(i);
      pick.title = 'Show the trend';
      pick.addEventListener('change', () => {
        showChart(i, pick.checked);
        saveTrends();
      });
      const cells = {
        pick: element('td', 'pick'),
        label: element('td', 'label', v.label),
        type: element('td', 'type', v.type),
        station: element('td', 'num', String(v.station)),
        address: element('td', 'address', v.address),
        value: element('td', 'value num'),
        quality: element('td'),
        age: element('td', 'age num'),
      };
      cells.pick.append(pick);
      cells.label.title = v.label;
      const tr = element('tr');
      tr.append(...Object.values(cells));
      return { tr, shown: null, ageMs: null, ...cells };
    });
    $('rows').replaceChildren(...view.rows.map((r) => r.tr));
    picked.forEach((i) => showChart(i, true));
    filterRows();
  }

  function showValues(values) {
    const tally = { 'good': 0, 'stale': 0, 'failed': 0, 'never read': 0 };
    values.variables.forEach((v, i) => {
      const row = view.rows[i];
      tally[v.quality] += 1;
      row.ageMs = v.age_ms;
      const texts = v.values.map(String);
      const all = texts.join(' ');
      const shown = texts.length > VALUES_SHOWN
        ? texts.slice(0, VALUES_SHOWN).join(' ') + ' … (' + texts.length + ')' : all;
      if (row.value.textContent !== shown) row.value.textContent = shown;
      row.value.title = all;
      const state = v.quality + '\n' + (v.reason || '');
      if (row.shown === state) return;
      row.shown = state;
      const [name, mark] = QUALITY[v.quality] || ['never', '?'];
      row.tr.className = name;
      row.quality.replaceChildren(element('span', 'quality ' + name, mark + ' ' + v.quality));
      if (v.reason) {
        const why = element('span', 'reason', v.reason);
        why.title = v.reason;
        row.quality.append(why);
      }
    });
    const parts = [values.variables.length + ' variables', tally.good + ' good'];
    for (const q of ['stale', 'failed', 'never read']) {
      if (tally[q]) parts.push(tally[q] + ' ' + q);
    }
    $('counts').textContent = parts.join(' · ');
  }

  function filterRows() {
    const wanted = $('filter').value.trim().toLowerCase();
    view.variables.forEach((v, i) => {
      view.rows[i].tr.hidden = wanted !== '' && !v.label.toLowerCase().includes(wanted);
    });
  }

  // ---- link statistics and stations ----

  function showStats(s) {
    const items = [
      ['Scans', count(s.scan)],
      ['Exchanges', count(s.exchanges)],
      ['Failures', count(s.failures), s.failures > 0],
      ['Retries', count(s.retries)],
      ['Given up', count(s.given_up), s.given_up > 0],
      ['Reconnects', count(s.reconnects)],
      ['Demotions', count(s.demotions)],
    ];
    const list = items.map(([name, text, bad]) => {
      const item = element('div');
      item.append(element('dt', null, name), element('dd', bad ? 'bad' : null, text));
      return item;
    });
    const rt = s.round_trip_ms;
    const trip = element('div');
    const times = element('dd', null, [rt.p50, rt.p90, rt.p99].map(roundTrip).join(' · '));
    times.append(element('small', null, ' ms'));
    trip.append(element('dt', null, 'Round trip p50 · p90 · p99'), times);
    list.push(trip);
    $('stats').replaceChildren(...list);
  }

  function showStations() {
    const items = view.stations.map((s) => {
      const li = element('li', s.state === 'switched off' ? 'off' : s.state);
      const mark = s.state === 'on' ? '●' : s.state === 'failing' ? '▲' : '○';
      li.append(element('span', null, mark), element('b', null, 'Station ' + s.station),
        element('span', null, s.state));
      let detail = s.reason || '';
      if (s.state === 'switched off') {
        detail = s.back_in_ms === undefined ? 'until switched on'
          : 'back ' + clock(Date.parse(s.back_at)) + ', in ' +
            duration(Math.max(0, s.back_in_ms - sinceAnswer()));
      }
      if (detail) {
        const why = element('span', 'why', detail);
        why.title = detail;
        li.append(why);
      }
      return li;
    });
    if (items.length === 0) items.push(element('li', 'off', 'none'));
    $('stations').replaceChildren(...items);
  }

  // ---- header, ages and the state of the link to plc_poll ----

  function refreshClock() {
    const link = $('link');
    const quietMs = Date.now() - view.scanSeen;
    if (!view.answered) {
      link.className = 'link waiting';
      link.textContent = 'connecting';
    } else if (view.lost) {
      link.className = 'link lost';
      link.textContent = 'no answer from plc_poll for ' + duration(sinceAnswer());
    } else if (quietMs > Math.max(5000, 5 * view.intervalMs)) {
      link.className = 'link waiting';
      link.textContent = 'no scan completed for ' + duration(quietMs);
    } else {
      link.className = 'link live';
      link.textContent = 'live';
    }
    for (const row of view.rows) {
      const text = row.ageMs === null ? '' : duration(row.ageMs + sinceAnswer());
      if (row.age.textContent !== text) row.age.textContent = text;
    }
    if (view.answered) showStations();
  }

  // ---- trends ----

  // The label of a bit's lane: its address, byte.bit.
  function bitAddress(v, k) {
    const [byte, bit] = v.address.split('.').map(Number);
    const n = (bit || 0) + k;
    return (byte + Math.floor(n / 8)) + '.' + (n % 8);
  }

  // Bits are drawn as steps in lanes, the first on top: y = lane base + bit.
  function laneBase(v, k) {
    return (Math.min(v.count, 16) - 1 - k) * LANE;
  }

  function addTrend(trend) {
    if (trend.plan !== view.plan) return; // the next answer rebuilds the view
    for (const [scan, time, ...perVariable] of trend.frames) {
      if (scan <= view.trendScan) continue;
      view.trendScan = scan;
      perVariable.forEach((numbers, i) => {
        const v = view.variables[i];
        const series = view.points[i];
        while (numbers && series.length < numbers.length) series.push([]);
        series.forEach((points, k) => {
          const y = numbers && k < numbers.length ? numbers[k] : null;
          points.push({ x: time, y: y === null || !isBit(v) ? y : laneBase(v, k) + y });
        });
      });
    }
    const oldest = Date.now() - KEPT_MS;
    for (const series of view.points) {
      for (const points of series) {
        let drop = 0;
        while (drop < points.length && points[drop].x < oldest) drop += 1;
        if (drop) points.splice(0, drop);
      }
    }
  }

  // What the charts show: all there is, at least 30 s, at most 5 min.
  function span() {
    const series = view.points.flat().filter((points) => points.length);
    const newest = series.length ? Math.max(...series.map((p) => p[p.length - 1].x)) : Date.now();
    const oldest = series.length ? Math.min(...series.map((p) => p[0].x)) : newest;
    const width = Math.min(KEPT_MS, Math.max(MIN_SPAN_MS, newest - oldest));
    const step = [5, 10, 15, 30, 60].map((s) => s * 1000).find((s) => width / s <= 6) || 60000;
    return { min: newest - width, max: newest, step, width };
  }

  function datasets(i) {
    const v = view.variables[i];
    const several = view.points[i].length > 1;
    return view.points[i].map((points, k) => ({
      label: isBit(v) ? bitAddress(v, k) : several ? v.label + '[' + k + ']' : v.label,
      data: points,
      borderColor: COLOURS[k % COLOURS.length],
      backgroundColor: COLOURS[k % COLOURS.length],
      borderWidth: 1.5,
      pointRadius: 0,
      stepped: isBit(v),
      spanGaps: false,
    }));
  }

  function chartOptions(v) {
    const style = getComputedStyle(document.documentElement);
    const grid = { color: style.getPropertyValue('--line').trim() };
    const lanes = Math.min(v.count, 16);
    const bitAxis = {
      min: -0.25,
      max: lanes * LANE - 0.25,
      grid: { display: false },
      afterBuildTicks: (axis) => {
        axis.ticks = Array.from({ length: lanes }, (_, k) => ({ value: laneBase(v, k) + 0.5 }));
      },
      ticks: {
        autoSkip: false,
        callback: (value) => bitAddress(v, lanes - 1 - Math.round((value - 0.5) / LANE)),
      },
    };
    const numberAxis = { grid, ticks: { maxTicksLimit: 4, callback: plain } };
    return {
      animation: false,
      parsing: false,
      normalized: true,
      responsive: true,
      maintainAspectRatio: false,
      interaction: { mode: 'index', intersect: false },
      plugins: {
        // Above the plot, so that the plot areas of all charts keep one width.
        legend: { display: false, align: 'end', labels: { boxWidth: 10, boxHeight: 2, padding: 6 } },
        tooltip: {
          callbacks: {
            title: (items) => items.length ? clock(items[0].parsed.x) : '',
            label: (item) => item.dataset.label + ': ' +
              (isBit(v) ? item.parsed.y - laneBase(v, item.datasetIndex) : item.parsed.y),
          },
        },
      },
      scales: {
        x: {
          type: 'linear', grid,
          // On whole multiples of the step, so the labels are round times.
          afterBuildTicks: (axis) => {
            const step = axis.options.ticks.stepSize;
            axis.ticks = [];
            for (let t = Math.ceil(axis.min / step) * step; t <= axis.max; t += step) {
              axis.ticks.push({ value: t });
            }
          },
          ticks: { maxRotation: 0, autoSkipPadding: 16, callback: (value) => clock(value) },
        },
        y: Object.assign(isBit(v) ? bitAxis : numberAxis, {
          afterFit: (axis) => { axis.width = 64; }, // plot areas line up across the charts
        }),
      },
    };
  }

  function showChart(i, on) {
    const shown = view.charts.get(i);
    if (!on) {
      if (shown) {
        shown.chart.destroy();
        shown.box.remove();
        view.charts.delete(i);
      }
      return;
    }
    if (shown || !window.Chart) return;
    const v = view.variables[i];
    const box = element('div', 'chart');
    const title = element('h3', null, v.label);
    title.append(element('span', null, v.type + ' ' + v.address + ' · station ' + v.station));
    const holder = element('div', 'canvas');
    if (isBit(v)) holder.style.height = Math.max(70, 16 * Math.min(v.count, 16) + 34) + 'px';
    const canvas = element('canvas');
    holder.append(canvas);
    box.append(title, holder);
    // The charts keep the table's order.
    const next = [...view.charts.keys()].filter((k) => k > i).sort((a, b) => a - b)[0];
    $('charts').insertBefore(box, next === undefined ? null : view.charts.get(next).box);
    const chart = new window.Chart(canvas, {
      type: 'line', data: { datasets: datasets(i) }, options: chartOptions(v),
    });
    view.charts.set(i, { chart, box });
    drawCharts();
  }

  function drawCharts() {
    if (!window.Chart) return;
    const { min, max, step, width } = span();
    $('span').textContent = 'last ' + duration(width);
    for (const [i, { chart }] of view.charts) {
      if (chart.data.datasets.length !== view.points[i].length) {
        chart.data.datasets = datasets(i);
        chart.options.plugins.legend.display = !isBit(view.variables[i]) &&
          chart.data.datasets.length > 1;
      }
      const x = chart.options.scales.x;
      x.min = min;
      x.max = max;
      x.ticks.stepSize = step;
      chart.update('none');
    }
  }

  function setUpCharts() {
    if (!window.Chart) {
      document.body.classList.add('no-charts');
      const note = $('no-trends');
      note.textContent = 'No trends: this plc_poll was built without Chart.js ' +
        '(Debian package libjs-chart.js).';
      note.hidden = false;
      return;
    }
    const style = getComputedStyle(document.documentElement);
    window.Chart.defaults.color = style.getPropertyValue('--muted').trim();
    window.Chart.defaults.borderColor = style.getPropertyValue('--line').trim();
    window.Chart.defaults.font.family = getComputedStyle(document.body).fontFamily;
    window.Chart.defaults.font.size = 11;
  }

  // ---- polling ----

  async function poll() {
    try {
      const [values, stats] = await Promise.all([fetchJson('api/values'), fetchJson('api/stats')]);
      if (values.plan !== view.plan) buildTable(values);
      const trend = await fetchJson('api/trend?since=' + view.trendScan);
      view.received = Date.now();
      view.answered = true;
      view.lost = false;
      if (values.scan !== view.scan) view.scanSeen = view.received;
      view.scan = values.scan;
      view.intervalMs = values.interval_ms;
      view.stations = stats.stations;
      $('plc').textContent = 'PLC ' + values.plc;
      const ms = values.interval_ms;
      $('scan').textContent = 'polled every ' + (ms < 1000 ? ms + ' ms' : duration(ms)) +
        ' · updated ' +
        clock(Date.parse(values.time));
      document.title = 'PLC ' + values.plc + ' · live view';
      showValues(values);
      showStats(stats);
      addTrend(trend);
      drawCharts();
    } catch (error) {
      view.lost = view.answered;
    }
    refreshClock();
    setTimeout(poll, Math.min(2000, Math.max(250, view.intervalMs)));
  }

  $('filter').addEventListener('input', filterRows);
  setUpCharts();
  setInterval(refreshClock, 1000);
  poll();
})();
