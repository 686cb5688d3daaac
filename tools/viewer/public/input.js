// Remote input capture for the viewer: mouse, wheel and keyboard over the
// video element, sent as the binary messages of the "input" channel.
//
//   import { attachInput } from './input.js';
//   const detach = attachInput(videoElement, (bytes) => inputChannel.send(bytes));
//
// Wire format (little-endian): 0x01 move x,y (0..65535 over the picture),
// 0x02/0x03 button down/up, 0x04 wheel (vertical, horizontal in 1/120
// notches; positive = up / right), 0x05/0x06 key down/up (scan code, flags
// bit 0 = extended, virtual key), 0x07 key-state sync (DOM codes held).

// DOM code -> [set-1 scan code, extended].
const SCAN_CODES = {
  Escape: [0x01, 0], Digit1: [0x02, 0], Digit2: [0x03, 0], Digit3: [0x04, 0],
  Digit4: [0x05, 0], Digit5: [0x06, 0], Digit6: [0x07, 0], Digit7: [0x08, 0],
  Digit8: [0x09, 0], Digit9: [0x0a, 0], Digit0: [0x0b, 0], Minus: [0x0c, 0],
  Equal: [0x0d, 0], Backspace: [0x0e, 0], Tab: [0x0f, 0], KeyQ: [0x10, 0],
  KeyW: [0x11, 0], KeyE: [0x12, 0], KeyR: [0x13, 0], KeyT: [0x14, 0],
  KeyY: [0x15, 0], KeyU: [0x16, 0], KeyI: [0x17, 0], KeyO: [0x18, 0],
  KeyP: [0x19, 0], BracketLeft: [0x1a, 0], BracketRight: [0x1b, 0], Enter: [0x1c, 0],
  ControlLeft: [0x1d, 0], KeyA: [0x1e, 0], KeyS: [0x1f, 0], KeyD: [0x20, 0],
  KeyF: [0x21, 0], KeyG: [0x22, 0], KeyH: [0x23, 0], KeyJ: [0x24, 0],
  KeyK: [0x25, 0], KeyL: [0x26, 0], Semicolon: [0x27, 0], Quote: [0x28, 0],
  Backquote: [0x29, 0], ShiftLeft: [0x2a, 0], Backslash: [0x2b, 0], KeyZ: [0x2c, 0],
  KeyX: [0x2d, 0], KeyC: [0x2e, 0], KeyV: [0x2f, 0], KeyB: [0x30, 0],
  KeyN: [0x31, 0], KeyM: [0x32, 0], Comma: [0x33, 0], Period: [0x34, 0],
  Slash: [0x35, 0], ShiftRight: [0x36, 0], NumpadMultiply: [0x37, 0], AltLeft: [0x38, 0],
  Space: [0x39, 0], CapsLock: [0x3a, 0], F1: [0x3b, 0], F2: [0x3c, 0],
  F3: [0x3d, 0], F4: [0x3e, 0], F5: [0x3f, 0], F6: [0x40, 0],
  F7: [0x41, 0], F8: [0x42, 0], F9: [0x43, 0], F10: [0x44, 0],
  Pause: [0x45, 0], ScrollLock: [0x46, 0], Numpad7: [0x47, 0], Numpad8: [0x48, 0],
  Numpad9: [0x49, 0], NumpadSubtract: [0x4a, 0], Numpad4: [0x4b, 0], Numpad5: [0x4c, 0],
  Numpad6: [0x4d, 0], NumpadAdd: [0x4e, 0], Numpad1: [0x4f, 0], Numpad2: [0x50, 0],
  Numpad3: [0x51, 0], Numpad0: [0x52, 0], NumpadDecimal: [0x53, 0], IntlBackslash: [0x56, 0],
  F11: [0x57, 0], F12: [0x58, 0], IntlRo: [0x73, 0], IntlYen: [0x7d, 0],
  MediaTrackPrevious: [0x10, 1], MediaTrackNext: [0x19, 1], NumpadEnter: [0x1c, 1],
  ControlRight: [0x1d, 1], AudioVolumeMute: [0x20, 1], MediaPlayPause: [0x22, 1],
  MediaStop: [0x24, 1], AudioVolumeDown: [0x2e, 1], AudioVolumeUp: [0x30, 1],
  NumpadDivide: [0x35, 1], PrintScreen: [0x37, 1], AltRight: [0x38, 1],
  NumLock: [0x45, 1], Home: [0x47, 1], ArrowUp: [0x48, 1], PageUp: [0x49, 1],
  ArrowLeft: [0x4b, 1], ArrowRight: [0x4d, 1], End: [0x4f, 1], ArrowDown: [0x50, 1],
  PageDown: [0x51, 1], Insert: [0x52, 1], Delete: [0x53, 1], MetaLeft: [0x5b, 1],
  MetaRight: [0x5c, 1], ContextMenu: [0x5d, 1], OSLeft: [0x5b, 1], OSRight: [0x5c, 1],
};

// DOM button -> wire button (the wire has right before middle).
const BUTTONS = [0, 2, 1, 3, 4];
// Wheel units per DOM delta unit: pixels, lines, pages.
const WHEEL_SCALE = [1.2, 40, 120 * 3];

function u16(view, offset, value) {
  view.setUint16(offset, value & 0xffff, true);
}

export function encodeMove(x, y) {
  const b = new Uint8Array(7);
  const v = new DataView(b.buffer);
  b[0] = 0x01;
  u16(v, 1, x);
  u16(v, 3, y);
  return b;
}

export function encodeButton(down, button) {
  return new Uint8Array([down ? 0x02 : 0x03, button, 0, 0]);
}

export function encodeWheel(vertical, horizontal) {
  const b = new Uint8Array(6);
  const v = new DataView(b.buffer);
  b[0] = 0x04;
  v.setInt16(1, vertical, true);
  v.setInt16(3, horizontal, true);
  return b;
}

export function encodeKey(down, code, keyCode) {
  const [scan, ext] = SCAN_CODES[code] || [0, 0];
  const b = new Uint8Array(6);
  const v = new DataView(b.buffer);
  b[0] = down ? 0x05 : 0x06;
  u16(v, 1, scan);
  b[3] = ext;
  u16(v, 4, keyCode || 0);
  return b;
}

export function encodeKeyStateSync(codes) {
  const enc = new TextEncoder();
  const parts = [];
  for (const c of codes) {
    const bytes = enc.encode(c);
    if (bytes.length <= 255 && parts.length < 255) parts.push(bytes);
  }
  const total = 2 + parts.reduce((n, p) => n + 1 + p.length, 0);
  const b = new Uint8Array(total);
  b[0] = 0x07;
  b[1] = parts.length;
  let p = 2;
  for (const part of parts) {
    b[p++] = part.length;
    b.set(part, p);
    p += part.length;
  }
  return b;
}

function clamp16(v) {
  return Math.max(-32768, Math.min(32767, v));
}

// The rectangle of the element that shows the picture (a video keeps its
// aspect ratio inside its box).
function pictureRect(element) {
  const r = element.getBoundingClientRect();
  // A canvas (the data-channel decoder's surface) keeps its picture size in
  // width/height and is letterboxed by CSS just like a video.
  const vw = element.videoWidth || (element.tagName === 'CANVAS' ? element.width : 0) || 0;
  const vh = element.videoHeight || (element.tagName === 'CANVAS' ? element.height : 0) || 0;
  if (!vw || !vh || !r.width || !r.height) return r;
  const scale = Math.min(r.width / vw, r.height / vh);
  const w = vw * scale;
  const h = vh * scale;
  return { left: r.left + (r.width - w) / 2, top: r.top + (r.height - h) / 2, width: w, height: h };
}

// Starts capturing; returns a function that stops it.
export function attachInput(element, sendBinary) {
  const held = new Set();
  let wheelY = 0;
  let wheelX = 0;
  // A video is focusable (and so gets key events) only with an explicit tabindex.
  if (typeof element.hasAttribute !== 'function' || !element.hasAttribute('tabindex')) element.tabIndex = 0;

  const send = (bytes) => {
    try {
      sendBinary(bytes);
    } catch (e) {
      // A closed channel drops input, as the host expects of this channel.
    }
  };

  const sendPosition = (ev) => {
    const r = pictureRect(element);
    if (!r.width || !r.height) return;
    const nx = Math.min(1, Math.max(0, (ev.clientX - r.left) / r.width));
    const ny = Math.min(1, Math.max(0, (ev.clientY - r.top) / r.height));
    send(encodeMove(Math.round(nx * 65535), Math.round(ny * 65535)));
  };

  const onMove = (ev) => sendPosition(ev);
  const onDown = (ev) => {
    // Focusing must not scroll: the event coordinates were taken before.
    if (element.focus) element.focus({ preventScroll: true });
    ev.preventDefault();
    sendPosition(ev);
    if (ev.button >= 0 && ev.button < BUTTONS.length) send(encodeButton(true, BUTTONS[ev.button]));
  };
  const onUp = (ev) => {
    ev.preventDefault();
    sendPosition(ev);
    if (ev.button >= 0 && ev.button < BUTTONS.length) send(encodeButton(false, BUTTONS[ev.button]));
  };
  const onWheel = (ev) => {
    ev.preventDefault();
    const scale = WHEEL_SCALE[ev.deltaMode] || 1;
    // DOM deltas grow downwards and rightwards; the wire's vertical axis is up.
    wheelY += -ev.deltaY * scale;
    wheelX += ev.deltaX * scale;
    const y = clamp16(Math.trunc(wheelY));
    const x = clamp16(Math.trunc(wheelX));
    wheelY -= y;
    wheelX -= x;
    if (x || y) send(encodeWheel(y, x));
  };
  const onKeyDown = (ev) => {
    ev.preventDefault();
    held.add(ev.code);
    send(encodeKey(true, ev.code, ev.keyCode));
  };
  const onKeyUp = (ev) => {
    ev.preventDefault();
    held.delete(ev.code);
    send(encodeKey(false, ev.code, ev.keyCode));
    // The input channel may lose messages: restate what is still down.
    send(encodeKeyStateSync(held));
  };
  const onBlur = () => {
    // Keys released while the page had no focus never produced a keyup.
    if (held.size) {
      held.clear();
      send(encodeKeyStateSync(held));
    }
  };
  const onContextMenu = (ev) => ev.preventDefault();

  const listeners = [
    [element, 'mousemove', onMove],
    [element, 'mousedown', onDown],
    [element, 'mouseup', onUp],
    [element, 'wheel', onWheel, { passive: false }],
    [element, 'keydown', onKeyDown],
    [element, 'keyup', onKeyUp],
    [element, 'blur', onBlur],
    [element, 'contextmenu', onContextMenu],
  ];
  for (const [target, type, fn, opts] of listeners) target.addEventListener(type, fn, opts);
  return () => {
    onBlur();
    for (const [target, type, fn, opts] of listeners) target.removeEventListener(type, fn, opts);
  };
}
