// The technician's console around the picture: a toolbar with the session
// state and one button per feature, and a side area that feature panels
// mount into. A panel is a module under panels/ whose default export is
//   { id, title, help, mount(el, api) }
// and that is named in panels/index.js. mount() runs once, at start-up, with
// the panel's own container; api is the small surface below.
import PANELS from './panels/index.js';

const viewer = window.kvdViewer;
const toolbar = document.getElementById('tools');
const aside = document.getElementById('panels');

function sendControl(obj) {
  viewer.send('control', JSON.stringify(obj));
}

// Control replies by "type"; other channels by label (see viewer.on).
function onControl(type, fn) {
  return viewer.on('control', (msg) => {
    if (msg && typeof msg === 'object' && msg.type === type) fn(msg);
  });
}

function makeApi() {
  return {
    viewer,
    state: viewer.state,
    send: viewer.send,
    sendControl,
    on: viewer.on,
    onControl,
    onState: viewer.onState,
    channelOpen: viewer.channelOpen,
    channel: viewer.channel,
    surface: viewer.surface,
    pictureSize: viewer.pictureSize,
    // Brings the panel into view (for example when a chat message arrives).
    show: (id) => showPanel(id, true),
  };
}

const mounted = new Map(); // id -> { panel, el, button }

function showPanel(id, visible) {
  const m = mounted.get(id);
  if (!m) return;
  m.el.hidden = !visible;
  m.button.classList.toggle('active', visible);
  m.button.setAttribute('aria-pressed', String(visible));
  aside.hidden = [...mounted.values()].every((x) => x.el.hidden);
}

function mountPanel(panel) {
  const el = document.createElement('section');
  el.className = 'panel';
  el.id = `panel-${panel.id}`;
  el.hidden = true;
  const head = document.createElement('h2');
  head.textContent = panel.title;
  const help = document.createElement('p');
  help.className = 'help';
  help.textContent = panel.help || '';
  const body = document.createElement('div');
  body.className = 'panel-body';
  el.append(head, help, body);
  aside.append(el);

  const button = document.createElement('button');
  button.id = `btn-${panel.id}`;
  button.type = 'button';
  button.textContent = panel.title;
  button.title = panel.help || panel.title;
  button.setAttribute('aria-pressed', 'false');
  button.addEventListener('click', () => showPanel(panel.id, el.hidden));
  toolbar.append(button);

  mounted.set(panel.id, { panel, el, button });
  try {
    panel.mount(body, makeApi());
  } catch (err) {
    body.textContent = `This panel failed to start: ${err}`;
    viewer.state.errors.push(String(err));
  }
}

async function start() {
  for (const name of PANELS) {
    try {
      const mod = await import(`./panels/${name}.js`);
      mountPanel(mod.default);
    } catch (err) {
      viewer.state.errors.push(`panel ${name}: ${err}`);
    }
  }
  viewer.state.panels = [...mounted.keys()];
  window.kvdConsole = { show: (id) => showPanel(id, true), hide: (id) => showPanel(id, false), panels: mounted };
}

start();
