// One POST to the service, trying its listeners in turn, and the heartbeat loop of
// main-thread calls. Every function resolves; nothing throws.

import { formBody, parseAnswer, answerValue } from './codec.js';
import {
  describeResult, isFailureCode, resultCode,
  ERR_ANSWER, ERR_NOT_DETECTED, ERR_TIMEOUT, ERROR_MESSAGES,
} from './codes.js';

export const now = () => Date.now();

// The service keeps one request slot for all its listeners: a page sends one request
// at a time, so every client of this page shares one queue.
let queue = Promise.resolve();
export function serial(task) {
  const run = queue.then(task);
  queue = run.then(() => undefined, () => undefined);
  return run;
}

// A main-thread call given up while the service still ran it: the service hands its
// result to the next flagged request, which must therefore collect it first.
const shared = { staleMainThread: false };
export const sharedState = shared;

export function failure(error, detail = '') {
  return {
    ok: false, error, result: null, code: null,
    message: ERROR_MESSAGES[error] + detail, values: {}, baseUrl: null,
  };
}

export function answerRecord(values, baseUrl) {
  const result = answerValue(values, 'result') ?? null;
  const code = resultCode(result);
  return {
    ok: !isFailureCode(code), error: null, result, code,
    message: result === null ? '' : describeResult(result) ?? '',
    values, baseUrl,
  };
}

// A simple request (form content type, no custom header): browsers then send no
// preflight, which the service would refuse.
function postInit(body, signal) {
  return {
    method: 'POST',
    headers: { 'Content-Type': 'application/x-www-form-urlencoded' },
    body,
    credentials: 'omit',
    redirect: 'error',
    signal,
  };
}

// conn: { fetch, urls, preferred } (preferred: index of the last listener that answered).
// → { values, baseUrl } or { error }.
export async function post(conn, body, deadline) {
  let foreign = false;
  const n = conn.urls.length;
  for (let i = 0; i < n; i++) {
    const index = (conn.preferred + i) % n;
    const remaining = deadline - now();
    if (remaining <= 0) return { error: ERR_TIMEOUT };
    const abort = new AbortController();
    const timer = setTimeout(() => abort.abort(), remaining);
    try {
      // Called as a plain function: a browser's fetch called as a method of another
      // object throws "Illegal invocation".
      const fetchFn = conn.fetch;
      const res = await fetchFn(conn.urls[index], postInit(body, abort.signal));
      const text = await res.text();
      const values = res.status === 200 ? parseAnswer(text) : null;
      if (values === null) {
        foreign = true;  // something else holds this port: try the next one
        continue;
      }
      conn.preferred = index;
      return { values, baseUrl: conn.urls[index] };
    } catch {
      if (abort.signal.aborted) return { error: ERR_TIMEOUT };
      // Network error: nothing listens there, or the browser refused; try the next one.
    } finally {
      clearTimeout(timer);
    }
  }
  return { error: foreign ? ERR_ANSWER : ERR_NOT_DETECTED };
}

function notify(onHeartbeat, count, started) {
  if (typeof onHeartbeat !== 'function') return;
  try {
    onHeartbeat({ count, elapsedMs: now() - started });
  } catch {
    // A page callback must not break the loop.
  }
}

// Re-POSTs body while the answer is "heartbeat". → { values, baseUrl } or { error }.
async function untilResult(conn, body, deadline, onHeartbeat, started) {
  let beats = 0;
  for (;;) {
    const got = await post(conn, body, deadline);
    if (got.error) {
      if (got.error === ERR_TIMEOUT || beats > 0) shared.staleMainThread = true;
      return got;
    }
    if (answerValue(got.values, 'result') !== 'heartbeat') return got;
    beats += 1;
    notify(onHeartbeat, beats, started);
  }
}

// Collects the result of a main-thread call given up earlier. The probe is a release
// without session: harmless if it runs itself.
const DRAIN_BODY = formBody({ FunctionName: 'HalvorantRelease', MainThread: true });

// Sends request; for main-thread calls adds the flag and runs the heartbeat loop.
// → answer record or failure record.
export async function exchange(conn, request, { mainThread, onHeartbeat, timeoutMs }) {
  const started = now();
  const deadline = started + timeoutMs;
  if (!mainThread) {
    const got = await post(conn, formBody(request), deadline);
    return got.error ? failure(got.error) : answerRecord(got.values, got.baseUrl);
  }
  if (shared.staleMainThread) {
    const drained = await untilResult(conn, DRAIN_BODY, deadline, null, started);
    if (drained.error) {
      return failure(drained.error, drained.error === ERR_TIMEOUT
        ? ' An earlier main-thread call is still running in the service.' : '');
    }
    shared.staleMainThread = false;
  }
  // Appended last; JSON.stringify writes it as "MainThread":true, the exact bytes the
  // service looks for.
  const body = formBody({ ...request, MainThread: true });
  const got = await untilResult(conn, body, deadline, onHeartbeat, started);
  return got.error ? failure(got.error) : answerRecord(got.values, got.baseUrl);
}
