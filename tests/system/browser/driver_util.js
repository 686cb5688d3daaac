// Small helpers the browser-test drivers share.
'use strict';

const { spawnSync } = require('child_process');
const net = require('net');
const readline = require('readline');
const WebSocket = require('ws');

// Resolves with the match of the first line of `stream` that matches `re`.
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

// Resolves with fn()'s first truthy value, polling every 100 ms.
async function poll(fn, ms, what) {
  const end = Date.now() + ms;
  for (;;) {
    const v = await fn();
    if (v) return v;
    if (Date.now() > end) throw new Error(`timed out waiting for ${what}`);
    await new Promise((r) => setTimeout(r, 100));
  }
}

// What an engine that missed its start-up deadline is doing: its exit
// status, or every thread's stack (when gdb is installed), for the failure
// message.
function describeStall(proc) {
  if (proc.exitCode !== null || proc.signalCode !== null)
    return `it exited (code ${proc.exitCode}, signal ${proc.signalCode})`;
  const r = spawnSync('gdb', ['-p', String(proc.pid), '-batch', '-ex', 'thread apply all bt 25'],
    { encoding: 'utf8', timeout: 60000 });
  if (r.error) return `still running (no stacks: ${r.error.message})`;
  const stacks = (r.stdout || '').split('\n').filter((l) => /^(Thread |#)/.test(l));
  return `still running; its threads:\n${stacks.join('\n').slice(0, 12000)}`;
}

// Resolves when the engine printed its ready line; a timeout says why not.
async function waitForReady(proc, ms) {
  try {
    return await waitForLine(proc.stdout, /^KELVANDRUM_READY session_id=/, 'the ready line', ms);
  } catch (e) {
    throw new Error(`${e.message}: ${describeStall(proc)}`);
  }
}

// The local service as the engine sees it (--pipe PORT): one JSON line per
// message; each engine connection gets its own agent socket on the
// development server, and the relay reports the service's signaling as
// connected once that socket joined the session. Lines that are not
// signaling land in relay.received; relay.send(type, payload) speaks to the
// engine; relay.die() drops the link and the listener, as a service that
// died would.
function startRelay(wsUrl, sessionId) {
  const relay = { received: [], conn: null };
  const server = net.createServer((conn) => {
    relay.conn = conn;
    let agent = null;
    let buf = '';
    const toEngine = (type, payload) => conn.write(`${JSON.stringify({ type, payload })}\n`);
    conn.on('data', (data) => {
      buf += data.toString('utf8');
      for (let nl = buf.indexOf('\n'); nl >= 0; nl = buf.indexOf('\n')) {
        const line = buf.slice(0, nl);
        buf = buf.slice(nl + 1);
        let msg;
        try { msg = JSON.parse(line); } catch { continue; }
        if (msg.type === 'hello') {
          agent = new WebSocket(`${wsUrl}/agent?token=relay`);
          agent.on('open', () => {
            agent.send(JSON.stringify({ type: 'join', sessionId, role: 'agent' }));
            toEngine('SIGNALING_CONNECTED', {});
          });
          agent.on('message', (d) => {
            const text = d.toString();
            try {
              const m = JSON.parse(text);
              if (m.type === 'ping') {
                agent.send(JSON.stringify({ type: 'pong', ts: m.ts }));
                return;
              }
              if (m.type === 'join_ack') return;
            } catch { return; }
            toEngine('SIGNALING_RECV', { json: text });
          });
          agent.on('error', () => {});
        } else if (msg.type === 'SIGNALING_SEND') {
          if (agent && agent.readyState === WebSocket.OPEN) agent.send(msg.payload.json);
        } else {
          relay.received.push(msg);
        }
      }
    });
    conn.on('error', () => {});
    conn.on('close', () => { if (agent) agent.close(); });
  });
  relay.send = (type, payload) => relay.conn && relay.conn.write(`${JSON.stringify({ type, payload })}\n`);
  relay.die = () => {
    server.close();
    if (relay.conn) relay.conn.destroy();
  };
  return new Promise((resolve) => server.listen(0, '127.0.0.1', () => {
    relay.port = server.address().port;
    relay.server = server;
    resolve(relay);
  }));
}

module.exports = { waitForLine, waitForReady, poll, startRelay };
