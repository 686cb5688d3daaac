#!/usr/bin/env node
// One sender (the engine, or the peer GStreamer pipeline) streaming an X
// display to the reference viewer in headless Chromium, measured from the
// page: every presented video frame is timestamped (requestVideoFrameCallback)
// and one pixel of a test patch is read from it, so that a change painted on
// the display at a known time can be found on the glass.
//
// Used by bench/stream_latency.py (engine against a peer pipeline) and by
// tests/system/test_stream_pacing.py.
//
//   node stream_timing.js --system engine|peer --sender PATH --paint PATH --display :N
//        --width W --height H --log FILE [--changes N] [--phases static,latency,busy]
//        [--window-ms MS]
//
// Prints one JSON result line on stdout; progress goes to stderr.
'use strict';

const { spawn } = require('child_process');
const fs = require('fs');
const path = require('path');
const readline = require('readline');
const { waitForLine, waitForReady } = require('./driver_util');

const ROOT = path.resolve(__dirname, '..', '..', '..');
const { chromium } = require(path.join(ROOT, 'tests/system/browser/node_modules/playwright-core'));
const WebSocket = require(path.join(ROOT, 'tools/viewer/node_modules/ws'));

const args = {};
for (let i = 2; i < process.argv.length; i += 2) args[process.argv[i].replace(/^--/, '')] = process.argv[i + 1];
const SESSION = 'bench-1';
const W = Number(args.width);
const H = Number(args.height);
const WINDOW_MS = Number(args['window-ms'] || 6000);
const PHASES = (args.phases || 'static,latency,busy').split(',');
// The latency patch, and the region that changes 30 times a second.
const PATCH = [Math.round(W * 0.6), Math.round(H * 0.1), 64, 64];
const BUSY = [0, Math.round(H / 2), Math.round(W / 2), Math.round(H / 2)];
const children = [];

const log = (...p) => process.stderr.write(`[bench] ${p.join(' ')}\n`);
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

function lines(stream, onLine) {
  readline.createInterface({ input: stream }).on('line', onLine);
}

function cpuTicks(pid) {
  // utime + stime (fields 14 and 15) of the whole process, in clock ticks.
  const stat = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
  const f = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
  return Number(f[11]) + Number(f[12]);
}

async function startServer() {
  const proc = spawn('node', [path.join(ROOT, 'tools/viewer/server.js'), '--host', '127.0.0.1', '--port', '0'],
    { stdio: ['ignore', 'pipe', 'ignore'] });
  children.push(proc);
  const m = await waitForLine(proc.stdout, /^KVD_DEVSERVER_LISTENING url=(\S+)/, 'the signaling server', 10000);
  return m[1];
}

async function startEngine(wsUrl) {
  const env = { ...process.env, DISPLAY: args.display, KELVANDRUM_SESSION_TOKEN: 'bench-token',
    KELVANDRUM_LOG_FILE: args.log, KELVANDRUM_LOG_LEVEL: 'info' };
  const proc = spawn(args.sender, ['--session-id', SESSION, '--signaling-url', wsUrl],
    { env, stdio: ['ignore', 'pipe', 'ignore'] });
  children.push(proc);
  await waitForReady(proc, 20000);
  return proc;
}

// The peer pipeline speaks JSON lines; this shim is its signaling client.
async function startPeer(wsUrl) {
  const proc = spawn(args.sender, ['--display', args.display], { stdio: ['pipe', 'pipe', 'inherit'] });
  children.push(proc);
  const ws = new WebSocket(`${wsUrl}/agent?token=bench-token`);
  await new Promise((resolve, reject) => { ws.on('open', resolve); ws.on('error', reject); });
  lines(proc.stdout, (line) => {
    if (line.startsWith('{') && !line.includes('"ready"')) ws.send(line);
  });
  ws.on('message', (data) => proc.stdin.write(`${data.toString()}\n`));
  ws.send(JSON.stringify({ type: 'join', sessionId: SESSION, role: 'agent' }));
  return proc;
}

class Painter {
  constructor() {
    this.proc = spawn(args.paint, ['--display', args.display], { stdio: ['pipe', 'pipe', 'ignore'] });
    children.push(this.proc);
    this.waiters = [];
    lines(this.proc.stdout, () => { const w = this.waiters.shift(); if (w) w(); });
    this.ready = new Promise((r) => this.waiters.push(r));
  }

  cmd(line) {
    return new Promise((r) => {
      this.waiters.push(r);
      this.proc.stdin.write(`${line}\n`);
    });
  }
}

// Installed before the viewer's own script: answer time and a per-frame probe.
function pageProbe() {
  const b = { answerAt: null, frames: [], patch: null };
  window.__bench = b;
  const send = WebSocket.prototype.send;
  WebSocket.prototype.send = function (data) {
    try {
      if (b.answerAt === null && JSON.parse(data).type === 'answer') b.answerAt = performance.timeOrigin + performance.now();
    } catch { /* not ours */ }
    return send.call(this, data);
  };
  document.addEventListener('DOMContentLoaded', () => {
    const v = document.getElementById('video');
    const c = document.createElement('canvas');
    c.width = 1;
    c.height = 1;
    const ctx = c.getContext('2d', { willReadFrequently: true });
    const onFrame = (now, md) => {
      let px = -1;
      if (b.patch && v.videoWidth) {
        ctx.drawImage(v, b.patch[0] * v.videoWidth, b.patch[1] * v.videoHeight, 1, 1, 0, 0, 1, 1);
        px = ctx.getImageData(0, 0, 1, 1).data[0];
      }
      b.frames.push([performance.timeOrigin + now, px, md.presentedFrames, v.videoWidth]);
      if (b.frames.length > 50000) b.frames.splice(0, 25000);
      v.requestVideoFrameCallback(onFrame);
    };
    v.requestVideoFrameCallback(onFrame);
  });
}

async function framesSince(page, t) {
  return page.evaluate((since) => window.__bench.frames.filter((f) => f[0] >= since), t);
}

// CPU of the sender (% of one core) and presented frames per second over a window.
async function measureWindow(page, pid) {
  const c0 = cpuTicks(pid);
  const t0 = Date.now();
  await sleep(WINDOW_MS);
  const secs = (Date.now() - t0) / 1000;
  const cpu = ((cpuTicks(pid) - c0) / 100 / secs) * 100;
  const frames = await framesSince(page, t0);
  return { cpu: +cpu.toFixed(1), fps: +(frames.length / secs).toFixed(1) };
}

function stats(values) {
  const s = [...values].sort((a, b) => a - b);
  const at = (q) => s[Math.min(s.length - 1, Math.floor(q * s.length))];
  return { n: s.length, median: +at(0.5).toFixed(1), p95: +at(0.95).toFixed(1) };
}

async function latencyPhase(page, painter, count) {
  await page.evaluate((p) => { window.__bench.patch = p; }, [(PATCH[0] + PATCH[2] / 2) / W, (PATCH[1] + PATCH[3] / 2) / H]);
  const rect = (rgb) => `rect ${PATCH.join(',')},${rgb}`;
  await painter.cmd(rect('000000'));
  await sleep(1500);
  const out = [];
  let missed = 0;
  for (let i = 0; i < count; i++) {
    // Random phase against both senders' capture clocks.
    await sleep(250 + Math.random() * 350);
    const white = i % 2 === 0;
    const t0 = Date.now();
    await painter.cmd(rect(white ? 'ffffff' : '000000'));
    const tc = (t0 + Date.now()) / 2;
    let seen = null;
    while (!seen && Date.now() - tc < 3000) {
      await sleep(30);
      seen = (await framesSince(page, tc)).find((f) => f[1] >= 0 && (f[1] >= 128) === white);
    }
    if (seen) out.push(seen[0] - tc);
    else missed++;
  }
  return { ...stats(out), missed };
}

async function main() {
  const wsUrl = await startServer();
  const painter = new Painter();
  await painter.ready;
  const browser = await chromium.launch({
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync', '--disable-features=WebRtcHideLocalIpsWithMdns'],
  });
  const out = { system: args.system, width: W, height: H };
  try {
    const page = await browser.newPage({ viewport: { width: 1000, height: 700 } });
    await page.addInitScript(pageProbe);
    const sender = args.system === 'engine' ? await startEngine(wsUrl) : await startPeer(wsUrl);
    await page.goto(`${wsUrl.replace(/^ws/, 'http')}/?session=${SESSION}&transport=rtp`);
    const t0 = Date.now();
    for (;;) {
      const b = await page.evaluate(() => ({ a: window.__bench.answerAt, f: window.__bench.frames[0] }));
      if (b.a && b.f) {
        out.answerToFirstFrameMs = Math.round(b.f[0] - b.a);
        break;
      }
      if (Date.now() - t0 > 30000) throw new Error('no decoded frame within 30 s');
      await sleep(50);
    }
    log(args.system, `${W}x${H}: first frame ${out.answerToFirstFrameMs} ms after the answer`);
    await sleep(2500);
    if (PHASES.includes('static')) {
      out.static = await measureWindow(page, sender.pid);
      log(args.system, 'static', JSON.stringify(out.static));
    }
    if (PHASES.includes('latency')) {
      out.latency = await latencyPhase(page, painter, Number(args.changes || 30));
      log(args.system, 'latency', JSON.stringify(out.latency));
    }
    if (PHASES.includes('busy')) {
      const anim = spawn(args.paint, ['--display', args.display, '--animate', `${BUSY.join(',')},33`],
        { stdio: ['pipe', 'pipe', 'ignore'] });
      children.push(anim);
      await waitForLine(anim.stdout, /^ready/, 'the animation', 10000);
      await sleep(1500);
      out.busy = await measureWindow(page, sender.pid);
      log(args.system, 'busy', JSON.stringify(out.busy));
      anim.kill();
    }
    out.ok = true;
  } finally {
    await browser.close();
  }
  return out;
}

main()
  .then((out) => process.stdout.write(`${JSON.stringify(out)}\n`))
  .catch((err) => process.stdout.write(`${JSON.stringify({ ok: false, error: String(err && err.stack || err) })}\n`))
  .finally(() => {
    for (const c of children) {
      try { c.kill('SIGKILL'); } catch { /* gone */ }
    }
    setTimeout(() => process.exit(0), 200);
  });
