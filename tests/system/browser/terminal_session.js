#!/usr/bin/env node
// Remote terminals end to end. The engine reaches the development signaling
// server through a stand-in of the local service's relay (so the test can
// push "REMOTE_SESSION_CONFIG"), and the reference viewer in headless
// Chromium drives shells on the host.
//
//   node terminal_session.js --engine PATH --log-dir DIR [--display :N]
//        [--mode test|bench] [--bulk-bytes N]
//
// Session one is --terminal-only without any X display: the panel's terminal
// runs a command; raw control messages check sizes, "exit", the environment,
// input to a shell that does not read, bulk output with the engine's memory
// and a control reply meanwhile, and that no child or descriptor is left.
// Session two (a normal session on --display) checks the view-only switch.
// In bench mode only keystroke echo latency and bulk throughput are measured.
// Prints one JSON result line on stdout; progress goes to stderr.
'use strict';

const { spawn } = require('child_process');
const fs = require('fs');
const path = require('path');
const { chromium } = require('playwright-core');
const { waitForLine, waitForReady, startRelay } = require('./driver_util');

const ROOT = path.resolve(__dirname, '..', '..', '..');
const args = {};
for (let i = 2; i < process.argv.length; i += 2) args[process.argv[i].replace(/^--/, '')] = process.argv[i + 1];
const MODE = args.mode || 'test';
const BULK = Number(args['bulk-bytes'] || 50000000);
const children = [];

function log(...parts) {
  process.stderr.write(`[terminal-driver] ${parts.join(' ')}\n`);
}

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

async function startServer() {
  const proc = spawn('node', [path.join(ROOT, 'tools/viewer/server.js'), '--host', '127.0.0.1', '--port', '0'],
    { stdio: ['ignore', 'pipe', 'ignore'] });
  children.push(proc);
  const m = await waitForLine(proc.stdout, /^KVD_DEVSERVER_LISTENING url=(\S+)/, 'the signaling server', 10000);
  return m[1];
}

async function startEngine(relay, sessionId, { display, terminalOnly, logFile }) {
  const env = { ...process.env, KELVANDRUM_SESSION_TOKEN: 'term-token', KELVANDRUM_LOG_FILE: logFile,
    KELVANDRUM_LOG_LEVEL: args['log-level'] || 'info' };
  delete env.DISPLAY;
  // The shells start in a home of their own: the machine user's start-up
  // files are not part of the test.
  env.HOME = fs.mkdtempSync(path.join(args['log-dir'], 'home-'));
  if (display) env.DISPLAY = display;
  const extra = terminalOnly ? ['--terminal-only'] : [];
  const proc = spawn(args.engine, ['--session-id', sessionId, '--pipe', String(relay.port), ...extra],
    { env, stdio: ['ignore', 'pipe', 'inherit'] });
  children.push(proc);
  const exited = new Promise((resolve) => proc.on('exit', (code, signal) => resolve({ code, signal })));
  await waitForReady(proc, 30000);
  return { proc, exited };
}

// --- the engine process from outside ------------------------------------------------

function rssKiB(pid) {
  const m = /VmRSS:\s+(\d+)/.exec(fs.readFileSync(`/proc/${pid}/status`, 'utf8'));
  return m ? Number(m[1]) : 0;
}

function cpuTicks(pid) {
  const stat = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
  const f = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
  return Number(f[11]) + Number(f[12]); // utime + stime
}

// Child processes of pid with their states (a zombie shows as 'Z').
function childrenOf(pid) {
  const out = [];
  for (const name of fs.readdirSync('/proc')) {
    if (!/^\d+$/.test(name)) continue;
    try {
      const stat = fs.readFileSync(`/proc/${name}/stat`, 'utf8');
      const f = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
      if (Number(f[1]) === pid) out.push({ pid: Number(name), state: f[0] });
    } catch { /* gone */ }
  }
  return out;
}

function ptyDescriptors(pid) {
  let n = 0;
  for (const fd of fs.readdirSync(`/proc/${pid}/fd`)) {
    try {
      const t = fs.readlinkSync(`/proc/${pid}/fd/${fd}`);
      if (t === '/dev/ptmx' || t.startsWith('/dev/pts/')) n++;
    } catch { /* closed meanwhile */ }
  }
  return n;
}

// --- the page ------------------------------------------------------------------------

async function until(page, fn, arg, ms, what) {
  const end = Date.now() + ms;
  for (;;) {
    const v = await page.evaluate(fn, arg);
    if (v) return v;
    if (Date.now() > end) throw new Error(`timed out waiting for ${what}`);
    await sleep(50);
  }
}

// Raw control-message terminals next to the panel's: output per id as text
// (only the last 16 messages kept), byte and 'A' counts, stop messages, replies.
function installCollector() {
  const t = { chunks: {}, bytes: {}, letters: {}, stops: [], replies: {} };
  t.text = (id) => (t.chunks[id] || []).join('');
  window.kvdTerm = t;
  window.kvdViewer.on('control', (m) => {
    if (!m || typeof m !== 'object') return;
    if (m.type === 'terminal_output') {
      const s = atob(m.data);
      t.bytes[m.terminalId] = (t.bytes[m.terminalId] || 0) + s.length;
      let a = 0;
      for (let i = 0; i < s.length; i++) if (s.charCodeAt(i) === 65) a++;
      t.letters[m.terminalId] = (t.letters[m.terminalId] || 0) + a;
      const chunks = t.chunks[m.terminalId] || (t.chunks[m.terminalId] = []);
      chunks.push(s);
      if (chunks.length > 16) chunks.shift();
      if (t.watch && t.watch.id === m.terminalId && s.includes(t.watch.marker)) {
        t.watch.at = performance.now();
        t.watch = null;
      }
    } else if (m.type === 'terminal_stop') {
      t.stops.push(m);
    } else {
      t.replies[m.type] = (t.replies[m.type] || 0) + 1;
    }
  });
  t.send = (obj) => window.kvdViewer.send('control', JSON.stringify(obj));
  t.input = (id, text) => {
    const bytes = new TextEncoder().encode(text);
    for (let i = 0; i < bytes.length; i += 4096) {
      t.send({ type: 'terminal_input', terminalId: id, data: btoa(String.fromCharCode(...bytes.subarray(i, i + 4096))) });
    }
  };
  // Time from sending a message to the reply of the given type.
  t.roundTrip = async (msg, type, ms) => {
    const before = t.replies[type] || 0;
    const t0 = performance.now();
    t.send(msg);
    while ((t.replies[type] || 0) === before) {
      if (performance.now() - t0 > ms) return null;
      await new Promise((r) => setTimeout(r, 2));
    }
    return performance.now() - t0;
  };
  // Keystroke echo: one character typed, time until the shell echoed it.
  t.echo = async (id, ch) => {
    t.chunks[id] = [];
    const w = { id, marker: ch, at: 0 };
    t.watch = w;
    const t0 = performance.now();
    t.input(id, ch);
    while (t.watch === w) {
      if (performance.now() - t0 > 5000) return null;
      await new Promise((r) => setTimeout(r, 1));
    }
    return w.at - t0;
  };
}

async function openViewer(browser, wsUrl, sessionId) {
  const page = await browser.newPage({ viewport: { width: 1400, height: 800 } });
  page.on('pageerror', (e) => log('page error:', e.message));
  const url = `${wsUrl.replace(/^ws/, 'http')}/?session=${sessionId}`;
  const controlOpen = () => window.kvdViewer && window.kvdViewer.state.channels.control === 'open';
  await page.goto(url);
  // A negotiation that got stuck is retried once with a fresh page, as a technician would.
  try {
    await until(page, controlOpen, null, 20000, 'the control channel');
  } catch {
    log(`no control channel for ${sessionId} yet: reloading the viewer`);
    await page.goto(url);
    await until(page, controlOpen, null, 20000, 'the control channel');
  }
  await page.evaluate(installCollector);
  return page;
}

const outputHas = (page, id, text, ms) =>
  until(page, ([i, s]) => window.kvdTerm.text(i).includes(s), [id, text], ms, `"${text}" from ${id}`);

// A raw terminal whose shell answered; the prompt is made plain first.
async function rawShell(page, id, extra = {}) {
  await page.evaluate(([i, e]) => {
    window.kvdTerm.chunks[i] = [];
    window.kvdTerm.send({ type: 'terminal_start', terminalId: i, ...e });
  }, [id, extra]);
  await page.evaluate((i) => window.kvdTerm.input(i, "PS1='$ '; echo up$((40+2))\n"), id);
  await outputHas(page, id, 'up42', 15000);
}

async function run(page, id, command, marker) {
  await page.evaluate(([i, c]) => window.kvdTerm.input(i, c), [id, `${command}; echo ${marker}\n`]);
}

function markerOf(n) {
  // Printed by the shell from arithmetic, so the echoed command never matches.
  return { cmd: `Q$((${n}+0))`, text: `Q${n}\r\n` };
}

// Bulk output: bytes the viewer got, the engine's peak memory and the
// slowest control reply while it ran.
async function bulk(page, pid, id) {
  await rawShell(page, id);
  const m = markerOf(777);
  const rss0 = rssKiB(pid);
  const cpu0 = cpuTicks(pid);
  const t0 = Date.now();
  await page.evaluate((i) => { window.kvdTerm.letters[i] = 0; window.kvdTerm.bytes[i] = 0; }, id);
  await run(page, id, `head -c ${BULK} /dev/zero | base64`, m.cmd);
  let rssPeak = rss0;
  let pingMax = 0;
  let pings = 0;
  for (;;) {
    rssPeak = Math.max(rssPeak, rssKiB(pid));
    const rt = await page.evaluate(() => window.kvdTerm.roundTrip({ type: 'resolution_query' }, 'resolution_list', 10000));
    if (rt === null) throw new Error('a control message went unanswered during bulk output');
    pingMax = Math.max(pingMax, rt);
    pings++;
    if (await page.evaluate(([i, s]) => window.kvdTerm.text(i).includes(s), [id, m.text])) break;
    if (Date.now() - t0 > 120000) throw new Error('bulk output did not finish');
    await sleep(200);
  }
  const seconds = (Date.now() - t0) / 1000;
  const cpuSeconds = (cpuTicks(pid) - cpu0) / 100;
  const got = await page.evaluate((i) => ({ bytes: window.kvdTerm.bytes[i], letters: window.kvdTerm.letters[i],
    tail: window.kvdTerm.text(i).slice(-200) }), id);
  return { ...got, seconds, cpuSeconds, rss0KiB: rss0, rssPeakKiB: rssPeak, pingMaxMs: pingMax, pings,
    mbPerSecond: got.bytes / 1e6 / seconds };
}

async function sessionOne(browser, wsUrl, out) {
  const sid = 'term-only-1';
  const relay = await startRelay(wsUrl, sid);
  const engine = await startEngine(relay, sid, { terminalOnly: true, logFile: path.join(args['log-dir'], 'engine1.log') });
  const pid = engine.proc.pid;
  const page = await openViewer(browser, wsUrl, sid);
  try {
    if (MODE === 'bench') {
      await rawShell(page, 'echo');
      const samples = [];
      for (let i = 0; i < 200; i++) {
        const ch = String.fromCharCode(97 + (i % 26));
        const ms = await page.evaluate(([id, c]) => window.kvdTerm.echo(id, c), ['echo', ch]);
        if (ms !== null) samples.push(ms);
        await sleep(5);
      }
      samples.sort((a, b) => a - b);
      out.echo = { n: samples.length, medianMs: samples[Math.floor(samples.length / 2)],
        p95Ms: samples[Math.floor(samples.length * 0.95)] };
      const cpu0 = cpuTicks(pid);
      await sleep(2000);
      out.idleCpuPercent = (cpuTicks(pid) - cpu0) / 2;
      out.bulk = await bulk(page, pid, 'bulk');
      return engine;
    }

    // The panel: a tab, a command typed into it, its output on the screen.
    await page.click('#btn-terminal');
    await page.click('#term-new');
    const tab = await until(page, () => window.kvdTerminal.ids()[0], null, 10000, 'a terminal tab');
    await until(page, (i) => window.kvdTerminal.text(i).includes('$') || window.kvdTerminal.text(i).includes('#'),
      tab, 15000, 'a prompt in the panel');
    await page.click('.term-host:not([hidden])');
    await page.keyboard.type('echo panel-$((6*7))\n', { delay: 10 });
    await until(page, (i) => window.kvdTerminal.text(i).includes('panel-42'), tab, 15000, 'the command output in the panel');
    // A paste goes to the shell too (bracketed: it runs on Enter).
    await page.evaluate(() => {
      const dt = new DataTransfer();
      dt.setData('text/plain', 'echo pasted-$((3*3))');
      document.querySelector('.term-host:not([hidden]) textarea')
        .dispatchEvent(new ClipboardEvent('paste', { clipboardData: dt, bubbles: true, cancelable: true }));
    });
    await page.keyboard.press('Enter');
    await until(page, (i) => window.kvdTerminal.text(i).includes('pasted-9'), tab, 15000, 'the pasted command output');
    out.panelSize = await page.evaluate((i) => window.kvdTerminal.size(i), tab);
    await page.keyboard.type('exit\n', { delay: 10 });
    await until(page, (i) => window.kvdTerminal.ended(i), tab, 15000, 'the panel showing the shell ended');
    out.panelEndedText = await page.evaluate((i) => window.kvdTerminal.text(i).includes('[shell ended]'), tab);

    // Sizes, the environment and "exit" on a raw terminal without cols/rows.
    await rawShell(page, 'r1');
    let m = markerOf(1);
    await run(page, 'r1', 'stty size; env | grep -c ^KELVANDRUM_; pwd', m.cmd);
    await outputHas(page, 'r1', m.text, 10000);
    out.r1 = await page.evaluate(() => window.kvdTerm.text('r1'));
    await page.evaluate(() => window.kvdTerm.send({ type: 'terminal_resize', terminalId: 'r1', cols: 100, rows: 30 }));
    m = markerOf(2);
    await run(page, 'r1', 'stty size', m.cmd);
    await outputHas(page, 'r1', m.text, 10000);
    out.r1resized = await page.evaluate(() => window.kvdTerm.text('r1').slice(-200));
    await page.evaluate(() => window.kvdTerm.input('r1', 'exit\n'));
    await until(page, () => window.kvdTerm.stops.length > 0, null, 10000, 'child_exit');
    await sleep(500);

    // A replaced session's shell goes; a shell that does not read takes
    // 64 KiB without holding up the control channel.
    await rawShell(page, 'r2');
    const before = childrenOf(pid).map((c) => c.pid);
    await rawShell(page, 'r2');
    const after = childrenOf(pid).map((c) => c.pid);
    out.replacedGone = before.filter((p) => !after.includes(p)).length === 1 && after.length === before.length;
    await run(page, 'r2', 'sleep 300', 'never');
    await sleep(300);
    out.blockedInputPingMs = await page.evaluate(async () => {
      window.kvdTerm.input('r2', 'x'.repeat(65536));
      return window.kvdTerm.roundTrip({ type: 'resolution_query' }, 'resolution_list', 10000);
    });

    out.bulk = await bulk(page, pid, 'r3');

    for (const id of ['r1', 'r2', 'r3', tab]) {
      await page.evaluate((i) => window.kvdTerm.send({ type: 'terminal_stop', terminalId: i }), id);
    }
    await sleep(1500);
    out.childrenAfterStop = childrenOf(pid);
    out.ptyDescriptorsAfterStop = ptyDescriptors(pid);
    out.stops1 = await page.evaluate(() => window.kvdTerm.stops);
    out.errors1 = await page.evaluate(() => window.kvdViewer.state.errors);
    return engine;
  } finally {
    await page.close();
  }
}

// A normal session: the service switches it to view-only.
async function sessionTwo(browser, wsUrl, out) {
  const sid = 'term-view-2';
  const relay = await startRelay(wsUrl, sid);
  const engine = await startEngine(relay, sid, { display: args.display, logFile: path.join(args['log-dir'], 'engine2.log') });
  const pid = engine.proc.pid;
  const page = await openViewer(browser, wsUrl, sid);
  try {
    await rawShell(page, 'v1');
    out.childrenBeforeViewOnly = childrenOf(pid).length;
    relay.send('REMOTE_SESSION_CONFIG', { accessMode: 'VIEW_ONLY' });
    const t0 = Date.now();
    while (!relay.received.some((m) => m.type === 'REMOTE_SESSION_CONFIG_ACK') && Date.now() - t0 < 10000) await sleep(50);
    out.viewOnlyAck = relay.received.find((m) => m.type === 'REMOTE_SESSION_CONFIG_ACK');
    await sleep(500);
    out.childrenAfterViewOnly = childrenOf(pid);
    await page.evaluate(() => {
      window.kvdTerm.send({ type: 'terminal_start', terminalId: 'v2' });
      window.kvdTerm.input('v1', 'echo still-there\n');
    });
    await until(page, () => window.kvdTerm.stops.length > 0, null, 10000, 'the refusal');
    await sleep(300);
    out.stops2 = await page.evaluate(() => window.kvdTerm.stops);
    out.childrenAfterRefusal = childrenOf(pid).length;
    return engine;
  } finally {
    await page.close();
  }
}

async function stopEngine(engine) {
  engine.proc.kill('SIGTERM');
  return Promise.race([engine.exited, sleep(10000).then(() => ({ code: 'timeout' }))]);
}

async function main() {
  const out = {};
  const wsUrl = await startServer();
  const browser = await chromium.launch({
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync', '--disable-features=WebRtcHideLocalIpsWithMdns'],
  });
  try {
    const e1 = await sessionOne(browser, wsUrl, out);
    out.exit1 = await stopEngine(e1);
    if (MODE !== 'bench') {
      const e2 = await sessionTwo(browser, wsUrl, out);
      out.exit2 = await stopEngine(e2);
    }
  } finally {
    await browser.close();
  }
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
