// Wire format: the request JSON travels as UTF-8 Base64, URL-encoded, in the form field
// "Parameter"; every answer value comes back as UTF-8 Base64 text.

const utf8 = new TextEncoder();
const utf8Decoder = new TextDecoder('utf-8');  // lenient: adapters may answer any bytes

// The service reads at most 257 JSON tokens: the object and 128 pairs.
export const MAX_UNITS = 128;

export function bytesToBase64(bytes) {
  let bin = '';
  for (let i = 0; i < bytes.length; i += 0x8000) {
    bin += String.fromCharCode.apply(null, bytes.subarray(i, i + 0x8000));
  }
  return btoa(bin);
}

// Strict standard Base64 (with padding); null when the text is not that.
export function base64ToBytes(text) {
  if (typeof text !== 'string' || text.length % 4 !== 0 || !/^[A-Za-z0-9+/]*={0,2}$/.test(text)) {
    return null;
  }
  const bin = atob(text);
  const out = new Uint8Array(bin.length);
  for (let i = 0; i < bin.length; i++) out[i] = bin.charCodeAt(i);
  return out;
}

export const textToBase64 = (text) => bytesToBase64(utf8.encode(text));

export function base64ToText(text) {
  const bytes = base64ToBytes(text);
  return bytes === null ? null : utf8Decoder.decode(bytes);
}

export const utf8Bytes = (text) => utf8.encode(text);

// The form body. encodeURIComponent turns '+', '/' and '=' into %2B, %2F, %3D: the
// service's form parser drops a value holding a literal '='.
export function formBody(request) {
  return 'Parameter=' + encodeURIComponent(textToBase64(JSON.stringify(request)));
}

// Reads an answer body: a flat JSON object of Base64 texts. Decoded values, or null.
export function parseAnswer(body) {
  let parsed;
  try {
    parsed = JSON.parse(body);
  } catch {
    return null;
  }
  if (parsed === null || typeof parsed !== 'object' || Array.isArray(parsed)) return null;
  const values = {};
  for (const [key, value] of Object.entries(parsed)) {
    const text = base64ToText(value);
    if (text === null) return null;
    values[key] = text;
  }
  return values;
}

// Case-insensitive answer lookup (the service's keys ignore case); undefined when absent.
export function answerValue(values, key) {
  const want = key.toLowerCase();
  for (const [k, v] of Object.entries(values)) if (k.toLowerCase() === want) return v;
  return undefined;
}

// Characters the service's JSON reader would not read back as written when
// JSON.stringify escapes them: backslash, control characters other than \n \r \t, and
// lone surrogates (written as \uXXXX).
const UNREADABLE = /[\\\u0000-\u0008\u000b\u000c\u000e-\u001f]|[\ud800-\udbff](?![\udc00-\udfff])|(?<![\ud800-\udbff])[\udc00-\udfff]/;

export const readsBackAsWritten = (text) => !UNREADABLE.test(text);

// Keys are copied verbatim by the service, so even a quote or a line break would change
// them; an empty key stops its reader.
const BAD_KEY = /["\\\u0000-\u001f]|[\ud800-\udfff]/;

// Checks a page's parameters. reserved: lower-case keys the client writes itself.
// Returns an error text, or null when the parameters can be sent.
export function checkParams(params, reserved) {
  if (params === null || typeof params !== 'object' || Array.isArray(params)) {
    return 'parameters must be a plain object';
  }
  const proto = Object.getPrototypeOf(params);
  if (proto !== Object.prototype && proto !== null) return 'parameters must be a plain object';
  const seen = new Set(reserved);
  const keys = Object.keys(params);
  if (keys.length + reserved.length > MAX_UNITS) return `more than ${MAX_UNITS} keys in one request`;
  for (const key of keys) {
    if (key === '' || BAD_KEY.test(key)) return `parameter key ${JSON.stringify(key)} cannot be sent`;
    const folded = key.toLowerCase();
    if (seen.has(folded)) return `parameter key "${key}" is reserved or repeated (keys ignore case)`;
    seen.add(folded);
    const v = params[key];
    const ok =
      typeof v === 'string' || typeof v === 'boolean' || v === null ||
      (typeof v === 'number' && Number.isFinite(v));
    if (!ok) return `parameter "${key}" must be a text, a finite number, a boolean or null`;
  }
  return null;
}

// A text for the request line of the service: function names, channels, versions.
export function checkName(text, what, maxLength) {
  if (typeof text !== 'string' || text === '') return `${what} must be a non-empty text`;
  if (text.length > maxLength) return `${what} is longer than ${maxLength} characters`;
  if (BAD_KEY.test(text)) return `${what} holds a quote, backslash or control character`;
  return null;
}

// Sends text under key Base64-encoded with its "<key>_HalvorantBase64Flag" when the
// service's reader would alter it; only for values the service reads through its
// typed getters (they apply the flag). Returns the flag key used, or null.
export function putText(request, key, text) {
  if (readsBackAsWritten(text)) {
    request[key] = text;
    return null;
  }
  request[key] = textToBase64(text);
  request[`${key}_HalvorantBase64Flag`] = 'true';
  return `${key}_HalvorantBase64Flag`;
}

// For page authors: a copy of params whose value under key travels Base64-encoded with
// its flag. Only for adapters that read parameters through the service's typed getters.
export function withBase64Flag(params, key) {
  const out = { ...params };
  if (typeof out[key] !== 'string') return out;
  out[key] = textToBase64(out[key]);
  out[`${key}_HalvorantBase64Flag`] = 'true';
  return out;
}
