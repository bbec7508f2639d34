/* Plain canvas charts for the live page: a line of numeric samples over time, and for histograms the
 * latest distribution as labelled bars above a heatmap of the recent ones (time across, one row per
 * bucket value, sample count as colour, with a legend of the colour scale). Each keeps a bounded
 * window of data and redraws at most once per animation frame. */
"use strict";

(function () {
  const MAX_POINTS = 600;      // numeric samples kept per chart
  const MAX_COLUMNS = 240;     // histograms kept per heatmap
  const PAD = { r: 8, t: 8, b: 18 }; // the left edge is as wide as the widest axis label
  // The heatmap's colours from the lowest count to the highest (the legend shows the same ramp).
  const RAMP = [[255, 237, 160], [254, 178, 76], [240, 59, 32], [189, 0, 38]];

  function clock(t) {
    const d = new Date(t * 1000);
    return d.toTimeString().slice(0, 8);
  }

  /* Sizes the backing store to the element's CSS box and device pixel ratio. */
  function prepare(canvas) {
    const dpr = window.devicePixelRatio || 1;
    const w = Math.max(1, Math.round(canvas.clientWidth * dpr));
    const h = Math.max(1, Math.round(canvas.clientHeight * dpr));
    if (canvas.width !== w || canvas.height !== h) { canvas.width = w; canvas.height = h; }
    const g = canvas.getContext("2d");
    g.setTransform(dpr, 0, 0, dpr, 0, 0);
    g.clearRect(0, 0, canvas.clientWidth, canvas.clientHeight);
    g.font = "10px system-ui, sans-serif";
    return { g, w: canvas.clientWidth, h: canvas.clientHeight };
  }

  /* Round values about a quarter of the range apart, as [value, label]. One format for the whole
   * axis: plain digits below a million, else engineering notation (a power of ten that is a multiple
   * of three) with as many decimals as the step needs, so that neighbours never read alike. */
  function ticks(lo, hi) {
    const raw = (hi - lo) / 4, p = 10 ** Math.floor(Math.log10(raw)), m = raw / p;
    const step = (m < 1.5 ? 1 : m < 3 ? 2 : m < 7 ? 5 : 10) * p;
    const top = Math.max(Math.abs(lo), Math.abs(hi));
    const e = top >= 1e6 || top < 1e-3 ? 3 * Math.floor(Math.log10(top) / 3) : 0;
    const digits = Math.min(15, Math.max(0, e - Math.floor(Math.log10(step))));
    const out = [];
    for (let i = Math.ceil(lo / step - 1e-9); i * step <= hi; i++) {
      const v = i * step;
      out.push([v, v === 0 ? "0" : e ? (v / 10 ** e).toFixed(digits) + "e" + e : v.toFixed(digits)]);
    }
    return out;
  }

  /* A bucket as the service printed it ("0.500000"), without the trailing zeros: every digit kept. */
  const bucketText = (k) => (/^-?\d+\.\d+$/.test(k) ? k.replace(/0+$/, "").replace(/\.$/, "") : k);

  function rampColour(f) {
    const x = Math.min(1, Math.max(0, f)) * (RAMP.length - 1), i = Math.min(RAMP.length - 2, Math.floor(x));
    const c = RAMP[i].map((v, j) => Math.round(v + (RAMP[i + 1][j] - v) * (x - i)));
    return `rgb(${c.join(",")})`;
  }

  /* The plot's left edge: room for the widest of the labels of marks ([y, label]). */
  function leftEdge(g, marks) {
    let widest = 0;
    for (const [, s] of marks) widest = Math.max(widest, g.measureText(s).width);
    return Math.ceil(widest) + 10;
  }

  /* Grid lines and labels at marks, and below the time of the first sample (drawn at x0) and of the
   * last one. */
  function axes(g, w, h, marks, left, x0, t0, t1) {
    g.lineWidth = 1;
    g.strokeStyle = "#ececef";
    g.beginPath();
    for (const [y] of marks) {
      g.moveTo(left, Math.round(y) + 0.5);
      g.lineTo(w - PAD.r, Math.round(y) + 0.5);
    }
    g.stroke();
    g.strokeStyle = "#d8d8dc";
    g.beginPath();
    g.moveTo(left, PAD.t);
    g.lineTo(left, h - PAD.b);
    g.lineTo(w - PAD.r, h - PAD.b);
    g.stroke();
    g.fillStyle = "#6b6b70";
    g.textAlign = "right";
    g.textBaseline = "middle";
    for (const [y, s] of marks) g.fillText(s, left - 5, y);
    g.textBaseline = "top";
    g.textAlign = "left";
    g.fillText(clock(t0), x0, h - PAD.b + 3);
    g.textAlign = "right";
    g.fillText(clock(t1), w - PAD.r, h - PAD.b + 3);
  }

  /* Inserts [t, ...] in time order (bus and broker samples may interleave slightly out of order) and
   * keeps the last max entries. True when it became the latest. */
  function insert(list, entry, max) {
    let i = list.length;
    while (i > 0 && list[i - 1][0] > entry[0]) i--;
    list.splice(i, 0, entry);
    if (list.length > max) list.splice(0, list.length - max);
    return list[list.length - 1] === entry;
  }

  function child(parent, tag, cls, text) {
    const e = parent.appendChild(document.createElement(tag));
    if (cls) e.className = cls;
    if (text !== undefined) e.textContent = text;
    return e;
  }

  class Base {
    constructor(el) {
      this.canvas = child(el, "canvas");
      this.canvas.setAttribute("role", "img");
      this.pending = false;
    }
    schedule() {
      if (this.pending) return;
      this.pending = true;
      const run = () => { this.pending = false; this.draw(); };
      if (document.hidden) setTimeout(run, 250); else requestAnimationFrame(run);
    }
  }

  class LineChart extends Base {
    constructor(el) {
      super(el);
      this.points = []; // [time s, value], kept in time order
      this.text = null; // latest value that is not a number (text or null)
    }
    /* A value that cannot be drawn as a point: shown as text while the chart has no numbers. */
    note(text) {
      this.text = text;
      if (!this.points.length) this.schedule();
    }
    add(t, v) {
      insert(this.points, [t, v], MAX_POINTS);
      this.schedule();
    }
    draw() {
      const { g, w, h } = prepare(this.canvas);
      const p = this.points;
      if (!p.length) {
        if (this.text === null) return;
        g.fillStyle = "#1d1d1f";
        g.font = "16px ui-monospace, monospace";
        g.textAlign = "center";
        g.textBaseline = "middle";
        const t = this.text.length > 40 ? this.text.slice(0, 39) + "…" : this.text;
        g.fillText(t, w / 2, h / 2);
        return;
      }
      let lo = Infinity, hi = -Infinity;
      for (const [, v] of p) { if (v < lo) lo = v; if (v > hi) hi = v; }
      const top = Math.max(Math.abs(lo), Math.abs(hi));
      if (hi - lo <= top * 1e-9) {
        // One value, or a spread too fine to label: a window around it (wider than ±1 for large
        // values, where 1 is below the spacing of doubles).
        const mid = (lo + hi) / 2, d = Math.max(1, top * 1e-6);
        lo = mid - d;
        hi = mid + d;
      }
      const marks = ticks(lo, hi);
      this.canvas.setAttribute("aria-label", "values, axis " + marks.map((m) => m[1]).join(" "));
      const t0 = p[0][0], t1 = Math.max(p[p.length - 1][0], t0 + 1);
      const y = (v) => PAD.t + (hi - v) / (hi - lo) * (h - PAD.t - PAD.b);
      const left = leftEdge(g, marks);
      axes(g, w, h, marks.map(([v, s]) => [y(v), s]), left, left, t0, t1);
      const x = (t) => left + (t - t0) / (t1 - t0) * (w - left - PAD.r);
      g.strokeStyle = "#1f6feb";
      g.lineWidth = 1.5;
      g.beginPath();
      p.forEach(([t, v], i) => (i ? g.lineTo(x(t), y(v)) : g.moveTo(x(t), y(v))));
      g.stroke();
      g.fillStyle = "#1f6feb";
      const [lt, lv] = p[p.length - 1];
      g.fillRect(x(lt) - 2, y(lv) - 2, 4, 4);
    }
  }

  class HistChart extends Base {
    constructor(el) {
      const bars = child(el, "div", "bars");
      super(el);
      this.bars = bars;
      this.legend = child(el, "div", "legend");
      child(this.legend, "span", "", "samples per bucket (log scale)");
      this.lo = child(this.legend, "span", "lo");
      child(this.legend, "span", "ramp").style.background =
        `linear-gradient(to right, ${RAMP.map((c) => `rgb(${c.join(",")})`).join(", ")})`;
      this.hi = child(this.legend, "span", "hi");
      this.columns = []; // [time s, [[bucket text, bucket value, count as sent, count], ...]]
    }
    add(t, hist) {
      const buckets = [];
      for (const [k, c] of Object.entries(hist || {})) {
        const b = Number(k), n = Number(c);
        if (Number.isFinite(b) && n > 0) buckets.push([k, b, c, n]);
      }
      buckets.sort((a, b) => a[1] - b[1]);
      if (insert(this.columns, [t, buckets], MAX_COLUMNS)) this.showBars(buckets);
      this.schedule();
    }
    /* The latest distribution: one row per bucket, its value, a bar and its count. */
    showBars(buckets) {
      let max = 0;
      for (const [, , , n] of buckets) max = Math.max(max, n);
      this.bars.textContent = "";
      for (const [k, , c, n] of buckets) {
        child(this.bars, "span", "b", bucketText(k));
        child(child(this.bars, "span", "bar"), "i").style.width = (100 * n / max).toFixed(1) + "%";
        child(this.bars, "span", "n", String(c));
      }
    }
    draw() {
      const { g, w, h } = prepare(this.canvas);
      const cols = this.columns;
      const rows = new Map(); // bucket text -> bucket value, then row
      let lo = null, hi = null; // [count, count as sent] of the window's extremes
      for (const [, bs] of cols)
        for (const [k, b, c, n] of bs) {
          rows.set(k, b);
          if (!lo || n < lo[0]) lo = [n, c];
          if (!hi || n > hi[0]) hi = [n, c];
        }
      if (!lo) return;
      this.lo.textContent = String(lo[1]);
      this.hi.textContent = String(hi[1]);
      const keys = [...rows.keys()].sort((a, b) => rows.get(a) - rows.get(b));
      keys.forEach((k, i) => rows.set(k, i));
      // Low bucket values at the bottom; a label on every row that has room for one.
      const rowH = (h - PAD.t - PAD.b) / keys.length, every = Math.ceil(12 / rowH);
      const top = (i) => PAD.t + (keys.length - 1 - i) * rowH;
      const marks = keys.filter((k, i) => i % every === 0)
        .map((k) => [top(rows.get(k)) + rowH / 2, bucketText(k)]);
      // Few columns are drawn wide; the map fills up from the right and then scrolls.
      const left = leftEdge(g, marks), colW = (w - left - PAD.r) / Math.max(cols.length, 60);
      const x0 = w - PAD.r - cols.length * colW;
      axes(g, w, h, marks, left, Math.min(x0, w - PAD.r - 100), cols[0][0], cols[cols.length - 1][0]);
      const span = Math.log(hi[0] / lo[0]);
      cols.forEach(([, bs], i) => {
        for (const [k, , , n] of bs) {
          g.fillStyle = rampColour(span > 0 ? Math.log(n / lo[0]) / span : 1);
          g.fillRect(x0 + i * colW, top(rows.get(k)), Math.max(1, colW), Math.max(1, rowH - 1));
        }
      });
      this.canvas.setAttribute("aria-label", "histograms over time, buckets " +
        keys.map(bucketText).join(" "));
    }
  }

  window.VornChart = { LineChart, HistChart };
})();
