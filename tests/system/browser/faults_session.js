#!/usr/bin/env node
// Breaks one live session from outside and reports what the engine did.
//
//   node faults_session.js --engine PATH --display :N --log FILE --port PORT
//        --scenario signaling-then-viewer | x-server [--xvfb-pid PID] | relay-dies | vanish
//        [--viewer-exit close|kill] [--exit-wait-ms MS] [--terminal-only 1]
//        [--idle-ms MS] [--silence-ms MS]
//
// signaling-then-viewer: the development signaling server is killed and
//   started again on the same port while a viewer watches; the viewer must
//   keep getting frames, leave, and a second viewer must get video through
//   the new server. That viewer stays idle for --idle-ms, then leaves (its
//   page closes, or Chromium is killed with SIGKILL) and the engine is
//   watched until it exits.
// x-server: the X server (PID given) is killed with SIGKILL while a viewer
//   watches; the engine is watched until it exits.
// relay-dies: a relay session (the engine on --pipe); the local service's
//   link and listener go while a viewer watches; the engine is watched until
//   it exits.
// vanish: a viewer connects and stays idle (no input) for --idle-ms, then
//   Chromium is killed with SIGKILL; the engine is watched until it exits.
//   With --terminal-only 1 the engine streams no video: only the data
//   channels carry anything, and the count of keepalives the viewer got
//   shows that the engine asked for signs of life while it idled.
//
// --silence-ms shortens the engine's viewer-silence limit.
//
// Prints one JSON result line on stdout; progress goes to stderr.
'use strict';

const { spawn } = require('child_process');
const fs = require('fs');
const path = require('path');
const readline = require('readline');
const { chromium } = require('playwright-core');
const { poll, waitForLine, waitForReady, startRelay } = require('./driver_util');

const ROOT = path.resolve(__dirname, '..', '..', '..');
const args = {};
for (let i = 2; i < process.argv.length; i += 2) args[process.argv[i].replace(/^--/, '')] = process.argv[i + 1];
const SESSION = 'faults-1';
const children = [];
const t0 = Date.now();
const since = () => Date.now() - t0;

function log(...parts) {
  process.stderr.write(`[faults] ${since()} ms ${parts.join(' ')}\n`);
}

async function startServer() {
  const proc = spawn('node', [path.join(ROOT, 'tools/viewer/server.js'), '--host', '127.0.0.1', '--port', args.port],
    { stdio: ['ignore', 'pipe', 'inherit'] });
  children.push(proc);
  const m = await waitForLine(proc.stdout, /^KVD_DEVSERVER_LISTENING url=(\S+)/, 'the signaling server', 15000);
  return { proc, url: m[1] };
}

function startEngine(wsUrl, where = ['--signaling-url', wsUrl]) {
  const env = {
    ...process.env,
    DISPLAY: args.display,
    KELVANDRUM_SESSION_TOKEN: 'faults-token',
    KELVANDRUM_LOG_FILE: args.log,
    KELVANDRUM_LOG_LEVEL: 'info',
    KELVANDRUM_TEST_EXIT_WINDOW_MS: '2000',
  };
  if (args['silence-ms']) env.KELVANDRUM_TEST_VIEWER_SILENCE_MS = args['silence-ms'];
  const extra = args['terminal-only'] === '1' ? ['--terminal-only'] : [];
  const proc = spawn(args.engine, ['--session-id', SESSION, ...where, ...extra],
    { env, stdio: ['ignore', 'pipe', 'pipe'] });
  children.push(proc);
  const stderr = [];
  readline.createInterface({ input: proc.stderr }).on('line', (l) => stderr.push(l));
  const exited = new Promise((resolve) => proc.on('exit', (code, signal) => resolve({ code, signal, ms: since() })));
  const stdout = [];
  const ready = waitForReady(proc, 30000);
  readline.createInterface({ input: proc.stdout }).on('line', (l) => stdout.push(l));
  return { proc, exited, ready, stdout, stderr };
}

function engineLog() {
  try {
    return fs.readFileSync(args.log, 'utf8');
  } catch {
    return '';
  }
}

async function untilLog(text, ms) {
  const end = Date.now() + ms;
  while (!engineLog().includes(text)) {
    if (Date.now() > end) throw new Error(`timed out waiting for the log line "${text}"`);
    await new Promise((r) => setTimeout(r, 100));
  }
  return since();
}

async function untilFrames(page, n, ms, what) {
  const end = Date.now() + ms;
  for (;;) {
    const got = await page.evaluate(() => window.kvdViewer && window.kvdViewer.framesDecoded()).catch(() => 0);
    if (got >= n) return got;
    if (Date.now() > end) throw new Error(`timed out waiting for ${what} (${got} frames)`);
    await new Promise((r) => setTimeout(r, 100));
  }
}

const CHROMIUM = {
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync', '--disable-features=WebRtcHideLocalIpsWithMdns'],
};

async function launch() {
  return chromium.launch(CHROMIUM);
}

async function openViewer(browser, url) {
  const page = await browser.newPage({ viewport: { width: 800, height: 500 } });
  await page.goto(`${url.replace(/^ws/, 'http')}/?session=${SESSION}&transport=rtp`);
  await untilFrames(page, 10, 40000, '10 decoded frames');
  return page;
}

async function watchExit(engine, ms) {
  return Promise.race([engine.exited, new Promise((r) => setTimeout(() => r({ code: 'timeout', ms: since() }), ms))]);
}

// A signaling server, a ready engine, and Chromium through a browser
// server: its process is the one to kill.
async function startSession() {
  const server = await startServer();
  const engine = startEngine(server.url);
  await engine.ready;
  const browserServer = await chromium.launchServer(CHROMIUM);
  children.push(browserServer.process());
  const browser = await chromium.connect(browserServer.wsEndpoint());
  return { server, engine, browserServer, browser };
}

async function signalingThenViewer(out) {
  const session = await startSession();
  let { server } = session;
  const { engine, browserServer, browser } = session;
  const page = await openViewer(browser, server.url);
  out.firstVideoMs = since();

  server.proc.kill('SIGKILL');
  out.serverKilledMs = since();
  const before = await page.evaluate(() => window.kvdViewer.framesDecoded());
  await untilLog('Signaling dropped mid-session', 20000);
  server = await startServer();
  out.reconnectedMs = await untilLog('Signaling reconnected mid-session', 30000);
  // The picture never stopped: the first viewer keeps decoding.
  out.framesAcrossRestart = (await untilFrames(page, before + 20, 20000, 'frames after the restart')) - before;

  // The viewer leaves properly; a new one reaches the engine through the
  // restarted server (one viewer at a time is served).
  await page.close({ runBeforeUnload: true });
  const second = await browser.newPage({ viewport: { width: 800, height: 500 } });
  await second.goto(`${server.url.replace(/^ws/, 'http')}/?session=${SESSION}&transport=rtp`);
  await untilFrames(second, 10, 40000, 'the second viewer\'s frames');
  out.secondViewerMs = since();
  await idle(out);
  out.framesAfterIdle = await second.evaluate(() => window.kvdViewer.framesDecoded());

  // The viewer leaves: with "--viewer-exit kill" Chromium vanishes without a
  // goodbye (SIGKILL), else the page closes.
  if (args['viewer-exit'] === 'kill') browserServer.process().kill('SIGKILL');
  else await second.close({ runBeforeUnload: true });
  out.viewerLeftMs = since();
  out.exit = await watchExit(engine, Number(args["exit-wait-ms"] || 90000));
  return engine;
}

async function xServer(out) {
  const server = await startServer();
  const engine = startEngine(server.url);
  await engine.ready;
  const browser = await launch();
  try {
    await openViewer(browser, server.url);
    out.firstVideoMs = since();
    process.kill(Number(args['xvfb-pid']), 'SIGKILL');
    out.xKilledMs = since();
    out.exit = await watchExit(engine, 60000);
  } finally {
    await browser.close().catch(() => {});
  }
  return engine;
}

// The local service dies (its link and its listener go) while a viewer
// watches a relay session: the engine is watched until it exits.
async function relayDies(out) {
  const server = await startServer();
  const relay = await startRelay(server.url, SESSION);
  const engine = startEngine(server.url, ['--pipe', String(relay.port)]);
  await engine.ready;
  const browser = await launch();
  try {
    await openViewer(browser, server.url);
    out.firstVideoMs = since();
    relay.die();
    out.relayDiedMs = since();
    out.exit = await watchExit(engine, 90000);
  } finally {
    await browser.close().catch(() => {});
  }
  return engine;
}

// Nothing typed, nothing clicked, a screen that does not change.
async function idle(out) {
  out.idleStartMs = since();
  await new Promise((r) => setTimeout(r, Number(args['idle-ms'] || 0)));
  out.idleEndMs = since();
}

async function vanish(out) {
  const { server, engine, browserServer, browser } = await startSession();
  const page = await browser.newPage({ viewport: { width: 800, height: 500 } });
  await page.goto(`${server.url.replace(/^ws/, 'http')}/?session=${SESSION}&transport=rtp`);
  const open = () => page.evaluate(() => !!window.kvdViewer && window.kvdViewer.channelOpen('control'));
  await poll(open, 40000, 'the control channel');
  out.connectedMs = await untilLog('WebRTC P2P connected!', 10000);
  await idle(out);
  out.stillOpen = await open();
  out.keepalives = await page.evaluate(() => window.kvdViewer.state.keepalives);
  browserServer.process().kill('SIGKILL');
  out.viewerLeftMs = since();
  out.exit = await watchExit(engine, Number(args['exit-wait-ms'] || 90000));
  return engine;
}

const SCENARIOS = {
  'signaling-then-viewer': signalingThenViewer, 'x-server': xServer, 'relay-dies': relayDies, vanish,
};

async function main() {
  const out = {};
  const scenario = SCENARIOS[args.scenario];
  if (!scenario) throw new Error(`unknown scenario ${args.scenario}`);
  const engine = await scenario(out);
  out.stdout = engine.stdout;
  out.stderr = engine.stderr.slice(-20);
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
