#!/usr/bin/env node
// Floods the engine from headless Chromium: JSON control messages and binary
// input moves as fast as the channels take them, and samples the engine's
// resident memory meanwhile. Started by datachannel_flood.py (inside a private
// network namespace); prints one JSON result line.
//
//   node datachannel_flood.js --engine PATH --display :N --log FILE --seconds S --size BYTES
'use strict';

const { spawn } = require('child_process');
const fs = require('fs');
const path = require('path');
const readline = require('readline');

const ROOT = path.resolve(__dirname, '..');
const { chromium } = require(path.join(ROOT, 'tests/system/browser/node_modules/playwright-core'));
const args = {};
for (let i = 2; i < process.argv.length; i += 2) args[process.argv[i].replace(/^--/, '')] = process.argv[i + 1];
const SESSION = 'flood-1';
const children = [];

function waitForLine(stream, re, what, ms) {
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`timed out waiting for ${what}`)), ms);
    readline.createInterface({ input: stream }).on('line', (line) => {
      const m = re.exec(line);
      if (m) {
        clearTimeout(timer);
        resolve(m);
      }
    });
  });
}

function rssKb(pid) {
  const status = fs.readFileSync(`/proc/${pid}/status`, 'utf8');
  const get = (k) => Number((new RegExp(`^${k}:\\s+(\\d+)`, 'm').exec(status) || [])[1] || 0);
  return { rss: get('VmRSS'), hwm: get('VmHWM') };
}

async function main() {
  const server = spawn('node', [path.join(ROOT, 'tools/viewer/server.js'), '--host', '127.0.0.1', '--port', '0'],
    { stdio: ['ignore', 'pipe', 'inherit'] });
  children.push(server);
  const wsUrl = (await waitForLine(server.stdout, /^KVD_DEVSERVER_LISTENING url=(\S+)/, 'the server', 30000))[1];
  const engine = spawn(args.engine, ['--session-id', SESSION, '--signaling-url', wsUrl], {
    env: { ...process.env, DISPLAY: args.display, KELVANDRUM_SESSION_TOKEN: 'flood', KELVANDRUM_LOG_FILE: args.log,
      KELVANDRUM_LOG_LEVEL: process.env.KELVANDRUM_LOG_LEVEL || 'info' },
    stdio: ['ignore', 'pipe', 'inherit'],
  });
  children.push(engine);
  await waitForLine(engine.stdout, /^KELVANDRUM_READY session_id=/, 'the ready line', 90000);
  const browser = await chromium.launch({
    executablePath: '/usr/bin/chromium', headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync', '--disable-features=WebRtcHideLocalIpsWithMdns'],
  });
  const out = {};
  try {
    const page = await browser.newPage();
    await page.goto(`${wsUrl.replace(/^ws/, 'http')}/?session=${SESSION}&transport=rtp`);
    for (const end = Date.now() + 90000; ;) {
      if (await page.evaluate(() => window.kvdViewer && window.kvdViewer.channelOpen('control')
        && window.kvdViewer.channelOpen('input'))) break;
      if (Date.now() > end) throw new Error('channels did not open');
      await new Promise((r) => setTimeout(r, 100));
    }
    await new Promise((r) => setTimeout(r, 1000));
    out.baseline = rssKb(engine.pid);
    const samples = [];
    const timer = setInterval(() => { try { samples.push(rssKb(engine.pid).rss); } catch { /* gone */ } }, 200);
    out.sent = await page.evaluate(async ({ secs, size }) => {
      const v = window.kvdViewer;
      const control = v.channel('control');
      const input = v.channel('input');
      const head = '{"type":"flood","pad":"';
      const msg = `${head}${'p'.repeat(Math.max(0, size - head.length - 2))}"}`;
      const move = new Uint8Array([1, 0x10, 0x20, 0x30, 0x40, 0, 0]);
      let c = 0;
      let i = 0;
      const end = Date.now() + secs * 1000;
      while (Date.now() < end) {
        // Keep the browser's own buffers from refusing sends.
        if (control.bufferedAmount > 8 << 20 || input.bufferedAmount > 1 << 20) {
          await new Promise((r) => setTimeout(r, 1));
          continue;
        }
        for (let k = 0; k < 16; ++k) { control.send(msg); c++; }
        for (let k = 0; k < 64; ++k) { move[1] = (i++) & 0xff; input.send(move); }
      }
      return { control: c, input: i, controlBytes: c * msg.length };
    }, { secs: Number(args.seconds || 20), size: Number(args.size || 16384) });
    clearInterval(timer);
    await new Promise((r) => setTimeout(r, 3000));
    out.after = rssKb(engine.pid);
    out.peakRssKb = Math.max(...samples, out.after.rss);
    await page.close();
  } finally {
    await browser.close();
  }
  engine.kill('SIGTERM');
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
