#!/usr/bin/env node
// File transfer and browsing through the reference viewer's Files panel in
// headless Chromium against a live engine, several checks in one session:
//   node file_transfer.js --engine PATH --display :N --log FILE --env JSON --plan JSON
// plan: { upload, pull, grow, full, vanish (paths of local files), pullMissing,
//         downloadTo (where the browser's download is saved), dataDir }
// Prints one JSON result line on stdout; progress goes to stderr.
'use strict';

const { execFileSync, spawn } = require('child_process');
const fs = require('fs');
const path = require('path');
const { chromium } = require('playwright-core');
const { waitForLine, waitForReady } = require('./driver_util');

const ROOT = path.resolve(__dirname, '..', '..', '..');
const args = {};
for (let i = 2; i < process.argv.length; i += 2) args[process.argv[i].replace(/^--/, '')] = process.argv[i + 1];
const plan = JSON.parse(args.plan);
const SESSION = 'files-1';

function engineUdpReceiveBuffers(pid) {
  const text = execFileSync('ss', ['-uampnH'], { encoding: 'utf8' });
  // One socket per line pair: the address line names the process, the next the memory.
  const sizes = [];
  const lines = text.split('\n');
  for (let i = 0; i < lines.length; i++) {
    if (!lines[i].includes(`pid=${pid},`)) continue;
    const m = /skmem:\(r\d+,rb(\d+)/.exec(lines[i] + (lines[i + 1] || ''));
    if (m) sizes.push(Number(m[1]));
  }
  return sizes;
}
const children = [];

function log(...parts) { process.stderr.write(`[driver] ${parts.join(' ')}\n`); }

async function until(fn, ms, what) {
  const end = Date.now() + ms;
  for (;;) {
    const v = await fn();
    if (v) return v;
    if (Date.now() > end) throw new Error(`timed out waiting for ${what}`);
    await new Promise((r) => setTimeout(r, 100));
  }
}

async function main() {
  const out = {};
  const server = spawn('node', [path.join(ROOT, 'tools/viewer/server.js'), '--host', '127.0.0.1', '--port', '0'],
    { stdio: ['ignore', 'pipe', 'inherit'] });
  children.push(server);
  const wsUrl = (await waitForLine(server.stdout, /^KVD_DEVSERVER_LISTENING url=(\S+)/, 'the server', 10000))[1];
  const env = { ...process.env, ...JSON.parse(args.env), DISPLAY: args.display, KELVANDRUM_SESSION_TOKEN: 't',
    KELVANDRUM_LOG_FILE: args.log, KELVANDRUM_LOG_LEVEL: 'info' };
  const engine = spawn(args.engine, ['--session-id', SESSION, '--signaling-url', wsUrl], { env, stdio: ['ignore', 'pipe', 'inherit'] });
  children.push(engine);
  const exited = new Promise((resolve) => engine.on('exit', (code, signal) => resolve({ code, signal })));
  engine.on('error', (e) => log('engine spawn error', e));
  // A loaded machine can take long to start the engine and its X connection.
  await waitForReady(engine, 45000);

  const browser = await chromium.launch({
    executablePath: '/usr/bin/chromium', headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync', '--disable-features=WebRtcHideLocalIpsWithMdns'],
  });
  try {
    const context = await browser.newContext({ acceptDownloads: true });
    const page = await context.newPage();
    await page.goto(`${wsUrl.replace(/^ws/, 'http')}/?session=${SESSION}`);
    await until(() => page.evaluate(() => window.kvdViewer && window.kvdViewer.channelOpen('file') && !!window.kvdFiles),
      30000, 'the file channel');
    await page.click('#btn-files');
    const transfer = (name) => page.evaluate((n) => {
      const t = window.kvdFiles.transfers.filter((x) => x.name === n).pop();
      return t && { state: t.state, message: t.message, done: t.done };
    }, name);
    const finished = (name, ms = 30000) => until(async () => {
      const t = await transfer(name);
      return t && (t.state === 'done' || t.state === 'failed') && t;
    }, ms, `the transfer of ${name}`);

    // Upload through the picker into Downloads.
    await page.setInputFiles('#files-picker', plan.upload);
    out.upload = await finished(path.basename(plan.upload));
    log('upload', JSON.stringify(out.upload));
    // The kernel's view of the engine's UDP sockets (receive buffer sizes).
    out.engineUdpRcvbuf = engineUdpReceiveBuffers(engine.pid);

    // Browse: shortcuts and drives, a listing, then download a file by its button.
    await page.click('#files-browse');
    await until(() => page.evaluate(() => document.querySelectorAll('#files-places button').length > 0), 10000, 'places');
    out.places = await page.evaluate(() => [...document.querySelectorAll('#files-places button')].map((b) => b.textContent));
    await page.evaluate((p) => window.kvdViewer.send('control', JSON.stringify({ type: 'request_dir_list', path: p })), plan.dataDir);
    const button = `#files-entries button[data-path="${plan.pull}"]`;
    await page.waitForSelector(button, { timeout: 10000 });
    out.listing = await page.evaluate(() => [...document.querySelectorAll('#files-entries tr')].map((r) => r.textContent));
    out.upEnabled = await page.evaluate(() => !document.getElementById('files-up').disabled);
    const [download] = await Promise.all([page.waitForEvent('download', { timeout: 30000 }), page.click(button)]);
    await download.saveAs(plan.downloadTo);
    out.download = await finished(path.basename(plan.pull));

    // A pull of a missing file is explained in words.
    await page.evaluate((p) => window.kvdViewer.send('control', JSON.stringify({ type: 'request_file_pull', path: p })), plan.pullMissing);
    out.pullMissing = await finished(plan.pullMissing, 10000);

    // The START decision alone, from raw messages: 2 GiB, one byte more, and
    // a fourth concurrent upload.
    out.starts = await page.evaluate(async () => {
      const replies = new Map();
      const off = window.kvdViewer.on('file', (b) => {
        if (b[0] === 2) replies.set(new DataView(b.buffer, b.byteOffset).getUint32(1, true), [b[5], b[6]]);
      });
      const start = (id, size) => {
        const b = new Uint8Array(48 + 5);
        const v = new DataView(b.buffer);
        b[0] = 1; v.setUint32(1, id, true); v.setUint16(6, 5, true);
        b.set(new TextEncoder().encode('s.bin'), 8);
        v.setBigUint64(13, BigInt(size), true);
        window.kvdViewer.send('file', b);
      };
      const cancel = (id) => {
        const b = new Uint8Array(6);
        b[0] = 7; new DataView(b.buffer).setUint32(1, id, true);
        window.kvdViewer.send('file', b);
      };
      const sizes = { 0x70000001: 2147483648, 0x70000002: 2147483649, 0x70000003: 10, 0x70000004: 10, 0x70000005: 10 };
      for (const [id, size] of Object.entries(sizes)) start(Number(id), size);
      for (let i = 0; i < 100 && replies.size < 5; i++) await new Promise((r) => setTimeout(r, 50));
      for (const id of [0x70000001, 0x70000003, 0x70000004]) cancel(id);
      off();
      return Object.fromEntries([...replies].map(([id, r]) => [id.toString(16), r]));
    });

    // A pull of a file that grows during the send: the viewer accepts and
    // holds its acknowledgements while the file grows.
    out.grow = await page.evaluate(async (p) => {
      window.kvdFiles.settings.manual = true;
      const seen = [];
      let id = 0;
      const off = window.kvdViewer.on('file', (b) => {
        seen.push(b[0]);
        if (b[0] === 1 && !id) {
          id = new DataView(b.buffer, b.byteOffset).getUint32(1, true);
          const r = new Uint8Array([2, 0, 0, 0, 0, 1, 0]);
          new DataView(r.buffer).setUint32(1, id, true);
          window.kvdViewer.send('file', r);
        }
      });
      window.kvdViewer.send('control', JSON.stringify({ type: 'request_file_pull', path: p }));
      for (let i = 0; i < 200 && !seen.includes(3); i++) await new Promise((r) => setTimeout(r, 50));
      return { id, chunksBeforeGrow: seen.filter((t) => t === 3).length };
    }, plan.grow);
    fs.appendFileSync(plan.grow, 'grown');
    out.grow.after = await page.evaluate(async (id) => {
      const seen = [];
      const off = window.kvdViewer.on('file', (b) => seen.push([b[0], b[5]]));
      const a = new Uint8Array(11);
      const v = new DataView(a.buffer);
      a[0] = 4; v.setUint32(1, id, true); v.setUint32(5, 0, true); v.setUint16(9, 10, true);
      window.kvdViewer.send('file', a);
      for (let i = 0; i < 100 && !seen.some((m) => m[0] === 7); i++) await new Promise((r) => setTimeout(r, 50));
      off();
      window.kvdFiles.settings.manual = false;
      return seen;
    }, out.grow.id);

    // Disk full: Documents is a tiny tmpfs on the host.
    await page.selectOption('#files-dest', 'Documents');
    await page.setInputFiles('#files-picker', plan.full);
    out.full = await finished(path.basename(plan.full));
    out.fullShown = await page.evaluate(() => document.getElementById('files-transfers').textContent);

    // The viewer vanishes in the middle of an upload over an existing file.
    await page.selectOption('#files-dest', '');
    await page.setInputFiles('#files-picker', plan.vanish);
    await until(async () => {
      const t = await transfer(path.basename(plan.vanish));
      return t && t.done > (2 << 20);
    }, 30000, 'upload progress');
    out.vanishProgress = (await transfer(path.basename(plan.vanish))).done;
    out.errors = await page.evaluate(() => window.kvdViewer.state.errors);
    await page.close();
    await until(() => fs.readFileSync(args.log, 'utf8').includes('[file] channel closed: dropped'), 30000,
      'the engine to drop the transfer');
  } finally {
    await browser.close();
  }
  engine.kill('SIGTERM');
  out.engineExit = await Promise.race([exited, new Promise((r) => setTimeout(() => r({ code: 'timeout' }), 10000))]);
  out.ok = true;
  return out;
}

main()
  .then((out) => process.stdout.write(`${JSON.stringify(out)}\n`))
  .catch((err) => process.stdout.write(`${JSON.stringify({ ok: false, error: String(err && err.stack || err) })}\n`))
  .finally(() => {
    for (const c of children) { try { c.kill('SIGKILL'); } catch { /* gone */ } }
    setTimeout(() => process.exit(0), 200);
  });
