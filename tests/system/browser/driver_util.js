// Small helpers the browser-test drivers share.
'use strict';

const { spawnSync } = require('child_process');
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

module.exports = { waitForLine, waitForReady, poll };
