// A bare WebSocket server the signaling tests script through stdin/stdout.
// Run with NODE_PATH=tools/viewer/node_modules.
//   node signaling_ws_server.js [--cert c.pem --key k.pem]
// Prints "LISTENING <port>", then one JSON event per line:
//   {"event":"connection","id":N,"path":...,"protocol":...,"host":...,"origin":...}
//   {"event":"message","id":N,"data":"..."}  {"event":"close","id":N,"code":C}
// Commands (JSON lines on stdin) act on the newest connection:
//   {"cmd":"send","data":"..."}            one text message
//   {"cmd":"fragments","parts":["..",".."]} one message in several frames
//   {"cmd":"many","count":N}               N messages {"type":"t","n":i}
//   {"cmd":"big","bytes":N}                one {"type":"big","pad":"..."} of N bytes
//   {"cmd":"close","code":C}               close handshake
//   {"cmd":"terminate"}                    drop the TCP connection
'use strict';
const fs = require('fs');
const http = require('http');
const https = require('https');
const readline = require('readline');
const { WebSocketServer } = require('ws');

const args = process.argv.slice(2);
const opt = (name) => {
  const i = args.indexOf(name);
  return i >= 0 ? args[i + 1] : null;
};
const cert = opt('--cert');
const server = cert
  ? https.createServer({ cert: fs.readFileSync(cert), key: fs.readFileSync(opt('--key')) })
  : http.createServer();
const wss = new WebSocketServer({ server, maxPayload: 64 * 1024 * 1024 });
const out = (o) => process.stdout.write(JSON.stringify(o) + '\n');

let nextId = 1;
let newest = null;
wss.on('connection', (ws, req) => {
  const id = nextId++;
  newest = ws;
  out({ event: 'connection', id, path: req.url, protocol: ws.protocol,
        host: req.headers.host, origin: req.headers.origin || null });
  ws.on('message', (data) => out({ event: 'message', id, data: data.toString('utf8') }));
  ws.on('close', (code) => out({ event: 'close', id, code }));
  ws.on('error', () => {});
});

readline.createInterface({ input: process.stdin }).on('line', (line) => {
  let c;
  try { c = JSON.parse(line); } catch { return; }
  const ws = newest;
  if (!ws || ws.readyState !== ws.OPEN) { out({ event: 'error', reason: 'no open connection' }); return; }
  switch (c.cmd) {
    case 'send': ws.send(c.data); break;
    case 'fragments':
      c.parts.forEach((p, i) => ws.send(p, { fin: i === c.parts.length - 1 }));
      break;
    case 'many':
      for (let i = 0; i < c.count; i++) ws.send(JSON.stringify({ type: 't', n: i }));
      break;
    case 'big': {
      const head = '{"type":"big","pad":"';
      ws.send(head + 'x'.repeat(c.bytes - head.length - 2) + '"}');
      break;
    }
    case 'close': ws.close(c.code || 1000, 'test'); break;
    case 'terminate': ws.terminate(); break;
    default: out({ event: 'error', reason: 'unknown command' });
  }
  out({ event: 'done', cmd: c.cmd });
});

server.listen(0, '127.0.0.1', () => out({ event: 'listening', port: server.address().port }));
