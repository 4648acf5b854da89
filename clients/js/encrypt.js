// Encrypted parameters: the service decrypts a value whose "<key>_HalvorantEncryptFlag"
// is "true" with AES-256-CBC (PKCS#7) under the first 32 UTF-8 bytes of the map's
// "Halvorant_share_secret" and a fixed IV; the plaintext is "HalvorantAESCBC" + text +
// one NUL byte; the ciphertext travels as hexadecimal text.

import { readsBackAsWritten, utf8Bytes } from './codec.js';

export const SHARE_SECRET_KEY = 'Halvorant_share_secret';
export const ENCRYPT_FLAG_SUFFIX = '_HalvorantEncryptFlag';
export const SECRET_MIN_BYTES = 32;
const MARKER = 'HalvorantAESCBC';
// The service's fixed IV: the 16 ASCII bytes "NoxHalvorant-IV1".
export const PARAMETER_IV = Object.freeze([...'NoxHalvorant-IV1'].map((c) => c.charCodeAt(0)));

const HEX = '0123456789ABCDEF';
const failed = (error) => ({ ok: false, error });
export function bytesToHex(bytes) {
  let out = '';
  for (const b of bytes) out += HEX[b >> 4] + HEX[b & 15];
  return out;
}

// Error text, or null when secret can serve as a shared secret. It travels in the same
// JSON, so it must read back unchanged (see codec.js).
export function checkSecret(secret) {
  if (typeof secret !== 'string') return 'the shared secret must be a text';
  if (!readsBackAsWritten(secret)) return 'the shared secret holds a backslash or control character';
  if (utf8Bytes(secret).length < SECRET_MIN_BYTES) {
    return `the shared secret must be at least ${SECRET_MIN_BYTES} bytes (UTF-8)`;
  }
  return null;
}

// { ok: true, hex }: the hexadecimal ciphertext of text; { ok: false, error } when text or
// secret cannot be used. ok is what tells the two apart (also for TypeScript).
export async function encryptText(text, secret) {
  if (typeof text !== 'string') return failed('the value to encrypt must be a text');
  if (text.includes('\u0000')) return failed('the value to encrypt holds a NUL character');
  const bad = checkSecret(secret);
  if (bad) return failed(bad);
  const subtle = globalThis.crypto && globalThis.crypto.subtle;
  if (!subtle) return failed('WebCrypto is not available (the page must be a secure context)');
  const keyBytes = utf8Bytes(secret).slice(0, SECRET_MIN_BYTES);
  const body = utf8Bytes(MARKER + text);
  const plain = new Uint8Array(body.length + 1);  // trailing NUL, encrypted too
  plain.set(body);
  try {
    const key = await subtle.importKey('raw', keyBytes, { name: 'AES-CBC' }, false, ['encrypt']);
    const iv = new Uint8Array(PARAMETER_IV);
    const cipher = await subtle.encrypt({ name: 'AES-CBC', iv }, key, plain);
    return { ok: true, hex: bytesToHex(new Uint8Array(cipher)) };
  } catch (e) {
    return failed(`encryption failed: ${e && e.message ? e.message : e}`);
  } finally {
    keyBytes.fill(0);
    plain.fill(0);
  }
}

// { ok: true, params }: a copy of params whose value under key is encrypted, with its flag
// and the shared secret added; or { ok: false, error }. The secret travels in clear beside
// the value.
export async function encryptParameter(params, key, secret) {
  if (params === null || typeof params !== 'object' || Array.isArray(params)) {
    return failed('parameters must be a plain object');
  }
  if (typeof key !== 'string' || key === '') return failed('the key must be a non-empty text');
  const value = params[key];
  if (typeof value !== 'string') return failed(`parameter "${key}" must be a text to encrypt`);
  const out = await encryptText(value, secret);
  if (!out.ok) return out;
  return {
    ok: true,
    params: {
      ...params,
      [key]: out.hex,
      [key + ENCRYPT_FLAG_SUFFIX]: 'true',
      [SHARE_SECRET_KEY]: secret,
    },
  };
}
