#!/usr/bin/env node
// One session for chat and the receive path: the development signaling
// server, the engine, the tray stand-in on the engine's chat socket and the
// reference viewer in headless Chromium. The chat panel and the tray talk
// both ways with delivery receipts; then the viewer sends control messages
// of 65,536, 100,000 and 262,144 bytes, one over the advertised maximum, one
// nested 60,000 levels deep, and a last one that must still be answered.
//
//   node chat_session.js --engine PATH --display :N --log FILE --pipe-dir DIR --tray PATH
//
// Prints one JSON result line on stdout; progress goes to stderr.
'use strict';

const { spawn } = require('child_process');
const path = require('path');
const readline = require('readline');
const { chromium } = require('playwright-core');
const { waitForLine, waitForReady, poll } = require('./driver_util');

const ROOT = path.resolve(__dirname, '..', '..', '..');
const args = {};
for (let i = 2; i < process.argv.length; i += 2) args[process.argv[i].replace(/^--/, '')] = process.argv[i + 1];
const SESSION = 'chat-1';
const children = [];

function log(...parts) {
  process.stderr.write(`[driver] ${parts.join(' ')}\n`);
}

async function startServer() {
  const proc = spawn('node', [path.join(ROOT, 'tools/viewer/server.js'), '--host', '127.0.0.1', '--port', '0'],
    { stdio: ['ignore', 'pipe', 'inherit'] });
  children.push(proc);
  const m = await waitForLine(proc.stdout, /^KVD_DEVSERVER_LISTENING url=(\S+)/, 'the signaling server', 30000);
  return m[1];
}

async function startEngine(wsUrl) {
  const env = {
    ...process.env,
    DISPLAY: args.display,
    KELVANDRUM_SESSION_TOKEN: 'chat-token',
    KELVANDRUM_LOG_FILE: args.log,
    KELVANDRUM_LOG_LEVEL: 'info',
    KELVANDRUM_PIPE_DIR: args['pipe-dir'],
  };
  const proc = spawn(args.engine, ['--session-id', SESSION, '--signaling-url', wsUrl, '--operator-name', 'Ann Tech'],
    { env, stdio: ['ignore', 'pipe', 'inherit'] });
  children.push(proc);
  const exited = new Promise((resolve) => proc.on('exit', (code, signal) => resolve({ code, signal })));
  await waitForReady(proc, 90000);
  return { proc, exited };
}

// The tray stand-in, printing the records it receives as JSON lines.
function startTray() {
  const proc = spawn('/usr/bin/python3', [args.tray, '--session-id', SESSION, '--raw'], {
    env: { ...process.env, KELVANDRUM_PIPE_DIR: args['pipe-dir'] }, stdio: ['pipe', 'pipe', 'inherit'],
  });
  children.push(proc);
  const records = [];
  readline.createInterface({ input: proc.stdout }).on('line', (line) => {
    try { records.push(JSON.parse(line)); } catch { /* not a record */ }
  });
  return { proc, records };
}

function controlOfSize(type, bytes) {
  const head = `{"type":"${type}","pad":"`;
  return `${head}${'a'.repeat(bytes - head.length - 2)}"}`;
}

async function main() {
  const out = {};
  const wsUrl = await startServer();
  const engine = await startEngine(wsUrl);
  const tray = startTray();
  out.hello = await poll(() => tray.records.find((r) => r.type === 'hello'), 30000, 'the tray greeting');

  const browser = await chromium.launch({
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync', '--disable-features=WebRtcHideLocalIpsWithMdns'],
  });
  try {
    const page = await browser.newPage({ viewport: { width: 1000, height: 700 } });
    await page.goto(`${wsUrl.replace(/^ws/, 'http')}/?session=${SESSION}&transport=rtp`);
    await poll(() => page.evaluate(() => window.kvdViewer && window.kvdViewer.channelOpen('chat')
      && window.kvdViewer.channelOpen('control') && (window.kvdViewer.state.panels || []).includes('chat')),
    90000, 'the chat and control channels');

    // Viewer to host, with the host's receipt turning the tick into two.
    await page.click('#btn-chat');
    await page.fill('#chat-input', 'hello host "quoted"');
    const t0 = Date.now();
    await page.press('#chat-input', 'Enter');
    out.trayIn = await poll(() => tray.records.find((r) => r.type === 'in'), 30000, 'the message at the tray');
    out.delivered = await poll(() => page.evaluate(() => {
      const row = document.querySelector('#chat-log .chat-msg.mine');
      return row && row.dataset.delivered === 'true' ? row.querySelector('.chat-tick').textContent : null;
    }), 30000, 'the delivery tick');
    out.roundTripMs = Date.now() - t0;

    // Host to viewer.
    tray.proc.stdin.write('hello technician\n');
    out.theirs = await poll(() => page.evaluate(() => {
      const row = document.querySelector('#chat-log .chat-msg.theirs');
      return row && row.textContent;
    }), 30000, 'the host message in the panel');
    out.receiptsToHost = await poll(() => page.evaluate(() => (window.kvdViewer.state.received.chat || [])
      .filter((m) => m && m.type === 'message').length), 15000, 'the host message in the state');

    // Whole messages up to the advertised maximum, then the refusals.
    out.sent = [];
    for (const n of [65536, 100000, 262144]) {
      const text = controlOfSize('size_probe', n);
      await page.evaluate((t) => window.kvdViewer.send('control', t), text);
      out.sent.push(new TextEncoder().encode(text).length);
    }
    out.overLimit = await page.evaluate((t) => {
      try {
        window.kvdViewer.send('control', t);
        return { thrown: null };
      } catch (err) {
        return { thrown: String(err && err.message || err) };
      }
    }, controlOfSize('size_probe', 262145));
    const depth = 60000;
    await page.evaluate((d) => window.kvdViewer.send('control',
      `{"type":"deep","x":${'['.repeat(d)}${']'.repeat(d)}}`), depth);
    const before = await page.evaluate(() => (window.kvdViewer.state.received.control || []).length);
    await page.evaluate(() => window.kvdViewer.send('control', JSON.stringify({ type: 'monitor_list' })));
    out.aliveReply = await poll(() => page.evaluate((n) => (window.kvdViewer.state.received.control || [])
      .slice(n).find((m) => m && m.type === 'monitor_list'), before), 30000, 'a reply after the hostile messages')
      .then((m) => m.type);
    out.errors = await page.evaluate(() => window.kvdViewer.state.errors);
    await page.close({ runBeforeUnload: true });
  } finally {
    await browser.close();
  }
  tray.proc.stdin.end();
  engine.proc.kill('SIGTERM');
  out.engineExit = await Promise.race([engine.exited, new Promise((r) => setTimeout(() => r({ code: 'timeout' }), 30000))]);
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
