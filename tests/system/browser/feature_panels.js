#!/usr/bin/env node
// One session of the engine with the reference viewer in headless Chromium,
// steered line by line from stdin so that a test can check the host between
// steps (xclip, an input recorder, files). With --relay the engine signals
// through a relay stand-in of the local service that this driver runs: it
// bridges "SIGNALING_*" to the development server and records every other
// line the engine writes, and can answer with lines of its own.
//
//   node feature_panels.js --engine PATH --display :N --log FILE [--relay 1]
//        [--engine-args JSON] [--env JSON]
//
// Prints {"ev":"ready"} once the control channel is open, then one JSON
// answer line per command line:
//   {"op":"click","sel":S}  {"op":"fill","sel":S,"text":T}  {"op":"eval","expr":E}
//   {"op":"waitText","sel":S,"contains":T,"ms":N} (the element's text or value)
//   {"op":"waitControl","type":T,"ms":N} (the next control message of that type)
//   {"op":"relayLines"}  {"op":"relaySend","type":T,"payload":P}  {"op":"quit"}
'use strict';

const { spawn } = require('child_process');
const path = require('path');
const readline = require('readline');
const { chromium } = require('playwright-core');
const { waitForLine, waitForReady, poll, startRelay } = require('./driver_util');

const ROOT = path.resolve(__dirname, '..', '..', '..');
const args = {};
for (let i = 2; i < process.argv.length; i += 2) args[process.argv[i].replace(/^--/, '')] = process.argv[i + 1];
const SESSION = 'panels-1';
const children = [];

function log(...parts) {
  process.stderr.write(`[driver] ${parts.join(' ')}\n`);
}
function out(obj) {
  process.stdout.write(`${JSON.stringify(obj)}\n`);
}

async function startServer() {
  const proc = spawn('node', [path.join(ROOT, 'tools/viewer/server.js'), '--host', '127.0.0.1', '--port', '0'],
    { stdio: ['ignore', 'pipe', 'inherit'] });
  children.push(proc);
  const m = await waitForLine(proc.stdout, /^KVD_DEVSERVER_LISTENING url=(\S+)/, 'the signaling server', 10000);
  return m[1];
}

async function startEngine(wsUrl, relay) {
  const env = {
    ...process.env,
    DISPLAY: args.display,
    KELVANDRUM_SESSION_TOKEN: 'panels-token',
    KELVANDRUM_LOG_FILE: args.log,
    KELVANDRUM_LOG_LEVEL: 'info',
    ...(args.env ? JSON.parse(args.env) : {}),
  };
  const extra = args['engine-args'] ? JSON.parse(args['engine-args']) : [];
  const where = relay ? ['--pipe', String(relay.port)] : ['--signaling-url', wsUrl];
  const proc = spawn(args.engine, ['--session-id', SESSION, ...where, ...extra],
    { env, stdio: ['ignore', 'pipe', 'inherit'] });
  children.push(proc);
  const exited = new Promise((resolve) => proc.on('exit', (code, signal) => resolve({ code, signal })));
  await waitForReady(proc, 20000);
  return { proc, exited };
}

async function run(page, relay, cmd, seen) {
  switch (cmd.op) {
    case 'click':
      await page.click(cmd.sel);
      return null;
    case 'fill':
      await page.fill(cmd.sel, cmd.text);
      return null;
    case 'eval':
      return page.evaluate(cmd.expr);
    case 'waitText':
      return poll(() => page.evaluate(([sel, want]) => {
        const e = document.querySelector(sel);
        const t = e ? (e.value !== undefined && e.tagName !== 'DIV' ? e.value : e.textContent) : '';
        return t.includes(want) ? t : null;
      }, [cmd.sel, cmd.contains]), cmd.ms || 15000, `${cmd.sel} to show "${cmd.contains}"`);
    case 'waitControl':
      return poll(async () => {
        const hit = await page.evaluate(([n, type]) => {
          for (let i = n; i < window.kvdControlLog.length; i += 1) {
            if (window.kvdControlLog[i].type === type) return [i, window.kvdControlLog[i]];
          }
          return null;
        }, [seen[cmd.type] || 0, cmd.type]);
        if (!hit) return null;
        seen[cmd.type] = hit[0] + 1;
        return hit[1];
      }, cmd.ms || 15000, `a ${cmd.type} control message`);
    case 'relayLines':
      return relay ? relay.received.splice(0) : [];
    case 'relaySend':
      relay.send(cmd.type, cmd.payload);
      return null;
    default:
      throw new Error(`unknown op ${cmd.op}`);
  }
}

async function main() {
  const wsUrl = await startServer();
  const relay = args.relay ? await startRelay(wsUrl, SESSION) : null;
  const engine = await startEngine(wsUrl, relay);
  const browser = await chromium.launch({
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync', '--disable-features=WebRtcHideLocalIpsWithMdns'],
  });
  try {
    const context = await browser.newContext({ viewport: { width: 1200, height: 800 } });
    const origin = wsUrl.replace(/^ws/, 'http');
    await context.grantPermissions(['clipboard-read', 'clipboard-write'], { origin });
    const page = await context.newPage();
    await page.goto(`${origin}/?session=${SESSION}`);
    await poll(() => page.evaluate(() => window.kvdViewer && window.kvdViewer.channelOpen('control')
      && (window.kvdViewer.state.panels || []).length > 0), 30000, 'the control channel');
    // Every typed JSON control message from the engine, kept whole.
    await page.evaluate(() => {
      window.kvdControlLog = [];
      window.kvdViewer.on('control', (m) => {
        if (m && typeof m === 'object' && typeof m.type === 'string' && !m.type.startsWith('cursor')) {
          window.kvdControlLog.push(m);
        }
      });
    });
    out({ ev: 'ready', panels: await page.evaluate(() => window.kvdViewer.state.panels) });
    const seen = {};
    const rl = readline.createInterface({ input: process.stdin });
    for await (const line of rl) {
      if (!line.trim()) continue;
      const cmd = JSON.parse(line);
      if (cmd.op === 'quit') break;
      try {
        out({ ok: true, value: await run(page, relay, cmd, seen) });
      } catch (err) {
        out({ ok: false, error: String(err && err.message || err) });
      }
    }
    out({ ev: 'errors', errors: await page.evaluate(() => window.kvdViewer.state.errors) });
    await page.close({ runBeforeUnload: true });
  } finally {
    await browser.close();
  }
  engine.proc.kill('SIGTERM');
  const exit = await Promise.race([engine.exited, new Promise((r) => setTimeout(() => r({ code: 'timeout' }), 10000))]);
  out({ ev: 'exit', exit, relayLines: relay ? relay.received.splice(0) : [] });
}

main()
  .catch((err) => out({ ev: 'failed', error: String(err && err.stack || err) }))
  .finally(() => {
    for (const c of children) {
      try { c.kill('SIGKILL'); } catch { /* gone */ }
    }
    setTimeout(() => process.exit(0), 200);
  });
