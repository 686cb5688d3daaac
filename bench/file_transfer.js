#!/usr/bin/env node
// File transfer throughput between the engine and the reference viewer in
// headless Chromium, side by side with the ceiling measured in the same run
// (two data channels in the page: 16 KiB messages, the same back-pressure
// rule), and the engine's peak RSS growth during large transfers.
//   node bench/file_transfer.js --engine PATH --display :N --log FILE --env JSON
//        --small FILE (throughput) --large FILE (memory) --data DIR
// Prints one JSON line. Run through bench/file_transfer.py (namespaces).
'use strict';

const { spawn } = require('child_process');
const fs = require('fs');
const path = require('path');
const readline = require('readline');

const ROOT = path.resolve(__dirname, '..');
const { chromium } = require(path.join(ROOT, 'tests/system/browser/node_modules/playwright-core'));
const args = {};
for (let i = 2; i < process.argv.length; i += 2) args[process.argv[i].replace(/^--/, '')] = process.argv[i + 1];
const children = [];
const log = (...p) => process.stderr.write(`[bench] ${p.join(' ')}\n`);

function waitForLine(stream, re, what, ms) {
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`timed out waiting for ${what}`)), ms);
    readline.createInterface({ input: stream }).on('line', (line) => {
      const m = re.exec(line);
      if (m) { clearTimeout(timer); resolve(m); }
    });
  });
}

function rssKiB(pid) {
  const m = /VmRSS:\s+(\d+)/.exec(fs.readFileSync(`/proc/${pid}/status`, 'utf8'));
  return m ? Number(m[1]) : 0;
}

// Runs fn while sampling the engine's RSS; returns fn's result and the growth.
async function withRss(pid, fn) {
  const base = rssKiB(pid);
  let peak = base;
  const timer = setInterval(() => { peak = Math.max(peak, rssKiB(pid)); }, 20);
  try {
    const result = await fn();
    return { result, baseMiB: base / 1024, peakMiB: peak / 1024, growthMiB: (peak - base) / 1024 };
  } finally {
    clearInterval(timer);
  }
}

async function until(fn, ms, what) {
  const end = Date.now() + ms;
  for (;;) {
    const v = await fn();
    if (v) return v;
    if (Date.now() > end) throw new Error(`timed out waiting for ${what}`);
    await new Promise((r) => setTimeout(r, 50));
  }
}

async function ceiling(page, bytes) {
  return page.evaluate(async (total) => {
    const a = new RTCPeerConnection();
    const b = new RTCPeerConnection();
    a.onicecandidate = (e) => e.candidate && b.addIceCandidate(e.candidate);
    b.onicecandidate = (e) => e.candidate && a.addIceCandidate(e.candidate);
    const ch = a.createDataChannel('ceiling', { ordered: true });
    ch.binaryType = 'arraybuffer';
    let got = 0;
    let resolveDone;
    const done = new Promise((r) => { resolveDone = r; });
    b.ondatachannel = (e) => {
      e.channel.binaryType = 'arraybuffer';
      e.channel.onmessage = (m) => { got += m.data.byteLength; if (got >= total) resolveDone(performance.now()); };
    };
    const offer = await a.createOffer();
    await a.setLocalDescription(offer);
    await b.setRemoteDescription(offer);
    const answer = await b.createAnswer();
    await b.setLocalDescription(answer);
    await a.setRemoteDescription(answer);
    await new Promise((r) => { ch.onopen = r; });
    ch.bufferedAmountLowThreshold = 131072;
    const msg = new Uint8Array(16384);
    let sent = 0;
    const t0 = performance.now();
    const pump = () => {
      while (sent < total) {
        if (ch.bufferedAmount > 262144) return;
        ch.send(msg);
        sent += msg.length;
      }
    };
    ch.onbufferedamountlow = pump;
    pump();
    const t1 = await done;
    a.close();
    b.close();
    return total / ((t1 - t0) / 1000);
  }, bytes);
}

async function uploadOnce(page, file) {
  await page.setInputFiles('#files-picker', file);
  const name = path.basename(file);
  const t = await until(() => page.evaluate((n) => {
    const x = window.kvdFiles.transfers.filter((y) => y.name === n && y.kind === 'up').pop();
    return x && (x.state === 'done' || x.state === 'failed') && { state: x.state, message: x.message, seconds: (x.finishedAt - x.t0) / 1000 };
  }, name), 600000, `upload of ${name}`);
  if (t.state !== 'done') throw new Error(`upload failed: ${t.message}`);
  return fs.statSync(file).size / t.seconds;
}

async function pullOnce(page, file) {
  const before = await page.evaluate(() => window.kvdFiles.downloaded.length);
  await page.evaluate((p) => window.kvdViewer.send('control', JSON.stringify({ type: 'request_file_pull', path: p })), file);
  const d = await until(() => page.evaluate((n) => window.kvdFiles.downloaded[n], before), 600000, `pull of ${file}`);
  if (!d.ok) throw new Error(`pull failed: ${JSON.stringify(d)}`);
  return { rate: d.size / d.transferSeconds, withHash: d.size / d.seconds };
}

async function main() {
  const server = spawn('node', [path.join(ROOT, 'tools/viewer/server.js'), '--host', '127.0.0.1', '--port', '0'],
    { stdio: ['ignore', 'pipe', 'inherit'] });
  children.push(server);
  const wsUrl = (await waitForLine(server.stdout, /^KVD_DEVSERVER_LISTENING url=(\S+)/, 'the server', 10000))[1];
  const env = { ...process.env, ...JSON.parse(args.env), DISPLAY: args.display, KELVANDRUM_SESSION_TOKEN: 't',
    KELVANDRUM_LOG_FILE: args.log, KELVANDRUM_LOG_LEVEL: 'info' };
  const engine = spawn(args.engine, ['--session-id', 'bench', '--signaling-url', wsUrl], { env, stdio: ['ignore', 'pipe', 'inherit'] });
  children.push(engine);
  await waitForLine(engine.stdout, /^KELVANDRUM_READY session_id=/, 'the ready line', 60000);
  const browser = await chromium.launch({
    executablePath: '/usr/bin/chromium', headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync', '--disable-features=WebRtcHideLocalIpsWithMdns'],
  });
  const out = {};
  try {
    const page = await browser.newPage();
    await page.goto(`${wsUrl.replace(/^ws/, 'http')}/?session=bench`);
    await until(() => page.evaluate(() => window.kvdViewer && window.kvdViewer.channelOpen('file') && !!window.kvdFiles), 30000, 'the file channel');
    const small = args.small;
    const MiB = 1 << 20;
    log('ceiling');
    out.ceilingMiBps = (await ceiling(page, fs.statSync(small).size)) / MiB;
    log('upload 256 MiB');
    out.uploadMiBps = (await uploadOnce(page, small)) / MiB;
    log('download 256 MiB');
    const pull = await pullOnce(page, small);
    out.downloadMiBps = pull.rate / MiB;
    out.downloadWithFinalHashMiBps = pull.withHash / MiB;
    out.ceilingAfterMiBps = (await ceiling(page, fs.statSync(small).size)) / MiB;
    out.uploadRatio = out.uploadMiBps / Math.max(out.ceilingMiBps, out.ceilingAfterMiBps);
    out.downloadRatio = out.downloadMiBps / Math.max(out.ceilingMiBps, out.ceilingAfterMiBps);
    log('1 GiB upload, RSS');
    out.largeUpload = await withRss(engine.pid, () => uploadOnce(page, args.large));
    out.largeUpload.result /= MiB;
    log('1 GiB pull, RSS');
    out.largePull = await withRss(engine.pid, () => pullOnce(page, args.large));
    out.largePull.result = out.largePull.result.rate / MiB;
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
    for (const c of children) { try { c.kill('SIGKILL'); } catch { /* gone */ } }
    setTimeout(() => process.exit(0), 200);
  });
