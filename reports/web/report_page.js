// Draws the report from the JSON object in #korvane-data with Vega-Lite (inlined above), then
// writes what it drew into #korvane-render-result for tools that check the page headless.
(function () {
  'use strict';
  const data = JSON.parse(document.getElementById('korvane-data').textContent);
  const root = document.getElementById('report');
  const axes = data.report.axes;
  const labels = data.report.axis_labels;
  const charts = [];   // {name, promise} of every chart embedded
  const maxPromptCharts = 50;

  // Numbers as the console prints them: "%+.4f" for readings and logits, "%.2f" for beta.
  function signed4(v) {
    if (v === null || v === undefined) return 'n/a';
    const t = v.toFixed(4);
    return (v > 0 || (v === 0 && !Object.is(v, -0))) ? '+' + t : t;
  }
  function fixed2(v) { return v === null || v === undefined ? 'n/a' : v.toFixed(2); }
  function two(n) { return String(n).padStart(2, '0'); }
  function layerName(l) { return 'Layer ' + two(l); }
  function headName(h) { return 'Head #' + two(h); }

  // A token's label text as the console's tables show it: \n, \r, \t and \xNN for the other
  // control characters.
  function visible(text) {
    return String(text).replace(/[\x00-\x1f\x7f]/g, function (c) {
      if (c === '\n') return '\\n';
      if (c === '\r') return '\\r';
      if (c === '\t') return '\\t';
      return '\\x' + c.charCodeAt(0).toString(16).padStart(2, '0');
    });
  }

  // A new element with text (never parsed as HTML) under parent.
  function add(parent, tag, text, className) {
    const e = document.createElement(tag);
    if (text !== undefined && text !== null) e.textContent = String(text);
    if (className) e.className = className;
    parent.appendChild(e);
    return e;
  }
  function table(parent, head, rows, className) {
    const t = add(parent, 'table', null, className);
    const tr = add(add(t, 'thead'), 'tr');
    head.forEach(function (h) { add(tr, 'th', h); });
    const body = add(t, 'tbody');
    rows.forEach(function (row) {
      const r = add(body, 'tr');
      row.forEach(function (cell) {
        if (cell !== null && typeof cell === 'object' && cell.text !== undefined) {
          add(r, 'td', cell.text, cell.className);
        } else {
          add(r, 'td', cell);
        }
      });
    });
    return t;
  }
  function section(parent, title) {
    const s = add(parent, 'section');
    add(s, 'h2', title);
    return s;
  }
  function chart(parent, name, design) {
    const holder = add(parent, 'div', null, 'chart');
    holder.dataset.chart = name;
    design.$schema = 'https://vega.github.io/schema/vega-lite/v6.json';
    design.config = Object.assign({font: 'sans-serif', view: {stroke: null}}, design.config || {});
    charts.push({name: name, promise: vegaEmbed(holder, design, {renderer: 'svg', actions: false})});
  }
  function axisLabel(a) { return labels[a] || axes[a]; }

  // The telemetry's readings in long form: one value per depth and axis.
  function telemetryValues(rows) {
    const values = [];
    rows.forEach(function (row) {
      axes.forEach(function (name, a) {
        values.push({layer: row.layer, axis: axisLabel(a), value: row[name]});
      });
    });
    return values;
  }
  const depthAxis = {field: 'layer', type: 'quantitative', title: 'layer', scale: {domain: [0, 17]},
                     axis: {tickCount: 18, format: 'd'}};
  const axisColour = {field: 'axis', type: 'nominal', title: 'probe axis', sort: axes.map(function (n, a) { return axisLabel(a); })};

  function telemetryChart(parent, name, rows, small) {
    chart(parent, name, {
      width: small ? 260 : 640, height: small ? 140 : 260,
      data: {values: telemetryValues(rows)},
      mark: {type: 'line', point: true, tooltip: true},
      encoding: {
        x: depthAxis,
        y: {field: 'value', type: 'quantitative', title: 'reading'},
        color: small ? Object.assign({legend: null}, axisColour) : axisColour,
        tooltip: [{field: 'axis', title: 'axis'}, {field: 'layer', title: 'layer'},
                  {field: 'value', title: 'reading', format: '+.4f'}]
      }
    });
  }

  function renderHeader(parent) {
    const first = data.records[0] || {};
    const run = data.run;
    add(parent, 'h1', 'korvane report');
    const rows = [];
    if (data.report.prompt_file !== null) {
      rows.push(['prompt file', data.report.prompt_file]);
      rows.push(['prompts', String(data.records.length)]);
    } else {
      rows.push(['prompt', first.prompt]);
    }
    rows.push(['mode', data.report.mode]);
    rows.push(['version', run.version]);
    rows.push(['kernels', run.kernels]);
    rows.push(['threads', String(run.threads)]);
    rows.push(['weights file', run.weights_path + ' (' + run.weights_size + ' bytes)']);
    if (run.control_vectors) {
      rows.push(['control vectors', run.control_vectors.map(function (v) { return v.path + ':' + v.scale; }).join(', ')]);
    }
    rows.push(['wall time', data.report.wall_seconds.toFixed(2) + ' s']);
    rows.push(['probe axes', axes.join(', ')]);
    const t = table(parent, ['', ''], rows, 'header');
    t.querySelector('thead').remove();
    document.title = 'korvane report: ' + (data.report.prompt_file !== null ? data.report.prompt_file : first.prompt);
  }

  function renderTelemetry(parent, record, name) {
    const s = section(parent, 'Telemetry');
    telemetryChart(s, name, record.telemetry, false);
    const head = ['layer'].concat(axes.map(function (n, a) { return axisLabel(a); }), ['state hash']);
    table(s, head, record.telemetry.map(function (row) {
      return [String(row.layer).padStart(2, '0')].concat(axes.map(function (n) { return signed4(row[n]); }), [row.hash]);
    }), 'numbers');
  }

  function renderAnswer(parent, record) {
    const s = section(parent, 'Answer');
    const a = record.answer;
    add(s, 'p', 'stop: ' + a.stop + ', ' + a.ids.length + ' tokens');
    add(s, 'p', a.texts.join(''), 'answer-text');
    table(s, ['token', 'id', 'logit', 'text'], a.ids.map(function (id, u) {
      return [String(u + 1).padStart(2, '0'), String(id), signed4(a.logits[u]), visible(a.texts[u])];
    }), 'numbers');
  }

  function change(before, after) { return before == null || after == null ? null : after - before; }

  // What an armed splice changed: the 16-layer pass's layer-15 readings (before the vector was
  // added) beside the telemetry's layer 15 (after it). Closed, the telemetry is the model's own.
  function renderSplice(parent, record) {
    const s = section(parent, 'Splice decision');
    const d = record.splice;
    const armed = d.decision === 'armed';
    add(s, 'p', armed ? 'armed: the splice vector is added after layer 14' : 'closed: the splice stays off',
        'decision ' + d.decision);
    table(s, ['decision', 'domain (gate axis, 16 layers)', 'truth (layer 15)', 'beta'],
          [[d.decision, signed4(d.domain), signed4(d.truth), fixed2(d.beta)]], 'numbers');
    if (!armed || !record.telemetry) return;
    const after = record.telemetry[15];
    const gate = data.report.gate_axis, truth = data.report.truth_axis;
    add(s, 'h3', 'Layer 15 before and after the splice');
    table(s, ['layer 15', axisLabel(axes.indexOf(gate)), axisLabel(axes.indexOf(truth))], [
      ['before: the 16-layer pass, no splice', signed4(d.domain), signed4(d.truth)],
      ['after: the telemetry, spliced after layer 14', signed4(after[gate]), signed4(after[truth])],
      ['after − before', signed4(change(d.domain, after[gate])), signed4(change(d.truth, after[truth]))]
    ], 'numbers');
    add(s, 'p', 'Telemetry rows 14–17 and the answer are the spliced model’s (row 14: [BOM SPLICER] Layer 14 State Reshaped!).');
  }

  function renderGate(parent, record) {
    const s = section(parent, 'Steering gate');
    const g = record.steering_gate;
    table(s, ['axis', 'layers', 'reading', 'vectors'],
          [[g.axis, String(g.layers), signed4(g.reading), g.open ? 'open: they steer' : 'closed: left out']], 'numbers');
  }

  function renderAudit(parent, record, name) {
    const s = section(parent, 'Layer 14 head audit');
    const a = record.audit;
    table(s, ['subject', 'T(L14)', 'T(L15)', 'ΔT(L15)', 'first token', 'verdict'], a.rows.map(function (r) {
      return [r.head === null ? 'Baseline' : 'Head #' + String(r.head).padStart(2, '0'), signed4(r.t14), signed4(r.t15),
              signed4(r.delta), r.first_token_text + ' (ID:' + r.first_token_id + ')', r.verdict];
    }), 'numbers');
    if (a.best_head >= 0) {
      add(s, 'p', 'main suspect: Head #' + String(a.best_head).padStart(2, '0') + ' (ΔT = ' + signed4(a.best_delta) + ')');
    } else {
      add(s, 'p', 'no head rebounds');
    }
    const heads = a.rows.filter(function (r) { return r.head !== null; }).map(function (r) {
      return {head: 'Head #' + String(r.head).padStart(2, '0'), delta: r.delta, verdict: r.verdict};
    });
    chart(s, name, {
      width: 480, height: 200, data: {values: heads},
      mark: {type: 'bar', tooltip: true},
      encoding: {
        x: {field: 'head', type: 'ordinal', title: 'knocked-out head', sort: null},
        y: {field: 'delta', type: 'quantitative', title: 'ΔT(L15)'},
        color: {condition: {test: 'datum.delta > 0', value: '#c0392b'}, value: '#2e86c1'},
        tooltip: [{field: 'head'}, {field: 'delta', title: 'ΔT(L15)', format: '+.4f'}, {field: 'verdict'}]
      }
    });
  }

  // The logit lens: a row per depth, its K tokens highest first, the top one marked.
  function renderLens(parent, record) {
    const k = record.lens[0].ids.length;
    const s = section(parent, 'Logit lens: top-' + k + ' tokens of the 256k classifier at every depth');
    add(s, 'p', 'final norm, no penalty; highest logit first, the top token of each depth marked');
    const head = ['layer'];
    for (let j = 1; j <= k; j++) head.push('rank ' + j);
    table(s, head, record.lens.map(function (row) {
      return [layerName(row.layer)].concat(row.ids.map(function (id, j) {
        const text = "'" + visible(row.texts[j]) + "' (ID:" + id + ', ' + signed4(row.logits[j]) + ')';
        return j === 0 ? {text: text, className: 'lens-top'} : text;
      }));
    }), 'numbers lens');
  }

  // The sweep over every head: one heatmap of the quantity picked (the console's two tables and
  // the logit change), then the two top-10 lists as the console prints them.
  function renderAuditAll(parent, record, name) {
    const a = record.audit_all;
    const s = section(parent, 'All-layer attention head audit (' + a.ablation + ' ablation, every head of layers 00 ~ 17)');
    const quantities = [
      {field: 'delta_next', label: 'ΔT at the next depth (Layer L+1; Layer 17 for L = 17)'},
      {field: 'delta_last', label: 'ΔT at the last depth (Layer 17)'},
      {field: 'delta_logit', label: "Δlogit of '" + visible(a.next_token_text) + "'"}
    ];
    const values = [];
    quantities.forEach(function (q) {
      a[q.field].forEach(function (heads, l) {
        heads.forEach(function (v, h) {
          values.push({quantity: q.label, layer: layerName(l), head: headName(h), value: v, shown: signed4(v)});
        });
      });
    });
    const layers = a.delta_next.map(function (row, l) { return layerName(l); });
    chart(s, name, {
      width: 8 * 66, height: 18 * 20,
      data: {values: values},
      params: [{name: 'quantity', value: quantities[0].label,
                bind: {input: 'radio', options: quantities.map(function (q) { return q.label; }), name: 'shown: '}}],
      transform: [{filter: 'datum.quantity === quantity'}],
      mark: {type: 'rect', tooltip: true},
      encoding: {
        x: {field: 'head', type: 'ordinal', title: 'knocked-out head', axis: {orient: 'top', labelAngle: 0}},
        y: {field: 'layer', type: 'ordinal', title: null, sort: layers},
        color: {field: 'value', type: 'quantitative', title: 'change against the baseline',
                scale: {scheme: 'redblue', reverse: true, domainMid: 0}, legend: {format: '+.4f'}},
        tooltip: [{field: 'layer', title: 'layer'}, {field: 'head', title: 'head'},
                  {field: 'shown', title: 'value'}]
      },
      config: {axis: {labelFont: 'monospace'}}
    });
    add(s, 'p', '🎯 Baseline: Layer 17 Truth = ' + signed4(a.baseline[a.baseline.length - 1]) + ", next token '" +
        visible(a.next_token_text) + "' (ID:" + a.next_token_id + ', logit ' + signed4(a.next_token_logit) + ')');
    const lists = add(s, 'div', null, 'top-lists');
    function top(title, list, label) {
      const box = add(lists, 'div');
      add(box, 'h3', title);
      table(box, ['', 'layer', 'head', label], list.map(function (c, k) {
        return [String(k + 1).padStart(2, ' ') + '.', layerName(c.layer), headName(c.head), signed4(c.delta)];
      }), 'numbers');
    }
    top("▶ The 10 heads that move the last depth's reading most:", a.top_last, 'ΔT(L17)');
    top("▶ The 10 heads that move the logit of '" + visible(a.next_token_text) + "' (ID:" + a.next_token_id + ') most:',
        a.top_logit, 'Δlogit');
  }

  // The parts of a record, each drawn only when its field is there; a new record field gets
  // its section by one more entry here.
  const parts = [
    {field: 'steering_gate', render: renderGate},
    {field: 'splice', render: renderSplice},
    {field: 'telemetry', render: renderTelemetry},
    {field: 'lens', render: renderLens},
    {field: 'answer', render: renderAnswer},
    {field: 'audit', render: renderAudit},
    {field: 'audit_all', render: renderAuditAll}
  ];

  function renderRecord(parent, record, tag) {
    if (record.error) {
      add(parent, 'p', 'refused: ' + record.error, 'refused');
      return;
    }
    parts.forEach(function (part) {
      if (record[part.field] !== undefined) part.render(parent, record, part.field + '-' + tag);
    });
  }

  // With a prompt file: the mean ± one standard deviation of every axis across the prompts,
  // small telemetry charts for the first prompts, and every record's sections below.
  function renderBatch(parent) {
    const withTelemetry = data.records.filter(function (r) { return r.telemetry; });
    if (withTelemetry.length > 0) {
      const s = section(parent, 'Telemetry across ' + withTelemetry.length + ' prompts: mean ± standard deviation');
      let values = [];
      withTelemetry.forEach(function (r) { values = values.concat(telemetryValues(r.telemetry)); });
      chart(s, 'telemetry-mean', {
        width: 640, height: 260, data: {values: values},
        encoding: {x: depthAxis, color: axisColour},
        layer: [
          {mark: {type: 'errorband', extent: 'stdev', opacity: 0.25},
           encoding: {y: {field: 'value', type: 'quantitative', title: 'reading'}}},
          {mark: {type: 'line', point: true, tooltip: true},
           encoding: {y: {aggregate: 'mean', field: 'value', type: 'quantitative', title: 'reading'},
                      tooltip: [{field: 'axis', title: 'axis'}, {field: 'layer', title: 'layer'},
                                {aggregate: 'mean', field: 'value', title: 'mean', format: '+.4f'},
                                {aggregate: 'stdev', field: 'value', title: 'deviation', format: '.4f'}]}}
        ]
      });
      const grid = add(section(parent, 'Telemetry per prompt' + (withTelemetry.length > maxPromptCharts
        ? ' (the first ' + maxPromptCharts + ')' : '')), 'div', null, 'small-charts');
      withTelemetry.slice(0, maxPromptCharts).forEach(function (r) {
        const cell = add(grid, 'figure');
        add(cell, 'figcaption', '#' + r.index + ': ' + r.prompt);
        telemetryChart(cell, 'telemetry-small-' + r.index, r.telemetry, true);
      });
    }
    data.records.forEach(function (r) {
      const s = add(parent, 'article', null, 'prompt');
      add(s, 'h2', 'Prompt ' + r.index + (r.line ? ' (line ' + r.line + ')' : '') + (r.id !== null ? ', id ' + r.id : ''));
      add(s, 'p', r.prompt, 'prompt-text');
      renderRecord(s, r, String(r.index));
    });
  }

  // What the page drew, for headless checks: per chart its marks' item counts, and every error.
  function writeResult(results) {
    const out = {errors: window.korvaneErrors.slice(), charts: results,
                 resources: performance.getEntriesByType('resource').length};
    const pre = add(document.body, 'pre', JSON.stringify(out), 'render-result');
    pre.id = 'korvane-render-result';
  }

  const originalError = console.error;
  console.error = function () {
    window.korvaneErrors.push(Array.prototype.join.call(arguments, ' '));
    originalError.apply(console, arguments);
  };

  try {
    renderHeader(root);
    if (data.report.prompt_file !== null) {
      renderBatch(root);
    } else if (data.records.length > 0) {
      renderRecord(root, data.records[0], '0');
    }
  } catch (e) {
    window.korvaneErrors.push('page: ' + e.message);
  }
  Promise.all(charts.map(function (c) {
    return c.promise.then(function () {
      const holder = document.querySelector('[data-chart="' + c.name + '"]');
      const marks = {};
      holder.querySelectorAll('g.role-mark').forEach(function (g) {
        const type = Array.from(g.classList).find(function (k) { return k.indexOf('mark-') === 0; });
        marks[type] = (marks[type] || 0) + g.querySelectorAll(':scope > path, :scope > line, :scope > rect').length;
      });
      return {name: c.name, marks: marks};
    }, function (e) {
      window.korvaneErrors.push('chart ' + c.name + ': ' + e.message);
      return {name: c.name, marks: {}};
    });
  })).then(writeResult);
})();
