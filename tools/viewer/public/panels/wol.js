// Wake-on-LAN: the host broadcasts a magic packet for a machine on its
// network; the host's answer is shown as it comes.
export default {
  id: 'wol',
  title: 'Wake-on-LAN',
  help: 'Wake a machine on the host\'s network: enter its MAC address (for example 00:1A:2B:3C:4D:5E).',
  mount(root, api) {
    const form = document.createElement('form');
    const mac = Object.assign(document.createElement('input'), { id: 'wol-mac', type: 'text', placeholder: '00:1A:2B:3C:4D:5E' });
    const send = Object.assign(document.createElement('button'), { id: 'wol-send', type: 'submit', textContent: 'Wake' });
    const result = Object.assign(document.createElement('div'), { id: 'wol-result' });
    form.append(mac, send);
    root.append(form, result);
    let pending = null;
    let seq = 0;

    form.addEventListener('submit', (ev) => {
      ev.preventDefault();
      const target = mac.value.trim();
      if (!target) return;
      if (!api.channelOpen('control')) {
        result.textContent = 'Not connected to the host.';
        result.className = 'error';
        return;
      }
      seq += 1;
      pending = `wol-${Date.now()}-${seq}`;
      api.sendControl({ type: 'wol_send', targetMac: target, requestId: pending });
      result.textContent = `Asking the host to wake ${target}…`;
      result.className = '';
    });
    api.onControl('wol_result', (msg) => {
      if (pending && msg.requestId !== pending) return;
      result.textContent = msg.sent
        ? `Magic packet sent for ${msg.targetMac}.`
        : (msg.message || `Failed: ${msg.error || 'unknown error'}`);
      result.className = msg.sent ? 'ok' : 'error';
    });
  },
};
