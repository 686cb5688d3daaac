// A minimal viewer for the development server's protocol tests.
//   NODE_PATH=tools/viewer/node_modules node signaling_viewer.js <ws url>
// Prints {"event":"open"}, {"event":"message","msg":...}, {"event":"close","code":C}
// as JSON lines; every stdin line is sent as one text message.
'use strict';
const readline = require('readline');
const WebSocket = require('ws');

const out = (o) => process.stdout.write(JSON.stringify(o) + '\n');
const ws = new WebSocket(process.argv[2], { rejectUnauthorized: false });
ws.on('open', () => out({ event: 'open' }));
ws.on('message', (d) => {
  let msg;
  try { msg = JSON.parse(d.toString('utf8')); } catch { msg = d.toString('utf8'); }
  out({ event: 'message', msg });
});
ws.on('close', (code, reason) => { out({ event: 'close', code, reason: reason.toString() }); process.exit(0); });
ws.on('error', (e) => out({ event: 'error', message: e.message }));
readline.createInterface({ input: process.stdin }).on('line', (l) => {
  if (ws.readyState === WebSocket.OPEN) ws.send(l);
});
