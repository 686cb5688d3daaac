// Clipboard: the host's copied text shows here (and lands in the
// technician's clipboard when the browser allows it); text typed here goes to
// the host clipboard, or is typed on the host as keystrokes.
const MAX_MESSAGE_BYTES = 262144; // what the engine takes in one control message

function toBase64(bytes) {
  let bin = '';
  for (let i = 0; i < bytes.length; i += 0x8000) bin += String.fromCharCode(...bytes.subarray(i, i + 0x8000));
  return btoa(bin);
}

function fromBase64(text) {
  const bin = atob(text);
  const bytes = new Uint8Array(bin.length);
  for (let i = 0; i < bin.length; i += 1) bytes[i] = bin.charCodeAt(i);
  return bytes;
}

function el(tag, props = {}) {
  return Object.assign(document.createElement(tag), props);
}

export default {
  id: 'clipboard',
  title: 'Clipboard',
  help: 'Text copied on the host appears below. Send your text to the host clipboard, or type it on the host as keystrokes (works on the logon screen too).',
  mount(root, api) {
    const host = el('textarea', { id: 'clipboard-host', rows: 4, readOnly: true, placeholder: 'Nothing copied on the host yet' });
    const input = el('textarea', { id: 'clipboard-input', rows: 4, placeholder: 'Text for the host' });
    const sendBtn = el('button', { id: 'clipboard-send', type: 'button', textContent: 'Send to host clipboard' });
    const typeBtn = el('button', { id: 'clipboard-type', type: 'button', textContent: 'Type on host' });
    const status = el('div', { id: 'clipboard-status' });
    root.append(el('label', { textContent: 'Host clipboard' }), host, el('label', { textContent: 'Your text' }), input,
      sendBtn, typeBtn, status);

    function say(text, ok) {
      status.textContent = text;
      status.className = ok ? 'ok' : 'error';
    }

    api.onControl('clipboard_set', async (msg) => {
      if (msg.format !== 'text/plain' || typeof msg.data !== 'string') return;
      let text;
      try {
        text = new TextDecoder().decode(fromBase64(msg.data));
      } catch {
        say('The host sent clipboard text that could not be read.', false);
        return;
      }
      host.value = text;
      api.state.hostClipboard = text;
      try {
        await navigator.clipboard.writeText(text);
        say(`Host copied ${msg.size} bytes; copied to your clipboard too.`, true);
      } catch {
        say(`Host copied ${msg.size} bytes (your browser did not allow copying it to your clipboard).`, true);
      }
    });
    api.onControl('clipboard_clear', () => {
      host.value = '';
      say('The host clipboard was emptied.', true);
    });
    api.onControl('paste_text_ack', (msg) => {
      if (msg.ok) say(msg.methodUsed === 'keystrokes' ? 'Typed on the host.' : 'Pasted on the host.', true);
      else say(`The host did not type the text (${msg.reason || 'failed'}).`, false);
    });

    // A message the engine cannot take whole is refused here, in words.
    function sendBody(body, what) {
      const size = new TextEncoder().encode(body).length;
      if (size > MAX_MESSAGE_BYTES) {
        say(`Too large to ${what}: it needs ${size} bytes in one message and the host takes at most ${MAX_MESSAGE_BYTES}. Send a shorter text or use file transfer.`, false);
        return false;
      }
      if (!api.channelOpen('control')) {
        say('Not connected to the host.', false);
        return false;
      }
      api.send('control', body);
      return true;
    }

    sendBtn.addEventListener('click', () => {
      const bytes = new TextEncoder().encode(input.value);
      const body = JSON.stringify({ type: 'clipboard_set', format: 'text/plain', data: toBase64(bytes) });
      if (sendBody(body, 'send to the host clipboard')) say(`Sent ${bytes.length} bytes to the host clipboard.`, true);
    });
    typeBtn.addEventListener('click', () => {
      if (!input.value) {
        say('Nothing to type.', false);
        return;
      }
      const body = JSON.stringify({ type: 'paste_text', text: input.value, method: 'keystrokes' });
      if (sendBody(body, 'type on the host')) say('Typing on the host…', true);
    });
  },
};
