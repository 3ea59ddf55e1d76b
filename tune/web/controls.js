// SPDX-License-Identifier: Apache-2.0
// The controls, built from the operator's control table, and the changes
// they send: the latest value of each control, one request at a time.

import { attempt, call } from './requests.js';
import { apply, onChange } from './session.js';
import * as viewer from './viewer.js';

const widgets = new Map();  // control name -> {set({value, text, swatch})}
const queued = new Map();   // control name -> the latest change not yet sent
let sending = false;
// The control the gesture under way (a drag) changes; null: the next change
// begins a gesture. A change continues the previous undo step only within
// one gesture on one control: arrow keys on a slider after a drag of
// another, with no pointer down between, are a step of their own.
let gestureControl = null;

function beginGesture() {
  gestureControl = null;
}

function valueText(kind, value) {
  if (kind === 'bool') return value ? 'on' : 'off';
  if (kind === 'color') return value.map(String).join(',');
  return String(value);
}

function change(entry, value) {
  viewer.changeMade();
  queued.set(entry.name, { value: valueText(entry.kind, value), merge: gestureControl === entry.name });
  gestureControl = entry.name;
  send();
}

async function send() {
  if (sending) return;
  sending = true;
  let drawn = false;
  while (queued.size) {
    const [name, queuedChange] = queued.entries().next().value;
    queued.delete(name);
    // The answer is the new image, with what changed in a header: one round
    // trip from a change to its picture. (A render in flight is left alone.)
    const body = { name, value: queuedChange.value, merge: queuedChange.merge };
    const image = viewer.imageToAsk();
    if (image) body.image = image;
    drawn = Boolean(await attempt('control:' + name, async () => {
      const response = await call('/api/control', body);
      if (!image) {
        apply(await response.json());
        return false;
      }
      apply(JSON.parse(response.headers.get('X-State')));
      await viewer.receive(response);
      return true;
    }));
  }
  sending = false;
  viewer.changesSettled(drawn);
}

function slider(entry, onChange) {
  const range = document.createElement('input');
  range.type = 'range';
  const [lo, hi] = entry.range || [0, 1];
  range.min = lo; range.max = hi; range.step = (hi - lo) / 1000;
  const number = document.createElement('input');
  number.type = 'number'; number.step = 'any';
  range.id = 'ctl-' + entry.name;
  number.id = range.id + '-number';
  range.addEventListener('pointerdown', beginGesture);
  // A range's value carries binary noise (0.11999999999999998): six digits are what was meant.
  range.addEventListener('input', () => {
    const v = +parseFloat(range.value).toPrecision(6);
    number.value = v;
    onChange(v);
  });
  number.addEventListener('change', () => {
    const v = parseFloat(number.value);
    if (Number.isFinite(v)) { beginGesture(); range.value = v; onChange(v); }
  });
  return { elements: [range, number], set({ value, text }) {
    if (document.activeElement !== range) range.value = value;
    if (document.activeElement !== number) number.value = text;
  } };
}

// Three numbers, as linear values are not what a colour chooser offers.
// They show four decimals; a change to one keeps the others' full values.
// The swatch shows the colour as the server encodes it for the screen.
function colourFields(entry, onChange) {
  const swatch = document.createElement('span');
  swatch.className = 'swatch';
  let current = [0, 0, 0];
  const numbers = [0, 1, 2].map((i) => {
    const n = document.createElement('input');
    n.type = 'number'; n.step = '0.01'; n.id = 'ctl-' + entry.name + '-' + i;
    n.addEventListener('change', () => {
      const v = parseFloat(n.value);
      if (!Number.isFinite(v)) return;
      beginGesture();
      current = current.slice();
      current[i] = v;
      onChange(current);
    });
    return n;
  });
  return { elements: [swatch, ...numbers], set({ value, swatch: shown }) {
    current = value;
    numbers.forEach((n, i) => {
      if (document.activeElement !== n) n.value = +value[i].toFixed(4);
      n.title = String(value[i]);
    });
    swatch.style.background = shown;
  } };
}

function checkbox(entry, onChange) {
  const box = document.createElement('input');
  box.type = 'checkbox'; box.id = 'ctl-' + entry.name;
  box.addEventListener('change', () => { beginGesture(); onChange(box.checked); });
  return { elements: [box], set({ value }) { box.checked = value; } };
}

function menu(entry, onChange) {
  const select = document.createElement('select');
  select.id = 'ctl-' + entry.name;
  entry.items.forEach((item, i) => select.add(new Option(item, String(i))));
  select.addEventListener('change', () => { beginGesture(); onChange(parseInt(select.value, 10)); });
  return { elements: [select], set({ value }) { select.value = String(value); } };
}

const makers = { bool: checkbox, float: slider, color: colourFields, enum: menu };

function buildControl(entry) {
  const make = makers[entry.kind];
  if (!make) return null;
  const widget = make(entry, (value) => change(entry, value));
  const row = document.createElement('div');
  row.className = 'control';
  const label = document.createElement('label');
  label.textContent = entry.label;
  label.title = entry.name + ', default ' + entry.defaultText;
  const inputs = document.createElement('div');
  inputs.className = 'inputs';
  inputs.append(...widget.elements);
  label.htmlFor = widget.elements[0].id || '';
  row.append(label, inputs);
  widgets.set(entry.name, widget);
  return row;
}

export function buildControls(table) {
  const form = document.getElementById('controls');
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
  onChange((state) => {
    for (const [name, widget] of widgets) widget.set(state.values[name]);
  });
}
