#!/usr/bin/env node
// One session on the privacy panel of the reference viewer: the development
// signaling server, the engine on an X display and the viewer in headless
// Chromium. The steps pause at checkpoints so that the test can look at the
// host (devices, pixels, the guardian) in between:
//   prints {"checkpoint": NAME, ...} and waits for one line on stdin.
//
//   node privacy_session.js --engine PATH --display :N --log FILE [--view-only 1]
//
// With --view-only the engine serves a view-only session: both switches must
// come back refused or without the block, and the engine ends with SIGTERM.
//
// Prints one JSON result line on stdout at the end; progress goes to stderr.
'use strict';

const { spawn } = require('child_process');
const path = require('path');
const readline = require('readline');
const { chromium } = require('playwright-core');
const { waitForLine, waitForReady } = require('./driver_util');

const ROOT = path.resolve(__dirname, '..', '..', '..');
const args = {};
for (let i = 2; i < process.argv.length; i += 2) args[process.argv[i].replace(/^--/, '')] = process.argv[i + 1];
const SESSION = 'privacy-1';
const children = [];
const stdinLines = readline.createInterface({ input: process.stdin })[Symbol.asyncIterator]();

async function checkpoint(name, extra = {}) {
  process.stdout.write(`${JSON.stringify({ checkpoint: name, ...extra })}\n`);
  const next = await stdinLines.next();
  if (next.done || next.value.trim() !== 'go') throw new Error(`test stopped at ${name}`);
}

async function until(page, fn, arg, ms, what) {
  const end = Date.now() + ms;
  for (;;) {
    if (await page.evaluate(fn, arg)) return;
    if (Date.now() > end) throw new Error(`timed out waiting for ${what}`);
    await new Promise((r) => setTimeout(r, 100));
  }
}

const statusIs = (page, id, re) => until(page, ([i, src]) => new RegExp(src).test(
  document.getElementById(i).textContent), [id, re], 15000, `${id} to say ${re}`);

async function main() {
  const out = { statuses: {} };
  const server = spawn('node', [path.join(ROOT, 'tools/viewer/server.js'), '--host', '127.0.0.1', '--port', '0'],
    { stdio: ['ignore', 'pipe', 'inherit'] });
  children.push(server);
  const wsUrl = (await waitForLine(server.stdout, /^KVD_DEVSERVER_LISTENING url=(\S+)/, 'the server', 10000))[1];
  const engineArgs = args['view-only']
    ? ['--config-json', JSON.stringify({ sessionId: SESSION, sessionToken: 't', signalingUrl: wsUrl,
      accessMode: 'VIEW_ONLY' })]
    : ['--session-id', SESSION, '--signaling-url', wsUrl];
  const engine = spawn(args.engine, engineArgs, {
    env: { ...process.env, DISPLAY: args.display, KELVANDRUM_SESSION_TOKEN: 't', KELVANDRUM_LOG_FILE: args.log,
      KELVANDRUM_LOG_LEVEL: 'info', KELVANDRUM_HIDE_CONNECTION_INDICATOR: '1' },
    stdio: ['ignore', 'pipe', 'inherit'],
  });
  children.push(engine);
  const exited = new Promise((resolve) => engine.on('exit', (code, signal) => resolve({ code, signal })));
  await waitForReady(engine, 20000);
  const browser = await chromium.launch({
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync', '--disable-features=WebRtcHideLocalIpsWithMdns'],
  });
  try {
    const page = await browser.newPage({ viewport: { width: 1100, height: 700 } });
    await page.goto(`${wsUrl.replace(/^ws/, 'http')}/?session=${SESSION}`);
    await until(page, () => window.kvdViewer && window.kvdViewer.framesDecoded().then((n) => n >= 10), null,
      30000, '10 decoded frames');
    await page.click('#btn-privacy');
    if (args['view-only']) {
      await viewOnlySteps(page, out);
      return out;
    }

    await page.click('#input-block-switch');
    await statusIs(page, 'input-block-status', '^Local input is blocked');
    out.statuses.blocked = await page.textContent('#input-block-status');
    await checkpoint('input_blocked');
    // The technician's click still reaches the host while its own input is blocked.
    const box = await page.evaluate(() => {
      const r = document.getElementById('video').getBoundingClientRect();
      return { x: r.left + r.width / 2, y: r.top + r.height / 2 };
    });
    await page.mouse.click(box.x, box.y);
    await checkpoint('technician_clicked');

    await page.click('#input-block-switch');
    await statusIs(page, 'input-block-status', '^Local input is free');
    await checkpoint('input_released');

    await page.check('#privacy-block-input');
    await page.fill('#privacy-text', 'Privacy please');
    await page.click('#privacy-switch');
    await statusIs(page, 'privacy-status', '^Privacy screen is on');
    out.statuses.privacy = await page.textContent('#privacy-status');
    // On a server without DPMS the viewer shows the notice too, and keeps
    // decoding (an unchanged screen still sends a frame a second).
    await until(page, () => window.kvdViewer.samplePixels([[0.5, 0.1]]).pixels[0].every((v) => v < 40), null,
      15000, 'the notice in the picture');
    const before = await page.evaluate(() => window.kvdViewer.framesDecoded());
    await page.waitForTimeout(2500);
    out.framesWhilePrivate = (await page.evaluate(() => window.kvdViewer.framesDecoded())) - before;
    await checkpoint('privacy_on', { engine: engine.pid });
    out.errors = await page.evaluate(() => window.kvdViewer.state.errors);
  } finally {
    await browser.close();
    if (args['view-only']) {
      engine.kill('SIGTERM');
      out.engineExit = await Promise.race([exited, new Promise((r) => setTimeout(() => r('timeout'), 10000))]);
    }
  }
  out.ok = true;
  return out;
}

async function viewOnlySteps(page, out) {
  await page.click('#input-block-switch');
  await statusIs(page, 'input-block-status', '^The host refused');
  out.statuses.blockRefused = await page.textContent('#input-block-status');
  out.blockSwitchChecked = await page.isChecked('#input-block-switch');
  await page.check('#privacy-block-input');
  await page.click('#privacy-switch');
  await statusIs(page, 'privacy-status', '^Privacy screen is on');
  await checkpoint('view_only_privacy_on');
  await page.click('#privacy-switch');
  await statusIs(page, 'privacy-status', '^Privacy screen is off');
  out.errors = await page.evaluate(() => window.kvdViewer.state.errors);
  out.ok = true;
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
