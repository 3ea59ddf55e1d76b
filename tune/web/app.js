// SPDX-License-Identifier: Apache-2.0
// The tuning page: controls built from the operator's control table, a viewer
// drawn from raw RGBA the server keys, and nothing fetched from elsewhere.
// Each part keeps its own state in its own module; this one starts them.

import { buildControls } from './controls.js';
import * as panel from './panel.js';
import { attempt, call, failed, hasToken } from './requests.js';
import { apply } from './session.js';
import * as viewer from './viewer.js';

async function start() {
  if (!hasToken()) {
    failed('start', 'No access token: open the address veilcast tune printed (a reload of the page forgets it).');
    return;
  }
  const started = await attempt('start', async () => {
    buildControls(await (await call('/api/controls')).json());
    panel.setup();
    viewer.setup((box) => panel.pickScreen({ box }));
    apply(await (await call('/api/state')).json());
    await viewer.requestRender();
    return true;
  });
  if (started) document.body.dataset.ready = 'true';
}

start();
