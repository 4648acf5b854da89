// NoxError: the one error every failing call of the client rejects with.

import {
  ADAPTER_ERROR, BAD_INPUT, CLIENT_MESSAGES, describeResult, isFailureCode, resultCode, resultName,
} from './codes.js';

export class NoxError extends Error {
  // code: a result-code name (e.g. 'NO_ADAPTER'), an adapter's own code (e.g.
  // 'PIN_INCORRECT'), or one of the client's: BAD_INPUT, NOT_DETECTED, TIMEOUT, ABORTED,
  // NETWORK, BAD_ANSWER, NO_VERSION, ADAPTER_ERROR.
  // details: { result, resultCode, values, baseUrl, cause, detection }.
  constructor(code, message, details = {}) {
    super(message, details.cause === undefined ? undefined : { cause: details.cause });
    this.name = 'NoxError';
    this.code = code;
    this.result = details.result ?? null;          // the raw "result" text, when one came
    this.resultCode = details.resultCode ?? null;  // 61000-61999 for service codes
    this.answer = details.values ?? null;          // every decoded answer value
    this.baseUrl = details.baseUrl ?? null;
    if (details.detection) this.detection = details.detection;
  }
}

export const badInput = (detail) => new NoxError(BAD_INPUT, CLIENT_MESSAGES[BAD_INPUT] + detail);

export function clientError(code, detail = '', extra = {}) {
  return new NoxError(code, CLIENT_MESSAGES[code] + detail, extra);
}

// The adapters' error form {"error":{"code":"...","message":"..."}}; null for other texts.
function adapterErrorForm(text) {
  if (!text.startsWith('{')) return null;
  let parsed;
  try {
    parsed = JSON.parse(text);
  } catch {
    return null;
  }
  const e = parsed && typeof parsed === 'object' ? parsed.error : null;
  if (!e || typeof e !== 'object' || typeof e.code !== 'string' || e.code === '') return null;
  return { code: e.code, message: typeof e.message === 'string' ? e.message : '' };
}

// The failure an answer stands for, or null when it is a success. record: the answer
// record { result, code, values, baseUrl }.
export function answerError(record) {
  const { result, values, baseUrl } = record;
  if (typeof result !== 'string') return null;
  const details = { result, values, baseUrl };
  const n = resultCode(result);
  if (isFailureCode(n)) {
    return new NoxError(resultName(n), describeResult(n), { ...details, resultCode: n });
  }
  const form = adapterErrorForm(result.trim());
  if (form) return new NoxError(form.code, form.message || `The adapter reported ${form.code}.`, details);
  // The older form: "error: <text>".
  const old = /^error:\s*([\s\S]*)$/i.exec(result);
  if (old) return new NoxError(ADAPTER_ERROR, CLIENT_MESSAGES[ADAPTER_ERROR] + old[1], details);
  return null;
}
