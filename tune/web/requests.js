// SPDX-License-Identifier: Apache-2.0
// Talking to the tuner: the token, the calls, and what failed, by cause.

// The access token: read from the address once, then kept in this module
// only, and sent in a header of the page's own requests. Not in a cookie: the
// browser would send that to every server on 127.0.0.1, whatever its port.
// Not in storage or the address bar either, so a reload forgets it.
const accessToken = new URLSearchParams(location.search).get('token');
history.replaceState(null, '', '/');

export const hasToken = () => Boolean(accessToken);

// One request to the tuner, a POST when it has a body; throws an Error with
// the server's own words when it is refused.
export async function call(path, body) {
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

// What failed, by cause ('image', 'control:ClipBlackKnob', ...). Each stays
// on show until its own cause succeeds: a slider that moved meanwhile says
// nothing of why a pick failed.
const failures = new Map();

function show() {
  const lines = [...new Set(failures.values())].map((message) => {
    const line = document.createElement('div');
    line.textContent = message;
    return line;
  });
  document.getElementById('error').replaceChildren(...lines);
}

// `advice`: what the page offers to do about it, after the server's words.
export function failed(cause, error, advice) {
  const message = String((error && error.message) || error);
  failures.set(cause, advice ? message + ' ' + advice : message);
  show();
}

export function succeeded(cause) {
  if (failures.delete(cause)) show();
}

// Runs `request` on behalf of `cause`: a failure is shown, a success clears
// the cause's last failure. The request's result; undefined when it failed.
export async function attempt(cause, request, advice) {
  try {
    const result = await request();
    succeeded(cause);
    return result;
  } catch (e) {
    failed(cause, e, advice);
    return undefined;
  }
}
