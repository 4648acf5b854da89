// Client for pages that use NoxHalvorant, the local host of security adapters.
//
//   import { createClient, PATH_IDS } from './noxhalvorant.js';
//   const nox = createClient();
//   const opened = await nox.open({ pathId: PATH_IDS.NoxCryptAdapter });
//   const answer = await nox.call('SomeFunction', { Data: 'abc' });
//
// Every function resolves to a record and never rejects:
//   { ok, error, result, code, message, values, baseUrl }
// ok: an answer arrived and "result" is not a failure code (61000-61999);
// error: null, or 'bad-input' | 'not-detected' | 'timeout' | 'bad-answer';
// result: the decoded "result" text (null when the answer has none);
// code: result as a number when it is one; message: a readable text;
// values: every decoded answer value; baseUrl: the listener that answered.

import { answerValue, checkName, checkParams, putText } from './codec.js';
import { ERR_INPUT } from './codes.js';
import { exchange, failure, serial } from './transport.js';

export { describeResult, isFailureCode } from './codes.js';
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
const MAX_TIMEOUT_MINUTES = 35791394;  // the service's lifetime arithmetic limit

const isPlain = (o) => o !== null && typeof o === 'object' && !Array.isArray(o);
const badInput = (detail) => failure(ERR_INPUT, detail);
const nothingToDo = (message) => ({
  ok: true, error: null, result: null, code: null, message, values: {}, baseUrl: null,
});

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
    pageSchemeError();
  if (bad) return { error: bad };
  const fetchFn = options.fetch ?? globalThis.fetch;
  if (typeof fetchFn !== 'function') return { error: 'no fetch function is available' };
  return { urls: listeners.urls, timeoutMs, fetchFn };
}

// Options: host ("127.0.0.1" or "localhost"), ports, baseUrls (replaces host and
// ports), timeoutMs (whole call, heartbeats included), onHeartbeat({count, elapsedMs}),
// fetch (transport), sessionId and browserMode (to resume a browser-mode session).
// Invalid options make every call answer 'bad-input' with the reason.
export function createClient(given = {}) {
  const checked = checkOptions(given);
  const options = isPlain(given) ? given : {};
  const conn = checked.error ? null : { fetch: checked.fetchFn, urls: checked.urls, preferred: 0 };
  const defaults = {
    timeoutMs: checked.timeoutMs,
    onHeartbeat: options.onHeartbeat,
  };
  let sessionId = checked.error ? null : options.sessionId ?? null;
  let browserMode = options.browserMode === true;

  // Runs one request through the page's queue.
  function send(request, callOptions = {}) {
    if (checked.error) return Promise.resolve(badInput(checked.error));
    if (!isPlain(callOptions)) return Promise.resolve(badInput('call options must be an object'));
    const timeoutMs = callOptions.timeoutMs ?? defaults.timeoutMs;
    const bad =
      checkTimeout(timeoutMs) ||
      (callOptions.onHeartbeat !== undefined && typeof callOptions.onHeartbeat !== 'function'
        ? 'onHeartbeat must be a function' : null) ||
      (callOptions.mainThread !== undefined && typeof callOptions.mainThread !== 'boolean'
        ? 'mainThread must be true or false' : null);
    if (bad) return Promise.resolve(badInput(bad));
    return serial(() => exchange(conn, request, {
      mainThread: callOptions.mainThread === true,
      onHeartbeat: callOptions.onHeartbeat ?? defaults.onHeartbeat,
      timeoutMs,
    }));
  }

  // A SessionID in a successful answer names the session the service holds for us
  // (a new one when the old one was evicted and the request could reopen it).
  function adoptSession(rec) {
    const id = answerValue(rec.values, 'SessionID');
    if (rec.ok && rec.result !== null && id) sessionId = id;
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
    const rec = await send(request, { timeoutMs: o.timeoutMs });
    if (rec.error) return rec;
    if (rec.result === null) {
      // The service answers no result when the adapter reports no version.
      return { ...rec, ok: false, message: 'The adapter reported no version; it cannot be used.' };
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

  // Stores value under channel for the origins of domainList ("a.test;*.b.test" or an
  // array of entries) for timeoutMinutes (0: until the service stops).
  async function setValue(channel, value, domainList, timeoutMinutes = 0) {
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
    return send(request);
  }

  // Reads channel: result is the text, or "" when the channel is unknown, this origin is
  // not on its domain list, or it expired.
  async function getValue(channel) {
    const missing = needSession();
    if (missing) return missing;
    const bad = checkName(channel, 'channel', 511);
    if (bad) return badInput(bad);
    const rec = await send({ FunctionName: 'getHalvorantValue', SessionId: sessionId, channel });
    if (rec.error) return rec;
    // Only these two codes are the service's own; any other text is the stored value.
    const failed = rec.result === null || rec.result === '61001' || rec.result === '61005';
    return { ...rec, ok: !failed, message: failed ? rec.message || 'No value was answered.' : '' };
  }

  // Ends the session. A browser-mode session is kept by the service (and here).
  async function release() {
    if (!sessionId) return nothingToDo('No session was open.');
    const rec = await send({ FunctionName: 'HalvorantRelease', SessionId: sessionId });
    if (!rec.error && !browserMode) sessionId = null;
    return rec;
  }

  // Ends the session, browser mode or not.
  async function forceRelease() {
    if (!sessionId) return nothingToDo('No session was open.');
    const rec = await send({ FunctionName: 'HalvorantForceRelease', SessionId: sessionId });
    if (!rec.error) {
      sessionId = null;
      browserMode = false;
    }
    return rec;
  }

  // Versions of the service and of the session's adapter; result "0".
  async function echo() {
    return needSession() || send({ FunctionName: 'HalvorantEcho', SessionId: sessionId });
  }

  // Whether a service answers at all: a release without a session, which changes nothing.
  async function detect(callOptions = {}) {
    return send({ FunctionName: 'HalvorantRelease' }, callOptions);
  }

  return Object.freeze({
    open, call, setValue, getValue, release, forceRelease, echo, detect,
    sessionId: () => sessionId,
    browserMode: () => browserMode,
    baseUrl: () => (conn ? conn.urls[conn.preferred] : null),
  });
}
