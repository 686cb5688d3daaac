// Session recording: start and stop the host's recording, see its length
// and size, read its problems in words, and follow the upload when the
// service configured one.

const ERROR_WORDS = {
  RECORDING_SIZE_LIMIT: 'The recording reached the largest size the server accepts. '
    + 'What was recorded so far is kept and will be uploaded.',
  DISK_FULL: 'The host is running out of disk space, so the recording was stopped. '
    + 'The part recorded so far is kept.',
  IO_ERROR: 'The host could not write the recording file.',
  MUX_ERROR: 'The recording could not be made into an MP4 video; the raw video stream was kept instead.',
  ENCRYPT_ERROR: 'The recording could not be encrypted.',
};

const UPLOAD_FAILURES = {
  HTTPS_REQUIRED: 'the upload address is not a secure (https) address',
  IO: 'the recording file could not be read',
  TOO_LARGE: 'the recording is larger than the server accepts',
  CANCELLED: 'the upload was cancelled',
  TIMEOUT: 'the upload took too long',
  HTTP_4XX: 'the server refused the upload',
  HTTP_5XX: 'the server had a problem',
  NETWORK: 'the server could not be reached',
};

function clock(ms) {
  const s = Math.max(0, Math.floor(ms / 1000));
  const h = Math.floor(s / 3600);
  const m = Math.floor((s % 3600) / 60);
  const ss = String(s % 60).padStart(2, '0');
  return h ? `${h}:${String(m).padStart(2, '0')}:${ss}` : `${m}:${ss}`;
}

function bytes(n) {
  if (n < 1024) return `${n} B`;
  if (n < 1048576) return `${(n / 1024).toFixed(1)} KB`;
  if (n < 1073741824) return `${(n / 1048576).toFixed(1)} MB`;
  return `${(n / 1073741824).toFixed(2)} GB`;
}

function add(parent, tag, cls, text) {
  const el = document.createElement(tag);
  if (cls) el.className = cls;
  if (text) el.textContent = text;
  parent.appendChild(el);
  return el;
}

export default {
  id: 'recording',
  title: 'Record',
  help: 'Records the host screen. The host may start recording on its own when the session begins.',
  mount(el, api) {
    const toggle = add(el, 'button', 'rec-toggle', 'Start recording');
    toggle.id = 'rec-toggle';
    const stateLine = add(el, 'div', 'rec-state', 'Not recording');
    const errorLine = add(el, 'div', 'rec-error error');
    const upload = add(el, 'div', 'rec-upload');
    upload.hidden = true;
    const uploadText = add(upload, 'div', 'rec-upload-text');
    const bar = add(upload, 'progress', 'rec-upload-bar');
    bar.max = 1;
    bar.value = 0;

    let active = false;
    let lastMs = 0;
    let lastSize = 0;
    let seenAt = 0;

    function render() {
      toggle.textContent = active ? 'Stop recording' : 'Start recording';
      if (active) {
        const ms = lastMs + (performance.now() - seenAt);
        stateLine.textContent = `Recording ${clock(ms)}, ${bytes(lastSize)}`;
      } else if (lastSize > 0) {
        stateLine.textContent = `Not recording (last recording ${clock(lastMs)}, ${bytes(lastSize)})`;
      } else {
        stateLine.textContent = 'Not recording';
      }
    }

    api.onControl('recording_status', (m) => {
      active = !!m.active;
      lastMs = Number(m.durationMs) || 0;
      lastSize = Number(m.sizeBytes) || 0;
      seenAt = performance.now();
      if (active && lastMs === 0) errorLine.textContent = '';
      render();
    });
    api.onControl('recording_error', (m) => {
      const words = ERROR_WORDS[m.code] || 'The recording had a problem.';
      errorLine.textContent = m.message && m.code === 'ENCRYPT_ERROR' ? m.message : words;
      errorLine.title = `${m.code}: ${m.message || ''}`;
      api.show('recording');
    });
    api.onControl('recording_upload', (m) => {
      upload.hidden = false;
      const total = Number(m.totalBytes) || 0;
      const sent = Number(m.sentBytes) || 0;
      bar.value = total ? Math.min(1, sent / total) : 0;
      if (m.state === 'done') {
        uploadText.textContent = `Upload finished (${bytes(sent)})`;
        bar.value = 1;
      } else if (m.state === 'failed') {
        uploadText.textContent = `Upload failed: ${UPLOAD_FAILURES[m.code] || m.message || 'unknown problem'}`;
        uploadText.className = 'rec-upload-text error';
      } else {
        uploadText.className = 'rec-upload-text';
        uploadText.textContent = `Uploading ${bytes(sent)} of ${bytes(total)}`;
      }
    });

    toggle.addEventListener('click', () => {
      api.sendControl({ type: active ? 'recording_stop' : 'recording_start' });
    });
    setInterval(() => { if (active) render(); }, 1000);
    render();
  },
};
