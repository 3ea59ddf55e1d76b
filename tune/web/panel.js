// SPDX-License-Identifier: Apache-2.0
// The toolbar and the panel around the controls: views, zoom, the
// eyedropper and Auto (screen colour, screen map and clips), undo and redo,
// frames, Save, and what the session says.

import { act, onChange, session } from './session.js';
import * as viewer from './viewer.js';

const $ = (id) => document.getElementById(id);

// An action that changes the key: its image follows once it is answered.
async function change(cause, path, body, advice) {
  viewer.changeMade();
  await act(cause, path, body, advice);
  viewer.changesSettled(false);
}

// A pick sets the screen colour: its failure is the screen colour's, cleared
// once the colour is set, by a pick, Auto or by hand.
export function pickScreen(body) {
  return change('control:ScreenColorKnob', '/api/pick', body, 'Drag the box over clean backing.');
}

// Auto sets the screen colour, the screen map and the clips at once.
function autoKey() {
  return change('control:ScreenColorKnob', '/api/auto', {}, 'Drag Pick box over clean backing instead.');
}

function show(state) {
  $('undo').disabled = !state.canUndo;
  $('redo').disabled = !state.canRedo;
  $('input-name').textContent = state.input + (state.notice ? ' — ' + state.notice : '');
  $('warnings').textContent = state.warnings.join(' ');
  $('command').textContent = state.commandLine;
  $('save-status').textContent = (state.saved ? 'saved to ' : 'to ') + state.settingsFile;
  if (state.sequence) {
    $('frame-row').hidden = false;
    const frame = $('frame');
    frame.max = state.frames.length - 1;
    if (document.activeElement !== frame) frame.value = state.frames.indexOf(state.frame);
    $('frame-name').textContent = state.frame + ' (' + state.frameName + ')';
  }
}

export function setup() {
  onChange(show);
  document.querySelectorAll('input[name=view]').forEach((radio) =>
    radio.addEventListener('change', () => viewer.setView(radio.value)));
  $('background').addEventListener('input', () => { if (viewer.showsColour()) viewer.requestRender(); });
  $('zoom').addEventListener('click', () => {
    $('zoom').textContent = viewer.toggleZoom() ? 'Fit' : '1:1';
  });
  $('pick').addEventListener('click', () => $('pick').classList.toggle('active', viewer.togglePicking()));
  $('auto').addEventListener('click', autoKey);
  const undo = (redo) => change('history', redo ? '/api/redo' : '/api/undo', {});
  $('undo').addEventListener('click', () => undo(false));
  $('redo').addEventListener('click', () => undo(true));
  document.addEventListener('keydown', (e) => {
    // Number fields keep their own text undo; everywhere else it is the key's.
    if (!(e.ctrlKey || e.metaKey) || e.key.toLowerCase() !== 'z' || e.target.type === 'number') return;
    e.preventDefault();
    undo(e.shiftKey);
  });
  $('frame').addEventListener('change', () =>
    change('frame', '/api/frame', { frame: session.state.frames[$('frame').value] }));
  $('save').addEventListener('click', () => act('save', '/api/save', {}));
}
