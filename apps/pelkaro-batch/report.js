// pelkaro-batch's report page: the curves of the rows ticked in the table
// drawn by dygraphs, the table sorted by a click on a heading, and a row's
// image shown large with its colour bar.  The ticks and toggles live in the
// tab's session storage, so the page keeps them when it reloads itself
// during a live reduction.
(function () {
  'use strict';
  var key = 'pelkaro-report:' + location.pathname;
  var rows = Array.prototype.slice.call(document.querySelectorAll('#rows tbody tr.row'));
  var byName = {};
  rows.forEach(function (tr) { byName[tr.dataset.name] = tr; });
  var graph = null;
  var pageRows = 100, page = 0;  // page -1: every row
  var zoom = null;  // {x: [from, to], y: [from, to]} while zoomed in

  function $(id) { return document.getElementById(id); }
  function saved() {
    try { return JSON.parse(sessionStorage.getItem(key) || 'null'); } catch (e) { return null; }
  }
  function save() {
    var picked = rows.filter(function (tr) { var c = tr.querySelector('.pick'); return c && c.checked; })
      .map(function (tr) { return tr.dataset.name; });
    try {
      sessionStorage.setItem(key, JSON.stringify({picked: picked, bars: $('bars').checked,
        logx: $('logx').checked, logy: $('logy').checked, page: page, zoom: zoom, y: window.scrollY}));
    } catch (e) { /* storage refused: the page works without it */ }
  }

  // A row's curve: Q, I and dI from its data-curve attribute.
  function curve(tr) {
    var v = tr.dataset.curve.split(' ').map(Number), c = {q: [], i: [], e: [], at: new Map()};
    for (var k = 0; k + 2 < v.length; k += 3) {
      c.at.set(v[k], c.q.length);
      c.q.push(v[k]); c.i.push(v[k + 1]); c.e.push(v[k + 2]);
    }
    return c;
  }

  function number(x) { return x === 0 ? '0' : Math.abs(x) >= 1e4 || Math.abs(x) < 1e-3 ? x.toExponential(4) : x.toPrecision(5); }

  // An axis label: short, powers of ten as 1e-3.
  function tick(x) {
    if (x === 0) return '0';
    var a = Math.abs(x);
    return a >= 1e4 || a < 1e-2 ? Number(x.toPrecision(2)).toExponential().replace('e+', 'e') : String(Number(x.toPrecision(3)));
  }

  // The legend: every curve's name, and under the pointer its Q and I +- dI.
  function legend(curves) {
    return function (data) {
      if (data.x == null) {
        return data.series.map(function (s) { return s.dashHTML + ' ' + s.labelHTML; }).join(' &nbsp; ');
      }
      var out = ['Q = ' + number(data.x) + ' \u00c5\u207b\u00b9'];
      data.series.forEach(function (s, n) {
        var c = curves[n], k = c.at.get(data.x);
        if (k === undefined || s.y == null) return;
        var text = s.dashHTML + ' ' + s.labelHTML + ': I = ' + number(c.i[k]) + ' \u00b1 ' + number(c.e[k]) + ' cm\u207b\u00b9';
        out.push(s.isHighlighted ? '<b>' + text + '</b>' : text);
      });
      return out.join('<br>');
    };
  }

  // The table of the picked curves as dygraphs takes it: one line per Q of
  // any curve, each curve's [low, I, high] or I there (null where it has no
  // point, or I is not above 0 on a logarithmic axis).
  function table(curves, bars, logy) {
    var qs = new Set();
    curves.forEach(function (c) { c.q.forEach(function (q) { qs.add(q); }); });
    var xs = Array.from(qs).filter(function (q) { return q > 0 || !$('logx').checked; }).sort(function (a, b) { return a - b; });
    return xs.map(function (q) {
      var line = [q];
      curves.forEach(function (c) {
        var k = c.at.get(q), i = k === undefined ? null : c.i[k];
        if (i !== null && logy && !(i > 0)) i = null;
        if (!bars) { line.push(i); return; }
        if (i === null) { line.push(null); return; }
        var lo = i - c.e[k];
        // On a logarithmic axis a bar that reaches 0 is cut at I/10.
        line.push([logy && !(lo > 0) ? i / 10 : lo, i, i + c.e[k]]);
      });
      return line;
    });
  }

  function draw() {
    var picked = rows.filter(function (tr) { var c = tr.querySelector('.pick'); return c && c.checked; });
    if (graph) { graph.destroy(); graph = null; }
    var chart = $('chart');
    chart.textContent = '';
    $('legend').textContent = '';
    if (typeof Dygraph === 'undefined') { chart.textContent = 'The charting library is not in this page.'; return; }
    if (!picked.length) { chart.textContent = 'Tick rows in the table to plot their curves.'; return; }
    var curves = picked.map(curve), bars = $('bars').checked, logy = $('logy').checked;
    graph = new Dygraph(chart, table(curves, bars, logy), {
      labels: ['Q'].concat(picked.map(function (tr) { return tr.dataset.name; })),
      customBars: bars, logscale: logy, fillAlpha: 0.3,
      axes: {x: {logscale: $('logx').checked, axisLabelFormatter: tick},
             y: {axisLabelWidth: 60, axisLabelFormatter: tick}},
      xlabel: 'Q (\u00c5\u207b\u00b9)', ylabel: 'I (cm\u207b\u00b9)', width: 860, height: 480,
      drawPoints: true, pointSize: 2, strokeWidth: 1, connectSeparatedPoints: true,
      highlightSeriesOpts: {strokeWidth: 2.5, highlightCircleSize: 4},
      // No fading timer left running when the chart is drawn anew.
      animateBackgroundFade: false,
      labelsDiv: $('legend'), legend: 'always', legendFormatter: legend(curves),
      dateWindow: zoom ? zoom.x : null, valueRange: zoom ? zoom.y : null,
      zoomCallback: function (x0, x1, y) {
        zoom = graph && graph.isZoomed() ? {x: [x0, x1], y: y[0]} : null;
        save();
      },
      // The row under the pointer is marked in the table too.
      highlightCallback: function (e, x, points, row, name) { mark(name); },
      unhighlightCallback: function () { mark(null); }
    });
  }

  var marked = null;
  function mark(name) {
    if (marked) marked.classList.remove('hover');
    marked = (name && byName[name]) || null;
    if (marked) marked.classList.add('hover');
  }

  function sortBy(th) {
    var col = Array.prototype.indexOf.call(th.parentNode.children, th);
    var numeric = th.classList.contains('num'), down = th.dataset.dir !== 'up';
    th.parentNode.querySelectorAll('th').forEach(function (h) { delete h.dataset.dir; });
    th.dataset.dir = down ? 'up' : 'down';
    var value = function (tr) {
      var t = tr.children[col].textContent.replace(/[^\x20-\x7e]/g, '').trim();
      return numeric ? (t === '' || isNaN(parseFloat(t)) ? Infinity : parseFloat(t)) : t;
    };
    var sorted = rows.slice().sort(function (a, b) {
      var x = value(a), y = value(b), r = numeric ? x - y : x.localeCompare(y);
      return (down ? r : -r) || 0;
    });
    var body = document.querySelector('#rows tbody');
    sorted.forEach(function (tr) { body.appendChild(tr); });
    paginate();
  }

  // The rows of the page shown (all with page -1), their images as thumbnails.
  function paginate() {
    var order = document.querySelectorAll('#rows tbody tr.row'), pages = Math.ceil(order.length / pageRows);
    if (page >= pages) page = Math.max(0, pages - 1);
    order.forEach(function (tr, n) {
      var shown = page < 0 || Math.floor(n / pageRows) === page;
      tr.classList.toggle('later', !shown);
      var a = shown && tr.querySelector('a.thumb');
      if (a && !a.querySelector('img')) {
        var img = document.createElement('img');
        img.alt = 'image of ' + tr.dataset.name;
        img.src = a.getAttribute('href');
        a.textContent = '';
        a.appendChild(img);
      }
    });
    $('pager').hidden = pages <= 1;
    $('pageinfo').textContent = page < 0 ? 'all ' + order.length + ' rows'
      : 'rows ' + (page * pageRows + 1) + ' to ' + Math.min(order.length, (page + 1) * pageRows) + ' of ' + order.length;
  }

  function show(img) {
    $('vimg').setAttribute('src', img.getAttribute('href'));
    $('vname').textContent = img.closest('tr').dataset.name;
    var lo = img.dataset.lo, hi = img.dataset.hi;
    $('vlo').textContent = lo === undefined ? '' : Number(Math.pow(10, lo).toPrecision(3)).toExponential();
    $('vhi').textContent = hi === undefined ? '' : Number(Math.pow(10, hi).toPrecision(3)).toExponential();
    $('viewer').hidden = false;
  }

  function start() {
    var s = saved();
    if (s) {
      ['bars', 'logx', 'logy'].forEach(function (id) { $(id).checked = s[id]; });
      page = typeof s.page === 'number' ? s.page : 0;
      zoom = s.zoom || null;
      s.picked.forEach(function (n) { var c = byName[n] && byName[n].querySelector('.pick'); if (c) c.checked = true; });
    } else {
      document.querySelectorAll('.pick').forEach(function (c, n) { c.checked = n < 10; });
    }
    document.querySelectorAll('.pick, #bars, #logx, #logy').forEach(function (c) {
      c.addEventListener('change', function () { save(); draw(); });
    });
    $('first').addEventListener('click', function () {
      document.querySelectorAll('.pick').forEach(function (c, n) { c.checked = n < 10; });
      save(); draw();
    });
    $('none').addEventListener('click', function () {
      document.querySelectorAll('.pick').forEach(function (c) { c.checked = false; });
      save(); draw();
    });
    document.querySelectorAll('#rows thead th').forEach(function (th) {
      th.addEventListener('click', function () { sortBy(th); });
    });
    document.querySelectorAll('a.thumb').forEach(function (a) {
      a.addEventListener('click', function (e) { e.preventDefault(); show(a); });
    });
    $('prev').addEventListener('click', function () { page = Math.max(0, page - 1); save(); paginate(); });
    $('next').addEventListener('click', function () { page = page < 0 ? 0 : page + 1; save(); paginate(); });
    $('allrows').addEventListener('click', function () { page = -1; save(); paginate(); });
    $('vclose').addEventListener('click', function () { $('viewer').hidden = true; });
    $('viewer').addEventListener('click', function (e) { if (e.target === this) this.hidden = true; });
    document.addEventListener('keydown', function (e) { if (e.key === 'Escape') $('viewer').hidden = true; });
    window.addEventListener('beforeunload', save);
    paginate();
    draw();
    if (s && s.y) window.scrollTo(0, s.y);
    // A link to "report.html#image-NAME" opens that row's image, as a click on it does.
    var m = /^#image-(.+)$/.exec(location.hash), tr = m && byName[decodeURIComponent(m[1])];
    var img = tr && tr.querySelector('a.thumb');
    if (img) img.click();
    document.body.setAttribute('data-ready', document.querySelectorAll('.pick').length + ' curves, ' +
      rows.length + ' rows');
    document.body.setAttribute('data-open-ms', String(Math.round(performance.now())));
    // And once the images shown have loaded too: the page's opening time.
    window.addEventListener('load', function () {
      document.body.setAttribute('data-loaded-ms', String(Math.round(performance.now())));
    });
  }

  start();
})();
