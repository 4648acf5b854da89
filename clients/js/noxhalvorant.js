// Client for pages that use NoxHalvorant, the local host of security adapters.
//
//   import { createClient, PATH_IDS, NoxError } from 'noxhalvorant-client';
//   const nox = createClient();
//   await nox.open({ pathId: PATH_IDS.NoxCryptAdapter });
//   try {
//     const answer = await nox.call('SomeFunction', { Data: 'abc' }, { signal, timeoutMs: 30000 });
//     show(answer.result);
//   } catch (e) {
//     if (e instanceof NoxError) show(e.code, e.message);  // e.g. NO_ADAPTER, PIN_INCORRECT, ABORTED
//   }
//
// A call resolves to a record { ok: true, result, code, message, values, baseUrl } when
// an answer arrived that is no failure, and rejects with a NoxError otherwise: a result
// code 61000-61999 (code is its name, resultCode the number), an adapter's error
// {"error":{"code","message"}} (code is the adapter's) or older "error: <text>"
// (ADAPTER_ERROR), or one of the client's own codes (BAD_INPUT, NOT_DETECTED, TIMEOUT,
// ABORTED, NETWORK, BAD_ANSWER, NO_VERSION). Every call takes { signal, timeoutMs }.

import { answerValue, checkName, checkParams, putText } from './codec.js';
import { NOT_DETECTED, TIMEOUT, BAD_ANSWER } from './codes.js';
import { answerError, badInput as inputError, clientError, NoxError } from './errors.js';
import { exchange, serial } from './transport.js';

export { NoxError } from './errors.js';
export { describeResult, isFailureCode, RESULT_CODES } from './codes.js';
export { encryptParameter, encryptText } from './encrypt.js';
export { withBase64Flag } from './codec.js';

export const DEFAULT_PORTS = Object.freeze([54469, 54569, 54669]);
export const DEFAULT_HOST = '127.0.0.1';
export const DEFAULT_TIMEOUT_MS = 120000;
export const DEFAULT_MIN_SERVER_VERSION = '1.0.0.0';

// PathIDs of the built-in adapters.
export const PATH_IDS = Object.freeze({
  NoxCryptAdapter: '3A61F0B2C94E4D7B8E05A1C2D3F40516',
  NoxPkiCryptAdapter: '5B72E1C3DA5F4E8C9F16B2D3E4051627',
  NoxIdAdapter: '6C83F2D4EB604F9DA027C3E4F5162738',
});

// Keys the client writes itself (lower case; the service ignores case).
const RESERVED = ['functionname', 'sessionid', 'mainthread', 'halvorantmainthread', 'keepalive'];
// The service answers these itself; they have their own functions here.
const BUILT_IN = new Set([
  'halvorantforcerelease', 'halvorantclose', 'halvorantrelease',
  'sethalvorantvalue', 'gethalvorantvalue', 'halvorantecho', 'echo',
]);
// The service accepts only these Host names.
const HOSTS = new Set(['127.0.0.1', 'localhost']);
const VERSION = /^\d{1,9}(\.\d{1,9}){0,7}$/;
// An origin as a browser writes it: scheme, host and an optional port, nothing after.
const ORIGIN = /^https?:\/\/[A-Za-z0-9.-]+(:\d{1,5})?$|^https?:\/\/\[[0-9A-Fa-f:.]+\](:\d{1,5})?$/;
const MAX_TIMEOUT_MINUTES = 35791394;  // the service's lifetime arithmetic limit

const isPlain = (o) => o !== null && typeof o === 'object' && !Array.isArray(o);
const badInput = (detail) => Promise.reject(inputError(detail));
const nothingToDo = (message) => ({
  ok: true, result: null, code: null, message, values: {}, baseUrl: null,
});
const isSignal = (s) => s === undefined || (s !== null && typeof s === 'object' && typeof s.aborted === 'boolean' &&
  typeof s.addEventListener === 'function');

function checkTimeout(ms) {
  return Number.isFinite(ms) && ms > 0 ? null : 'timeoutMs must be a positive number';
}

// → { urls } or { error }.
function listenerUrls(options) {
  if (options.baseUrls !== undefined) {
    const list = options.baseUrls;
    if (!Array.isArray(list) || list.length === 0) return { error: 'baseUrls must be a non-empty array' };
    for (const u of list) {
      if (typeof u !== 'string' || !/^https?:\/\/[^/?#]+\/?$/.test(u)) {
        return { error: `baseUrls entry ${JSON.stringify(u)} is not an http(s) origin` };
      }
    }
    return { urls: list.map((u) => (u.endsWith('/') ? u : u + '/')) };
  }
  const host = options.host ?? DEFAULT_HOST;
  if (!HOSTS.has(host)) return { error: 'host must be "127.0.0.1" or "localhost"' };
  const ports = options.ports ?? DEFAULT_PORTS;
  if (!Array.isArray(ports) || ports.length === 0) return { error: 'ports must be a non-empty array' };
  for (const p of ports) {
    if (!Number.isInteger(p) || p < 1 || p > 65535) return { error: `port ${p} is not a TCP port` };
  }
  return { urls: ports.map((p) => `https://${host}:${p}/`) };
}

// Pages of other schemes get answers their browser will not show them (the service
// names only http(s) origins), and a retry on the next port would run the call again.
function pageSchemeError() {
  const loc = globalThis.location;
  if (loc && typeof loc.protocol === 'string' && !/^https?:$/.test(loc.protocol)) {
    return 'the page must be served over http or https';
  }
  return null;
}

function checkOptions(options) {
  if (!isPlain(options)) return { error: 'options must be an object' };
  const listeners = listenerUrls(options);
  if (listeners.error) return listeners;
  const timeoutMs = options.timeoutMs ?? DEFAULT_TIMEOUT_MS;
  const bad =
    checkTimeout(timeoutMs) ||
    (options.fetch !== undefined && typeof options.fetch !== 'function' ? 'fetch must be a function' : null) ||
    (options.onHeartbeat !== undefined && typeof options.onHeartbeat !== 'function'
      ? 'onHeartbeat must be a function' : null) ||
    (options.sessionId !== undefined && checkName(options.sessionId, 'sessionId', 63)) ||
    (options.origin !== undefined && (typeof options.origin !== 'string' || !ORIGIN.test(options.origin))
      ? 'origin must be an http(s) origin such as "https://app.example" (no path)' : null) ||
    pageSchemeError();
  if (bad) return { error: bad };
  const fetchFn = options.fetch ?? globalThis.fetch;
  if (typeof fetchFn !== 'function') return { error: 'no fetch function is available' };
  return { urls: listeners.urls, timeoutMs, fetchFn };
}

// Options: host ("127.0.0.1" or "localhost"), ports, baseUrls (replaces host and
// ports), timeoutMs (whole call, heartbeats included), onHeartbeat({count, elapsedMs}),
// fetch (transport), sessionId and browserMode (to resume a browser-mode session), origin
// (the Origin header of a program outside a browser; browsers send the page's own).
// Invalid options make every call answer 'bad-input' with the reason.
const CAUSE_MESSAGES = Object.freeze({
  LOCAL_NETWORK_DENIED:
    'The browser does not let this page reach local services (Local Network Access is blocked ' +
    'for this site). Allow it in the site settings and reload.',
  LOCAL_NETWORK_PROMPT:
    'The browser has not been allowed to let this page reach local services yet. Accept its ' +
    'question about local network access, then try again.',
  NOT_RUNNING_OR_UNTRUSTED:
    'NoxHalvorant did not answer: it is not running, or its certificate is not trusted. Open ' +
    'https://127.0.0.1:54469/ in a tab: a certificate warning means run noxhalvorant --trust; a ' +
    '"refused to connect" page means start the service.',
  TIMEOUT: 'A listener accepted the connection but did not answer in time.',
  BAD_ANSWER: 'Something other than NoxHalvorant answers on its ports.',
  NO_ORIGIN:
    'NoxHalvorant answers but refused the request (61012): the request carried no Origin, as ' +
    'from a program outside a browser (give it one: createClient({ origin: ' +
    '"https://your.app" })), or another user now owns the console and the service stopped.',
});

// What a program outside a browser can tell from its network error (a page's browser
// hides it): nothing listening, or a certificate the program does not trust.
const NETWORK_MESSAGES = Object.freeze({
  refused: 'Nothing listens on the NoxHalvorant ports: the service is not running. Start it ' +
    '("systemctl --user start noxhalvorant" on Linux).',
  untrusted: 'A listener answered with a certificate this program does not trust. Node.js: ' +
    'start it with NODE_EXTRA_CA_CERTS naming the NoxHalvorant CA file of this user.',
});

// The system's code of a failed fetch (undici wraps it: TypeError → cause with a code).
function networkFailure(error) {
  let e = error;
  for (let depth = 0; e && depth < 4; depth++, e = e.cause) {
    const code = typeof e.code === 'string' ? e.code : '';
    if (code === 'ECONNREFUSED') return 'refused';
    if (/CERT|SELF_SIGNED|UNABLE_TO_(GET|VERIFY)/.test(code)) return 'untrusted';
  }
  return null;
}

// The browser's Local Network Access permission for this page: 'granted', 'denied',
// 'prompt', or null where the browser has no such permission (or no permission API).
async function localNetworkPermission() {
  const permissions = globalThis.navigator && globalThis.navigator.permissions;
  if (!permissions || typeof permissions.query !== 'function') return null;
  // Chromium's name; then loopback-network, the one that governs loopback in Firefox (and
  // in Chromiums that split the permission); then Firefox's name for other local addresses.
  for (const name of ['local-network-access', 'loopback-network', 'local-network']) {
    try {
      const status = await permissions.query({ name });
      if (status && typeof status.state === 'string') return status.state;
    } catch {
      // This browser does not know the name.
    }
  }
  return null;
}

// Loopback pages need no Local Network Access permission to reach loopback.
function pageIsLoopback() {
  const host = globalThis.location && globalThis.location.hostname;
  return typeof host === 'string' && (host === 'localhost' || /^127\./.test(host) || host === '[::1]');
}

// code: NOT_DETECTED or TIMEOUT. A browser that has not been allowed Local Network Access
// fails the request at once or holds it until the person answers its question (then it
// times out), and never sends it: both are the permission's doing.
async function notDetectedCause(code) {
  const state = pageIsLoopback() ? null : await localNetworkPermission();
  if (state === 'denied') return 'LOCAL_NETWORK_DENIED';
  if (state === 'prompt') return 'LOCAL_NETWORK_PROMPT';
  return code === TIMEOUT ? TIMEOUT : 'NOT_RUNNING_OR_UNTRUSTED';
}

function detection(cause, error) {
  const known = cause === 'NOT_RUNNING_OR_UNTRUSTED' ? networkFailure(error) : null;
  return { detected: false, cause, message: known ? NETWORK_MESSAGES[known] : CAUSE_MESSAGES[cause], error };
}

export function createClient(given = {}) {
  const checked = checkOptions(given);
  const options = isPlain(given) ? given : {};
  const conn = checked.error ? null
    : { fetch: checked.fetchFn, urls: checked.urls, preferred: 0, reached: false, origin: options.origin };
  const defaults = {
    timeoutMs: checked.timeoutMs,
    onHeartbeat: options.onHeartbeat,
  };
  let sessionId = checked.error ? null : options.sessionId ?? null;
  let browserMode = options.browserMode === true;

  // Runs one request through the page's queue; resolves to the answer record (failure
  // answers included) or rejects with the NoxError of a failed exchange.
  async function exchangeOnly(request, callOptions = {}) {
    if (checked.error) throw inputError(checked.error);
    if (!isPlain(callOptions)) throw inputError('call options must be an object');
    const timeoutMs = callOptions.timeoutMs ?? defaults.timeoutMs;
    const bad =
      checkTimeout(timeoutMs) ||
      (!isSignal(callOptions.signal) ? 'signal must be an AbortSignal' : null) ||
      (callOptions.onHeartbeat !== undefined && typeof callOptions.onHeartbeat !== 'function'
        ? 'onHeartbeat must be a function' : null) ||
      (callOptions.mainThread !== undefined && typeof callOptions.mainThread !== 'boolean'
        ? 'mainThread must be true or false' : null);
    if (bad) throw inputError(bad);
    const rec = await serial(() => exchange(conn, request, {
      mainThread: callOptions.mainThread === true,
      onHeartbeat: callOptions.onHeartbeat ?? defaults.onHeartbeat,
      timeoutMs,
      signal: callOptions.signal,
    }));
    if (rec.error) throw rec.error;
    return rec;
  }

  // As exchangeOnly, and a failure answer rejects too.
  async function send(request, callOptions = {}) {
    const rec = await exchangeOnly(request, callOptions);
    const failed = answerError(rec);
    if (failed) throw failed;
    return rec;
  }

  // A SessionID in a successful answer names the session the service holds for us
  // (a new one when the old one was evicted and the request could reopen it).
  function adoptSession(rec) {
    const id = answerValue(rec.values, 'SessionID');
    if (rec.result !== null && id) sessionId = id;
    return rec;
  }

  const needSession = () => (sessionId ? null : badInput('no session is open; call open() first'));

  async function open(o = {}) {
    if (!isPlain(o)) return badInput('open() takes an object');
    if (sessionId) return badInput('a session is already open; release it first');
    const minServer = o.minServerVersion ?? DEFAULT_MIN_SERVER_VERSION;
    const bad =
      (o.pathId === undefined && (o.libDir === undefined || o.comName === undefined)
        ? 'give pathId, or libDir and comName' : null) ||
      (o.pathId !== undefined && checkName(o.pathId, 'pathId', 511)) ||
      (o.libDir !== undefined && checkName(o.libDir, 'libDir', 63)) ||
      (o.comName !== undefined && checkName(o.comName, 'comName', 63)) ||
      (o.installerName !== undefined && checkName(o.installerName, 'installerName', 255)) ||
      (typeof minServer !== 'string' || !VERSION.test(minServer) ? 'minServerVersion must be like 1.0.0.0' : null) ||
      (o.minLibVersion !== undefined && (typeof o.minLibVersion !== 'string' || !VERSION.test(o.minLibVersion))
        ? 'minLibVersion must be like 1.0.0.0' : null) ||
      (o.browserMode !== undefined && typeof o.browserMode !== 'boolean' ? 'browserMode must be true or false' : null);
    if (bad) return badInput(bad);
    const request = { FunctionName: 'Echo' };
    if (o.pathId !== undefined) request.PathID = o.pathId;
    if (o.libDir !== undefined) request.LibDir = o.libDir;
    if (o.comName !== undefined) request.ComName = o.comName;
    if (o.installerName !== undefined) request.InstallerName = o.installerName;
    request.minServerVersion = minServer;
    if (o.minLibVersion !== undefined) request.minLibVersion = o.minLibVersion;
    if (o.browserMode) request.HalvorantMode = 1;
    const rec = await send(request, { timeoutMs: o.timeoutMs, signal: o.signal });
    if (rec.result === null) {
      // The service answers no result when the adapter reports no version.
      throw clientError('NO_VERSION', '', { values: rec.values, baseUrl: rec.baseUrl });
    }
    const id = answerValue(rec.values, 'SessionID');
    if (rec.result === '0' && id) {
      sessionId = id;
      browserMode = o.browserMode === true;
    }
    return rec;
  }

  async function call(functionName, params = {}, callOptions = {}) {
    const bad =
      checkName(functionName, 'functionName', 511) ||
      (typeof functionName === 'string' && BUILT_IN.has(functionName.toLowerCase())
        ? `"${functionName}" is answered by the service itself; use the client's own function` : null) ||
      checkParams(params, RESERVED);
    if (bad) return badInput(bad);
    const request = { FunctionName: functionName };
    if (sessionId) request.SessionId = sessionId;
    Object.assign(request, params);
    return adoptSession(await send(request, callOptions));
  }

  // Sign on the PKI adapter: a PIN or consent dialog may take the user a while, so it
  // always runs as a main-thread call with heartbeats.
  async function sign(params = {}, callOptions = {}) {
    return dialogCall('Sign', params, callOptions);
  }

  async function dialogCall(functionName, params, callOptions) {
    if (!isPlain(callOptions)) return badInput('call options must be an object');
    return call(functionName, params, { ...callOptions, mainThread: true });
  }

  // Sign-in on the PKI adapter: the adapter signs this page's own origin with the
  // relying party's challenge (Base64 of 32 to 128 bytes); result is the token's JSON text.
  async function authenticate(params = {}, callOptions = {}) {
    return dialogCall('Authenticate', params, callOptions);
  }

  // Many digests after one dialog and one PIN; Digests may be an array of Base64 texts.
  async function signBatch(params = {}, callOptions = {}) {
    if (!isPlain(params)) return badInput('params must be an object');
    const digests = params.Digests;
    if (Array.isArray(digests)) {
      if (digests.some((d) => typeof d !== 'string' || d === '' || d.includes(',')))
        return badInput('Digests must be Base64 texts');
      params = { ...params, Digests: digests.join(',') };
    }
    return dialogCall('SignBatch', params, callOptions);
  }

  // Stores value under channel for the origins of domainList ("a.test;*.b.test" or an
  // array of entries) for timeoutMinutes (0: until the service stops).
  async function setValue(channel, value, domainList, timeoutMinutes = 0, callOptions = {}) {
    const missing = needSession();
    if (missing) return missing;
    const list = Array.isArray(domainList) ? domainList : [domainList];
    const bad =
      checkName(channel, 'channel', 511) ||
      (typeof value !== 'string' || value.includes('\u0000') ? 'value must be a text without NUL' : null) ||
      (list.some((d) => typeof d !== 'string' || d.includes('\u0000') || (list.length > 1 && d.includes(';')))
        ? 'domainList must be a text, or an array of texts without ";"' : null) ||
      (!Number.isInteger(timeoutMinutes) || timeoutMinutes < 0 || timeoutMinutes > MAX_TIMEOUT_MINUTES
        ? `timeoutMinutes must be an integer from 0 to ${MAX_TIMEOUT_MINUTES}` : null);
    if (bad) return badInput(bad);
    const request = { FunctionName: 'setHalvorantValue', SessionId: sessionId, channel };
    // The service reads these through its flag-aware getters, so a text its JSON reader
    // would alter (a backslash, say) travels Base64-flagged and is stored exactly.
    putText(request, 'domain_list', list.join(';'));
    request.timeout = timeoutMinutes;
    putText(request, 'value', value);
    return send(request, callOptions);
  }

  // Reads channel: result is the text, or "" when the channel is unknown, this origin is
  // not on its domain list, or it expired.
  async function getValue(channel, callOptions = {}) {
    const missing = needSession();
    if (missing) return missing;
    const bad = checkName(channel, 'channel', 511);
    if (bad) return badInput(bad);
    const rec = await exchangeOnly({ FunctionName: 'getHalvorantValue', SessionId: sessionId, channel }, callOptions);
    // Only these two codes are the service's own; any other text is the stored value,
    // whatever it looks like.
    if (rec.result === '61001' || rec.result === '61005') throw answerError(rec);
    if (rec.result === null) throw clientError(BAD_ANSWER, ' No value was answered.', { values: rec.values });
    return { ...rec, message: '' };
  }

  // Ends the session. A browser-mode session is kept by the service (and here).
  async function release(callOptions = {}) {
    if (!sessionId) return nothingToDo('No session was open.');
    const rec = await send({ FunctionName: 'HalvorantRelease', SessionId: sessionId }, callOptions);
    if (!browserMode) sessionId = null;
    return rec;
  }

  // Ends the session, browser mode or not.
  async function forceRelease(callOptions = {}) {
    if (!sessionId) return nothingToDo('No session was open.');
    const rec = await send({ FunctionName: 'HalvorantForceRelease', SessionId: sessionId }, callOptions);
    sessionId = null;
    browserMode = false;
    return rec;
  }

  // Versions of the service and of the session's adapter; result "0".
  async function echo(callOptions = {}) {
    const missing = needSession();
    if (missing) return missing;
    return send({ FunctionName: 'HalvorantEcho', SessionId: sessionId }, callOptions);
  }

  // Whether a service answers, and its version, without opening an adapter session (a
  // release without session changes nothing). Resolves to
  //   { detected: true, version, baseUrl }  or  { detected: false, cause, message, error }
  // cause: LOCAL_NETWORK_DENIED (the browser's Local Network Access permission is
  // denied), LOCAL_NETWORK_PROMPT (not granted yet: the browser asks, or the user
  // dismissed the question), NOT_RUNNING_OR_UNTRUSTED (no connection: the service is not
  // running or its certificate is not trusted; a page cannot tell these apart, opening
  // https://127.0.0.1:54469/ in a tab shows which), TIMEOUT, BAD_ANSWER, NO_ORIGIN (the
  // service refused the request with 61012: no Origin, as from Node.js without the
  // origin option, or the console user changed). Rejects only for BAD_INPUT and ABORTED.
  // A port whose listener fails the browser's certificate check (another program holding
  // it cannot present the user's own certificate) is passed over like one that refuses the
  // connection: detection goes on to the next port.
  async function detect(callOptions = {}) {
    let rec;
    try {
      rec = await exchangeOnly({ FunctionName: 'HalvorantRelease' }, callOptions);
    } catch (e) {
      if (!(e instanceof NoxError) || (e.code !== NOT_DETECTED && e.code !== TIMEOUT && e.code !== BAD_ANSWER)) throw e;
      return detection(e.code === BAD_ANSWER ? BAD_ANSWER : await notDetectedCause(e.code), e);
    }
    if (rec.code === 61012) return detection('NO_ORIGIN', answerError(rec));
    return { detected: true, version: answerValue(rec.values, 'ServerVersion') ?? null, baseUrl: rec.baseUrl };
  }

  return Object.freeze({
    open, call, sign, authenticate, signBatch, setValue, getValue, release, forceRelease, echo, detect,
    sessionId: () => sessionId,
    browserMode: () => browserMode,
    baseUrl: () => (conn ? conn.urls[conn.preferred] : null),
  });
}
