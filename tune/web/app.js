// SPDX-License-Identifier: Apache-2.0
// The tuning page: controls built from the operator's control table, a viewer
// drawn from raw RGBA the server keys, and nothing fetched from elsewhere.
'use strict';

const $ = (id) => document.getElementById(id);
const page = {
  table: [], state: null, view: 'checker', oneToOne: false, pan: [0, 0],
  image: null,            // the last image drawn: {width, height, scale, originX, originY, generation}
  picking: false,
};
// For the browser tests and for anyone curious: what was drawn and how long
// each change took to reach the screen.
window.veilcastTune = { latencies: [], drawn: 0, drawnGeneration: 0, lastProbe: null };

// The access token: read from the address once, then kept in this variable
// only, and sent in a header of the page's own requests. Not in a cookie: the
// browser would send that to every server on 127.0.0.1, whatever its port.
// Not in storage or the address bar either, so a reload forgets it.
const accessToken = new URLSearchParams(location.search).get('token');
history.replaceState(null, '', '/');

async function call(path, body) {
  const headers = { 'X-Veilcast-Token': accessToken };
  const options = { headers, credentials: 'omit', cache: 'no-store' };
  if (body !== undefined) {
    headers['Content-Type'] = 'application/json';
    options.method = 'POST';
    options.body = JSON.stringify(body);
  }
  const askedAt = performance.now();
  const response = await fetch(path, options);
  response.askedAt = askedAt;
  if (!response.ok) {
    let message = response.status + ' ' + response.statusText;
    try { message = (await response.json()).error || message; } catch (e) { /* not JSON */ }
    throw new Error(message);
  }
  return response;
}

function showError(error) {
  $('error').textContent = error ? String(error.message || error) : '';
}

// ---- controls, from the table ----------------------------------------------

const widgets = new Map();  // control name -> {set(value), elements}
const queued = new Map();   // control name -> latest value not yet sent
let sending = false;
let changeStartedAt = null; // when the oldest change not yet on screen was made
let awaitedGeneration = 0;  // the image that shows every change made so far
let gestureStarted = true;  // the next change begins a new undo step

function valueText(kind, value) {
  if (kind === 'bool') return value ? 'on' : 'off';
  if (kind === 'color') return value.map(String).join(',');
  return String(value);
}

function changeControl(entry, value) {
  if (changeStartedAt === null) changeStartedAt = performance.now();
  queued.set(entry.name, { value: valueText(entry.kind, value), merge: !gestureStarted });
  gestureStarted = false;
  flushControls();
}

async function flushControls() {
  if (sending) return;
  sending = true;
  let drawnWithChange = false;
  try {
    while (queued.size) {
      const [name, change] = queued.entries().next().value;
      queued.delete(name);
      // The answer is the new image, with the state in a header: one round
      // trip from a change to its picture. (A render in flight is left alone.)
      const body = { name, value: change.value, merge: change.merge };
      if (!rendering) body.image = imageRequest();
      const response = await call('/api/control', body);
      if (body.image) {
        applyState(JSON.parse(response.headers.get('X-State')));
        await receiveImage(response);
        drawnWithChange = true;
      } else {
        applyState(await response.json());
        drawnWithChange = false;
      }
    }
    awaitedGeneration = page.state.generation;
    showError(null);
  } catch (e) {
    showError(e);
    changeStartedAt = null;
  } finally {
    sending = false;
  }
  if (!drawnWithChange || !page.image || page.image.generation < awaitedGeneration) requestRender();
  else noteLatency(page.image);
}

function slider(entry, index, onChange) {
  const range = document.createElement('input');
  range.type = 'range';
  const [lo, hi] = entry.range || [0, 1];
  range.min = lo; range.max = hi; range.step = (hi - lo) / 1000;
  const number = document.createElement('input');
  number.type = 'number'; number.step = 'any';
  range.id = 'ctl-' + entry.name + (index === undefined ? '' : '-' + index);
  number.id = range.id + '-number';
  range.addEventListener('pointerdown', () => { gestureStarted = true; });
  // A range's value carries binary noise (0.11999999999999998): six digits are what was meant.
  range.addEventListener('input', () => {
    const v = +parseFloat(range.value).toPrecision(6);
    number.value = v;
    onChange(v);
  });
  number.addEventListener('change', () => {
    const v = parseFloat(number.value);
    if (Number.isFinite(v)) { gestureStarted = true; range.value = v; onChange(v); }
  });
  return { range, number, set(v, text) {
    if (document.activeElement !== range) range.value = v;
    if (document.activeElement !== number) number.value = text;
  } };
}

function buildControl(entry) {
  const row = document.createElement('div');
  row.className = 'control';
  const label = document.createElement('label');
  label.textContent = entry.label;
  label.title = entry.name + ', default ' + entry.defaultText;
  const inputs = document.createElement('div');
  inputs.className = 'inputs';
  row.append(label, inputs);
  let widget;
  if (entry.kind === 'bool') {
    const box = document.createElement('input');
    box.type = 'checkbox'; box.id = 'ctl-' + entry.name;
    box.addEventListener('change', () => { gestureStarted = true; changeControl(entry, box.checked); });
    inputs.append(box);
    widget = { set(v) { box.checked = v; } };
  } else if (entry.kind === 'float') {
    const s = slider(entry, undefined, (v) => changeControl(entry, v));
    inputs.append(s.range, s.number);
    widget = s;
  } else if (entry.kind === 'color') {
    // Three numbers, as linear values are not what a colour chooser offers.
    // They show four decimals; a change to one keeps the others' full values.
    const swatch = document.createElement('span');
    swatch.className = 'swatch';
    let current = [0, 0, 0];
    const numbers = [0, 1, 2].map((i) => {
      const n = document.createElement('input');
      n.type = 'number'; n.step = '0.01'; n.id = 'ctl-' + entry.name + '-' + i;
      n.addEventListener('change', () => {
        const v = parseFloat(n.value);
        if (!Number.isFinite(v)) return;
        gestureStarted = true;
        current = current.slice();
        current[i] = v;
        changeControl(entry, current);
      });
      return n;
    });
    inputs.append(swatch, ...numbers);
    widget = { set(v) {
      current = v;
      numbers.forEach((n, i) => {
        if (document.activeElement !== n) n.value = +v[i].toFixed(4);
        n.title = String(v[i]);
      });
      swatch.style.background = 'rgb(' + v.map((c) => Math.round(255 * srgb(c))).join(',') + ')';
    } };
  } else if (entry.kind === 'enum') {
    const select = document.createElement('select');
    select.id = 'ctl-' + entry.name;
    entry.items.forEach((item, i) => select.add(new Option(item, String(i))));
    select.addEventListener('change', () => { gestureStarted = true; changeControl(entry, parseInt(select.value, 10)); });
    inputs.append(select);
    widget = { set(v) { select.value = String(v); } };
  } else {
    return null;
  }
  label.htmlFor = inputs.firstChild.id || '';
  widgets.set(entry.name, widget);
  return row;
}

function buildControls(table) {
  const form = $('controls');
  form.addEventListener('submit', (e) => e.preventDefault());
  const groups = new Map();
  for (const entry of table) {
    if (entry.kind === 'group') {
      const set = document.createElement('fieldset');
      const legend = document.createElement('legend');
      legend.textContent = entry.label;
      set.id = 'group-' + entry.name;
      set.append(legend);
      groups.set(entry.name, set);
      form.append(set);
      continue;
    }
    const row = buildControl(entry);
    if (row) (groups.get(entry.group) || form).append(row);
  }
}

function srgb(v) {
  v = Math.min(Math.max(v, 0), 1);
  return v <= 0.0031308 ? 12.92 * v : 1.055 * Math.pow(v, 1 / 2.4) - 0.055;
}

function applyState(state) {
  page.state = state;
  for (const [name, widget] of widgets) widget.set(state.values[name].value, state.values[name].text);
  $('undo').disabled = !state.canUndo;
  $('redo').disabled = !state.canRedo;
  $('input-name').textContent = state.input + (state.notice ? ' — ' + state.notice : '');
  $('warnings').textContent = state.warnings.join(' ');
  $('command').textContent = state.commandLine;
  $('save-status').textContent = state.saved ? 'saved to ' + state.settingsFile : 'to ' + state.settingsFile;
  if (state.sequence) {
    $('frame-row').hidden = false;
    const frame = $('frame');
    frame.max = state.frames.length - 1;
    if (document.activeElement !== frame) frame.value = state.frames.indexOf(state.frame);
    $('frame-name').textContent = state.frame + ' (' + state.frameName + ')';
  }
}

// ---- the viewer --------------------------------------------------------------

let rendering = false, renderAgain = false;

// The chooser's colour is sRGB; the server composites in linear light.
function backgroundColour() {
  const hex = $('background').value;
  return [1, 3, 5].map((i) => {
    const c = parseInt(hex.substr(i, 2), 16) / 255;
    return c <= 0.04045 ? c / 12.92 : Math.pow((c + 0.055) / 1.055, 2.4);
  });
}

// What the viewer needs drawn: the frame fitted to it, or at 1:1 the part in view.
function imageRequest() {
  const viewer = $('viewer');
  const dpr = window.devicePixelRatio || 1;
  const w = Math.max(16, Math.round(viewer.clientWidth * dpr)), h = Math.max(16, Math.round(viewer.clientHeight * dpr));
  const request = { view: page.view, bg: backgroundColour() };
  if (!page.oneToOne) {
    request.fit = [w, h];
  } else {
    const [bx, by, bw, bh] = page.state.box;
    request.region = [Math.round(bx + page.pan[0]), Math.round(by + page.pan[1]), Math.min(w, bw), Math.min(h, bh)];
  }
  return request;
}

function imageQuery(request) {
  let q = '/api/image?view=' + request.view + '&bg=' + request.bg.map((c) => c.toFixed(5)).join(',');
  if (request.fit) q += '&fit=' + request.fit.join(',');
  if (request.region) q += '&region=' + request.region.join(',');
  return q;
}

async function receiveImage(response) {
  const asked = response.askedAt;
  const answered = performance.now();
  const header = (name) => parseInt(response.headers.get(name), 10);
  const [originX, originY] = response.headers.get('X-Origin').split(',').map((v) => parseInt(v, 10));
  const image = { width: header('X-Width'), height: header('X-Height'), scale: header('X-Scale'),
                  originX, originY, generation: header('X-Generation') };
  const bytes = new Uint8ClampedArray(await response.arrayBuffer());
  const received = performance.now();
  draw(image, bytes);
  // Where a redraw's time goes: the server's key and render, the transfer, the canvas.
  window.veilcastTune.timing = { waitMs: answered - asked, transferMs: received - answered,
                                 drawMs: performance.now() - received };
}

async function requestRender() {
  if (rendering) { renderAgain = true; return; }
  rendering = true;
  try {
    do {
      renderAgain = false;
      await receiveImage(await call(imageQuery(imageRequest())));
      noteLatency(page.image);
    } while (renderAgain);
  } catch (e) {
    showError(e);
  } finally {
    rendering = false;
  }
}

function draw(image, bytes) {
  const canvas = $('canvas');
  if (canvas.width !== image.width || canvas.height !== image.height) {
    canvas.width = image.width; canvas.height = image.height;
  }
  canvas.getContext('2d').putImageData(new ImageData(bytes, image.width, image.height), 0, 0);
  page.image = image;
  layoutCanvas();
}

// Once the image is on screen (the frame after it was drawn): counts it, and
// if it shows every change made so far, how long the oldest of them waited.
function noteLatency(image) {
  requestAnimationFrame(() => {
    const stats = window.veilcastTune;
    stats.drawn += 1;
    stats.drawnGeneration = image.generation;
    stats.image = image;
    if (changeStartedAt !== null && !sending && queued.size === 0 && image.generation >= awaitedGeneration) {
      stats.latencies.push(performance.now() - changeStartedAt);
      changeStartedAt = null;
    }
  });
}

// Where the canvas sits and how big it shows: fitted and centred, or one
// image pixel per device pixel at 1:1.
function layoutCanvas() {
  const canvas = $('canvas'), viewer = $('viewer'), image = page.image;
  if (!image) return;
  const dpr = window.devicePixelRatio || 1;
  let w, h;
  if (page.oneToOne) {
    w = image.width / dpr; h = image.height / dpr;
  } else {
    const fit = Math.min(viewer.clientWidth / image.width, viewer.clientHeight / image.height);
    w = image.width * fit; h = image.height * fit;
  }
  canvas.style.width = w + 'px'; canvas.style.height = h + 'px';
  canvas.style.left = Math.max(0, (viewer.clientWidth - w) / 2) + 'px';
  canvas.style.top = Math.max(0, (viewer.clientHeight - h) / 2) + 'px';
}

// The frame pixel under a point of the page, or null off the image.
function framePixel(clientX, clientY) {
  const image = page.image;
  if (!image) return null;
  const rect = $('canvas').getBoundingClientRect();
  const u = (clientX - rect.left) / rect.width, v = (clientY - rect.top) / rect.height;
  if (u < 0 || v < 0 || u >= 1 || v >= 1) return null;
  const i = Math.floor(u * image.width), j = Math.floor(v * image.height);
  return [image.originX + i * image.scale + Math.floor(image.scale / 2),
          image.originY + j * image.scale + Math.floor(image.scale / 2)];
}

let probing = false, probeNext = null;
async function probe(point) {
  if (probing) { probeNext = point; return; }
  probing = true;
  try {
    const values = await (await call('/api/probe?x=' + point[0] + '&y=' + point[1])).json();
    const f = (list) => list.map((v) => v.toFixed(4)).join(' ');
    $('probe').textContent = 'x ' + values.x + ' y ' + values.y + '   source ' + f(values.source) +
                             '   keyed ' + f(values.keyed) + (values.keyedHasAlpha ? '' : ' (matte)');
    window.veilcastTune.lastProbe = values;
  } catch (e) {
    showError(e);
  } finally {
    probing = false;
  }
  if (probeNext) { const p = probeNext; probeNext = null; probe(p); }
}

function setupViewer() {
  const viewer = $('viewer'), box = $('pick-box');
  let drag = null;  // {startX, startY, pan, pixel}
  viewer.addEventListener('pointerdown', (e) => {
    drag = { startX: e.clientX, startY: e.clientY, pan: page.pan.slice(), pixel: framePixel(e.clientX, e.clientY) };
    viewer.setPointerCapture(e.pointerId);
  });
  viewer.addEventListener('pointermove', (e) => {
    const pixel = framePixel(e.clientX, e.clientY);
    if (pixel && !drag) probe(pixel);
    if (!drag) return;
    if (page.picking) {
      const r = viewer.getBoundingClientRect();
      box.hidden = false;
      box.style.left = Math.min(drag.startX, e.clientX) - r.left + 'px';
      box.style.top = Math.min(drag.startY, e.clientY) - r.top + 'px';
      box.style.width = Math.abs(e.clientX - drag.startX) + 'px';
      box.style.height = Math.abs(e.clientY - drag.startY) + 'px';
    } else if (page.oneToOne) {
      const dpr = window.devicePixelRatio || 1;
      page.pan = [drag.pan[0] - (e.clientX - drag.startX) * dpr, drag.pan[1] - (e.clientY - drag.startY) * dpr];
    }
  });
  viewer.addEventListener('pointerup', async (e) => {
    const start = drag;
    drag = null;
    box.hidden = true;
    if (!start) return;
    if (page.picking) {
      const end = framePixel(e.clientX, e.clientY);
      if (!start.pixel || !end) return;
      pickScreen({ box: [start.pixel[0], start.pixel[1], end[0], end[1]] });
    } else if (page.oneToOne) {
      clampPan();
      requestRender();
    }
  });
}

function clampPan() {
  const [, , bw, bh] = page.state.box;
  const viewer = $('viewer'), dpr = window.devicePixelRatio || 1;
  page.pan = [Math.min(Math.max(0, page.pan[0]), Math.max(0, bw - viewer.clientWidth * dpr)),
              Math.min(Math.max(0, page.pan[1]), Math.max(0, bh - viewer.clientHeight * dpr))];
}

async function pickScreen(body) {
  changeStartedAt = performance.now();
  try {
    applyState(await (await call('/api/pick', body)).json());
    awaitedGeneration = page.state.generation;
    showError(null);
  } catch (e) {
    showError(e);
    changeStartedAt = null;
  }
  requestRender();
}

async function post(path, body) {
  try {
    applyState(await (await call(path, body)).json());
    awaitedGeneration = page.state.generation;
    showError(null);
  } catch (e) {
    showError(e);
  }
  requestRender();
}

function setupToolbar() {
  document.querySelectorAll('input[name=view]').forEach((radio) => radio.addEventListener('change', () => {
    page.view = radio.value;
    requestRender();
  }));
  $('background').addEventListener('input', () => { if (page.view === 'colour') requestRender(); });
  $('zoom').addEventListener('click', () => {
    page.oneToOne = !page.oneToOne;
    $('zoom').textContent = page.oneToOne ? 'Fit' : '1:1';
    $('viewer').classList.toggle('one-to-one', page.oneToOne);
    if (page.oneToOne) {  // start at the middle of the frame
      const [, , bw, bh] = page.state.box, viewer = $('viewer'), dpr = window.devicePixelRatio || 1;
      page.pan = [(bw - viewer.clientWidth * dpr) / 2, (bh - viewer.clientHeight * dpr) / 2];
      clampPan();
    }
    requestRender();
  });
  $('pick').addEventListener('click', () => {
    page.picking = !page.picking;
    $('pick').classList.toggle('active', page.picking);
    $('viewer').classList.toggle('picking', page.picking);
  });
  $('auto').addEventListener('click', () => pickScreen({ auto: true }));
  $('undo').addEventListener('click', () => post('/api/undo', {}));
  $('redo').addEventListener('click', () => post('/api/redo', {}));
  document.addEventListener('keydown', (e) => {
    // Number fields keep their own text undo; everywhere else it is the key's.
    if (!(e.ctrlKey || e.metaKey) || e.key.toLowerCase() !== 'z' || e.target.type === 'number') return;
    e.preventDefault();
    post(e.shiftKey ? '/api/redo' : '/api/undo', {});
  });
  $('frame').addEventListener('change', () => post('/api/frame', { frame: page.state.frames[$('frame').value] }));
  $('save').addEventListener('click', async () => {
    try {
      const saved = await (await call('/api/save', {})).json();
      $('command').textContent = saved.commandLine;
      applyState(await (await call('/api/state')).json());
      showError(null);
    } catch (e) {
      showError(e);
    }
  });
  let resizeTimer = null;
  window.addEventListener('resize', () => {
    layoutCanvas();
    clearTimeout(resizeTimer);
    resizeTimer = setTimeout(requestRender, 150);
  });
}

async function start() {
  if (!accessToken) {
    showError('No access token: open the address veilcast tune printed (a reload of the page forgets it).');
    return;
  }
  try {
    page.table = await (await call('/api/controls')).json();
    buildControls(page.table);
    applyState(await (await call('/api/state')).json());
    setupToolbar();
    setupViewer();
    await requestRender();
    document.body.dataset.ready = 'true';
  } catch (e) {
    showError(e);
  }
}

start();
