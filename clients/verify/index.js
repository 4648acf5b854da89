// Verifies the sign-in tokens ("nox-auth:1") a page gets from NoxHalvorant's PKI adapter,
// for the relying party's server. node:crypto only.
//
// A token binds the page's origin and the server's challenge to a certificate's key: the
// adapter signs SHA-256(origin) || SHA-256(challenge), with the origin the browser told the
// service, never one the page chose. So a token is worth something only to the origin that
// asked for it, and only for the challenge that server issued.
import { createHash, verify as verifySignature, constants, X509Certificate } from 'node:crypto';

export const FORMAT = 'nox-auth:1';

/** Why a token was refused; code names the check that failed. */
export class AuthTokenError extends Error {
  constructor(code, message) {
    super(message);
    this.name = 'AuthTokenError';
    this.code = code;
  }
}

const fail = (code, message) => {
  throw new AuthTokenError(code, message);
};

// What each algorithm name means: the hash, and the key it needs.
const ALGORITHMS = {
  ES256: { hash: 'sha256', type: 'ec', curve: 'prime256v1' },
  ES384: { hash: 'sha384', type: 'ec', curve: 'secp384r1' },
  ES512: { hash: 'sha512', type: 'ec', curve: 'secp521r1' },
  RS256: { hash: 'sha256', type: 'rsa' },
  PS256: { hash: 'sha256', type: 'rsa', pss: true },
};

const BASE64 = /^(?:[A-Za-z0-9+/]{4})*(?:[A-Za-z0-9+/]{2}==|[A-Za-z0-9+/]{3}=)?$/;

function base64Field(token, name) {
  const text = token[name];
  if (typeof text !== 'string' || text === '' || !BASE64.test(text)) fail('FORMAT', `The token's ${name} is not Base64.`);
  return Buffer.from(text, 'base64');
}

/** The 64 bytes a token's signature covers. */
export function binding(origin, challenge) {
  const sha256 = (data) => createHash('sha256').update(data).digest();
  return Buffer.concat([sha256(Buffer.from(origin, 'utf8')), sha256(challenge)]);
}

function challengeBytes(challenge) {
  if (typeof challenge === 'string') {
    if (!BASE64.test(challenge)) fail('CHALLENGE', 'The challenge is not Base64.');
    challenge = Buffer.from(challenge, 'base64');
  }
  if (!(challenge instanceof Uint8Array)) fail('CHALLENGE', 'The challenge must be bytes or their Base64 text.');
  if (challenge.length < 32 || challenge.length > 128) fail('CHALLENGE', 'The challenge must hold 32 to 128 bytes.');
  return challenge;
}

function asCertificate(ca) {
  if (ca instanceof X509Certificate) return ca;
  try {
    return new X509Certificate(ca);
  } catch {
    fail('CHAIN', 'A trusted CA certificate cannot be read.');
  }
}

// ---- The key usage extension, read from the DER (node:crypto does not tell it) ------------

// One DER element at offset: [tag, start of content, end of content].
function element(der, offset) {
  if (offset + 2 > der.length) throw new RangeError('truncated');
  const tag = der[offset];
  let length = der[offset + 1];
  let start = offset + 2;
  if (length & 0x80) {
    const bytes = length & 0x7f;
    if (bytes === 0 || bytes > 4) throw new RangeError('bad length');
    length = 0;
    for (let i = 0; i < bytes; i++) length = length * 256 + der[start + i];
    start += bytes;
  }
  if (start + length > der.length) throw new RangeError('truncated');
  return [tag, start, start + length];
}

function children(der, start, end) {
  const out = [];
  for (let at = start; at < end;) {
    const e = element(der, at);
    out.push(e);
    at = e[2];
  }
  return out;
}

const KEY_USAGE_OID = Buffer.from([0x55, 0x1d, 0x0f]);  // 2.5.29.15

// The key usage bits' first byte, or null when the certificate has no such extension.
function keyUsageByte(der) {
  const [, certStart, certEnd] = element(der, 0);
  const [, tbsStart, tbsEnd] = children(der, certStart, certEnd)[0];
  const extensions = children(der, tbsStart, tbsEnd).find(([tag]) => tag === 0xa3);
  if (!extensions) return null;
  const [, listStart, listEnd] = element(der, extensions[1]);
  for (const [, extStart, extEnd] of children(der, listStart, listEnd)) {
    const parts = children(der, extStart, extEnd);
    const [oidTag, oidStart, oidEnd] = parts[0];
    if (oidTag !== 0x06 || !der.subarray(oidStart, oidEnd).equals(KEY_USAGE_OID)) continue;
    const [, valueStart, valueEnd] = parts[parts.length - 1];
    const [bitsTag, bitsStart, bitsEnd] = element(der, valueStart);
    if (bitsTag !== 0x03 || bitsEnd > valueEnd) throw new RangeError('bad key usage');
    return bitsEnd - bitsStart > 1 ? der[bitsStart + 1] : 0;
  }
  return null;
}

// ---- The verification ---------------------------------------------------------------------

/**
 * Checks a sign-in token and answers its certificate's subject; throws AuthTokenError
 * naming what failed: FORMAT, CHALLENGE, ORIGIN, SIGNATURE, NOT_YET_VALID, EXPIRED,
 * KEY_USAGE or CHAIN.
 */
export function verifyAuthToken(token, { expectedOrigin, challenge, trustedCAs, now } = {}) {
  if (typeof token === 'string') {
    try {
      token = JSON.parse(token);
    } catch {
      fail('FORMAT', 'The token is not JSON.');
    }
  }
  if (token === null || typeof token !== 'object' || Array.isArray(token)) fail('FORMAT', 'The token is not an object.');
  if (token.format !== FORMAT) fail('FORMAT', `The token's format is not ${FORMAT}.`);
  const algorithm = Object.hasOwn(ALGORITHMS, token.algorithm) ? ALGORITHMS[token.algorithm] : null;
  if (!algorithm) fail('FORMAT', 'The token names no known algorithm.');
  if (typeof token.origin !== 'string') fail('FORMAT', 'The token has no origin.');
  const der = base64Field(token, 'certificate');
  const signature = base64Field(token, 'signature');
  const bytes = challengeBytes(challenge);
  if (typeof expectedOrigin !== 'string' || expectedOrigin === '') fail('ORIGIN', 'expectedOrigin must be given.');
  if (token.origin !== expectedOrigin) fail('ORIGIN', `The token is for ${token.origin}, not ${expectedOrigin}.`);

  let certificate;
  try {
    certificate = new X509Certificate(der);
  } catch {
    fail('FORMAT', "The token's certificate cannot be read.");
  }
  const key = certificate.publicKey;
  const details = key.asymmetricKeyDetails ?? {};
  if (key.asymmetricKeyType !== algorithm.type || (algorithm.curve && details.namedCurve !== algorithm.curve))
    fail('SIGNATURE', `The certificate's key cannot make ${token.algorithm} signatures.`);
  const keyOptions = algorithm.type === 'ec'
    ? { key, dsaEncoding: 'ieee-p1363' }
    : algorithm.pss ? { key, padding: constants.RSA_PKCS1_PSS_PADDING, saltLength: 32 } : { key };
  if (!verifySignature(algorithm.hash, binding(expectedOrigin, bytes), keyOptions, signature))
    fail('SIGNATURE', 'The signature does not bind this origin and challenge to the certificate.');

  const at = now instanceof Date ? now : new Date();
  if (at < new Date(certificate.validFrom)) fail('NOT_YET_VALID', 'The certificate is not valid yet.');
  if (at > new Date(certificate.validTo)) fail('EXPIRED', 'The certificate has expired.');
  let usage;
  try {
    usage = keyUsageByte(der);
  } catch {
    fail('FORMAT', "The token's certificate cannot be read.");
  }
  // Without the extension a key may be used for anything (X.509).
  if (usage !== null && (usage & 0x80) === 0) fail('KEY_USAGE', 'The certificate is not for digital signatures.');

  if (trustedCAs !== undefined) {
    const issuer = [...trustedCAs].map(asCertificate).find((ca) =>
      ca.ca && certificate.checkIssued(ca) && certificate.verify(ca.publicKey) &&
      at >= new Date(ca.validFrom) && at <= new Date(ca.validTo));
    if (!issuer) fail('CHAIN', 'No trusted CA issued the certificate.');
  }
  return certificate.subject;
}
