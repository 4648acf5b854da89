// Readable texts for the service's result codes and for the client's own failures.

const MESSAGES = new Map([
  [0, 'Success.'],
  [61001, 'The service could not read the connection, or could not produce the stored value.'],
  [61005, 'A value store request lacks "channel", "domain_list" or "value", or has a negative timeout or an unusable domain list.'],
  [61009, 'No usable adapter: the PathID is unknown and LibDir/ComName are not in the path table.'],
  [61012, 'The page origin could not be determined, or the logged-in user changed (the service shuts down).'],
  [61019, 'The value store is full (16 channels that have not expired).'],
  [61020, 'The value could not be encrypted for storage.'],
  [61203, 'The service is older than minServerVersion, or the versions cannot be compared.'],
  [61204, 'The adapter is older than minLibVersion, or the versions cannot be compared.'],
  [61902, 'The adapter library could not be loaded.'],
  [61904, 'The request did not address localhost or 127.0.0.1.'],
  [61906, 'The adapter library exports no usable entry point.'],
]);

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

// Message for a result code (number or decimal text) or "heartbeat"; null for other texts,
// which are an adapter's own results.
export function describeResult(code) {
  if (code === 'heartbeat') return 'The main-thread call is still running.';
  const n = resultCode(code);
  if (n === null) return null;
  if (MESSAGES.has(n)) return MESSAGES.get(n);
  if (isFailureCode(n)) return `The adapter reported error code ${n}.`;
  return `Result code ${n}.`;
}

// The client's own failure kinds (record field "error").
export const ERR_INPUT = 'bad-input';
export const ERR_NOT_DETECTED = 'not-detected';
export const ERR_TIMEOUT = 'timeout';
export const ERR_ANSWER = 'bad-answer';

export const ERROR_MESSAGES = Object.freeze({
  [ERR_INPUT]: 'The request was not sent: ',
  [ERR_NOT_DETECTED]:
    'NoxHalvorant was not detected on any port: it is not running, its certificate is not ' +
    'trusted, or the browser has not granted this page Local Network Access.',
  [ERR_TIMEOUT]: 'No result arrived in time.',
  [ERR_ANSWER]: 'The listener answered with something that is not a NoxHalvorant answer.',
});
