// SPDX-License-Identifier: Apache-2.0
// What the server last said of the session. What stays as it is (the input,
// its frames, the command line) comes once; every action's answer holds what
// it changed, merged in here, and every module that shows any of it listens.

import { attempt, call } from './requests.js';

export const session = { state: null };
const listeners = [];

export function onChange(listener) {
  listeners.push(listener);
}

export function apply(answer) {
  session.state = Object.assign(session.state || {}, answer);
  for (const listener of listeners) listener(session.state);
}

// Posts an action for `cause` and applies its answer; false when it failed.
export async function act(cause, path, body, advice) {
  const answer = await attempt(cause, async () => (await call(path, body)).json(), advice);
  if (answer) apply(answer);
  return answer !== undefined;
}
