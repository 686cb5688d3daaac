// Privacy for the person at the host: darken their screen (or cover it with
// a notice where the screen cannot be put to sleep) while you keep seeing the
// desktop, and block their keyboard and mouse. Each switch shows what the
// host answered, not what was asked.
const STYLE = `
#panel-privacy label { display: block; margin: 4px 0; }
#panel-privacy .sub { margin-left: 18px; }
#panel-privacy .state { font-size: 12px; margin: 2px 0 8px; min-height: 1em; }
`;

function el(tag, props = {}, ...children) {
  const e = Object.assign(document.createElement(tag), props);
  e.append(...children);
  return e;
}

function checkbox(id, text) {
  const box = el('input', { type: 'checkbox', id });
  return { box, label: el('label', {}, box, ` ${text}`) };
}

function say(line, text, good) {
  line.textContent = text;
  line.className = `state ${good ? 'ok' : 'error'}`;
}

export default {
  id: 'privacy',
  title: 'Privacy',
  help: 'Hide your work from the person at the host and block their keyboard and mouse.',
  mount(root, api) {
    root.append(el('style', { textContent: STYLE }));
    const privacy = checkbox('privacy-switch', 'Privacy screen');
    const withBlock = checkbox('privacy-block-input', 'block local input');
    withBlock.label.className = 'sub';
    const text = el('input', { type: 'text', id: 'privacy-text', maxLength: 256,
      placeholder: 'Notice shown where the screen cannot be darkened (optional)' });
    const privacyState = el('p', { id: 'privacy-status', className: 'state' });
    const block = checkbox('input-block-switch', 'Block local input (without the privacy screen)');
    const blockState = el('p', { id: 'input-block-status', className: 'state' });
    root.append(privacy.label, withBlock.label, text, privacyState, block.label, blockState);

    let askedBlock = false;
    function sendPrivacy() {
      if (!api.channelOpen('control')) {
        say(privacyState, 'Not connected to the host.', false);
        privacy.box.checked = false;
        return;
      }
      const msg = { type: 'privacy_mode', enabled: privacy.box.checked };
      if (msg.enabled) {
        msg.blockLocalInput = withBlock.box.checked;
        if (text.value) msg.overlayText = text.value;
      }
      askedBlock = msg.enabled && msg.blockLocalInput;
      privacyState.textContent = 'Asking the host…';
      privacyState.className = 'state';
      api.sendControl(msg);
    }
    privacy.box.addEventListener('change', sendPrivacy);
    // While on, a changed option updates the running privacy mode.
    withBlock.box.addEventListener('change', () => { if (privacy.box.checked) sendPrivacy(); });
    text.addEventListener('change', () => { if (privacy.box.checked) sendPrivacy(); });

    block.box.addEventListener('change', () => {
      if (!api.channelOpen('control')) {
        say(blockState, 'Not connected to the host.', false);
        block.box.checked = false;
        return;
      }
      blockState.textContent = 'Asking the host…';
      blockState.className = 'state';
      api.sendControl({ type: 'input_block', enabled: block.box.checked });
    });

    api.onControl('privacy_mode_ack', (m) => {
      privacy.box.checked = !!m.active;
      if (!m.accepted) {
        say(privacyState, `The host refused the request; privacy screen is ${m.active ? 'still on' : 'off'}.`, false);
      } else if (m.active) {
        say(privacyState, askedBlock
          ? 'Privacy screen is on. Local input is blocked unless the session is view-only.'
          : 'Privacy screen is on.', true);
      } else {
        say(privacyState, 'Privacy screen is off.', true);
      }
    });
    api.onControl('input_block_ack', (m) => {
      block.box.checked = !!m.enabled;
      if (!m.accepted) {
        say(blockState, 'The host refused to block local input (view-only session, or its devices '
          + `could not be blocked). Local input is ${m.enabled ? 'still blocked' : 'free'}.`, false);
      } else {
        say(blockState, m.enabled ? 'Local input is blocked.' : 'Local input is free.', true);
      }
    });
  },
};
