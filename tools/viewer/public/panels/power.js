// Remote reboot, after a confirmation; the host's answer is shown.
export default {
  id: 'power',
  title: 'Reboot',
  help: 'Restart the host. The session ends; the host restarts about 10 seconds after you confirm.',
  mount(root, api) {
    const make = (tag, props) => Object.assign(document.createElement(tag), props);
    const reboot = make('button', { id: 'power-reboot', type: 'button', textContent: 'Reboot host…' });
    const safeLabel = make('label', { textContent: ' in safe mode' });
    const safe = make('input', { id: 'power-safe', type: 'checkbox' });
    safeLabel.prepend(safe);
    const confirmBox = make('div', { id: 'power-confirm-box', hidden: true });
    const question = make('p', { textContent: 'Reboot the host now? Unsaved work on the host is lost.' });
    const yes = make('button', { id: 'power-confirm', type: 'button', textContent: 'Yes, reboot' });
    const no = make('button', { id: 'power-cancel', type: 'button', textContent: 'Cancel' });
    confirmBox.append(question, yes, no);
    const result = make('div', { id: 'power-result' });
    root.append(reboot, safeLabel, confirmBox, result);

    reboot.addEventListener('click', () => {
      confirmBox.hidden = false;
      reboot.disabled = true;
    });
    no.addEventListener('click', () => {
      confirmBox.hidden = true;
      reboot.disabled = false;
    });
    yes.addEventListener('click', () => {
      confirmBox.hidden = true;
      reboot.disabled = false;
      if (!api.channelOpen('control')) {
        result.textContent = 'Not connected to the host.';
        result.className = 'error';
        return;
      }
      api.sendControl({ type: 'remote_reboot', safeMode: safe.checked });
      result.textContent = 'Reboot requested…';
      result.className = '';
    });
    api.onControl('remote_reboot_ack', (msg) => {
      if (msg.executed) {
        result.textContent = `The host will restart in about 10 seconds${msg.safeMode ? ' (safe mode requested)' : ''}.`;
        result.className = 'ok';
      } else {
        result.textContent = `The host could not reboot: ${msg.error || 'unknown error'}.`;
        result.className = 'error';
      }
    });
  },
};
