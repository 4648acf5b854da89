// One POST to the service, trying its listeners in turn, and the heartbeat loop of
// main-thread calls. Failures come back as { error: NoxError }; nothing throws.

import { formBody, parseAnswer, answerValue } from './codec.js';
import { describeResult, resultCode, ABORTED, BAD_ANSWER, NETWORK, NOT_DETECTED, TIMEOUT } from './codes.js';
import { clientError } from './errors.js';

export const now = () => Date.now();

// The service keeps one request slot for all its listeners: a page sends one request
// at a time, so every client of this page shares one queue.
let queue = Promise.resolve();
export function serial(task) {
  const run = queue.then(task);
  queue = run.then(() => undefined, () => undefined);
  return run;
}

// A main-thread call given up (timed out or aborted) while the service still ran it: the
// service hands its result to the next flagged request, so the next request of this page
// first collects it and drops it.
const shared = { staleMainThread: false };
export const sharedState = shared;

export function answerRecord(values, baseUrl) {
  const result = answerValue(values, 'result') ?? null;
  return {
    ok: true, result, code: resultCode(result),
    message: result === null ? '' : describeResult(result) ?? '',
    values, baseUrl,
  };
}

// A simple request (form content type, no custom header): browsers then send no
// preflight, which the service would refuse.
// origin: the Origin header of a program outside a browser (a browser sends the page's own
// and drops this one, since Origin is a header pages cannot set).
function postInit(body, signal, origin) {
  const headers = { 'Content-Type': 'application/x-www-form-urlencoded' };
  if (origin) headers.Origin = origin;
  return {
    method: 'POST',
    headers,
    body,
    credentials: 'omit',
    redirect: 'error',
    signal,
  };
}

const abortedError = (signal) => clientError(ABORTED, '', { cause: signal.reason });

// conn: { fetch, urls, preferred, reached, origin } (preferred: index of the last listener
// that answered; reached: some listener answered before; origin: see postInit). signal:
// the caller's AbortSignal. → { values, baseUrl } or { error }; a NOT_DETECTED or NETWORK
// error keeps the last listener's failure as its cause.
export async function post(conn, body, deadline, signal) {
  let foreign = false;
  let failure;
  const n = conn.urls.length;
  for (let i = 0; i < n; i++) {
    if (signal && signal.aborted) return { error: abortedError(signal) };
    const index = (conn.preferred + i) % n;
    const remaining = deadline - now();
    if (remaining <= 0) return { error: clientError(TIMEOUT) };
    const abort = new AbortController();
    const timer = setTimeout(() => abort.abort(), remaining);
    const onAbort = () => abort.abort();
    if (signal) signal.addEventListener('abort', onAbort, { once: true });
    try {
      // Called as a plain function: a browser's fetch called as a method of another
      // object throws "Illegal invocation".
      const fetchFn = conn.fetch;
      const res = await fetchFn(conn.urls[index], postInit(body, abort.signal, conn.origin));
      const text = await res.text();
      const values = res.status === 200 ? parseAnswer(text) : null;
      if (values === null) {
        foreign = true;  // something else holds this port: try the next one
        continue;
      }
      conn.preferred = index;
      conn.reached = true;
      return { values, baseUrl: conn.urls[index] };
    } catch (cause) {
      if (signal && signal.aborted) return { error: abortedError(signal) };
      if (abort.signal.aborted) return { error: clientError(TIMEOUT) };
      // Network error: nothing listens there, or the browser refused; try the next one.
      failure = cause;
    } finally {
      clearTimeout(timer);
      if (signal) signal.removeEventListener('abort', onAbort);
    }
  }
  if (foreign) return { error: clientError(BAD_ANSWER) };
  return { error: clientError(conn.reached ? NETWORK : NOT_DETECTED, '', { cause: failure }) };
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
// A call given up here (time-out, abort, lost connection) may still run in the service.
async function untilResult(conn, body, deadline, signal, onHeartbeat, started) {
  let beats = 0;
  for (;;) {
    const got = await post(conn, body, deadline, signal);
    if (got.error) {
      // Not detected / something else on the port: the request never reached the service.
      const code = got.error.code;
      if (beats > 0 || code === TIMEOUT || code === ABORTED || code === NETWORK) shared.staleMainThread = true;
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
// → answer record, or { error }.
export async function exchange(conn, request, { mainThread, onHeartbeat, timeoutMs, signal }) {
  const started = now();
  const deadline = started + timeoutMs;
  if (signal && signal.aborted) return { error: abortedError(signal) };
  // Any request would meet the given-up call's result (or its kept request) first.
  if (shared.staleMainThread) {
    const drained = await untilResult(conn, DRAIN_BODY, deadline, signal, null, started);
    if (drained.error) {
      if (drained.error.code === TIMEOUT) drained.error.message += ' An earlier main-thread call is still running in the service.';
      return drained;
    }
    shared.staleMainThread = false;
  }
  if (!mainThread) {
    const got = await post(conn, formBody(request), deadline, signal);
    return got.error ? got : answerRecord(got.values, got.baseUrl);
  }
  // Appended last; JSON.stringify writes it as "MainThread":true, the exact bytes the
  // service looks for.
  const body = formBody({ ...request, MainThread: true });
  const got = await untilResult(conn, body, deadline, signal, onHeartbeat, started);
  return got.error ? got : answerRecord(got.values, got.baseUrl);
}
