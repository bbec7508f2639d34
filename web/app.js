/* vorn live page: one websocket (sub-protocol "vorn.batch": several messages per frame, one "\n"
 * between them) to the service that served the page, the watch list kept here and sent again after
 * every reconnect, one chart per (check, metric), a bounded log of raw messages and a plain list of
 * error frames. A link may carry an access token in its fragment (#access_token=...), which browsers
 * never send to a server; the page presents it on every connect. */
"use strict";

(function () {
  const RAW_MAX = 500;            // raw frames kept in the log
  const ERR_MAX = 100;            // error frames kept in the list
  const HEARTBEAT_MS = 30000;
  const BACKOFF_MIN_MS = 500;
  const BACKOFF_MAX_MS = 10000;
  const UUID_RE = /^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$/;

  const $ = (id) => document.getElementById(id);
  const state = {
    ws: null,
    watches: new Map(),  // "id|period" -> {id, period, metrics}
    charts: new Map(),   // "id metric" -> {kind, chart, el, count}
    backoff: BACKOFF_MIN_MS,
    retry: null,         // reconnect timer
    heartbeat: null,
    connects: 0,
  };

  const token = new URLSearchParams(location.hash.slice(1)).get("access_token") || "";

  function wsUrl() {
    return (location.protocol === "https:" ? "wss://" : "ws://") + location.host + "/" +
      (token ? "?access_token=" + encodeURIComponent(token) : "");
  }

  /* The token's exp in seconds, read from its payload without verifying it (the service does that);
   * null when it has none or cannot be read. */
  function tokenExp() {
    try {
      const b64 = token.split(".")[1].replace(/-/g, "+").replace(/_/g, "/");
      const bytes = Uint8Array.from(atob(b64), (c) => c.charCodeAt(0));
      const exp = JSON.parse(new TextDecoder().decode(bytes)).exp;
      return typeof exp === "number" ? exp : null;
    } catch (e) {
      return null;
    }
  }

  /* With an expired token every connect would be refused: say so instead of retrying. */
  function stopIfExpired() {
    const exp = token ? tokenExp() : null;
    if (exp === null || exp * 1000 > Date.now()) return false;
    setStatus("closed", "token expired");
    const n = $("notice");
    n.hidden = false;
    n.textContent = "The access token of this page expired at " + new Date(exp * 1000).toLocaleString() +
      ", so the page no longer connects. Open it again with a new link (…/ui/#access_token=<new token>) " +
      "from whoever gave you this one.";
    return true;
  }

  function setStatus(s, text) {
    const el = $("status");
    el.dataset.state = s;
    el.textContent = text;
  }

  /* ---- raw log and errors ---- */

  function logRaw(text, cls) {
    const ol = $("raw-log");
    const li = document.createElement("li");
    if (cls) li.className = cls;
    li.textContent = text;
    ol.appendChild(li);
    while (ol.childElementCount > RAW_MAX) ol.firstElementChild.remove();
    $("raw-count").textContent = String(Number($("raw-count").textContent) + 1);
    if (ol.scrollHeight - ol.scrollTop - ol.clientHeight < 80) ol.scrollTop = ol.scrollHeight;
  }

  function showError(msg) {
    const ul = $("errors");
    const empty = ul.querySelector(".empty");
    if (empty) empty.remove();
    const li = document.createElement("li");
    let text = new Date().toTimeString().slice(0, 8) + "  " + String(msg.error);
    const about = [];
    if (msg.id !== undefined) about.push("check " + msg.id);
    if (msg.period !== undefined) about.push("period " + msg.period);
    if (msg.type !== undefined) about.push(msg.type + " request");
    if (about.length) text += "  (" + about.join(", ") + ")";
    li.textContent = text;
    ul.appendChild(li);
    while (ul.childElementCount > ERR_MAX) ul.firstElementChild.remove();
  }

  /* ---- watches ---- */

  function send(obj) {
    const text = JSON.stringify(obj);
    if (!state.ws || state.ws.readyState !== WebSocket.OPEN) return false;
    state.ws.send(text);
    logRaw("→ " + text, "sent");
    return true;
  }

  function watchEntry(w) {
    const e = { id: w.id };
    if (w.period) e.period = w.period;
    if (w.metrics.length) e.metrics = w.metrics;
    return e;
  }

  function renderWatches() {
    const ul = $("watches");
    ul.textContent = "";
    if (!state.watches.size) {
      const li = document.createElement("li");
      li.className = "empty";
      li.textContent = "none";
      ul.appendChild(li);
      return;
    }
    for (const [key, w] of state.watches) {
      const li = document.createElement("li");
      li.dataset.key = key;
      const code = document.createElement("code");
      code.textContent = w.id + (w.period ? " @" + w.period + " ms" : " (bus)") +
        (w.metrics.length ? " [" + w.metrics.join(", ") + "]" : " [all metrics]");
      const b = document.createElement("button");
      b.type = "button";
      b.className = "secondary";
      b.textContent = "Unwatch";
      b.addEventListener("click", () => unwatch(key));
      li.append(code, b);
      ul.appendChild(li);
    }
  }

  function watch(id, period, metrics) {
    const w = { id, period, metrics };
    const key = id + "|" + period;
    state.watches.set(key, w);
    renderWatches();
    send({ watch: [watchEntry(w)] });
  }

  function unwatch(key) {
    const w = state.watches.get(key);
    if (!w) return;
    state.watches.delete(key);
    renderWatches();
    const e = { id: w.id };
    if (w.period) e.period = w.period;
    send({ unwatch: [e] });
  }

  /* ---- data frames ---- */

  function chartFor(id, metric, kind) {
    const key = id + " " + metric;
    let c = state.charts.get(key);
    if (c && c.kind === kind) return c;
    if (c) c.el.remove(); // a metric that changed between sample and histogram starts afresh
    const charts = $("charts");
    const empty = charts.querySelector(".empty");
    if (empty) empty.remove();
    const el = document.createElement("div");
    el.className = "chart";
    el.dataset.check = id;
    el.dataset.metric = metric;
    el.dataset.kind = kind;
    el.dataset.samples = "0";
    const h3 = document.createElement("h3");
    h3.textContent = metric;
    const meta = document.createElement("div");
    meta.className = "meta";
    const who = document.createElement("span");
    who.textContent = id.slice(0, 8) + "… " + (kind === "H1" ? "histogram" : "samples");
    const latest = document.createElement("span");
    latest.className = "latest";
    meta.append(who, latest);
    el.append(h3, meta);
    charts.appendChild(el);
    const chart = kind === "H1" ? new VornChart.HistChart(el) : new VornChart.LineChart(el);
    c = { kind, chart, el, latest, count: 0 };
    state.charts.set(key, c);
    return c;
  }

  function onCheck(s) {
    if (typeof s.id !== "string" || typeof s.metric_name !== "string") return;
    const t = Number(s.time);
    if (!Number.isFinite(t)) return;
    if (s.type === "H1") {
      const c = chartFor(s.id, s.metric_name, "H1");
      c.chart.add(t, s.histogram);
      let total = 0n;
      for (const n of Object.values(s.histogram || {}))
        total += typeof n === "bigint" ? n : Number.isSafeInteger(Number(n)) ? BigInt(Number(n)) : 0n;
      c.latest.textContent = total + " samples @ " + new Date(t * 1000).toTimeString().slice(0, 8);
      bump(c);
      return;
    }
    const c = chartFor(s.id, s.metric_name, "M");
    const v = Number(s.value);
    // Text and null values are shown as the latest value; only numbers are drawn (big integers as the
    // nearest double, shown with all their digits).
    const numeric = typeof s.value === "number" || typeof s.value === "bigint";
    if (numeric || (typeof s.value === "string" && s.value.trim() !== "" && Number.isFinite(v)))
      c.chart.add(t, v);
    else c.chart.note(String(s.value));
    c.latest.textContent = String(s.value) + " @ " + new Date(t * 1000).toTimeString().slice(0, 8);
    bump(c);
  }

  function bump(c) {
    c.count++;
    c.el.dataset.samples = String(c.count);
  }

  /* Integers beyond 2^53 become BigInts made from their text in the frame, so that every digit is kept
   * (browsers without the reviver's source text keep the nearest double). */
  function exact(key, v, ctx) {
    if (typeof v !== "number" || Number.isSafeInteger(v) || !ctx || !/^-?\d+$/.test(ctx.source)) return v;
    return BigInt(ctx.source);
  }

  function onFrame(text) {
    let msg;
    try {
      msg = JSON.parse(text, exact);
    } catch (e) {
      logRaw(text, "error");
      return;
    }
    const isError = msg && typeof msg === "object" && "error" in msg;
    logRaw(text, isError ? "error" : "");
    if (isError) showError(msg);
    else if (msg && msg.check) onCheck(msg.check);
  }

  /* ---- connection ---- */

  function connect() {
    state.retry = null;
    if (stopIfExpired()) return;
    setStatus("connecting", "connecting…");
    let ws;
    try {
      ws = new WebSocket(wsUrl(), ["vorn.batch", "vorn"]);
    } catch (e) {
      scheduleReconnect();
      return;
    }
    state.ws = ws;
    ws.onopen = () => {
      state.backoff = BACKOFF_MIN_MS;
      state.connects++;
      setStatus("open", "connected");
      document.body.dataset.connects = String(state.connects);
      if (state.watches.size) send({ watch: [...state.watches.values()].map(watchEntry) });
      state.heartbeat = setInterval(() => send({ type: "heartbeat" }), HEARTBEAT_MS);
    };
    ws.onmessage = (ev) => {
      if (typeof ev.data === "string") for (const text of ev.data.split("\n")) onFrame(text);
      else logRaw("(binary frame)", "error");
    };
    ws.onclose = (ev) => {
      clearInterval(state.heartbeat);
      state.heartbeat = null;
      if (state.ws !== ws) return;
      state.ws = null;
      logRaw("connection closed (" + ev.code + (ev.reason ? " " + ev.reason : "") + ")", "error");
      scheduleReconnect();
    };
    ws.onerror = () => {}; // the close event follows and says what happened
  }

  function scheduleReconnect() {
    // After a close for an expired token (1008 "token expired") the page stops here once the token's exp
    // has passed by its own clock; otherwise it reconnects with the token, as after any close.
    if (state.retry || stopIfExpired()) return;
    // Exponential back-off with jitter, so many pages do not reconnect in step after a restart.
    const delay = Math.round(state.backoff * (0.75 + Math.random() * 0.5));
    state.backoff = Math.min(BACKOFF_MAX_MS, state.backoff * 2);
    setStatus("closed", "disconnected; retrying in " + (delay / 1000).toFixed(1) + " s");
    state.retry = setTimeout(connect, delay);
  }

  /* ---- form ---- */

  function readForm() {
    const id = $("f-id").value.trim().toLowerCase();
    if (!UUID_RE.test(id)) return { error: "not a check UUID: " + $("f-id").value };
    const ptext = $("f-period").value.trim();
    const period = ptext === "" ? 0 : Number(ptext);
    if (!Number.isInteger(period) || period < 0 || period > 2147483647)
      return { error: "period must be a whole number of milliseconds" };
    const metrics = $("f-metrics").value.split(",").map((m) => m.trim()).filter((m) => m !== "");
    return { id, period, metrics };
  }

  $("watch-form").addEventListener("submit", (ev) => {
    ev.preventDefault();
    const f = readForm();
    if (f.error) {
      showError({ error: f.error });
      return;
    }
    watch(f.id, f.period, f.metrics);
  });

  $("raw-clear").addEventListener("click", () => {
    $("raw-log").textContent = "";
    $("raw-count").textContent = "0";
  });

  // A link may carry a watch: /ui/?id=<uuid>&period=1000&metrics=cpu,mem
  const q = new URLSearchParams(location.search);
  if (q.get("id")) {
    $("f-id").value = q.get("id");
    $("f-period").value = q.get("period") || "";
    $("f-metrics").value = q.get("metrics") || "";
    const f = readForm();
    if (f.error) showError({ error: f.error });
    else {
      state.watches.set(f.id + "|" + f.period, f);
      renderWatches();
    }
  }

  connect();
})();
