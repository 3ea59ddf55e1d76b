// SPDX-License-Identifier: Apache-2.0
// The viewer: the image the server keys and renders as raw RGBA, fitted or
// at 1:1, the values under the pointer, and the box the eyedropper drags.

import { attempt, call } from './requests.js';
import { session } from './session.js';

const $ = (id) => document.getElementById(id);
const viewer = {
  view: 'checker', oneToOne: false, pan: [0, 0], picking: false,
  image: null,  // the last drawn: {width, height, scale, originX, originY, generation}
  rendering: false, renderAgain: false,
  changeStartedAt: null,  // when the oldest change not yet on screen was made
  awaited: 0,             // the generation that shows every change made so far
};
// For the browser tests and for anyone curious: what was drawn and how long
// each change took to reach the screen.
window.veilcastTune = { latencies: [], drawn: 0, drawnGeneration: 0, lastProbe: null };

// What the viewer needs drawn: the frame fitted to it, or at 1:1 the part in
// view, over the chooser's colour (sRGB, as the server takes it).
function imageRequest() {
  const dpr = window.devicePixelRatio || 1;
  const w = Math.max(16, Math.round($('viewer').clientWidth * dpr));
  const h = Math.max(16, Math.round($('viewer').clientHeight * dpr));
  const request = { view: viewer.view, bg: $('background').value };
  if (!viewer.oneToOne) {
    request.fit = [w, h];
  } else {
    const [bx, by, bw, bh] = session.state.box;
    request.region = [Math.round(bx + viewer.pan[0]), Math.round(by + viewer.pan[1]), Math.min(w, bw), Math.min(h, bh)];
  }
  return request;
}

// The image to ask for with a change; null while a render is in flight (it is left alone).
export function imageToAsk() {
  return viewer.rendering ? null : imageRequest();
}

function imageQuery(request) {
  const parts = Object.entries(request).map(([name, value]) =>
    name + '=' + encodeURIComponent(Array.isArray(value) ? value.join(',') : value));
  return '/api/image?' + parts.join('&');
}

export async function receive(response) {
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

export async function requestRender() {
  if (viewer.rendering) { viewer.renderAgain = true; return; }
  viewer.rendering = true;
  do {
    viewer.renderAgain = false;
    const drawn = await attempt('image', async () => {
      await receive(await call(imageQuery(imageRequest())));
      return true;
    });
    if (drawn) noteDrawn(viewer.image);
  } while (viewer.renderAgain);
  viewer.rendering = false;
}

function draw(image, bytes) {
  const canvas = $('canvas');
  if (canvas.width !== image.width || canvas.height !== image.height) {
    canvas.width = image.width; canvas.height = image.height;
  }
  canvas.getContext('2d').putImageData(new ImageData(bytes, image.width, image.height), 0, 0);
  viewer.image = image;
  layoutCanvas();
}

// A change is on its way to the server.
export function changeMade() {
  if (viewer.changeStartedAt === null) viewer.changeStartedAt = performance.now();
  viewer.awaited = Infinity;
}

// Every change made so far has been answered; `drawn`: the last answer
// brought its image. Draws anew unless what is on screen shows them all.
export function changesSettled(drawn) {
  viewer.awaited = session.state.generation;
  if (!drawn || !viewer.image || viewer.image.generation < viewer.awaited) requestRender();
  else noteDrawn(viewer.image);
}

// Once the image is on screen (the frame after it was drawn): counts it, and
// if it shows every change made so far, how long the oldest of them waited.
function noteDrawn(image) {
  requestAnimationFrame(() => {
    const stats = window.veilcastTune;
    stats.drawn += 1;
    stats.drawnGeneration = image.generation;
    stats.image = image;
    if (viewer.changeStartedAt !== null && image.generation >= viewer.awaited) {
      stats.latencies.push(performance.now() - viewer.changeStartedAt);
      viewer.changeStartedAt = null;
    }
  });
}

// Where the canvas sits and how big it shows: fitted and centred, or one
// image pixel per device pixel at 1:1.
export function layoutCanvas() {
  const canvas = $('canvas'), box = $('viewer'), image = viewer.image;
  if (!image) return;
  const dpr = window.devicePixelRatio || 1;
  let w, h;
  if (viewer.oneToOne) {
    w = image.width / dpr; h = image.height / dpr;
  } else {
    const fit = Math.min(box.clientWidth / image.width, box.clientHeight / image.height);
    w = image.width * fit; h = image.height * fit;
  }
  canvas.style.width = w + 'px'; canvas.style.height = h + 'px';
  canvas.style.left = Math.max(0, (box.clientWidth - w) / 2) + 'px';
  canvas.style.top = Math.max(0, (box.clientHeight - h) / 2) + 'px';
}

// The frame pixel under a point of the page, or null off the image.
function framePixel(clientX, clientY) {
  const image = viewer.image;
  if (!image) return null;
  const rect = $('canvas').getBoundingClientRect();
  const u = (clientX - rect.left) / rect.width, v = (clientY - rect.top) / rect.height;
  if (u < 0 || v < 0 || u >= 1 || v >= 1) return null;
  const i = Math.floor(u * image.width), j = Math.floor(v * image.height);
  // A shrunk view's last pixel may stand for fewer source pixels than its
  // scale: its centre is kept on the frame, which refuses boxes outside it.
  const [bx, by, bw, bh] = session.state.box;
  return [Math.min(image.originX + i * image.scale + Math.floor(image.scale / 2), bx + bw - 1),
          Math.min(image.originY + j * image.scale + Math.floor(image.scale / 2), by + bh - 1)];
}

let probing = false, probeNext = null;
async function probe(point) {
  if (probing) { probeNext = point; return; }
  probing = true;
  const values = await attempt('probe', async () => (await call('/api/probe?x=' + point[0] + '&y=' + point[1])).json());
  if (values) {
    const f = (list) => list.map((v) => v.toFixed(4)).join(' ');
    $('probe').textContent = 'x ' + values.x + ' y ' + values.y + '   source ' + f(values.source) +
                             '   keyed ' + f(values.keyed) + (values.keyedHasAlpha ? '' : ' (matte)');
    window.veilcastTune.lastProbe = values;
  }
  probing = false;
  if (probeNext) { const p = probeNext; probeNext = null; probe(p); }
}

function clampPan() {
  const [, , bw, bh] = session.state.box;
  const dpr = window.devicePixelRatio || 1;
  viewer.pan = [Math.min(Math.max(0, viewer.pan[0]), Math.max(0, bw - $('viewer').clientWidth * dpr)),
                Math.min(Math.max(0, viewer.pan[1]), Math.max(0, bh - $('viewer').clientHeight * dpr))];
}

export function setView(name) {
  viewer.view = name;
  requestRender();
}

export function showsColour() {
  return viewer.view === 'colour';
}

// Fit or 1:1; returns true for 1:1.
export function toggleZoom() {
  viewer.oneToOne = !viewer.oneToOne;
  $('viewer').classList.toggle('one-to-one', viewer.oneToOne);
  if (viewer.oneToOne) {  // start at the middle of the frame
    const [, , bw, bh] = session.state.box, dpr = window.devicePixelRatio || 1;
    viewer.pan = [(bw - $('viewer').clientWidth * dpr) / 2, (bh - $('viewer').clientHeight * dpr) / 2];
    clampPan();
  }
  requestRender();
  return viewer.oneToOne;
}

// The eyedropper on or off; returns whether it is on.
export function togglePicking() {
  viewer.picking = !viewer.picking;
  $('viewer').classList.toggle('picking', viewer.picking);
  return viewer.picking;
}

// `onBox([x0, y0, x1, y1])`: a box dragged with the eyedropper, in frame pixels.
export function setup(onBox) {
  const box = $('viewer'), outline = $('pick-box');
  let drag = null;  // {startX, startY, pan, pixel}
  box.addEventListener('pointerdown', (e) => {
    drag = { startX: e.clientX, startY: e.clientY, pan: viewer.pan.slice(), pixel: framePixel(e.clientX, e.clientY) };
    box.setPointerCapture(e.pointerId);
  });
  box.addEventListener('pointermove', (e) => {
    const pixel = framePixel(e.clientX, e.clientY);
    if (pixel && !drag) probe(pixel);
    if (!drag) return;
    if (viewer.picking) {
      const r = box.getBoundingClientRect();
      outline.hidden = false;
      outline.style.left = Math.min(drag.startX, e.clientX) - r.left + 'px';
      outline.style.top = Math.min(drag.startY, e.clientY) - r.top + 'px';
      outline.style.width = Math.abs(e.clientX - drag.startX) + 'px';
      outline.style.height = Math.abs(e.clientY - drag.startY) + 'px';
    } else if (viewer.oneToOne) {
      const dpr = window.devicePixelRatio || 1;
      viewer.pan = [drag.pan[0] - (e.clientX - drag.startX) * dpr, drag.pan[1] - (e.clientY - drag.startY) * dpr];
    }
  });
  box.addEventListener('pointerup', (e) => {
    const start = drag;
    drag = null;
    outline.hidden = true;
    if (!start) return;
    if (viewer.picking) {
      const end = framePixel(e.clientX, e.clientY);
      if (start.pixel && end) onBox([start.pixel[0], start.pixel[1], end[0], end[1]]);
    } else if (viewer.oneToOne) {
      clampPan();
      requestRender();
    }
  });
  let resizeTimer = null;
  window.addEventListener('resize', () => {
    layoutCanvas();
    clearTimeout(resizeTimer);
    resizeTimer = setTimeout(requestRender, 150);
  });
}
