#!/usr/bin/env node
// Drives one live session end to end: the development signaling server, the
// engine on an X display, and the reference viewer in headless Chromium. The
// viewer must show the host's pixels, get pointer messages, and its clicks and
// typing must reach the X display.
//
//   node live_session.js --engine PATH --display :N --log FILE --transport rtp|webcodecs
//        --points JSON ([[x,y],...] normalised sample points)
//        [--click JSON ([x,y] normalised)] [--type TEXT] [--engine-args JSON]
//        [--phases JSON ([{"desktop": NAME, "points": [[x,y]...], "rgb": [[r,g,b]...],
//                          "type": TEXT}...]: set the input-desktop property, wait until
//                          the picture shows the colours, then type; "kill": PID first
//                          kills that process with SIGKILL)]
//        [--control JSON ([{"send": MESSAGE, "expectType": TYPE, "size": [w,h]}...]: send a
//                          control message, wait for a reply of that type and for the
//                          picture to reach that size; or {"click": SELECTOR}, or
//                          {"waitText": {"selector": S, "contains": TEXT}})]
//        [--annotate JSON ({"from": [x,y], "to": [x,y], "color": "#rrggbb", "width": N,
//                          "probe": [x,y], "rgb": [r,g,b], "grabs": DIR}: grab the host screen
//                          (xwd) into DIR/connected.xwd, draw a rectangle with the annotation
//                          panel, grab drawn.xwd once the host pixel at probe has that colour,
//                          press Clear, grab cleared.xwd once it has not)]
//
// Prints one JSON result line on stdout; progress goes to stderr.
'use strict';

const { spawn, execFileSync } = require('child_process');
const path = require('path');
const { chromium } = require('playwright-core');
const { poll, waitForLine, waitForReady } = require('./driver_util');

const ROOT = path.resolve(__dirname, '..', '..', '..');
const args = {};
for (let i = 2; i < process.argv.length; i += 2) args[process.argv[i].replace(/^--/, '')] = process.argv[i + 1];
const SESSION = 'live-1';
const children = [];

function log(...parts) {
  process.stderr.write(`[driver] ${parts.join(' ')}\n`);
}

async function startServer() {
  const proc = spawn('node', [path.join(ROOT, 'tools/viewer/server.js'), '--host', '127.0.0.1', '--port', '0'],
    { stdio: ['ignore', 'pipe', 'inherit'] });
  children.push(proc);
  const m = await waitForLine(proc.stdout, /^KVD_DEVSERVER_LISTENING url=(\S+)/, 'the signaling server', 10000);
  return m[1];
}

async function startEngine(wsUrl) {
  const env = {
    ...process.env,
    DISPLAY: args.display,
    KELVANDRUM_SESSION_TOKEN: 'live-token',
    KELVANDRUM_LOG_FILE: args.log,
    KELVANDRUM_LOG_LEVEL: 'info',
  };
  const extra = args['engine-args'] ? JSON.parse(args['engine-args']) : [];
  const proc = spawn(args.engine, ['--session-id', SESSION, '--signaling-url', wsUrl, ...extra],
    { env, stdio: ['ignore', 'pipe', 'inherit'] });
  children.push(proc);
  const exited = new Promise((resolve) => proc.on('exit', (code, signal) => resolve({ code, signal })));
  await waitForReady(proc, 20000);
  return { proc, exited };
}

async function until(page, expr, ms, what) {
  const end = Date.now() + ms;
  for (;;) {
    if (await page.evaluate(expr)) return;
    if (Date.now() > end) throw new Error(`timed out waiting for ${what}`);
    await new Promise((r) => setTimeout(r, 100));
  }
}

async function surfaceBox(page, transport) {
  return page.evaluate((t) => {
    const el = document.getElementById(t === 'webcodecs' ? 'canvas' : 'video');
    const r = el.getBoundingClientRect();
    const vw = el.videoWidth || el.width;
    const vh = el.videoHeight || el.height;
    const s = Math.min(r.width / vw, r.height / vh);
    return { left: r.left + (r.width - vw * s) / 2, top: r.top + (r.height - vh * s) / 2, w: vw * s, h: vh * s };
  }, transport);
}

// Switches the host's input desktop and waits until the viewer shows the
// expected colours; returns how long that took and what was seen.
async function runPhase(page, transport, phase) {
  if (phase.desktop) {
    const base = ['-display', args.display, '-root'];
    if (phase.desktop === 'Default') execFileSync('xprop', [...base, '-remove', '_KVD_INPUT_DESKTOP']);
    else execFileSync('xprop', [...base, '-f', '_KVD_INPUT_DESKTOP', '8s', '-set', '_KVD_INPUT_DESKTOP', phase.desktop]);
  }
  const t0 = Date.now();
  let sample = null;
  for (;;) {
    sample = await page.evaluate((pts) => window.kvdViewer.samplePixels(pts), phase.points);
    // The element reports the new size a little after the new picture shows.
    const sized = !phase.size || (sample && sample.width === phase.size[0] && sample.height === phase.size[1]);
    const close = sized && sample.pixels.every((px, i) => px.every((v, c) => Math.abs(v - phase.rgb[i][c]) <= 48));
    if (close) break;
    if (Date.now() - t0 > 20000) return { ok: false, sample, ms: Date.now() - t0 };
    await new Promise((r) => setTimeout(r, 100));
  }
  const out = { ok: true, sample, ms: Date.now() - t0 };
  if (phase.kill) {
    process.kill(phase.kill, 'SIGKILL');
    // kill() returns before the process is gone: a key written to it in
    // between is accepted by its socket and dies with it. The failover is
    // what is under test, so typing starts once its descriptors are closed
    // (a zombie, or reaped).
    await poll(() => {
      try {
        return /^\S+ \(.*\) Z/.test(require('fs').readFileSync(`/proc/${phase.kill}/stat`, 'utf8'));
      } catch {
        return true;
      }
    }, 5000, 'the killed process to be gone');
  }
  if (phase.type) {
    const box = await surfaceBox(page, transport);
    await page.mouse.click(box.left + box.w / 2, box.top + box.h * 0.9);
    await page.keyboard.type(phase.type, { delay: 30 });
  }
  return out;
}

async function runControlStep(page, step) {
  // Page steps: click an element, or wait until an element's text contains
  // a piece of text (the text is returned).
  if (step.click) {
    await page.click(step.click, { timeout: 20000 });
    return { clicked: step.click };
  }
  if (step.waitText) {
    const { selector, contains } = step.waitText;
    const loc = page.locator(selector);
    const t0 = Date.now();
    let text = '';
    while (Date.now() - t0 < 20000) {
      text = (await loc.count()) ? await loc.first().innerText() : '';
      if (text.includes(contains)) return { text };
      await new Promise((r) => setTimeout(r, 100));
    }
    return { text, timedOut: true };
  }
  const seen = await page.evaluate(() => (window.kvdViewer.state.received.control || []).length);
  await page.evaluate((m) => window.kvdViewer.send('control', JSON.stringify(m)), step.send);
  const out = { sent: step.send.type };
  const t0 = Date.now();
  while (step.expectType && !out.reply && Date.now() - t0 < 20000) {
    out.reply = await page.evaluate(([n, type]) => (window.kvdViewer.state.received.control || [])
      .slice(n).find((m) => m && m.type === type), [seen, step.expectType]);
    if (!out.reply) await new Promise((r) => setTimeout(r, 100));
  }
  while (step.size && Date.now() - t0 < 20000) {
    const sample = await page.evaluate(() => window.kvdViewer.samplePixels([[0.5, 0.5]]));
    if (sample && sample.width === step.size[0] && sample.height === step.size[1]) {
      out.sizeMs = Date.now() - t0;
      break;
    }
    await new Promise((r) => setTimeout(r, 100));
  }
  return out;
}

// The host screen (xwd of the root window) and one of its pixels as [r, g, b].
function grabHost(file) {
  const data = execFileSync('xwd', ['-root', '-silent', '-display', args.display], { maxBuffer: 64 << 20 });
  if (file) require('fs').writeFileSync(file, data);
  return data;
}

function xwdPixel(data, x, y) {
  const headerSize = data.readUInt32BE(0);
  const byteOrder = data.readUInt32BE(28);
  const stride = data.readUInt32BE(48);
  const masks = [data.readUInt32BE(56), data.readUInt32BE(60), data.readUInt32BE(64)];
  const off = headerSize + 12 * data.readUInt32BE(76) + y * stride + x * 4;
  const v = byteOrder === 0 ? data.readUInt32LE(off) : data.readUInt32BE(off);
  return masks.map((m) => ((v & m) >>> 0) / (m & -m));
}

// Waits until the host pixel at (x, y) does (or does not) have the colour.
async function waitForHostPixel(x, y, rgb, want) {
  const end = Date.now() + 15000;
  while (Date.now() < end) {
    const px = xwdPixel(grabHost(), x, y);
    const same = px.every((v, i) => Math.abs(v - rgb[i]) <= 2);
    if (same === want) return;
    await new Promise((r) => setTimeout(r, 100));
  }
  throw new Error(`host pixel ${x},${y} never ${want ? 'became' : 'left'} ${rgb}`);
}

async function runAnnotate(page, transport, a) {
  // The glow comes with the connection; give its thread a moment to paint.
  await new Promise((r) => setTimeout(r, 500));
  grabHost(path.join(a.grabs, 'connected.xwd'));
  await page.click('#btn-annotate');
  await page.click('#anno-tool-rectangle');
  await page.evaluate(([c, w]) => {
    document.getElementById('anno-color').value = c;
    document.getElementById('anno-width').value = String(w);
  }, [a.color, a.width]);
  const box = await surfaceBox(page, transport);
  await page.mouse.move(box.left + a.from[0] * box.w, box.top + a.from[1] * box.h);
  await page.mouse.down();
  await page.mouse.move(box.left + a.to[0] * box.w, box.top + a.to[1] * box.h, { steps: 5 });
  await page.mouse.up();
  const [px, py] = a.probe;
  await waitForHostPixel(px, py, a.rgb, true);
  grabHost(path.join(a.grabs, 'drawn.xwd'));
  await page.click('#anno-clear');
  await waitForHostPixel(px, py, a.rgb, false);
  grabHost(path.join(a.grabs, 'cleared.xwd'));
  return { done: true };
}

async function main() {
  const out = {};
  const wsUrl = await startServer();
  const engine = await startEngine(wsUrl);
  const browser = await chromium.launch({
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync', '--disable-features=WebRtcHideLocalIpsWithMdns'],
  });
  try {
    const page = await browser.newPage({ viewport: { width: 1000, height: 700 } });
    const t0 = Date.now();
    const transport = args.transport || 'rtp';
    await page.goto(`${wsUrl.replace(/^ws/, 'http')}/?session=${SESSION}&transport=${transport}`);
    await until(page, 'window.kvdViewer && window.kvdViewer.framesDecoded().then((n) => n >= 10)', 30000,
      '10 decoded frames');
    out.firstFramesMs = Date.now() - t0;
    // Let a keyframe-refreshed picture settle before sampling.
    await page.waitForTimeout(1000);
    out.sample = await page.evaluate((pts) => window.kvdViewer.samplePixels(pts), JSON.parse(args.points));
    if (args.click) {
      const [nx, ny] = JSON.parse(args.click);
      const box = await surfaceBox(page, transport);
      await page.mouse.click(box.left + nx * box.w, box.top + ny * box.h);
    }
    out.focused = await page.evaluate(() => document.activeElement && document.activeElement.id);
    if (args.type) await page.keyboard.type(args.type, { delay: 30 });
    if (args.control) {
      out.control = [];
      for (const step of JSON.parse(args.control)) out.control.push(await runControlStep(page, step));
    }
    if (args.annotate) out.annotate = await runAnnotate(page, transport, JSON.parse(args.annotate));
    if (args.phases) {
      out.phases = [];
      for (const phase of JSON.parse(args.phases)) {
        const r = await runPhase(page, transport, phase);
        out.phases.push(r);
        if (!r.ok) break;
      }
    }
    // The host pointer moved: the cursor thread reports it.
    await until(page, 'window.kvdViewer.state.cursor.positions > 0', 5000, 'a pointer position').catch(() => {});
    const state = await page.evaluate(() => window.kvdViewer.state);
    out.cursor = state.cursor;
    out.channels = state.channels;
    out.errors = state.errors;
    out.controlTypes = [...new Set((state.received.control || []).map((m) => m.type).filter(Boolean))];
    out.framesDecoded = await page.evaluate(() => window.kvdViewer.framesDecoded());
    await page.close({ runBeforeUnload: true });
  } finally {
    await browser.close();
  }
  // A clean stop: SIGTERM ends the session with exit code 0.
  engine.proc.kill('SIGTERM');
  out.engineExit = await Promise.race([engine.exited, new Promise((r) => setTimeout(() => r({ code: 'timeout' }), 10000))]);
  out.ok = true;
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
