// Demo section "Sign a text": lists the certificates on the user's tokens through
// NoxPkiCryptAdapter, signs the SHA-256 of a text with the chosen one, and verifies the
// signature here with WebCrypto against the public key of the returned certificate; or
// signs in to the page's server with it.
// Listing and signing open dialogs on the user's desktop (consent, PIN) that this page
// never sees, so they run as main-thread calls with heartbeats.

import { createClient, PATH_IDS } from '../clients/js/noxhalvorant.js';

const CLIENT = { host: '127.0.0.1', ports: [54469, 54569, 54669] };
const DIALOG_TIMEOUT_MS = 330000;  // the dialog itself gives up after 300 s

const $ = (id) => document.getElementById(id);

function say(box, text, kind = '') {
  const p = document.createElement('div');
  if (kind) p.className = kind;
  p.textContent = text;
  box.append(p);
  return p;
}

const fromBase64 = (text) => Uint8Array.from(atob(text), (c) => c.charCodeAt(0));
const toBase64 = (bytes) => btoa(String.fromCharCode(...new Uint8Array(bytes)));

// One DER element at offset: { tag, start (of the contents), end }.
function derAt(der, offset) {
  const tag = der[offset];
  let length = der[offset + 1];
  let start = offset + 2;
  if (length & 0x80) {
    const n = length & 0x7f;
    if (n < 1 || n > 3) throw new Error('unsupported DER length');
    length = 0;
    for (let i = 0; i < n; i++) length = length * 256 + der[start + i];
    start += n;
  }
  if (start + length > der.length) throw new Error('truncated DER');
  return { tag, start, end: start + length };
}

// The SubjectPublicKeyInfo of an X.509 certificate (DER), for crypto.subtle.importKey('spki').
export function spkiOf(certificate) {
  const cert = derAt(certificate, 0);
  const tbs = derAt(certificate, cert.start);
  let at = tbs.start;
  if (certificate[at] === 0xa0) at = derAt(certificate, at).end;  // [0] version
  // serialNumber, signature, issuer, validity, subject, then subjectPublicKeyInfo.
  for (let i = 0; i < 5; i++) at = derAt(certificate, at).end;
  const spki = derAt(certificate, at);
  return certificate.slice(at, spki.end);
}

// WebCrypto parameters for an answer's "algorithm" (RS256, PS256, ES256, ... with SHA-256 here).
function verifyParams(algorithm, keyBits) {
  if (algorithm.startsWith('RS')) return [{ name: 'RSASSA-PKCS1-v1_5', hash: 'SHA-256' }, { name: 'RSASSA-PKCS1-v1_5' }];
  if (algorithm.startsWith('PS')) return [{ name: 'RSA-PSS', hash: 'SHA-256' }, { name: 'RSA-PSS', saltLength: 32 }];
  const curve = keyBits > 384 ? 'P-521' : keyBits > 256 ? 'P-384' : 'P-256';
  return [{ name: 'ECDSA', namedCurve: curve }, { name: 'ECDSA', hash: 'SHA-256' }];
}

// True when signature (Base64) over text verifies with the certificate's (Base64 DER) key.
export async function verifySignature(text, answer, keyBits) {
  const [importAs, verifyAs] = verifyParams(answer.algorithm, keyBits);
  const key = await crypto.subtle.importKey('spki', spkiOf(fromBase64(answer.certificate)), importAs, false, ['verify']);
  return crypto.subtle.verify(verifyAs, key, fromBase64(answer.signature), new TextEncoder().encode(text));
}

// The adapter's JSON result, or { error: { code, message } } (the client rejects failures
// with a NoxError carrying the adapter's code and message).
async function parsed(call) {
  let rec;
  try {
    rec = await call;
  } catch (e) {
    return { error: { code: e.code || 'SERVICE', message: e.message } };
  }
  if (typeof rec.result !== 'string') return { error: { code: 'BAD_ANSWER', message: 'no result' } };
  try {
    return JSON.parse(rec.result);
  } catch {
    return { error: { code: 'BAD_ANSWER', message: rec.result } };
  }
}

let nox = null;
let certificates = [];

async function session(box) {
  if (nox) return nox;
  const client = createClient(CLIENT);
  try {
    await client.open({ pathId: PATH_IDS.NoxPkiCryptAdapter });
  } catch (e) {
    say(box, `open: ${e.code}: ${e.message}`, 'bad');
    return null;
  }
  nox = client;
  return nox;
}

const heartbeats = (box) => ({
  mainThread: true,
  timeoutMs: DIALOG_TIMEOUT_MS,
  onHeartbeat: ({ count }) => say(box, `waiting for the dialog… (heartbeat ${count})`, 'hint'),
});

async function list() {
  const box = $('sign-out');
  box.textContent = '';
  const client = await session(box);
  if (!client) return;
  say(box, 'Listing; confirm in the dialog on your desktop the first time…', 'hint');
  const answer = await parsed(client.call('ListCertificates', {}, heartbeats(box)));
  const select = $('sign-certificate');
  select.textContent = '';
  if (answer.error) {
    say(box, `${answer.error.code}: ${answer.error.message}`, 'bad');
    return;
  }
  certificates = answer.certificates;
  for (const [i, c] of certificates.entries()) {
    const option = document.createElement('option');
    option.value = String(i);
    option.textContent = `${c.subject} (${c.keyType} ${c.keyBits}, ${c.token})`;
    select.append(option);
  }
  say(box, `${certificates.length} certificate(s) with a key.`, certificates.length ? 'ok' : 'bad');
  $('sign-run').disabled = certificates.length === 0;
  $('sign-in').disabled = certificates.length === 0;
}

// The output box (emptied), the chosen certificate and the session; no client when
// nothing is chosen or no session opens.
async function chosen() {
  const box = $('sign-out');
  box.textContent = '';
  const c = certificates[Number($('sign-certificate').value)];
  return { box, c, client: c ? await session(box) : null };
}

async function sign() {
  const { box, c, client } = await chosen();
  if (!client) return;
  const text = $('sign-text').value;
  const digest = await crypto.subtle.digest('SHA-256', new TextEncoder().encode(text));
  const params = { CertificateId: c.id, TokenSerial: c.tokenSerial, Digest: toBase64(digest), DigestAlgorithm: 'SHA-256' };
  if (c.keyType === 'RSA' && $('sign-pss').checked) params.Padding = 'PSS';
  say(box, 'Signing; enter the PIN in the dialog on your desktop…', 'hint');
  const answer = await parsed(client.call('Sign', params, heartbeats(box)));
  if (answer.error) {
    say(box, `${answer.error.code}: ${answer.error.message}`, 'bad');
    return;
  }
  say(box, `${answer.algorithm} signature: ${answer.signature}`);
  const ok = await verifySignature(text, answer, c.keyBits).catch(() => false);
  say(box, ok ? 'Signature verified with the certificate\'s public key.' : 'Signature does NOT verify.', ok ? 'ok' : 'bad');
}

// Signs in to this page's server (demo/serve.mjs plays it) with the chosen certificate: the
// server's challenge, signed by the adapter together with this page's origin, is checked
// there with clients/verify.
async function signIn() {
  const { box, c, client } = await chosen();
  if (!client) return;
  const post = async (url, body) => (await fetch(url, { method: 'POST', body: JSON.stringify(body) })).json();
  const { challenge } = await post('/demo/api/challenge', {});
  say(box, 'Signing in; enter the PIN in the dialog on your desktop…', 'hint');
  const params = { Challenge: challenge, CertificateId: c.id, TokenSerial: c.tokenSerial };
  const token = await parsed(client.authenticate(params, heartbeats(box)));
  if (token.error) {
    say(box, `${token.error.code}: ${token.error.message}`, 'bad');
    return;
  }
  say(box, `${token.algorithm} token for ${token.origin}`);
  const verdict = await post('/demo/api/sign-in', { challenge, token });
  if (verdict.subject) say(box, `Signed in as ${verdict.subject} (checked by this page's server).`, 'ok');
  else say(box, `Sign-in refused by the server: ${verdict.code}: ${verdict.message}`, 'bad');
}

// Builds the section's controls inside <section id="sign">.
function build(root) {
  root.insertAdjacentHTML('beforeend', `
    <h2>5. Sign a text</h2>
    <p>Lists the certificates on your tokens and smart cards (NoxPkiCryptAdapter), signs the
      SHA-256 of the text with the chosen key after you entered the PIN in the dialog on your
      desktop, and verifies the signature here with WebCrypto.</p>
    <button type="button" id="sign-list">List certificates</button>
    <label>Certificate <select id="sign-certificate"></select></label>
    <label>Text <input id="sign-text" value="I agree to the terms."></label>
    <label><input type="checkbox" id="sign-pss"> RSA-PSS instead of PKCS #1 v1.5</label>
    <button type="button" id="sign-run" disabled>Sign and verify</button>
    <button type="button" id="sign-in" disabled>Sign in</button>
    <div class="out" id="sign-out" aria-live="polite"></div>`);
  for (const [id, task] of [['sign-list', list], ['sign-run', sign], ['sign-in', signIn]]) {
    const button = $(id);
    button.addEventListener('click', async () => {
      button.disabled = true;
      try {
        await task();
      } finally {
        button.disabled = id !== 'sign-list' && certificates.length === 0;
      }
    });
  }
}

const root = $('sign');
if (root) build(root);
