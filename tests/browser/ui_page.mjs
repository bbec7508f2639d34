// Drives the live page in headless chromium against a stack started by tests/integration/ui_test.cpp,
// opened with --token in its fragment, which every connect must present: watches a bus and a broker check
// through the form, waits for samples in the charts and the raw log and for an error frame shown as text.
// It asks the driver (a line on stdout, answered on stdin) for the int64/uint64 extremes ("INTS"/"SENT"),
// shown with every digit; for a token in DIR/brief.token ("TOKEN"/"MINTED") whose expiry must stop a second
// page; to stop the service and start it on the same port ("STOP"/"STOPPED", "START"/"STARTED"): the page
// reconnects and receives again; for a sample too big for the session's queue ("BIG"/"SENT"): the page
// shows the 1013 close, reconnects and resumes. Screenshots go to --out. Exit 0: passed; 1: failed; 77: no browser.
// usage: node ui_page.mjs --url URL --bus-check UUID --broker-check UUID --unknown-check UUID --token JWT --out DIR
import fs from "node:fs";
import path from "node:path";
import readline from "node:readline";

const args = {};
for (let i = 2; i + 1 < process.argv.length; i += 2) args[process.argv[i].replace(/^--/, "")] = process.argv[i + 1];
for (const k of ["url", "bus-check", "broker-check", "unknown-check", "token", "out"])
  if (!args[k]) { console.error(`missing --${k}`); process.exit(2); }

const exe = process.env.VORN_CHROMIUM || "/usr/bin/chromium";
if (!fs.existsSync(exe)) { console.log(`SKIP: no browser at ${exe}`); process.exit(77); }
const { chromium } = await import("playwright-core").catch((e) => { console.log(`SKIP: no playwright-core: ${e.message}`); process.exit(77); });

const deadline = setTimeout(() => { console.error("FAIL: took longer than 70 s"); process.exit(1); }, 70000);
const step = (s) => console.log(`step: ${s}`);

// The driver answers each request on stdout with a line on stdin.
const stdinLines = readline.createInterface({ input: process.stdin });
const waiting = new Map();
stdinLines.on("line", (l) => { const r = waiting.get(l.trim()); if (r) r(); });
function ask(request, answer) {
  const p = new Promise((resolve) => waiting.set(answer, resolve));
  wsEvents.push(`${Date.now() - t0} ms ${request}`);
  console.log(request);
  return p;
}

// Running as root (CI containers) needs --no-sandbox; nothing here loads outside content.
const browser = await chromium.launch({ executablePath: exe, headless: true, args: ["--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage"] });
const page = await browser.newPage({ viewport: { width: 1280, height: 1100 } });
const consoleErrors = [];
// Refused connections while the service is down are expected; anything else is a fault of the page.
page.on("console", (m) => {
  if (m.type() === "error" && !/^WebSocket connection to .* failed/.test(m.text())) consoleErrors.push(m.text());
});
page.on("pageerror", (e) => consoleErrors.push(String(e)));
const t0 = Date.now(), wsEvents = [], wsUrls = []; // what the browser saw of each websocket
page.on("websocket", (ws) => {
  wsUrls.push(ws.url());
  const ev = (what) => wsEvents.push(`${Date.now() - t0} ms ${ws.url()} ${what}`);
  ws.on("socketerror", (e) => ev(`error ${e}`));
  ws.on("close", () => ev("closed"));
});

const bus = args["bus-check"], broker = args["broker-check"], unknown = args["unknown-check"];
const samples = (sel) => page.$$eval(sel, (els) => els.reduce((n, e) => n + Number(e.dataset.samples || 0), 0));

async function watchVia(id, period) {
  await page.fill("#f-id", id);
  await page.fill("#f-period", period ? String(period) : "");
  await page.fill("#f-metrics", "");
  await page.click("#f-watch");
}

let failed = false;
try {
  step("open the page");
  const res = await page.goto(new URL("ui/#access_token=" + encodeURIComponent(args.token), args.url).href);
  if (!res || res.status() !== 200) throw new Error(`GET /ui/ answered ${res && res.status()}`);
  await page.waitForSelector('#status[data-state="open"]', { timeout: 10000 });

  step("watch a bus check and a broker check");
  await watchVia(bus, 0);
  await watchVia(broker, 1000);
  await page.waitForFunction(() => document.querySelectorAll("#watches li[data-key]").length === 2);

  step("samples reach the charts");
  await page.waitForFunction((id) => [...document.querySelectorAll(`.chart[data-check="${id}"][data-kind="M"]`)]
    .some((e) => Number(e.dataset.samples) >= 3), bus, { timeout: 15000 });
  await page.waitForFunction((id) => [...document.querySelectorAll(`.chart[data-check="${id}"][data-kind="H1"]`)]
    .some((e) => Number(e.dataset.samples) >= 2), bus, { timeout: 15000 });
  await page.waitForFunction((id) => [...document.querySelectorAll(`.chart[data-check="${id}"]`)]
    .some((e) => Number(e.dataset.samples) >= 2), broker, { timeout: 15000 });

  step("integers beyond 2^53 keep every digit, their axes read plainly");
  await ask("INTS", "SENT");
  await page.waitForFunction(() => ["18446744073709551321", "-9223372036854775808"].every((v, i) =>
    document.querySelector(`.chart[data-metric="${i ? "i" : "u"}64"] .latest`)?.textContent.startsWith(v + " @") &&
    new RegExp(`^values, axis( ${i ? "-9\\.22" : "18\\.44"}\\d*e18){2,}$`).test(document.querySelector(
      `.chart[data-metric="${i ? "i" : "u"}64"] canvas`).getAttribute("aria-label"))), null, { timeout: 10000 });

  step("a histogram's latest distribution as labelled bars, its history as a heatmap with a legend");
  await page.waitForFunction((id) => {
    const c = document.querySelector(`.chart[data-check="${id}"][data-kind="H1"]`), lo = c.querySelector(".lo").textContent;
    const last = [...document.querySelectorAll("#raw-log li")].map((l) => l.textContent)
      .filter((t) => t.startsWith(`{"check":{"id":"${id}","metric_name":"${c.dataset.metric}"`)).pop();
    return Object.entries(JSON.parse(last).check.histogram).map(([b, n]) => `${+b} ${n}`).join(" ") ===
      [...c.querySelectorAll(".bars .b, .bars .n")].map((e) => e.textContent).join(" ") &&
      /^[1-9]\d*$/.test(lo) && Number(c.querySelector(".hi").textContent) > Number(lo);
  }, bus, { timeout: 10000 });

  step("the charts have drawn something");
  const inked = await page.$$eval(".chart canvas", (cs) => cs.filter((c) => {
    const d = c.getContext("2d").getImageData(0, 0, c.width, c.height).data;
    let n = 0;
    for (let i = 0; i < d.length; i += 4) if (d[i + 3] > 0 && (d[i] > 150 || d[i + 2] > 150) && d[i + 1] < 140) n++;
    return n > 20; // coloured (line or heat) pixels, not only the grey axes
  }).length);
  if (inked < 3) throw new Error(`only ${inked} charts show coloured pixels`);

  step("frames appear in the raw log");
  const raw = await page.$$eval("#raw-log li", (lis) => lis.map((l) => l.textContent));
  const dataFrames = raw.filter((t) => t.startsWith('{"check":'));
  if (!dataFrames.some((t) => t.includes(bus)) || !dataFrames.some((t) => t.includes(broker)))
    throw new Error(`raw log lacks data frames of both checks (${raw.length} entries)`);
  if (!raw.some((t) => t.startsWith('→ {"watch":[{"id":"' + bus + '"}]}')))
    throw new Error("raw log lacks the watch request sent");

  step("an error frame is shown plainly");
  await watchVia(unknown, 1000);
  await page.waitForFunction((id) => [...document.querySelectorAll("#errors li")]
    .some((l) => l.textContent.includes("could not find broker for provided uuid") && l.textContent.includes(id)),
    unknown, { timeout: 15000 });
  await page.click("#raw summary");
  await page.screenshot({ path: path.join(args.out, "ui-live.png"), fullPage: true });

  step("a session ends when its token expires (1008); the page then says so instead of reconnecting");
  await ask("TOKEN", "MINTED");
  const late = await browser.newPage(), brief = fs.readFileSync(path.join(args.out, "brief.token"), "utf8");
  await late.goto(new URL(`ui/#access_token=${brief}`, args.url).href);
  await late.waitForSelector('#notice:has-text("token of this page expired")', { timeout: 15000 });
  if (!(await late.textContent("#raw-log")).includes("connection closed (1008 token expired)")) throw new Error("no 1008");

  step("the page reconnects after a restart and watches again");
  const before = await samples(`.chart[data-check="${bus}"]`);
  await ask("STOP", "STOPPED");
  await page.waitForSelector('#status[data-state="closed"]', { timeout: 10000 });
  await ask("START", "STARTED");
  const restartAt = Date.now();
  await page.waitForFunction(() => Number(document.body.dataset.connects) >= 2, null, { timeout: 20000 });
  console.log(`reconnected ${Date.now() - restartAt} ms after the service was back`);
  await page.waitForFunction(([sel, n]) => [...document.querySelectorAll(sel)]
    .reduce((s, e) => s + Number(e.dataset.samples), 0) >= n + 3, [`.chart[data-check="${bus}"]`, before],
    { timeout: 15000 });
  const resent = await page.$$eval("#raw-log li.sent", (lis) => lis.map((l) => l.textContent));
  if (!resent.some((t) => t.includes(bus) && t.includes(broker) && t.startsWith('→ {"watch":[')))
    throw new Error("no watch message naming both checks after the reconnect");

  step("a frame too big for the session's queue: the service closes with 1013, the page reconnects");
  const connects = Number(await page.evaluate(() => document.body.dataset.connects));
  await ask("BIG", "SENT");
  await page.waitForFunction((n) => Number(document.body.dataset.connects) > n, connects, { timeout: 20000 });
  const closes = await page.$$eval("#raw-log li.error", (lis) => lis.map((l) => l.textContent));
  if (!closes.includes("connection closed (1013 client too slow)"))
    throw new Error(`no 1013 close in the raw log: ${JSON.stringify(closes.slice(-5))}`);
  const reconnected = await samples(`.chart[data-check="${bus}"][data-kind="M"]`);
  await page.waitForFunction(([sel, n]) => [...document.querySelectorAll(sel)]
    .reduce((s, e) => s + Number(e.dataset.samples), 0) >= n + 3,
    [`.chart[data-check="${bus}"][data-kind="M"]`, reconnected], { timeout: 15000 });
  if ((await page.$$eval("#raw-log li", (lis) => lis.map((l) => l.textContent))).some((t) => t.includes("latency_big")))
    throw new Error("the frame that did not fit was shown");

  step("unwatch removes the entry");
  await page.click(`#watches li[data-key="${bus}|0"] button`);
  await page.waitForFunction((id) => ![...document.querySelectorAll("#watches li[data-key]")]
    .some((l) => l.dataset.key.startsWith(id)), bus);
  const last = (await page.$$eval("#raw-log li.sent", (lis) => lis.map((l) => l.textContent))).pop();
  if (last !== '→ {"unwatch":[{"id":"' + bus + '"}]}') throw new Error(`last request sent: ${last}`);

  const tokenQuery = "/?access_token=" + encodeURIComponent(args.token);
  if (wsUrls.length < 3 || !wsUrls.every((u) => u.endsWith(tokenQuery))) throw new Error(`websockets: ${wsUrls}`);
  if (consoleErrors.length) throw new Error(`page errors: ${consoleErrors.join(" | ")}`);
  await page.screenshot({ path: path.join(args.out, "ui-after-restart.png"), fullPage: true });
  console.log("PASS");
} catch (e) {
  failed = true;
  console.error(`FAIL: ${e.message}`);
  const seen = await page.evaluate(() => ({ status: document.getElementById("status").textContent, connects: document.body.dataset.connects,
    log: [...document.querySelectorAll("#raw-log li")].slice(-8).map((l) => l.textContent.slice(0, 200)) })).catch((x) => String(x));
  console.error(`page state: ${JSON.stringify(seen, null, 1)}`);
  console.error(`websocket events (${Date.now() - t0} ms):\n  ${wsEvents.join("\n  ")}`);
  await page.screenshot({ path: path.join(args.out, "ui-failure.png"), fullPage: true }).catch(() => {});
}
clearTimeout(deadline);
stdinLines.close();
await browser.close();
process.exit(failed ? 1 : 0);
