// Reference viewer: joins a session on the development signaling server,
// answers the engine's offer and shows its screen, either from the RTP track
// (default) or, with ?transport=webcodecs, from the "video" data channel
// decoded with WebCodecs. Open it as /?session=<id>.
// State for tests and debugging lives on window.kvdViewer.
'use strict';

(() => {
  const params = new URLSearchParams(location.search);
  const sessionId = params.get('session') || '';
  const transport = params.get('transport') === 'webcodecs' ? 'webcodecs' : 'rtp';
  const wsScheme = location.protocol === 'https:' ? 'wss' : 'ws';
  const signalingUrl = `${wsScheme}://${location.host}/viewer?session=${encodeURIComponent(sessionId)}`;
  const CHANNELS = ['video', 'control', 'file', 'input', 'chat'];
  const KEEP = 200; // messages kept per channel for inspection

  const video = document.getElementById('video');
  const canvas = document.getElementById('canvas');
  const cursorCanvas = document.getElementById('cursor');
  const statusEl = document.getElementById('status');
  const channelsEl = document.getElementById('channels');

  const state = {
    sessionId,
    transport,
    status: 'starting',
    agentPresent: false,
    offers: 0,
    connectionState: 'new',
    channels: Object.fromEntries(CHANNELS.map((c) => [c, 'none'])),
    received: { control: [], chat: [], input: [], file: [] },
    videoChunks: 0,
    dcFramesDecoded: 0,
    dcFramesDropped: 0,
    keepalives: 0,
    cursor: { x: 0, y: 0, visible: false, shapes: 0, positions: 0 },
    errors: [],
  };

  // Feature modules subscribe here: label -> Set of fn(data), where data is
  // the parsed object for JSON text, the string for other text, and a
  // Uint8Array for binary messages.
  const listeners = new Map();
  const stateListeners = new Set();
  function on(label, fn) {
    if (!listeners.has(label)) listeners.set(label, new Set());
    listeners.get(label).add(fn);
    return () => listeners.get(label).delete(fn);
  }
  function onState(fn) {
    stateListeners.add(fn);
    return () => stateListeners.delete(fn);
  }
  function notify(label, data) {
    for (const fn of listeners.get(label) || []) {
      try { fn(data); } catch (err) { state.errors.push(String(err)); }
    }
  }
  function notifyState() {
    for (const fn of stateListeners) {
      try { fn(state); } catch (err) { state.errors.push(String(err)); }
    }
  }

  let ws = null;
  let pc = null;
  let channels = {};
  let pendingIce = [];
  let lastOfferAt = 0;

  function setStatus(s) {
    state.status = s;
    statusEl.textContent = `${sessionId || '(no session)'}: ${s}`;
    notifyState();
  }

  function showChannels() {
    channelsEl.textContent = CHANNELS.map((c) => `${c}:${state.channels[c]}`).join(' ');
    notifyState();
  }

  function remember(list, item) {
    list.push(item);
    if (list.length > KEEP) list.shift();
  }

  function signal(msg) {
    if (ws && ws.readyState === WebSocket.OPEN) ws.send(JSON.stringify(msg));
  }

  // --- signaling -------------------------------------------------------------

  function connectSignaling() {
    ws = new WebSocket(signalingUrl);
    ws.onopen = () => {
      // The server announces us to the engine: give its offer time to come
      // before asking again.
      lastOfferAt = Date.now();
      setStatus('waiting for the engine');
    };
    ws.onclose = () => {
      setStatus('signaling closed, retrying');
      setTimeout(connectSignaling, 2000);
    };
    ws.onmessage = (ev) => {
      let msg;
      try { msg = JSON.parse(ev.data); } catch { return; }
      if (msg.type === 'agent_status') state.agentPresent = !!msg.present;
      else if (msg.type === 'offer' && typeof msg.sdp === 'string') onOffer(msg.sdp).catch(fail);
      else if (msg.type === 'ice' && typeof msg.candidate === 'string') onRemoteIce(msg);
    };
  }

  // An engine that rebuilt its connection waits for a join: ask again when
  // no offer came or the connection died.
  setInterval(() => {
    const idle = !pc || ['failed', 'closed', 'disconnected'].includes(state.connectionState);
    if (idle && state.agentPresent && Date.now() - lastOfferAt > 3000) {
      lastOfferAt = Date.now();
      signal({ type: 'request_offer' });
    }
  }, 1000);

  function fail(err) {
    remember(state.errors, String(err && err.message ? err.message : err));
    console.error(err);
  }

  async function onOffer(sdp) {
    lastOfferAt = Date.now();
    // A re-sent copy of the offer being answered changes nothing.
    if (pc && pc.remoteDescription && pc.remoteDescription.sdp === sdp) return;
    state.offers++;
    if (pc) pc.close();
    pendingIce = [];
    channels = {};
    for (const c of CHANNELS) state.channels[c] = 'none';
    showChannels();
    pc = new RTCPeerConnection({ iceServers: [] });
    pc.onicecandidate = (e) => {
      if (e.candidate && e.candidate.candidate) {
        signal({ type: 'ice', candidate: e.candidate.candidate, sdpMid: e.candidate.sdpMid,
                 sdpMLineIndex: e.candidate.sdpMLineIndex });
      }
    };
    pc.onconnectionstatechange = () => {
      state.connectionState = pc.connectionState;
      setStatus(pc.connectionState);
    };
    // Chromium gives no stream with the track (the offer has no msid).
    pc.ontrack = (e) => {
      if (transport === 'rtp') video.srcObject = new MediaStream([e.track]);
    };
    pc.ondatachannel = (e) => attachChannel(e.channel);
    await pc.setRemoteDescription({ type: 'offer', sdp });
    const answer = await pc.createAnswer();
    await pc.setLocalDescription(answer);
    signal({ type: 'answer', sdp: advertiseMaxMessageSize(pc.localDescription.sdp) });
    for (const c of pendingIce) await addIce(c);
    pendingIce = [];
    setStatus('answered');
  }

  // Chromium takes 256 KiB messages but writes no a=max-message-size, which
  // means 64 KiB to the engine: one 204812-byte video chunk would not fit.
  function advertiseMaxMessageSize(sdp) {
    if (/a=max-message-size:/.test(sdp)) return sdp;
    return sdp.replace(/a=sctp-port:(\d+)\r\n/, (line) => `${line}a=max-message-size:262144\r\n`);
  }

  function onRemoteIce(msg) {
    if (!msg.candidate) return;
    if (!pc || !pc.remoteDescription) pendingIce.push(msg);
    else addIce(msg);
  }

  async function addIce(msg) {
    try {
      // The engine bundles everything on its first section.
      const mid = pc.getTransceivers()[0]?.mid ?? msg.sdpMid;
      await pc.addIceCandidate({ candidate: msg.candidate, sdpMid: mid, sdpMLineIndex: 0 });
    } catch (err) {
      fail(err);
    }
  }

  // --- data channels -----------------------------------------------------------

  function attachChannel(ch) {
    ch.binaryType = 'arraybuffer';
    channels[ch.label] = ch;
    state.channels[ch.label] = ch.readyState;
    showChannels();
    ch.onopen = () => {
      state.channels[ch.label] = 'open';
      showChannels();
      notify(`open:${ch.label}`, ch.label);
      if (ch.label === 'control') {
        signalViewerConfig(ch);
      }
    };
    ch.onclose = () => { state.channels[ch.label] = 'closed'; showChannels(); };
    ch.onmessage = (e) => onChannelMessage(ch.label, e.data);
  }

  function signalViewerConfig(ch) {
    const config = { type: 'viewer_config', videoTransport: transport, cursorOverlay: true };
    ch.send(JSON.stringify(config));
  }

  function onChannelMessage(label, data) {
    if (label === 'video') {
      if (data instanceof ArrayBuffer) onVideoChunk(new Uint8Array(data));
      return;
    }
    if (typeof data === 'string') {
      let parsed = data;
      try { parsed = JSON.parse(data); } catch { /* kept as text */ }
      // The engine asks for a sign of life on a quiet connection; the
      // transport's acknowledgement is the answer, so nothing is done here.
      if (label === 'control' && parsed && parsed.type === 'keepalive') {
        state.keepalives++;
        return;
      }
      remember(state.received[label], parsed);
      notify(label, parsed);
      return;
    }
    const bytes = new Uint8Array(data);
    if ((label === 'control' || label === 'input') && onCursorMessage(bytes)) return;
    // Large binary messages (file chunks) are kept by size only: the record
    // is for inspection, not a second copy of every transfer.
    remember(state.received[label], bytes.length <= 4096 ? { binary: Array.from(bytes) } : { size: bytes.length });
    notify(label, bytes);
  }

  function send(label, data) {
    const ch = channels[label];
    if (!ch || ch.readyState !== 'open') throw new Error(`channel ${label} is not open`);
    if (typeof data === 'string') ch.send(data);
    else ch.send(new Uint8Array(data));
  }

  function channelOpen(label) {
    const ch = channels[label];
    return !!ch && ch.readyState === 'open';
  }

  // The data channel itself, for modules that pace themselves on
  // bufferedAmount (file transfer); null while it is not open.
  function channel(label) {
    return channelOpen(label) ? channels[label] : null;
  }

  function surface() {
    return transport === 'webcodecs' ? canvas : video;
  }

  // Size of the decoded picture in host pixels (0 x 0 before the first frame).
  function pictureSize() {
    return transport === 'webcodecs'
      ? { width: canvas.width, height: canvas.height }
      : { width: video.videoWidth, height: video.videoHeight };
  }

  // --- cursor --------------------------------------------------------------------

  function onCursorMessage(b) {
    const view = new DataView(b.buffer, b.byteOffset, b.byteLength);
    if (b[0] === 0x10 && b.length === 9) {
      state.cursor.x = view.getUint16(5, true);
      state.cursor.y = view.getUint16(7, true);
      state.cursor.positions++;
      placeCursor();
      return true;
    }
    if (b[0] === 0x11 && b[1] === 0xfe && b.length === 8) {
      state.cursor.visible = false;
      cursorCanvas.hidden = true;
      return true;
    }
    if (b[0] === 0x11 && b[1] === 0xff && b.length >= 8) {
      const w = view.getUint16(4, true);
      const h = view.getUint16(6, true);
      if (w < 1 || h < 1 || b.length !== 8 + 4 * w * h) return false;
      state.cursor.hotX = b[2];
      state.cursor.hotY = b[3];
      cursorCanvas.width = w;
      cursorCanvas.height = h;
      cursorCanvas.getContext('2d').putImageData(new ImageData(new Uint8ClampedArray(b.slice(8)), w, h), 0, 0);
      state.cursor.visible = true;
      state.cursor.shapes++;
      cursorCanvas.hidden = false;
      placeCursor();
      return true;
    }
    return false;
  }

  function placeCursor() {
    const surface = transport === 'webcodecs' ? canvas : video;
    const x = surface.offsetLeft + (state.cursor.x / 65535) * surface.clientWidth - (state.cursor.hotX || 0);
    const y = surface.offsetTop + (state.cursor.y / 65535) * surface.clientHeight - (state.cursor.hotY || 0);
    cursorCanvas.style.transform = `translate(${x}px, ${y}px)`;
  }

  // --- video over the data channel (WebCodecs) -----------------------------------

  const partial = new Map(); // frame id -> { total, key, ts, count, parts, have }
  let decoder = null;
  let waitingForKey = true;

  function makeDecoder() {
    decoder = new VideoDecoder({
      output: (frame) => {
        if (canvas.width !== frame.displayWidth || canvas.height !== frame.displayHeight) {
          canvas.width = frame.displayWidth;
          canvas.height = frame.displayHeight;
        }
        canvas.getContext('2d').drawImage(frame, 0, 0);
        frame.close();
        state.dcFramesDecoded++;
      },
      error: (err) => {
        fail(err);
        waitingForKey = true;
        makeDecoder();
      },
    });
    decoder.configure({ codec: 'avc1.42e01f', optimizeForLatency: true });
  }

  function onVideoChunk(b) {
    state.videoChunks++;
    if (transport !== 'webcodecs' || b.length < 12) return;
    const view = new DataView(b.buffer, b.byteOffset, b.byteLength);
    const total = view.getUint32(0, true);
    const key = b[4] === 1;
    const ts = b[5] | (b[6] << 8) | (b[7] << 16);
    const id = view.getUint16(8, true);
    const index = b[10];
    const count = b[11];
    if (count === 0 || index >= count) return;
    let f = partial.get(id);
    if (!f || f.total !== total || f.count !== count) {
      f = { total, key, ts, count, parts: new Array(count), have: 0 };
      partial.set(id, f);
    }
    if (!f.parts[index]) {
      f.parts[index] = b.subarray(12);
      f.have++;
    }
    if (f.have < f.count) {
      // Frames whose chunks failed part-way never complete: keep only a few.
      while (partial.size > 8) {
        partial.delete(partial.keys().next().value);
        state.dcFramesDropped++;
      }
      return;
    }
    partial.delete(id);
    const data = new Uint8Array(total);
    let off = 0;
    for (const p of f.parts) {
      if (off + p.length > total) return;
      data.set(p, off);
      off += p.length;
    }
    if (off !== total) return;
    if (waitingForKey && !key) return;
    waitingForKey = false;
    if (!decoder || decoder.state === 'closed') makeDecoder();
    decoder.decode(new EncodedVideoChunk({ type: key ? 'key' : 'delta', timestamp: ts * 1000, data }));
  }

  // --- test and debugging surface ----------------------------------------------------

  async function framesDecoded() {
    if (transport === 'webcodecs') return state.dcFramesDecoded;
    if (!pc) return 0;
    let n = 0;
    (await pc.getStats()).forEach((r) => {
      if (r.type === 'inbound-rtp' && r.kind === 'video') n = r.framesDecoded || 0;
    });
    return n;
  }

  // RGB at normalised points of the picture currently shown.
  function samplePixels(points) {
    const src = transport === 'webcodecs' ? canvas : video;
    const w = transport === 'webcodecs' ? canvas.width : video.videoWidth;
    const h = transport === 'webcodecs' ? canvas.height : video.videoHeight;
    if (!w || !h) return null;
    const c = document.createElement('canvas');
    c.width = w;
    c.height = h;
    const ctx = c.getContext('2d', { willReadFrequently: true });
    ctx.drawImage(src, 0, 0, w, h);
    return {
      width: w,
      height: h,
      pixels: points.map(([x, y]) => {
        const d = ctx.getImageData(Math.min(w - 1, Math.floor(x * w)), Math.min(h - 1, Math.floor(y * h)), 1, 1).data;
        return [d[0], d[1], d[2]];
      }),
    };
  }

  // Closing tells the engine at once (DTLS close) instead of leaving it to
  // notice the silence.
  window.addEventListener('pagehide', () => { if (pc) pc.close(); });

  window.kvdViewer = {
    state, send, framesDecoded, samplePixels, on, onState, channelOpen, channel, surface, pictureSize,
  };
  if (transport === 'webcodecs') {
    video.hidden = true;
    canvas.hidden = false;
  }
  showChannels();
  setStatus('connecting');
  connectSignaling();
})();
