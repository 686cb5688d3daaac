#!/usr/bin/env node
// Development signaling server: pairs one engine ("agent") with one browser
// viewer per session room, relays the WebRTC negotiation between them and
// serves the viewer page from public/. Protocol: README.md beside this file.
'use strict';

const fs = require('fs');
const http = require('http');
const https = require('https');
const path = require('path');
const { WebSocketServer } = require('ws');

const PUBLIC_DIR = path.join(__dirname, 'public');
// The only parts of node_modules the page may load: the terminal emulator.
const VENDOR_DIRS = {
  '/vendor/xterm/': path.join(__dirname, 'node_modules', '@xterm', 'xterm'),
  '/vendor/addon-fit/': path.join(__dirname, 'node_modules', '@xterm', 'addon-fit'),
};
const MAX_MESSAGE_BYTES = 4 * 1024 * 1024;
const AGENT_TO_VIEWER = new Set(['offer', 'answer', 'ice']);
const VIEWER_TO_AGENT = new Set(['answer', 'offer', 'ice']);
const CONTENT_TYPES = {
  '.html': 'text/html; charset=utf-8',
  '.js': 'text/javascript; charset=utf-8',
  '.mjs': 'text/javascript; charset=utf-8',
  '.css': 'text/css; charset=utf-8',
  '.json': 'application/json; charset=utf-8',
  '.svg': 'image/svg+xml',
  '.png': 'image/png',
  '.ico': 'image/x-icon',
  '.txt': 'text/plain; charset=utf-8',
  '.map': 'application/json; charset=utf-8',
};

function parseArgs(argv) {
  const opts = { host: '127.0.0.1', port: 8080, token: null, cert: null, key: null, pingIntervalMs: 15000 };
  const flags = {
    '--host': (v) => { opts.host = v; },
    '--port': (v) => { opts.port = Number.parseInt(v, 10); },
    '--token': (v) => { opts.token = v; },
    '--cert': (v) => { opts.cert = v; },
    '--key': (v) => { opts.key = v; },
    '--ping-interval-ms': (v) => { opts.pingIntervalMs = Number.parseInt(v, 10); },
  };
  for (let i = 0; i < argv.length; i++) {
    const set = flags[argv[i]];
    if (!set || i + 1 >= argv.length) {
      throw new Error(`unknown or incomplete option: ${argv[i]}`);
    }
    set(argv[++i]);
  }
  if (!Number.isInteger(opts.port) || opts.port < 0 || opts.port > 65535) throw new Error('bad --port');
  if (!Number.isInteger(opts.pingIntervalMs) || opts.pingIntervalMs < 10) throw new Error('bad --ping-interval-ms');
  if (!!opts.cert !== !!opts.key) throw new Error('--cert and --key go together');
  return opts;
}

function log(...parts) {
  process.stderr.write(`[devserver] ${parts.join(' ')}\n`);
}

// --- static files -----------------------------------------------------------

function serveHttp(req, res) {
  const url = new URL(req.url, 'http://x');
  if (req.method !== 'GET' && req.method !== 'HEAD') {
    res.writeHead(405, { Allow: 'GET, HEAD' }).end();
    return;
  }
  if (url.pathname === '/health') {
    res.writeHead(200, { 'Content-Type': 'text/plain; charset=utf-8' }).end('ok');
    return;
  }
  let rel;
  try {
    rel = decodeURIComponent(url.pathname);
  } catch {
    res.writeHead(400).end();
    return;
  }
  if (rel.endsWith('/')) rel += 'index.html';
  let root = PUBLIC_DIR;
  for (const [prefix, dir] of Object.entries(VENDOR_DIRS)) {
    if (rel.startsWith(prefix)) {
      root = dir;
      rel = rel.slice(prefix.length - 1);
    }
  }
  const file = path.resolve(root, '.' + rel);
  // Nothing outside public/ (or a vendor package) is ever served, whatever the path says.
  if (rel.includes('\0') || !file.startsWith(root + path.sep)) {
    res.writeHead(404).end();
    return;
  }
  fs.stat(file, (err, st) => {
    if (err || !st.isFile()) {
      res.writeHead(404).end();
      return;
    }
    const type = CONTENT_TYPES[path.extname(file).toLowerCase()] || 'application/octet-stream';
    res.writeHead(200, { 'Content-Type': type, 'Content-Length': st.size, 'Cache-Control': 'no-store' });
    if (req.method === 'HEAD') {
      res.end();
      return;
    }
    fs.createReadStream(file).on('error', () => res.destroy()).pipe(res);
  });
}

// --- rooms ------------------------------------------------------------------

const rooms = new Map(); // sessionId -> { agent, viewer }

function room(id) {
  let r = rooms.get(id);
  if (!r) {
    r = { agent: null, viewer: null };
    rooms.set(id, r);
  }
  return r;
}

function dropRoomIfEmpty(id) {
  const r = rooms.get(id);
  if (r && !r.agent && !r.viewer) rooms.delete(id);
}

function sendJson(ws, msg) {
  if (ws && ws.readyState === ws.OPEN) ws.send(JSON.stringify(msg));
}

function parseMessage(data, isBinary, who) {
  if (isBinary) {
    log(`${who}: binary message dropped`);
    return null;
  }
  let msg;
  try {
    msg = JSON.parse(data.toString('utf8'));
  } catch {
    log(`${who}: malformed JSON dropped`);
    return null;
  }
  if (!msg || typeof msg !== 'object' || Array.isArray(msg) || typeof msg.type !== 'string') {
    log(`${who}: message without a type dropped`);
    return null;
  }
  return msg;
}

function onAgent(ws, opts) {
  let sessionId = null;
  let pingTimer = null;
  let pingSentAt = 0;

  ws.on('message', (data, isBinary) => {
    const msg = parseMessage(data, isBinary, 'agent');
    if (!msg) return;
    if (msg.type === 'join') {
      if (typeof msg.sessionId !== 'string' || msg.sessionId === '' || sessionId !== null) {
        log('agent: join without a session id, or a second join, dropped');
        return;
      }
      sessionId = msg.sessionId;
      const r = room(sessionId);
      if (r.agent && r.agent !== ws) r.agent.close(4000, 'replaced by a newer agent');
      r.agent = ws;
      log(`agent joined session ${sessionId} (role=${msg.role})`);
      sendJson(ws, { type: 'join_ack' });
      sendJson(r.viewer, { type: 'agent_status', present: true });
      if (r.viewer) sendJson(ws, { type: 'peer_joined', role: 'viewer' });
      pingTimer = setInterval(() => {
        pingSentAt = Date.now();
        sendJson(ws, { type: 'ping', ts: pingSentAt });
      }, opts.pingIntervalMs);
      return;
    }
    if (sessionId === null) return;
    if (msg.type === 'pong') {
      const ts = Number.isInteger(msg.ts) ? msg.ts : 0;
      log(`agent ${sessionId}: pong ts=${ts} rtt=${ts ? Date.now() - ts : 'n/a'}ms`);
      return;
    }
    const r = rooms.get(sessionId);
    if (AGENT_TO_VIEWER.has(msg.type) && r && r.agent === ws) sendJson(r.viewer, msg);
  });

  ws.on('close', (code) => {
    if (pingTimer) clearInterval(pingTimer);
    if (sessionId === null) return;
    const r = rooms.get(sessionId);
    if (r && r.agent === ws) {
      r.agent = null;
      log(`agent left session ${sessionId} (code ${code})`);
      sendJson(r.viewer, { type: 'agent_status', present: false });
      dropRoomIfEmpty(sessionId);
    }
  });
}

function onViewer(ws, sessionId) {
  const r = room(sessionId);
  if (r.viewer) r.viewer.close(4000, 'replaced by a newer viewer');
  r.viewer = ws;
  log(`viewer joined session ${sessionId}`);
  sendJson(ws, { type: 'agent_status', present: !!r.agent });
  if (r.agent) sendJson(r.agent, { type: 'peer_joined', role: 'viewer' });

  ws.on('message', (data, isBinary) => {
    const msg = parseMessage(data, isBinary, 'viewer');
    if (!msg || r.viewer !== ws) return;
    const current = rooms.get(sessionId);
    if (!current) return;
    if (msg.type === 'request_offer') {
      sendJson(current.agent, { type: 'peer_joined', role: 'viewer' });
    } else if (VIEWER_TO_AGENT.has(msg.type)) {
      sendJson(current.agent, msg);
    }
  });

  ws.on('close', () => {
    const current = rooms.get(sessionId);
    if (current && current.viewer === ws) {
      current.viewer = null;
      log(`viewer left session ${sessionId}`);
      dropRoomIfEmpty(sessionId);
    }
  });
}

// --- server -----------------------------------------------------------------

function main() {
  let opts;
  try {
    opts = parseArgs(process.argv.slice(2));
  } catch (e) {
    process.stderr.write(`usage: node server.js [--host 127.0.0.1] [--port 8080] [--token T] ` +
      `[--cert cert.pem --key key.pem] [--ping-interval-ms 15000]\n${e.message}\n`);
    process.exit(2);
  }
  const secure = !!opts.cert;
  const server = secure
    ? https.createServer({ cert: fs.readFileSync(opts.cert), key: fs.readFileSync(opts.key) }, serveHttp)
    : http.createServer(serveHttp);
  const wss = new WebSocketServer({ server, maxPayload: MAX_MESSAGE_BYTES });

  wss.on('connection', (ws, req) => {
    const url = new URL(req.url, 'http://x');
    ws.on('error', (e) => log(`socket error: ${e.message}`));
    if (url.pathname === '/viewer') {
      const sessionId = url.searchParams.get('session');
      if (!sessionId) {
        ws.close(4002, 'missing session');
        return;
      }
      onViewer(ws, sessionId);
      return;
    }
    const token = url.searchParams.get('token');
    if (opts.token !== null && token !== opts.token) {
      log(`agent refused: bad token on ${url.pathname}`);
      ws.close(4001, 'invalid token');
      return;
    }
    onAgent(ws, opts);
  });

  server.on('error', (e) => {
    log(`server error: ${e.message}`);
    process.exit(1);
  });
  server.listen(opts.port, opts.host, () => {
    const { port } = server.address();
    const host = opts.host.includes(':') ? `[${opts.host}]` : opts.host;
    process.stdout.write(`KVD_DEVSERVER_LISTENING url=${secure ? 'wss' : 'ws'}://${host}:${port}\n`);
  });

  const stop = () => {
    for (const ws of wss.clients) ws.terminate();
    server.close(() => process.exit(0));
    setTimeout(() => process.exit(0), 1000).unref();
  };
  process.on('SIGINT', stop);
  process.on('SIGTERM', stop);
}

main();
