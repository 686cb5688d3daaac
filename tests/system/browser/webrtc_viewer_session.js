#!/usr/bin/env node
// Drives one session end to end for the WebRTC browser test: the development
// signaling server, kvdtool_webrtc_peer bridged to it as the agent, and the
// reference viewer in headless Chromium, first over RTP, then (after the
// viewer left and the engine rebuilt) over the data channel with WebCodecs.
//
//   node webrtc_viewer_session.js --tool PATH --h264 FILE --log FILE
//        --reference JSON   ({"points": [[x,y],...], "rgb": [[r,g,b],...]})
//
// Prints one JSON result line on stdout; progress goes to stderr.
'use strict';

const { spawn } = require('child_process');
const path = require('path');
const readline = require('readline');
const { chromium } = require('playwright-core');
const WebSocket = require('ws');

const ROOT = path.resolve(__dirname, '..', '..', '..');
const args = {};
for (let i = 2; i < process.argv.length; i += 2) args[process.argv[i].replace(/^--/, '')] = process.argv[i + 1];
const reference = JSON.parse(args.reference);
const SESSION = 'sess-webrtc-1';
const children = [];

function log(...parts) {
  process.stderr.write(`[driver] ${parts.join(' ')}\n`);
}

function startServer() {
  return new Promise((resolve, reject) => {
    const proc = spawn('node', [path.join(ROOT, 'tools/viewer/server.js'), '--host', '127.0.0.1', '--port', '0'],
      { stdio: ['ignore', 'pipe', 'inherit'] });
    children.push(proc);
    readline.createInterface({ input: proc.stdout }).on('line', (line) => {
      const m = /^KVD_DEVSERVER_LISTENING url=(\S+)/.exec(line);
      if (m) resolve(m[1]);
    });
    proc.on('exit', (code) => reject(new Error(`server exited ${code}`)));
  });
}

// The tool speaks signaling on stdio; this bridges it to the server as agent.
function startAgent(wsUrl) {
  const events = [];
  const tool = spawn(args.tool, ['--h264', args.h264, '--log', args.log], { stdio: ['pipe', 'pipe', 'inherit'] });
  children.push(tool);
  const agent = new WebSocket(`${wsUrl}/api/v2/remote/signaling?token=t`);
  const toTool = (obj) => tool.stdin.write(`${JSON.stringify(obj)}\n`);
  const queued = [];
  agent.on('open', () => {
    agent.send(JSON.stringify({ type: 'join', role: 'agent', sessionId: SESSION }));
    for (const q of queued.splice(0)) agent.send(q);
  });
  agent.on('message', (data) => {
    try { toTool(JSON.parse(data.toString())); } catch { /* not JSON */ }
  });
  readline.createInterface({ input: tool.stdout }).on('line', (line) => {
    let msg;
    try { msg = JSON.parse(line); } catch { events.push({ event: 'stdout_garbage', line }); return; }
    if (msg.type === 'tool_event') {
      msg.t = Date.now();
      events.push(msg);
      return;
    }
    const text = JSON.stringify(msg);
    if (agent.readyState === WebSocket.OPEN) agent.send(text); else queued.push(text);
  });
  return { tool, agent, events, toTool };
}

async function waitFor(fn, timeoutMs, what) {
  const deadline = Date.now() + timeoutMs;
  for (;;) {
    const v = await fn();
    if (v) return v;
    if (Date.now() > deadline) throw new Error(`timed out: ${what}`);
    await new Promise((r) => setTimeout(r, 100));
  }
}

function colourDistance(a, b) {
  return Math.max(...a.map((v, i) => Math.abs(v - b[i])));
}

async function runViewer(browser, httpUrl, transport, agent) {
  const context = await browser.newContext();
  const page = await context.newPage();
  page.on('console', (m) => { if (m.type() === 'error') log('page:', m.text()); });
  page.on('pageerror', (err) => log('page error:', err.message));
  const started = Date.now();
  await page.goto(`${httpUrl}/?session=${SESSION}${transport === 'webcodecs' ? '&transport=webcodecs' : ''}`);
  const state = () => page.evaluate(() => window.kvdViewer.state);
  await waitFor(async () => Object.values((await state()).channels).every((s) => s === 'open'), 30000,
    `${transport}: five open channels`);
  const channelsOpenMs = Date.now() - started;
  await waitFor(() => page.evaluate(() => window.kvdViewer.framesDecoded()).then((n) => n >= 10), 30000,
    `${transport}: decoded frames`);

  // One message each way on every channel (the tool echoes; the video
  // channel carries the quality request).
  const markers = {
    control: JSON.stringify({ type: 'probe', transport }),
    chat: JSON.stringify({ type: 'chat', text: `hello ${transport}` }),
  };
  await page.evaluate((m) => {
    const v = window.kvdViewer;
    v.send('control', m.control);
    v.send('chat', m.chat);
    v.send('input', [0x42, 1, 2, 3]);
    v.send('file', [7, 7, 7, 7, 7]);
    v.send('video', JSON.stringify({ cmd: 'quality', maxHeight: 360, fps: 30 }));
  }, markers);
  const echoes = await waitFor(async () => {
    const s = await state();
    const control = s.received.control.find((x) => x && x.type === 'echo' && x.data === markers.control);
    const chat = s.received.chat.find((x) => x && x.type === 'echo' && x.data === markers.chat);
    const input = s.received.input.find((x) => x.binary && x.binary.join() === '66,1,2,3');
    const file = s.received.file.find((x) => x.binary && x.binary.join() === '7,7,7,7,7');
    return control && chat && input && file ? { control, chat, input, file } : null;
  }, 15000, `${transport}: echoes`);
  const engineGot = ['control', 'chat', 'input', 'file'].filter((c) =>
    agent.events.some((e) => e.event === 'message' && e.channel === c));
  const quality = agent.events.some((e) => e.event === 'quality' && e.maxHeight === 360 && e.fps === 30);

  const sample = await page.evaluate((pts) => window.kvdViewer.samplePixels(pts), reference.points);
  const distances = sample.pixels.map((p, i) => colourDistance(p, reference.rgb[i]));
  const s = await state();
  const result = {
    transport,
    channelsOpenMs,
    framesDecoded: await page.evaluate(() => window.kvdViewer.framesDecoded()),
    videoChunks: s.videoChunks,
    size: [sample.width, sample.height],
    maxColourDistance: Math.max(...distances),
    echoes: Object.keys(echoes),
    engineGot,
    quality,
    errors: s.errors,
  };
  // Leave as a technician closing the tab would.
  result.leftAt = Date.now();
  await page.goto('about:blank');
  await context.close();
  return result;
}

async function main() {
  const wsUrl = await startServer();
  const httpUrl = wsUrl.replace(/^ws/, 'http');
  const agent = startAgent(wsUrl);
  // Playwright gives the browser a fresh profile directory of its own.
  const browser = await chromium.launch({
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync',
      '--disable-features=WebRtcHideLocalIpsWithMdns'],
  });
  const out = { phases: [] };
  try {
    out.phases.push(await runViewer(browser, httpUrl, 'rtp', agent));
    log('rtp phase done');
    const { leftAt } = out.phases[0];
    // The viewer left: the engine must notice and rebuild for the next one.
    await waitFor(() => agent.events.some((e) => e.event === 'rebuilt' && e.t >= leftAt), 20000, 'rebuild');
    out.departureNoticedMs = agent.events.find((e) => e.event === 'disconnected' && e.t >= leftAt)?.t - leftAt;
    out.phases.push(await runViewer(browser, httpUrl, 'webcodecs', agent));
    out.viewerConfig = agent.events.filter((e) => e.event === 'viewer_config').map((e) => e.videoTransport);
    out.keyframeRequests = agent.events.filter((e) => e.event === 'keyframe_request').length;
    out.stdoutGarbage = agent.events.filter((e) => e.event === 'stdout_garbage').length;
    out.ok = true;
  } catch (err) {
    out.ok = false;
    out.error = String(err && err.stack ? err.stack : err);
  } finally {
    await browser.close().catch(() => {});
    agent.toTool({ type: 'tool_cmd', cmd: 'quit' });
    agent.agent.close();
  }
  process.stdout.write(`${JSON.stringify(out)}\n`);
  await new Promise((r) => setTimeout(r, 500));
  for (const c of children) if (c.exitCode === null) c.kill('SIGTERM');
}

main().catch((err) => {
  process.stdout.write(`${JSON.stringify({ ok: false, error: String(err) })}\n`);
  for (const c of children) if (c.exitCode === null) c.kill('SIGTERM');
  process.exitCode = 1;
});
