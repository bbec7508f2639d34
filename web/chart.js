/* Plain canvas charts for the live page: a line of numeric samples over time, and a heat strip of
 * histograms (time across, bucket value up, sample count as colour) beside the latest distribution.
 * Both keep a bounded window of data and redraw at most once per animation frame. */
"use strict";

(function () {
  const MAX_POINTS = 600;      // numeric samples kept per chart
  const MAX_COLUMNS = 240;     // histograms kept per heat strip
  const PAD = { l: 48, r: 8, t: 8, b: 18 };

  function fmt(v) {
    if (!Number.isFinite(v)) return String(v);
    const a = Math.abs(v);
    if (a !== 0 && (a >= 1e6 || a < 1e-3)) return v.toExponential(2);
    return String(Math.round(v * 1000) / 1000);
  }

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

  class Base {
    constructor(canvas) {
      this.canvas = canvas;
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
    constructor(canvas) {
      super(canvas);
      this.points = []; // [time s, value], kept in time order
      this.text = null; // latest value that is not a number (text or null)
    }
    /* A value that cannot be drawn as a point: shown as text while the chart has no numbers. */
    note(text) {
      this.text = text;
      if (!this.points.length) this.schedule();
    }
    add(t, v) {
      const p = this.points;
      // Bus and broker samples may interleave slightly out of order: insert in place.
      let i = p.length;
      while (i > 0 && p[i - 1][0] > t) i--;
      p.splice(i, 0, [t, v]);
      if (p.length > MAX_POINTS) p.splice(0, p.length - MAX_POINTS);
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
      if (lo === hi) { lo -= 1; hi += 1; }
      const t0 = p[0][0], t1 = Math.max(p[p.length - 1][0], t0 + 1);
      const x = (t) => PAD.l + (t - t0) / (t1 - t0) * (w - PAD.l - PAD.r);
      const y = (v) => PAD.t + (hi - v) / (hi - lo) * (h - PAD.t - PAD.b);
      axes(g, w, h, fmt(hi), fmt(lo), clock(t0), clock(t1));
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

  /* Bucket values spread over many decades: a signed log keeps zero and negatives drawable. */
  const slog = (v) => Math.sign(v) * Math.log10(1 + Math.abs(v));

  class HeatStrip extends Base {
    constructor(canvas) {
      super(canvas);
      this.columns = []; // [time s, [[bucket value, count], ...]]
    }
    add(t, hist) {
      const buckets = [];
      for (const [k, c] of Object.entries(hist || {})) {
        const b = Number(k), n = Number(c);
        if (Number.isFinite(b) && Number.isFinite(n) && n > 0) buckets.push([b, n]);
      }
      buckets.sort((a, b) => a[0] - b[0]);
      const cols = this.columns;
      let i = cols.length;
      while (i > 0 && cols[i - 1][0] > t) i--;
      cols.splice(i, 0, [t, buckets]);
      if (cols.length > MAX_COLUMNS) cols.splice(0, cols.length - MAX_COLUMNS);
      this.schedule();
    }
    draw() {
      const { g, w, h } = prepare(this.canvas);
      const cols = this.columns;
      if (!cols.length) return;
      let lo = Infinity, hi = -Infinity, max = 0;
      for (const [, bs] of cols)
        for (const [b, n] of bs) { const s = slog(b); lo = Math.min(lo, s); hi = Math.max(hi, s); max = Math.max(max, n); }
      if (!Number.isFinite(lo)) return;
      if (lo === hi) { lo -= 0.5; hi += 0.5; }
      // Left three quarters: the strip; right quarter: the latest distribution as bars.
      const split = PAD.l + Math.round((w - PAD.l - PAD.r) * 0.75);
      const plotH = h - PAD.t - PAD.b;
      const y = (s) => PAD.t + (hi - s) / (hi - lo) * plotH;
      const rowH = Math.max(2, plotH / 40);
      // Few columns are drawn wide; the strip fills up from the right and then scrolls.
      const colW = (split - PAD.l - 4) / Math.max(cols.length, 60);
      const x0 = split - 4 - cols.length * colW;
      cols.forEach(([, bs], i) => {
        for (const [b, n] of bs) {
          const a = 0.15 + 0.85 * Math.log1p(n) / Math.log1p(max);
          g.fillStyle = `rgba(179, 38, 30, ${a.toFixed(3)})`;
          g.fillRect(x0 + i * colW, y(slog(b)) - rowH / 2, Math.max(1, colW), rowH);
        }
      });
      axes(g, split - 4, h, fmt(Math.sign(hi) * (10 ** Math.abs(hi) - 1)),
           fmt(Math.sign(lo) * (10 ** Math.abs(lo) - 1)), clock(cols[0][0]), clock(cols[cols.length - 1][0]));
      const last = cols[cols.length - 1][1];
      let lmax = 0;
      for (const [, n] of last) lmax = Math.max(lmax, n);
      g.fillStyle = "#1f6feb";
      const barW = w - PAD.r - split - 2;
      for (const [b, n] of last) g.fillRect(split + 2, y(slog(b)) - rowH / 2, Math.max(1, barW * n / lmax), rowH);
    }
  }

  function axes(g, right, h, top, bottom, left, rightLabel) {
    g.strokeStyle = "#d8d8dc";
    g.lineWidth = 1;
    g.beginPath();
    g.moveTo(PAD.l, PAD.t);
    g.lineTo(PAD.l, h - PAD.b);
    g.lineTo(right - PAD.r, h - PAD.b);
    g.stroke();
    g.fillStyle = "#6b6b70";
    g.textAlign = "right";
    g.textBaseline = "top";
    g.fillText(top, PAD.l - 4, PAD.t);
    g.textBaseline = "bottom";
    g.fillText(bottom, PAD.l - 4, h - PAD.b);
    g.textBaseline = "top";
    g.textAlign = "left";
    g.fillText(left, PAD.l, h - PAD.b + 3);
    g.textAlign = "right";
    g.fillText(rightLabel, right - PAD.r, h - PAD.b + 3);
  }

  window.VornChart = { LineChart, HeatStrip };
})();
