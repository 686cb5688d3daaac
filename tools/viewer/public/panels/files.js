// Files: send files to the host (picker or drag and drop) into its Downloads,
// Desktop or Documents folder, browse the host's folders and drives, and
// download a host file. Transfers run on the "file" channel in the host's
// binary protocol (panels/file_protocol.js), paced on the channel's
// bufferedAmount. window.kvdFiles exposes the transfer list for tests.
import * as P from './file_protocol.js';

const REFUSED = {
  0: 'file transfer is not allowed in this session',
  1: 'the file is larger than this session allows',
  2: 'the file is larger than 2 GiB',
  3: 'the host is already receiving 3 files; send it when one has finished',
  4: 'the host cannot save into that folder',
};
const HOST_CANCEL = {
  0: 'the host cancelled the transfer',
  1: 'the host rejected a damaged or unexpected chunk',
  2: 'the host could not write the file (disk full or write error); nothing was kept',
  3: 'the file changed on the host while it was being sent',
  4: 'the host could not read the file',
};
const COMPLETE_STATUS = {
  1: 'the file arrived damaged (checksum mismatch); the host discarded it',
  2: 'the host could not store the file; nothing was kept',
};
const PULL_ERROR = {
  empty_path: 'no file was chosen',
  not_found: 'the file does not exist (names shown with \ufffd cannot be fetched)',
  stat_failed: "the file's details could not be read",
  too_large: 'the file is larger than 2 GiB',
  read_failed: 'the file could not be read',
  read_truncated: 'the file changed or shrank while the host read it',
  enqueue_rejected: 'the host refused to send it (empty file, file transfer not allowed, or 3 downloads running)',
};
const LIST_ERROR = {
  not_found: 'this folder does not exist',
  not_a_directory: 'this is not a folder',
  policy_denied: 'file transfer is disabled for this session',
  access_denied: 'this folder cannot be read',
};
// Native hashing reads the whole file at once; above this the panel hashes
// incrementally instead.
const NATIVE_HASH_LIMIT = 1 << 30;
const MAX_WINDOW = 100;

const STYLE = `
.kf-drop { border: 1px dashed #666; padding: 10px; text-align: center; margin: 4px 0; }
.kf-drop.over { border-color: #6a8fc5; background: #2c3440; }
.kf-item { margin: 4px 0; padding: 3px; background: #1d1f21; }
.kf-item progress { width: 100%; height: 8px; }
.kf-item .kf-line { display: flex; justify-content: space-between; gap: 4px; }
.kf-item .kf-name { overflow: hidden; text-overflow: ellipsis; white-space: nowrap; }
.kf-list { max-height: 260px; overflow-y: auto; }
.kf-list table { width: 100%; border-collapse: collapse; font-size: 12px; }
.kf-list td { padding: 1px 3px; white-space: nowrap; }
.kf-list tr.dir td:first-child { cursor: pointer; color: #9cc3ff; }
.kf-path { font-family: monospace; font-size: 11px; word-break: break-all; }
`;

function fmtBytes(n) {
  if (n < 1024) return `${n} B`;
  const u = ['KiB', 'MiB', 'GiB'];
  let i = -1;
  do { n /= 1024; i++; } while (n >= 1024 && i < u.length - 1);
  return `${n.toFixed(1)} ${u[i]}`;
}

async function hashBlob(blob) {
  if (blob.size <= NATIVE_HASH_LIMIT) return new Uint8Array(await crypto.subtle.digest('SHA-256', await blob.arrayBuffer()));
  const h = new P.Sha256();
  for (let off = 0; off < blob.size; off += 8 << 20) h.update(new Uint8Array(await blob.slice(off, off + (8 << 20)).arrayBuffer()));
  return h.digest();
}

function el(tag, props = {}, ...kids) {
  const e = document.createElement(tag);
  Object.assign(e, props);
  e.append(...kids);
  return e;
}

export default {
  id: 'files',
  title: 'Files',
  help: 'Send files to the host, browse its folders and download from it.',
  mount(root, api) {
    root.append(el('style', { textContent: STYLE }));
    const transfers = [];   // everything shown, for tests too
    const uploads = new Map();   // our id -> upload
    const downloads = new Map(); // host id -> download
    let nextId = 0x40000001;     // apart from the host's own ids
    const settings = { discard: false, manual: false };
    window.kvdFiles = { transfers, settings, downloaded: [] };

    // --- upload UI --------------------------------------------------------
    // No destination: the host's own download folder for received files.
    const dest = el('select', { id: 'files-dest' },
      el('option', { value: '', textContent: 'the session download folder' }),
      ...['Downloads', 'Desktop', 'Documents'].map((d) => el('option', { value: d, textContent: d })));
    const picker = el('input', { type: 'file', multiple: true, id: 'files-picker' });
    const drop = el('div', { className: 'kf-drop', id: 'files-drop', textContent: 'Drop files here to send them to the host' });
    const list = el('div', { id: 'files-transfers' });
    root.append(el('div', {}, 'Send to ', dest, ' ', picker), drop, list);
    picker.addEventListener('change', () => { for (const f of picker.files) upload(f, dest.value); picker.value = ''; });
    drop.addEventListener('dragover', (e) => { e.preventDefault(); drop.classList.add('over'); });
    drop.addEventListener('dragleave', () => drop.classList.remove('over'));
    drop.addEventListener('drop', (e) => {
      e.preventDefault();
      drop.classList.remove('over');
      for (const f of e.dataTransfer.files) upload(f, dest.value);
    });

    function addItem(kind, name, size, onCancel) {
      const t = { kind, name, size, done: 0, state: 'starting', message: '', speed: 0, t0: performance.now() };
      const bar = el('progress', { max: Math.max(size, 1), value: 0 });
      const status = el('span', { className: 'kf-status' });
      const cancelBtn = el('button', { type: 'button', textContent: 'Cancel' });
      cancelBtn.addEventListener('click', onCancel);
      const node = el('div', { className: 'kf-item' },
        el('div', { className: 'kf-line' }, el('span', { className: 'kf-name', textContent: `${kind === 'up' ? '↑' : '↓'} ${name}` }), cancelBtn),
        bar, status);
      list.prepend(node);
      t.render = () => {
        bar.value = t.done;
        const secs = (performance.now() - t.t0) / 1000;
        t.speed = secs > 0 ? t.done / secs : 0;
        const base = `${fmtBytes(t.done)} of ${fmtBytes(size)}`;
        status.className = `kf-status ${t.state === 'failed' ? 'error' : t.state === 'done' ? 'ok' : ''}`;
        status.textContent = t.state === 'running' ? `${base}, ${fmtBytes(t.speed)}/s`
          : t.message || `${base} (${t.state})`;
        cancelBtn.disabled = t.state === 'done' || t.state === 'failed';
      };
      t.finish = (state, message) => { t.state = state; t.message = message; t.finishedAt = performance.now(); t.render(); };
      transfers.push(t);
      t.render();
      return t;
    }

    function send(bytes) {
      try { api.send('file', bytes); return true; } catch { return false; }
    }
    function channel() { return api.channel('file'); }

    // Sends while the window and the channel's queue allow; re-armed by
    // acknowledgements and the channel's low-water event.
    function pumpUpload(u) {
      if (u.pumping || u.ended) return;
      u.pumping = true;
      (async () => {
        try {
          const ch = channel();
          while (!u.ended && u.next < u.total) {
            if (!ch || ch.readyState !== 'open') throw new Error('the connection to the host closed');
            if (u.next - u.acked >= u.window) return;
            if (ch.bufferedAmount > P.PAUSE_BUFFERED) { u.paused = true; return; }
            if (u.paused && ch.bufferedAmount >= P.RESUME_BUFFERED) return;
            u.paused = false;
            const off = u.next * P.CHUNK;
            if (off >= u.bufEnd || off < u.bufStart) {
              u.bufStart = off;
              u.buf = new Uint8Array(await u.file.slice(off, off + (1 << 20)).arrayBuffer());
              u.bufEnd = off + u.buf.length;
              if (u.ended) return;
            }
            const data = u.buf.subarray(off - u.bufStart, Math.min(off - u.bufStart + P.CHUNK, u.buf.length));
            if (!send(P.chunk(u.id, u.next, data))) throw new Error('the connection to the host closed');
            const g = Math.floor(u.next / P.GROUP_CHUNKS);
            if (u.next % P.GROUP_CHUNKS === 0) u.crcs[g] = 0;
            u.crcs[g] = P.crc32(u.crcs[g], data);
            u.next++;
          }
          if (!u.ended && u.next === u.total && !u.endSent) { u.endSent = true; send(P.end(u.id, u.total)); }
        } catch (err) {
          endUpload(u, 'failed', String(err.message || err));
        } finally {
          u.pumping = false;
        }
      })();
    }

    function endUpload(u, state, message) {
      if (u.ended) return;
      u.ended = true;
      uploads.delete(u.id);
      u.item.finish(state, message);
    }

    async function upload(file, destination) {
      const id = nextId++;
      const u = { id, file, total: Math.ceil(file.size / P.CHUNK), next: 0, acked: 0, window: 10, ended: false, bufStart: 0, bufEnd: 0, crcs: [] };
      u.item = addItem('up', file.name, file.size, () => {
        if (u.ended) return;
        send(P.cancel(id, 0));
        endUpload(u, 'failed', 'cancelled');
      });
      u.item.destination = destination;
      if (file.size > P.MAX_SIZE) return endUpload(u, 'failed', REFUSED[2]);
      uploads.set(id, u);
      u.item.finish('hashing', 'computing checksum…');
      let sha;
      try { sha = await hashBlob(file); } catch (err) { return endUpload(u, 'failed', `the file could not be read: ${err}`); }
      if (u.ended) return;
      u.item.t0 = performance.now();
      if (!send(P.start(id, file.name, file.size, sha, destination))) return endUpload(u, 'failed', 'the file channel is not open');
      u.item.finish('waiting', 'waiting for the host…');
    }

    function onUploadMessage(m, u) {
      if (m.type === P.T.START_REPLY) {
        if (!m.accepted) return endUpload(u, 'failed', `refused: ${REFUSED[m.reason] || `reason ${m.reason}`}`);
        u.item.t0 = performance.now();
        u.item.state = 'running';
        pumpUpload(u);
      } else if (m.type === P.T.ACK) {
        if (m.index + 1 > u.acked && m.index < u.next) {
          u.acked = m.index + 1;
          u.window = Math.min(u.window * 2, MAX_WINDOW);
          u.item.done = Math.min(u.acked * P.CHUNK, u.file.size);
          u.item.render();
        }
        pumpUpload(u);
      } else if (m.type === P.T.COMPLETE) {
        u.item.done = m.status === 0 ? u.file.size : u.item.done;
        if (m.status === 0) endUpload(u, 'done', `sent to the host's ${u.item.destination || 'download folder'} (${fmtBytes(u.file.size)}, ${fmtBytes(u.item.speed)}/s)`);
        else endUpload(u, 'failed', COMPLETE_STATUS[m.status] || `the host reported status ${m.status}`);
      } else if (m.type === P.T.CANCEL) {
        endUpload(u, 'failed', HOST_CANCEL[m.reason] || `the host cancelled (reason ${m.reason})`);
      } else if (m.type === P.T.GROUP_CRC) {
        // The host does not rewind; its final checksum decides.
        if (u.crcs[m.seq] !== undefined && u.crcs[m.seq] !== m.crc) send(P.rewind(u.id, m.seq, m.seq * P.GROUP_CHUNKS));
      } else if (m.type === P.T.REWIND || m.type === P.T.RESUME) {
        const to = m.type === P.T.RESUME ? m.index + 1 : m.index;
        if (to <= u.next) {
          u.next = to;
          if (m.type === P.T.RESUME) u.acked = to;
          u.endSent = false;
          pumpUpload(u);
        }
      }
    }

    // --- downloads (host to viewer) -----------------------------------------
    function onHostStart(m) {
      // manual: a test answers the host's offers itself.
      if (downloads.has(m.id) || settings.manual) return;
      const d = { id: m.id, name: m.name, size: m.size, sha: m.sha, parts: [], received: 0, expect: 0, crc: 0, inGroup: 0, seq: 0 };
      if (settings.discard || m.size > NATIVE_HASH_LIMIT) d.hash = new P.Sha256();
      d.item = addItem('down', m.name, m.size, () => {
        if (d.ended) return;
        send(P.cancel(d.id, 0));
        endDownload(d, 'failed', 'cancelled');
      });
      downloads.set(m.id, d);
      d.item.state = 'running';
      send(P.startReply(m.id, true, 0));
    }

    function endDownload(d, state, message) {
      if (d.ended) return;
      d.ended = true;
      downloads.delete(d.id);
      d.parts = null;
      d.item.finish(state, message);
    }

    function onDownloadMessage(m, d) {
      if (m.type === P.T.CHUNK) {
        if (m.index !== d.expect || d.received + m.data.length > d.size) {
          send(P.cancel(d.id, 1));
          return endDownload(d, 'failed', 'the host sent an unexpected chunk');
        }
        const data = m.data.slice();
        if (d.hash) d.hash.update(data);
        if (!settings.discard) d.parts.push(data);
        d.received += data.length;
        d.expect++;
        d.crc = P.crc32(d.crc, data);
        if (++d.inGroup === P.GROUP_CHUNKS) {
          send(P.groupCrc(d.id, d.seq++, d.crc));
          d.crc = 0;
          d.inGroup = 0;
        }
        send(P.ack(d.id, m.index));
        d.item.done = d.received;
        d.lastChunkAt = performance.now();
        if ((m.index & 15) === 0) d.item.render();
      } else if (m.type === P.T.END) {
        if (d.verifying) return;  // the host repeats END until it hears back
        d.verifying = true;
        verifyDownload(d);
      } else if (m.type === P.T.CANCEL) {
        endDownload(d, 'failed', HOST_CANCEL[m.reason] || `the host cancelled (reason ${m.reason})`);
      } else if (m.type === P.T.REWIND) {
        // The host found a group damaged: drop it and ask for it again.
        if (d.hash || m.index > d.expect || m.index % P.GROUP_CHUNKS) {
          send(P.cancel(d.id, 1));
          return endDownload(d, 'failed', 'the host reported damaged data');
        }
        d.parts.length = m.index;
        d.received = d.parts.reduce((n, p) => n + p.length, 0);
        d.expect = m.index;
        d.seq = m.seq;
        d.crc = 0;
        d.inGroup = 0;
        send(P.rewind(d.id, m.seq, m.index));
      }
    }

    async function verifyDownload(d) {
      const blob = settings.discard ? null : new Blob(d.parts);
      const sha = d.hash ? d.hash.digest() : await hashBlob(blob);
      const ok = d.received === d.size && P.hex(sha) === P.hex(d.sha);
      send(P.complete(d.id, ok ? 0 : 1, d.name));
      const secs = (performance.now() - d.item.t0) / 1000;
      window.kvdFiles.downloaded.push({ name: d.name, size: d.received, sha256: P.hex(sha), ok, seconds: secs,
        transferSeconds: ((d.lastChunkAt || performance.now()) - d.item.t0) / 1000 });
      if (!ok) return endDownload(d, 'failed', 'the file arrived damaged (checksum mismatch)');
      if (blob) {
        const a = el('a', { href: URL.createObjectURL(blob), download: d.name });
        document.body.append(a);
        a.click();
        a.remove();
        setTimeout(() => URL.revokeObjectURL(a.href), 60000);
      }
      endDownload(d, 'done', `downloaded ${fmtBytes(d.received)} (${fmtBytes(d.received / Math.max(secs, 0.001))}/s)`);
    }

    api.on('file', (bytes) => {
      const m = P.parse(bytes);
      if (!m) return;
      const u = uploads.get(m.id);
      if (u && m.type !== P.T.START && m.type !== P.T.CHUNK && m.type !== P.T.END) return onUploadMessage(m, u);
      if (m.type === P.T.START) return onHostStart(m);
      const d = downloads.get(m.id);
      if (d) onDownloadMessage(m, d);
    });
    // The channel's low-water mark re-arms paused uploads.
    setInterval(() => {
      const ch = channel();
      if (ch && ch.bufferedAmountLowThreshold !== P.RESUME_BUFFERED) {
        ch.bufferedAmountLowThreshold = P.RESUME_BUFFERED;
        ch.addEventListener('bufferedamountlow', () => { for (const u of uploads.values()) pumpUpload(u); });
      }
      for (const u of uploads.values()) if (u.item.state === 'running') pumpUpload(u);
      if (!ch) {
        for (const u of [...uploads.values()]) if (u.item.state === 'running') endUpload(u, 'failed', 'the connection to the host closed');
        for (const d of [...downloads.values()]) endDownload(d, 'failed', 'the connection to the host closed');
      }
    }, 50);

    // --- host browser ---------------------------------------------------------
    const places = el('div', { id: 'files-places' });
    const pathLine = el('div', { className: 'kf-path', id: 'files-path' });
    const upBtn = el('button', { type: 'button', textContent: 'Up', id: 'files-up' });
    const refreshBtn = el('button', { type: 'button', textContent: 'Host folders', id: 'files-browse' });
    const listMsg = el('div', { id: 'files-list-message' });
    const table = el('table', { id: 'files-entries' });
    root.append(el('h3', { textContent: 'Host files' }), el('div', {}, refreshBtn, upBtn), places, pathLine, listMsg,
      el('div', { className: 'kf-list' }, table));
    let parent = '';
    let current = '';
    refreshBtn.addEventListener('click', () => {
      api.sendControl({ type: 'request_special_folders' });
      api.sendControl({ type: 'request_dir_list', path: current });
    });
    upBtn.addEventListener('click', () => { if (parent) api.sendControl({ type: 'request_dir_list', path: parent }); });

    function navigate(path) { api.sendControl({ type: 'request_dir_list', path }); }

    api.onControl('special_folders_response', (m) => {
      places.textContent = '';
      const all = [...(m.shortcuts || []).map((s) => [s.name, s.path]),
        ...(m.drives || []).map((d) => [`${d.label && d.label !== d.path ? `${d.path} (${d.label}, ${d.type})` : `${d.path} (${d.type})`}`, d.path])];
      if (!all.length) places.append(el('span', { className: 'error', textContent: 'the host offers no folders (file transfer may be disabled)' }));
      for (const [label, path] of all) {
        const b = el('button', { type: 'button', textContent: label });
        b.addEventListener('click', () => navigate(path));
        places.append(b);
      }
    });

    api.onControl('dir_list_response', (m) => {
      parent = m.parent || '';
      upBtn.disabled = !parent || parent === m.path;
      pathLine.textContent = m.path || '';
      table.textContent = '';
      listMsg.className = m.error ? 'error' : '';
      if (m.error) {
        listMsg.textContent = `${m.path}: ${LIST_ERROR[m.error] || m.error}`;
        return;
      }
      current = m.path;
      listMsg.textContent = `${m.entries.length} entries${m.truncated ? ' (the folder has more than can be shown)' : ''}`;
      const entries = [...m.entries].sort((a, b) => (b.isDir - a.isDir) || a.name.localeCompare(b.name));
      for (const e of entries) {
        const full = m.path.endsWith('/') || m.path.endsWith('\\') ? m.path + e.name : `${m.path}${m.path.includes('\\') ? '\\' : '/'}${e.name}`;
        const row = el('tr', { className: e.isDir ? 'dir' : 'file' },
          el('td', { textContent: e.isDir ? `📁 ${e.name}` : e.name }),
          el('td', { textContent: e.isDir ? '' : fmtBytes(e.size) }),
          el('td', { textContent: (e.mtime || '').replace('T', ' ').replace('Z', '') }));
        if (e.isDir) {
          row.firstChild.addEventListener('click', () => navigate(full));
        } else {
          const get = el('button', { type: 'button', textContent: 'Download' });
          get.dataset.path = full;
          get.addEventListener('click', () => api.sendControl({ type: 'request_file_pull', path: full }));
          row.append(el('td', {}, get));
        }
        table.append(row);
      }
    });

    api.onControl('file_pull_error', (m) => {
      const t = addItem('down', m.path, 0, () => {});
      t.finish('failed', `${m.path}: ${PULL_ERROR[m.reason] || m.reason}`);
    });
    api.onControl('file_pull_started', () => {});
  },
};
