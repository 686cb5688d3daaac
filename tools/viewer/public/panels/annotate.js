// Drawing on the host's screen: pick a tool, then draw over the picture with
// the mouse. While a tool is armed, a transparent layer over the picture
// takes the mouse, so nothing reaches the host's input; "Off" gives the
// mouse back. Strokes go out as "annotation_draw" in the pixels of the host's
// virtual screen (the shown monitor's place and real size, from "monitor_list").
const TOOLS = [
  ['arrow', 'Arrow'], ['circle', 'Circle'], ['rectangle', 'Rectangle'],
  ['freehand', 'Freehand'], ['text', 'Text'], ['pointer', 'Pointer'],
];
// The host keeps at most this many points of one stroke.
const MAX_POINTS = 2000;

const STYLE = `
#panel-annotate .anno-tools { display: flex; flex-wrap: wrap; gap: 4px; margin-bottom: 6px; }
#panel-annotate .anno-tools button.active { outline: 2px solid #4aa3ff; }
#panel-annotate label { display: block; margin: 4px 0; }
#anno-layer { position: fixed; cursor: crosshair; z-index: 5; background: transparent; }
`;

function el(tag, props = {}, children = []) {
  const e = Object.assign(document.createElement(tag), props);
  e.append(...children);
  return e;
}

export default {
  id: 'annotate',
  title: 'Annotate',
  help: 'Draw on the host screen: choose a tool, colour and width, then draw over the picture. Off returns the mouse to remote control.',
  mount(root, api) {
    root.append(el('style', { textContent: STYLE }));
    let tool = null;
    let seq = 0;
    let monitor = null; // see onControl('monitor_list') below
    const buttons = new Map();
    const bar = el('div', { className: 'anno-tools' });
    const setTool = (name) => {
      tool = name;
      if (name && !monitor && api.channelOpen('control')) api.sendControl({ type: 'monitor_list' });
      for (const [n, b] of buttons) b.classList.toggle('active', n === name);
      placeLayer();
    };
    for (const [name, label] of [...TOOLS, [null, 'Off']]) {
      const b = el('button', { type: 'button', id: `anno-tool-${name || 'off'}`, textContent: label });
      b.addEventListener('click', () => setTool(name));
      buttons.set(name, b);
      bar.append(b);
    }
    const colour = el('input', { type: 'color', id: 'anno-color', value: '#ff0000' });
    const width = el('input', { type: 'range', id: 'anno-width', min: 1, max: 32, value: 3 });
    const text = el('input', { type: 'text', id: 'anno-text', value: '', placeholder: 'text to place' });
    const clear = el('button', { type: 'button', id: 'anno-clear', textContent: 'Clear' });
    clear.addEventListener('click', () => api.sendControl({ type: 'annotation_clear' }));
    root.append(bar,
      el('label', {}, ['Colour ', colour]),
      el('label', {}, ['Width ', width]),
      el('label', {}, ['Text ', text]),
      clear);

    // The layer sits exactly over the visible picture.
    const layer = el('canvas', { id: 'anno-layer', hidden: true });
    document.body.append(layer);
    function pictureRect() {
      const s = api.surface();
      const { width: vw, height: vh } = api.pictureSize();
      const r = s.getBoundingClientRect();
      if (!vw || !vh || !r.width || !r.height) return null;
      const k = Math.min(r.width / vw, r.height / vh);
      return { left: r.left + (r.width - vw * k) / 2, top: r.top + (r.height - vh * k) / 2, width: vw * k, height: vh * k };
    }
    function placeLayer() {
      const r = tool && pictureRect();
      layer.hidden = !r;
      if (!r) return;
      Object.assign(layer.style, {
        left: `${r.left}px`, top: `${r.top}px`, width: `${r.width}px`, height: `${r.height}px`,
      });
      // Resizing a canvas wipes it: only when the picture really changed.
      if (layer.width !== Math.round(r.width)) layer.width = Math.round(r.width);
      if (layer.height !== Math.round(r.height)) layer.height = Math.round(r.height);
    }
    window.addEventListener('resize', placeLayer);

    // The shown monitor's place on the host's virtual screen (which the host
    // overlay covers) and its real size: the picture may be scaled down.
    api.onControl('monitor_list', (msg) => {
      const list = Array.isArray(msg.monitors) ? msg.monitors : [];
      const active = list.find((m) => m.id === msg.active) || list.find((m) => m.primary) || list[0];
      if (!active) return;
      const x0 = Math.min(...list.map((m) => m.x));
      const y0 = Math.min(...list.map((m) => m.y));
      monitor = { x: active.x - x0, y: active.y - y0, width: active.width, height: active.height };
    });

    // Layer position -> host overlay pixels.
    function hostPoint(ev) {
      const r = layer.getBoundingClientRect();
      const picture = api.pictureSize();
      const m = monitor || { x: 0, y: 0, ...picture };
      const nx = Math.min(1, Math.max(0, (ev.clientX - r.left) / r.width));
      const ny = Math.min(1, Math.max(0, (ev.clientY - r.top) / r.height));
      return [m.x + Math.round(nx * (m.width - 1)), m.y + Math.round(ny * (m.height - 1))];
    }
    function layerPoint(ev) {
      const r = layer.getBoundingClientRect();
      return [ev.clientX - r.left, ev.clientY - r.top];
    }

    let drag = null; // { host: [[x,y]...], local: [[x,y]...] }
    const ctx = layer.getContext('2d');
    function preview() {
      ctx.clearRect(0, 0, layer.width, layer.height);
      if (!drag || drag.local.length < 1) return;
      ctx.strokeStyle = colour.value;
      ctx.lineWidth = Math.max(1, Number(width.value) * layer.width / Math.max(1, api.pictureSize().width));
      const [a, b] = [drag.local[0], drag.local[drag.local.length - 1]];
      ctx.beginPath();
      if (tool === 'rectangle') ctx.rect(a[0], a[1], b[0] - a[0], b[1] - a[1]);
      else if (tool === 'circle') {
        ctx.ellipse((a[0] + b[0]) / 2, (a[1] + b[1]) / 2, Math.abs(b[0] - a[0]) / 2, Math.abs(b[1] - a[1]) / 2, 0, 0, 2 * Math.PI);
      } else {
        drag.local.forEach(([x, y], i) => (i ? ctx.lineTo(x, y) : ctx.moveTo(x, y)));
      }
      ctx.stroke();
    }
    function send(points) {
      const msg = {
        type: 'annotation_draw', id: `v${Date.now().toString(36)}-${seq++}`, tool,
        color: colour.value, strokeWidth: Number(width.value), points,
      };
      if (tool === 'text') msg.text = text.value;
      api.sendControl(msg);
    }

    // Capture phase on the layer: the picture underneath never sees these.
    layer.addEventListener('mousedown', (ev) => {
      ev.preventDefault();
      ev.stopPropagation();
      if (!tool || ev.button !== 0) return;
      if (tool === 'text' || tool === 'pointer') {
        if (tool === 'text' && !text.value) return;
        send([hostPoint(ev)]);
        return;
      }
      drag = { host: [hostPoint(ev)], local: [layerPoint(ev)] };
    }, true);
    layer.addEventListener('mousemove', (ev) => {
      ev.stopPropagation();
      if (!drag) return;
      if (tool === 'freehand') {
        if (drag.host.length < MAX_POINTS) {
          drag.host.push(hostPoint(ev));
          drag.local.push(layerPoint(ev));
        }
      } else {
        drag.host[1] = hostPoint(ev);
        drag.local[1] = layerPoint(ev);
      }
      preview();
    }, true);
    const finish = (ev) => {
      ev.stopPropagation();
      if (!drag) return;
      const points = drag.host;
      if (tool !== 'freehand') points[1] = hostPoint(ev);
      else if (points.length < MAX_POINTS) points.push(hostPoint(ev));
      drag = null;
      preview();
      if (points.length >= 2) send(points);
    };
    layer.addEventListener('mouseup', finish, true);
    layer.addEventListener('mouseleave', (ev) => drag && finish(ev), true);
    for (const type of ['click', 'dblclick', 'wheel', 'contextmenu']) {
      layer.addEventListener(type, (ev) => {
        ev.preventDefault();
        ev.stopPropagation();
      }, { capture: true, passive: false });
    }
    // The picture may change size (a monitor switch, a host resolution change).
    api.onState(() => placeLayer());
    setInterval(() => tool && placeLayer(), 1000);
  },
};
