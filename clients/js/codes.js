// Result codes and the error codes of the client.
//
// RESULT_CODES is the page-visible part of the service's list of result codes
// (src/util/ResultCodes.h); a test keeps the two equal.

export const RESULT_CODES = Object.freeze({
  0: Object.freeze({ name: 'OK', message: 'Success.' }),
  61001: Object.freeze({ name: 'UNAVAILABLE', message: 'The service could not read the connection, or could not produce the stored value.' }),
  61005: Object.freeze({ name: 'MISSING_PARAMETER', message: 'A value store request lacks "channel", "domain_list" or "value", or has a negative timeout or an unusable domain list.' }),
  61009: Object.freeze({ name: 'NO_ADAPTER', message: 'No usable adapter: the PathID is unknown and LibDir/ComName are not in the path table.' }),
  61012: Object.freeze({ name: 'ORIGIN_OR_USER', message: 'The page origin could not be determined, or the logged-in user changed (the service shuts down).' }),
  61019: Object.freeze({ name: 'VALUE_STORE_FULL', message: 'The value store is full (16 channels that have not expired).' }),
  61020: Object.freeze({ name: 'VALUE_NOT_ENCRYPTED', message: 'The value could not be encrypted for storage.' }),
  61203: Object.freeze({ name: 'SERVER_TOO_OLD', message: 'The service is older than minServerVersion, or the versions cannot be compared.' }),
  61204: Object.freeze({ name: 'ADAPTER_TOO_OLD', message: 'The adapter is older than minLibVersion, or the versions cannot be compared.' }),
  61902: Object.freeze({ name: 'ADAPTER_NOT_LOADED', message: 'The adapter library could not be loaded.' }),
  61904: Object.freeze({ name: 'HOST_NOT_LOCAL', message: 'The request did not address localhost or 127.0.0.1.' }),
  61906: Object.freeze({ name: 'NO_ENTRY_POINT', message: 'The adapter library exports no usable entry point.' }),
  61907: Object.freeze({ name: 'SESSION_QUEUE_FULL', message: 'Too many requests of this session are waiting; send the next one after an answer.' }),
  61908: Object.freeze({ name: 'ADAPTER_TIMEOUT', message: 'The adapter did not answer within its time limit; the session was closed.' }),
  61909: Object.freeze({ name: 'ADAPTERS_STUCK', message: 'Adapter work is refused: too many adapter calls, or the main-thread call, stopped answering; restart the service.' }),
});

export const FIRST_CODE = 61000;
export const LAST_CODE = 61999;

// Decimal text or integer → number; anything else → null.
export function resultCode(result) {
  if (typeof result === 'number') return Number.isSafeInteger(result) ? result : null;
  if (typeof result !== 'string' || !/^-?\d{1,15}$/.test(result)) return null;
  return Number(result);
}

// True for the codes the service and adapters use to report failure.
export function isFailureCode(code) {
  return code !== null && code >= FIRST_CODE && code <= LAST_CODE;
}

// Name of a failure code: its name in the list, else RESULT_<n> (an adapter's answer to
// the version query, passed on by the service).
export function resultName(code) {
  const known = RESULT_CODES[code];
  return known ? known.name : `RESULT_${code}`;
}

// Message for a result code (number or decimal text) or "heartbeat"; null for other texts,
// which are an adapter's own results.
export function describeResult(code) {
  if (code === 'heartbeat') return 'The main-thread call is still running.';
  const n = resultCode(code);
  if (n === null) return null;
  if (RESULT_CODES[n]) return RESULT_CODES[n].message;
  if (isFailureCode(n)) return `The adapter reported error code ${n}.`;
  return `Result code ${n}.`;
}

// The client's own error codes (NoxError.code), beside the result-code names and the
// adapters' own codes.
export const BAD_INPUT = 'BAD_INPUT';
export const NOT_DETECTED = 'NOT_DETECTED';
export const TIMEOUT = 'TIMEOUT';
export const ABORTED = 'ABORTED';
export const NETWORK = 'NETWORK';
export const BAD_ANSWER = 'BAD_ANSWER';
export const NO_VERSION = 'NO_VERSION';
export const ADAPTER_ERROR = 'ADAPTER_ERROR';

export const CLIENT_MESSAGES = Object.freeze({
  [BAD_INPUT]: 'The request was not sent: ',
  [NOT_DETECTED]:
    'NoxHalvorant was not detected on any port: it is not running, its certificate is not ' +
    'trusted, or the browser has not granted this page Local Network Access.',
  [TIMEOUT]: 'No result arrived in time.',
  [ABORTED]: 'The call was cancelled.',
  [NETWORK]: 'The connection to NoxHalvorant failed after it had answered before.',
  [BAD_ANSWER]: 'The listener answered with something that is not a NoxHalvorant answer.',
  [NO_VERSION]: 'The adapter reported no version; it cannot be used.',
  [ADAPTER_ERROR]: 'The adapter reported an error: ',
});
