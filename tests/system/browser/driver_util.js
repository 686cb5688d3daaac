// Small helpers the browser-test drivers share.
'use strict';

const readline = require('readline');

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

module.exports = { waitForLine, poll };
