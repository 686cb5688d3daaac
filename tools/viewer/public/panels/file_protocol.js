// The file channel's binary protocol as the viewer speaks it: message
// builders and a parser, an incremental SHA-256 (WebCrypto has no streaming
// digest) and the reflected CRC-32 of group checks.

export const CHUNK = 16384;
export const GROUP_CHUNKS = 16;
export const MAX_SIZE = 2147483648;
export const PAUSE_BUFFERED = 262144;
export const RESUME_BUFFERED = 131072;
export const T = { START: 1, START_REPLY: 2, CHUNK: 3, ACK: 4, END: 5, COMPLETE: 6, CANCEL: 7, RESUME: 8, GROUP_CRC: 9, REWIND: 10 };

const enc = new TextEncoder();
const dec = new TextDecoder();

function msg(type, id, extra) {
  const b = new Uint8Array(5 + extra);
  const v = new DataView(b.buffer);
  b[0] = type;
  v.setUint32(1, id, true);
  return [b, v];
}

export function start(id, name, size, sha, dest) {
  const n = enc.encode(name);
  const d = dest ? enc.encode(dest) : new Uint8Array(0);
  const [b, v] = msg(T.START, id, 1 + 2 + n.length + 8 + 32 + (d.length ? 2 + d.length : 0));
  b[5] = 0;
  v.setUint16(6, n.length, true);
  b.set(n, 8);
  v.setBigUint64(8 + n.length, BigInt(size), true);
  b.set(sha, 16 + n.length);
  if (d.length) {
    v.setUint16(48 + n.length, d.length, true);
    b.set(d, 50 + n.length);
  }
  return b;
}
export function startReply(id, accepted, reason) {
  const [b] = msg(T.START_REPLY, id, 2);
  b[5] = accepted ? 1 : 0;
  b[6] = reason;
  return b;
}
export function chunk(id, index, data) {
  const [b, v] = msg(T.CHUNK, id, 6 + data.length);
  v.setUint32(5, index, true);
  v.setUint16(9, data.length, true);
  b.set(data, 11);
  return b;
}
export function ack(id, index) {
  const [b, v] = msg(T.ACK, id, 6);
  v.setUint32(5, index, true);
  v.setUint16(9, 10, true);
  return b;
}
export function end(id, total) {
  const [b, v] = msg(T.END, id, 4);
  v.setUint32(5, total, true);
  return b;
}
export function complete(id, status, name) {
  const n = enc.encode(name);
  const [b, v] = msg(T.COMPLETE, id, 3 + n.length);
  b[5] = status;
  v.setUint16(6, n.length, true);
  b.set(n, 8);
  return b;
}
export function cancel(id, reason) {
  const [b] = msg(T.CANCEL, id, 1);
  b[5] = reason;
  return b;
}
export function groupCrc(id, seq, crc) {
  const [b, v] = msg(T.GROUP_CRC, id, 6);
  v.setUint16(5, seq, true);
  v.setUint32(7, crc >>> 0, true);
  return b;
}

export function rewind(id, seq, index) {
  const [b, v] = msg(T.REWIND, id, 6);
  v.setUint16(5, seq, true);
  v.setUint32(7, index, true);
  return b;
}

// One received message as an object, or null when it is malformed.
export function parse(b) {
  if (!(b instanceof Uint8Array) || b.length < 6) return null;
  const v = new DataView(b.buffer, b.byteOffset, b.byteLength);
  const m = { type: b[0], id: v.getUint32(1, true) };
  switch (m.type) {
    case T.START: {
      if (b.length < 8) return null;
      const nl = v.getUint16(6, true);
      if (b.length < 48 + nl) return null;
      m.kind = b[5];
      m.name = dec.decode(b.subarray(8, 8 + nl));
      m.size = Number(v.getBigUint64(8 + nl, true));
      m.sha = b.slice(16 + nl, 48 + nl);
      return m;
    }
    case T.START_REPLY: return b.length === 7 ? Object.assign(m, { accepted: b[5] === 1, reason: b[6] }) : null;
    case T.CHUNK: {
      if (b.length < 11 || b.length !== 11 + v.getUint16(9, true)) return null;
      return Object.assign(m, { index: v.getUint32(5, true), data: b.subarray(11) });
    }
    case T.ACK: return b.length === 11 ? Object.assign(m, { index: v.getUint32(5, true) }) : null;
    case T.END: return b.length === 9 ? Object.assign(m, { total: v.getUint32(5, true) }) : null;
    case T.COMPLETE: {
      if (b.length < 8 || b.length !== 8 + v.getUint16(6, true)) return null;
      return Object.assign(m, { status: b[5], name: dec.decode(b.subarray(8)) });
    }
    case T.CANCEL: return b.length === 6 ? Object.assign(m, { reason: b[5] }) : null;
    case T.RESUME: return b.length === 9 ? Object.assign(m, { index: v.getUint32(5, true) }) : null;
    case T.GROUP_CRC:
      return b.length === 11 ? Object.assign(m, { seq: v.getUint16(5, true), crc: v.getUint32(7, true) }) : null;
    case T.REWIND:
      return b.length === 11 ? Object.assign(m, { seq: v.getUint16(5, true), index: v.getUint32(7, true) }) : null;
    default: return null;
  }
}

// Slicing by 8: eight tables, eight bytes per step.
const CRC_TABLES = (() => {
  const t = new Int32Array(256 * 8);
  for (let n = 0; n < 256; n++) {
    let c = n;
    for (let k = 0; k < 8; k++) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
    t[n] = c;
  }
  for (let n = 0; n < 256; n++) {
    for (let k = 1; k < 8; k++) t[k * 256 + n] = (t[(k - 1) * 256 + n] >>> 8) ^ t[t[(k - 1) * 256 + n] & 0xff];
  }
  return t;
})();

// Continues a CRC-32 (start from 0).
export function crc32(crc, data) {
  const t = CRC_TABLES;
  let c = ~crc;
  let i = 0;
  const n8 = data.length - 8;
  for (; i <= n8; i += 8) {
    const lo = c ^ (data[i] | (data[i + 1] << 8) | (data[i + 2] << 16) | (data[i + 3] << 24));
    c = t[1792 + (lo & 0xff)] ^ t[1536 + ((lo >>> 8) & 0xff)] ^ t[1280 + ((lo >>> 16) & 0xff)] ^ t[1024 + (lo >>> 24)] ^
      t[768 + data[i + 4]] ^ t[512 + data[i + 5]] ^ t[256 + data[i + 6]] ^ t[data[i + 7]];
  }
  for (; i < data.length; i++) c = t[(c ^ data[i]) & 0xff] ^ (c >>> 8);
  return ~c >>> 0;
}

const K = new Int32Array([
  0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
  0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
  0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
  0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
  0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
  0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
  0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
  0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
]);

export class Sha256 {
  constructor() {
    this.h = new Int32Array([0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19]);
    this.w = new Int32Array(64);
    this.buf = new Uint8Array(64);
    this.bufLen = 0;
    this.total = 0;
  }

  block(d, off) {
    const w = this.w;
    const h = this.h;
    for (let i = 0, j = off; i < 16; i++, j += 4) w[i] = (d[j] << 24) | (d[j + 1] << 16) | (d[j + 2] << 8) | d[j + 3];
    for (let i = 16; i < 64; i++) {
      const x = w[i - 15];
      const y = w[i - 2];
      w[i] = (((((x >>> 7) | (x << 25)) ^ ((x >>> 18) | (x << 14)) ^ (x >>> 3)) +
        (((y >>> 17) | (y << 15)) ^ ((y >>> 19) | (y << 13)) ^ (y >>> 10)) + w[i - 16] + w[i - 7]) | 0);
    }
    let a = h[0] | 0; let b = h[1] | 0; let c = h[2] | 0; let dd = h[3] | 0;
    let e = h[4] | 0; let f = h[5] | 0; let g = h[6] | 0; let hh = h[7] | 0;
    for (let i = 0; i < 64; i++) {
      const t1 = (hh + (((e >>> 6) | (e << 26)) ^ ((e >>> 11) | (e << 21)) ^ ((e >>> 25) | (e << 7))) +
        ((e & f) ^ (~e & g)) + K[i] + w[i]) | 0;
      const t2 = ((((a >>> 2) | (a << 30)) ^ ((a >>> 13) | (a << 19)) ^ ((a >>> 22) | (a << 10))) +
        ((a & b) ^ (a & c) ^ (b & c))) | 0;
      hh = g; g = f; f = e; e = (dd + t1) | 0; dd = c; c = b; b = a; a = (t1 + t2) | 0;
    }
    h[0] = (h[0] + a) | 0; h[1] = (h[1] + b) | 0; h[2] = (h[2] + c) | 0; h[3] = (h[3] + dd) | 0;
    h[4] = (h[4] + e) | 0; h[5] = (h[5] + f) | 0; h[6] = (h[6] + g) | 0; h[7] = (h[7] + hh) | 0;
  }

  update(data) {
    let i = 0;
    this.total += data.length;
    if (this.bufLen) {
      while (this.bufLen < 64 && i < data.length) this.buf[this.bufLen++] = data[i++];
      if (this.bufLen < 64) return this;
      this.block(this.buf, 0);
      this.bufLen = 0;
    }
    for (; i + 64 <= data.length; i += 64) this.block(data, i);
    while (i < data.length) this.buf[this.bufLen++] = data[i++];
    return this;
  }

  digest() {
    const bits = this.total * 8;
    const pad = new Uint8Array(((this.bufLen < 56 ? 56 : 120) - this.bufLen) + 8);
    pad[0] = 0x80;
    const v = new DataView(pad.buffer);
    v.setUint32(pad.length - 8, Math.floor(bits / 0x100000000), false);
    v.setUint32(pad.length - 4, bits >>> 0, false);
    const total = this.total;
    this.update(pad);
    this.total = total;
    const out = new Uint8Array(32);
    const ov = new DataView(out.buffer);
    for (let i = 0; i < 8; i++) ov.setUint32(i * 4, this.h[i] >>> 0, false);
    return out;
  }
}

export function hex(bytes) {
  return Array.from(bytes, (x) => x.toString(16).padStart(2, '0')).join('');
}
