// Remote terminal: shells on the host, one xterm.js terminal per tab. The
// terminal's size follows the panel; keystrokes and pastes go to the shell as
// "terminal_input", its output arrives as "terminal_output" (Base64).
import { Terminal } from '/vendor/xterm/lib/xterm.mjs';
import { FitAddon } from '/vendor/addon-fit/lib/addon-fit.mjs';

const INPUT_CHUNK = 12 * 1024; // bytes of input per message
const encoder = new TextEncoder();

function toBase64(bytes) {
  let s = '';
  for (let i = 0; i < bytes.length; i += 0x8000) s += String.fromCharCode(...bytes.subarray(i, i + 0x8000));
  return btoa(s);
}

function fromBase64(text) {
  const s = atob(text);
  const out = new Uint8Array(s.length);
  for (let i = 0; i < s.length; i++) out[i] = s.charCodeAt(i);
  return out;
}

function addStyles() {
  if (document.getElementById('terminal-panel-css')) return;
  const base = document.createElement('link');
  base.rel = 'stylesheet';
  base.href = '/vendor/xterm/css/xterm.css';
  const own = document.createElement('link');
  own.id = 'terminal-panel-css';
  own.rel = 'stylesheet';
  own.href = new URL('./terminal.css', import.meta.url).href;
  document.head.append(base, own);
}

function mount(el, api) {
  addStyles();
  const bar = document.createElement('div');
  bar.className = 'term-bar';
  const shell = document.createElement('select');
  shell.id = 'term-shell';
  for (const [value, label] of [['', 'default shell'], ['pwsh', 'PowerShell (pwsh)']]) {
    shell.append(new Option(label, value));
  }
  const add = document.createElement('button');
  add.id = 'term-new';
  add.type = 'button';
  add.textContent = 'New terminal';
  const tabsEl = document.createElement('div');
  tabsEl.className = 'term-tabs';
  const hostsEl = document.createElement('div');
  hostsEl.className = 'term-hosts';
  const note = document.createElement('p');
  note.className = 'help';
  bar.append(shell, add);
  el.append(bar, tabsEl, hostsEl, note);

  const tabs = new Map(); // terminalId -> tab
  let current = null;
  let counter = 0;

  function send(obj) {
    try {
      api.sendControl(obj);
      return true;
    } catch (err) {
      note.textContent = `Not sent: ${err.message}`;
      return false;
    }
  }

  function sendInput(tab, bytes) {
    if (tab.ended) return;
    for (let i = 0; i < bytes.length; i += INPUT_CHUNK) {
      send({ type: 'terminal_input', terminalId: tab.id, data: toBase64(bytes.subarray(i, i + INPUT_CHUNK)) });
    }
  }

  function select(id) {
    current = tabs.get(id) || null;
    for (const t of tabs.values()) {
      const on = t === current;
      t.host.hidden = !on;
      t.button.classList.toggle('active', on);
    }
    if (current) {
      fit(current);
      current.term.focus();
    }
  }

  function fit(tab) {
    if (tab.host.hidden || !tab.host.clientWidth || !tab.host.clientHeight) return;
    try { tab.fit.fit(); } catch { /* not measurable yet */ }
  }

  function markEnded(tab, text) {
    if (tab.ended) return;
    tab.ended = true;
    tab.term.write(`\r\n\x1b[33m[${text}]\x1b[0m\r\n`);
    tab.button.classList.add('ended');
    tab.label.textContent = `${tab.title} (ended)`;
  }

  function open() {
    if (!api.channelOpen('control')) {
      note.textContent = 'Not connected to the host yet.';
      return null;
    }
    counter += 1;
    const id = `term-${Date.now().toString(36)}-${counter}`;
    const host = document.createElement('div');
    host.className = 'term-host';
    hostsEl.append(host);
    const term = new Terminal({ cursorBlink: true, fontSize: 13, scrollback: 5000, convertEol: false });
    const fitAddon = new FitAddon();
    term.loadAddon(fitAddon);
    term.open(host);
    const button = document.createElement('button');
    button.type = 'button';
    button.className = 'term-tab';
    const label = document.createElement('span');
    const close = document.createElement('span');
    close.className = 'term-close';
    close.textContent = '×';
    close.title = 'Close this terminal (ends its shell)';
    button.append(label, close);
    tabsEl.append(button);
    const tab = { id, term, fit: fitAddon, host, button, label, title: `${counter}`, ended: false, received: 0 };
    label.textContent = tab.title;
    tabs.set(id, tab);
    button.addEventListener('click', (e) => {
      if (e.target === close) closeTab(tab);
      else select(id);
    });
    term.onData((d) => sendInput(tab, encoder.encode(d)));
    term.onBinary((d) => sendInput(tab, Uint8Array.from(d, (c) => c.charCodeAt(0) & 0xff)));
    term.onResize(({ cols, rows }) => {
      if (!tab.ended) send({ type: 'terminal_resize', terminalId: id, cols, rows });
    });
    select(id);
    send({ type: 'terminal_start', terminalId: id, shell: shell.value, cols: term.cols, rows: term.rows });
    return id;
  }

  function closeTab(tab) {
    send({ type: 'terminal_stop', terminalId: tab.id });
    tab.term.dispose();
    tab.host.remove();
    tab.button.remove();
    tabs.delete(tab.id);
    if (current === tab) select(tabs.keys().next().value);
  }

  add.addEventListener('click', () => open());
  new ResizeObserver(() => { if (current) fit(current); }).observe(hostsEl);

  api.onControl('terminal_output', (m) => {
    const tab = tabs.get(m.terminalId);
    if (!tab || typeof m.data !== 'string') return;
    const bytes = fromBase64(m.data);
    tab.received += bytes.length;
    tab.term.write(bytes);
  });
  api.onControl('terminal_stop', (m) => {
    const tab = tabs.get(m.terminalId);
    if (!tab) return;
    if (m.reason === 'policy_denied') markEnded(tab, 'refused: this session does not allow terminals');
    else markEnded(tab, 'shell ended');
  });

  // For tests and debugging.
  window.kvdTerminal = {
    open,
    ids: () => [...tabs.keys()],
    ended: (id) => !!(tabs.get(id) && tabs.get(id).ended),
    size: (id) => (tabs.get(id) ? { cols: tabs.get(id).term.cols, rows: tabs.get(id).term.rows } : null),
    // The visible screen and scrollback as text.
    text: (id) => {
      const tab = tabs.get(id);
      if (!tab) return '';
      const buf = tab.term.buffer.active;
      const lines = [];
      for (let i = 0; i < buf.length; i++) lines.push(buf.getLine(i).translateToString(true));
      return lines.join('\n');
    },
  };
}

export default {
  id: 'terminal',
  title: 'Terminal',
  help: 'Shells on the host. New terminal opens one in a tab; type or paste into it. Closing a tab ends its shell.',
  mount,
};
