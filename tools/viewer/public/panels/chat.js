// Chat with the person at the host (their tray application). Messages carry
// a delivery tick: one (✓) when sent, two (✓✓) when the host's receipt came
// back. "Host is typing…" shows while the host says so.
const MAX_BYTES = 4096;
const TYPING_IDLE_MS = 3000;

const STYLE = `
#panel-chat .chat-log { height: 14em; overflow-y: auto; border: 1px solid #444; padding: 4px;
  margin-bottom: 4px; font-size: 0.9em; }
#panel-chat .chat-msg { margin: 2px 0; white-space: pre-wrap; word-break: break-word; }
#panel-chat .chat-msg.mine { text-align: right; color: #9cf; }
#panel-chat .chat-msg.theirs { color: #dfd; }
#panel-chat .chat-tick { margin-left: 0.4em; color: #888; }
#panel-chat .chat-tick.delivered { color: #6c6; }
#panel-chat .chat-typing { min-height: 1.2em; font-style: italic; color: #aaa; }
#panel-chat form { display: flex; gap: 4px; }
#panel-chat input { flex: 1; }
`;

function addStyle() {
  if (document.getElementById('chat-style')) return;
  const s = document.createElement('style');
  s.id = 'chat-style';
  s.textContent = STYLE;
  document.head.append(s);
}

export default {
  id: 'chat',
  title: 'Chat',
  help: 'Chat with the person at the host. ✓ sent, ✓✓ delivered to the host.',
  mount(el, api) {
    addStyle();
    const log = document.createElement('div');
    log.className = 'chat-log';
    log.id = 'chat-log';
    const typing = document.createElement('div');
    typing.className = 'chat-typing';
    typing.id = 'chat-typing';
    const form = document.createElement('form');
    const input = document.createElement('input');
    input.id = 'chat-input';
    input.type = 'text';
    input.placeholder = 'Message to the host';
    input.autocomplete = 'off';
    const button = document.createElement('button');
    button.id = 'chat-send';
    button.type = 'submit';
    button.textContent = 'Send';
    const note = document.createElement('div');
    note.className = 'help';
    note.id = 'chat-note';
    form.append(input, button);
    el.append(log, typing, form, note);

    const ticks = new Map(); // message id -> tick element
    let seq = 0;
    let typingSent = false;
    let typingTimer = null;
    let hostTypingTimer = null;

    function line(cls, text) {
      const row = document.createElement('div');
      row.className = `chat-msg ${cls}`;
      row.textContent = text;
      log.append(row);
      log.scrollTop = log.scrollHeight;
      return row;
    }

    function sendJson(obj) {
      api.send('chat', JSON.stringify(obj));
    }

    function setTyping(active) {
      if (active === typingSent || !api.channelOpen('chat')) return;
      typingSent = active;
      try { sendJson({ type: 'typing', active }); } catch { /* channel closed */ }
    }

    input.addEventListener('input', () => {
      setTyping(input.value.length > 0);
      clearTimeout(typingTimer);
      typingTimer = setTimeout(() => setTyping(false), TYPING_IDLE_MS);
    });

    form.addEventListener('submit', (ev) => {
      ev.preventDefault();
      const text = input.value;
      if (!text) return;
      const id = `v-${Date.now()}-${seq++}`;
      const msg = JSON.stringify({ type: 'message', v: 1, id, text, ts: Date.now() });
      if (new TextEncoder().encode(msg).length > MAX_BYTES) {
        note.textContent = `Too long: a chat message holds at most ${MAX_BYTES} bytes.`;
        return;
      }
      try {
        api.send('chat', msg);
      } catch (err) {
        note.textContent = `Not sent: ${err.message}`;
        return;
      }
      note.textContent = '';
      const row = line('mine', text);
      const tick = document.createElement('span');
      tick.className = 'chat-tick';
      tick.textContent = '✓';
      tick.title = 'sent';
      row.append(tick);
      row.dataset.id = id;
      ticks.set(id, tick);
      input.value = '';
      clearTimeout(typingTimer);
      setTyping(false);
    });

    api.on('chat', (msg) => {
      if (!msg || typeof msg !== 'object') return;
      if (msg.type === 'delivered' && ticks.has(msg.id)) {
        const tick = ticks.get(msg.id);
        tick.textContent = '✓✓';
        tick.title = 'delivered';
        tick.classList.add('delivered');
        tick.parentElement.dataset.delivered = 'true';
      } else if (msg.type === 'message' && typeof msg.text === 'string') {
        typing.textContent = '';
        line('theirs', msg.text).dataset.id = msg.id || '';
        // The host learns that its message reached the technician.
        if (msg.id) {
          try { sendJson({ type: 'delivered', v: 1, id: msg.id }); } catch { /* closed */ }
        }
        api.show('chat');
      } else if (msg.type === 'typing') {
        clearTimeout(hostTypingTimer);
        typing.textContent = msg.active ? 'Host is typing…' : '';
        if (msg.active) hostTypingTimer = setTimeout(() => { typing.textContent = ''; }, 10000);
      }
    });
  },
};
