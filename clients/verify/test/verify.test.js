// The verifier against tokens made here with keys and certificates made by openssl: each
// algorithm verifies, and each check refuses the token it is for with its own code.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync, spawnSync } from 'node:child_process';
import { randomBytes, sign, constants } from 'node:crypto';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { AuthTokenError, binding, verifyAuthToken } from '../index.js';

const here = path.dirname(fileURLToPath(import.meta.url));
const ORIGIN = 'https://bank.test';
let dir;
const pem = (name) => fs.readFileSync(path.join(dir, name), 'utf8');
const openssl = (...args) => execFileSync('openssl', args, { cwd: dir, stdio: ['ignore', 'pipe', 'pipe'] });

// A key and a certificate name.pem/name.key; issued by ca when given, else self-signed.
function make(name, keyArgs, ext, ca) {
  fs.writeFileSync(path.join(dir, `${name}.ext`), ext);
  openssl('req', '-new', '-newkey', ...keyArgs, '-nodes', '-keyout', `${name}.key`, '-subj', `/CN=${name}`,
    '-out', `${name}.csr`);
  const issuer = ca ? ['-CA', `${ca}.pem`, '-CAkey', `${ca}.key`, '-CAcreateserial'] : ['-signkey', `${name}.key`];
  openssl('x509', '-req', '-in', `${name}.csr`, ...issuer, '-days', '3650', '-extfile', `${name}.ext`,
    '-out', `${name}.pem`);
}

const EC = (curve) => ['ec', '-pkeyopt', `ec_paramgen_curve:${curve}`];
const SIGNING = 'keyUsage=critical,digitalSignature\n';

before(() => {
  dir = fs.mkdtempSync(path.join(os.tmpdir(), 'nox-verify-'));
  const caExt = 'basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign\n';
  make('ca', EC('P-256'), caExt);
  make('otherca', EC('P-256'), caExt);
  make('p256', EC('P-256'), SIGNING, 'ca');
  make('p384', EC('P-384'), SIGNING, 'ca');
  make('p521', EC('P-521'), SIGNING, 'ca');
  make('rsa', ['rsa:2048'], SIGNING, 'ca');
  make('nousage', EC('P-256'), 'basicConstraints=CA:FALSE\n', 'ca');
  make('agreement', EC('P-256'), 'keyUsage=critical,keyAgreement\n', 'ca');
  make('self', EC('P-256'), SIGNING);
});

after(() => fs.rmSync(dir, { recursive: true, force: true }));

const HASH = { ES256: 'sha256', ES384: 'sha384', ES512: 'sha512', RS256: 'sha256', PS256: 'sha256' };

// A token as the adapter makes it: name's key signs origin and challenge.
function token(name, algorithm, challenge, origin = ORIGIN) {
  const key = { key: pem(`${name}.key`), dsaEncoding: 'ieee-p1363' };
  if (algorithm === 'PS256') Object.assign(key, { padding: constants.RSA_PKCS1_PSS_PADDING, saltLength: 32 });
  const der = Buffer.from(pem(`${name}.pem`).replace(/-----[^-]+-----|\s/g, ''), 'base64');
  return {
    format: 'nox-auth:1',
    origin,
    certificate: der.toString('base64'),
    algorithm,
    signature: sign(HASH[algorithm], binding(origin, challenge), key).toString('base64'),
  };
}

function refused(code, run, what) {
  assert.throws(run, (e) => e instanceof AuthTokenError && e.code === code, `${what}: expected ${code}`);
}

const cases = [['p256', 'ES256'], ['p384', 'ES384'], ['p521', 'ES512'], ['rsa', 'RS256'], ['rsa', 'PS256'],
  ['nousage', 'ES256']];

test('a token of each algorithm verifies for its origin and challenge, also with openssl alone', () => {
  for (const [name, algorithm] of cases) {
    const challenge = randomBytes(32);
    const t = token(name, algorithm, challenge);
    const options = { expectedOrigin: ORIGIN, challenge, trustedCAs: [pem('ca.pem')] };
    assert.equal(verifyAuthToken(t, options), `CN=${name}`, algorithm);
    // As JSON text, with the challenge as Base64.
    assert.equal(verifyAuthToken(JSON.stringify(t), { ...options, challenge: challenge.toString('base64') }), `CN=${name}`);
    const script = (origin) => spawnSync('sh', [path.join(here, '..', 'verify-token.sh'), origin,
      challenge.toString('base64'), t.certificate, t.algorithm, t.signature]).status;
    assert.equal(script(ORIGIN), 0, `${name} ${algorithm} with openssl`);
    assert.equal(script('https://evil.test'), 1, `${name} ${algorithm} with openssl, another origin`);
  }
});

test('each check refuses what it is for, naming itself', () => {
  const challenge = randomBytes(48);
  const good = token('p256', 'ES256', challenge);
  const options = { expectedOrigin: ORIGIN, challenge };
  const year = 365 * 24 * 3600 * 1000;
  const table = [
    ['FORMAT', 'not JSON', '{"format":', options],
    ['FORMAT', 'an array', [], options],
    ['FORMAT', 'another format', { ...good, format: 'nox-auth:2' }, options],
    ['FORMAT', 'unknown algorithm', { ...good, algorithm: 'HS256' }, options],
    ['FORMAT', 'signature not Base64', { ...good, signature: 'a*b=' }, options],
    ['FORMAT', 'certificate not one', { ...good, certificate: 'AAAA' }, options],
    ['CHALLENGE', 'challenge of 31 bytes', good, { ...options, challenge: randomBytes(31) }],
    ['CHALLENGE', 'challenge of 129 bytes', good, { ...options, challenge: randomBytes(129) }],
    ['CHALLENGE', 'challenge not Base64', good, { ...options, challenge: '%%%%' }],
    ['ORIGIN', 'another origin expected', good, { ...options, expectedOrigin: 'https://shop.test' }],
    ['ORIGIN', 'no origin expected', good, { challenge }],
    ['SIGNATURE', 'another challenge', good, { ...options, challenge: randomBytes(48) }],
    ['SIGNATURE', 'origin rewritten', { ...token('p256', 'ES256', challenge, 'https://evil.test'), origin: ORIGIN },
      options],
    ['SIGNATURE', 'another certificate', { ...good, certificate: token('self', 'ES256', challenge).certificate }, options],
    ['SIGNATURE', 'algorithm of another curve', { ...good, algorithm: 'ES384' }, options],
    ['SIGNATURE', 'RSA padding swapped', { ...token('rsa', 'PS256', challenge), algorithm: 'RS256' }, options],
    ['NOT_YET_VALID', 'before its dates', good, { ...options, now: new Date(Date.now() - year) }],
    ['EXPIRED', 'after its dates', good, { ...options, now: new Date(Date.now() + 11 * year) }],
    ['KEY_USAGE', 'a key-agreement key', token('agreement', 'ES256', challenge), options],
    ['CHAIN', 'another CA', good, { ...options, trustedCAs: [pem('otherca.pem')] }],
    ['CHAIN', 'self-signed, itself given as CA', token('self', 'ES256', challenge),
      { ...options, trustedCAs: [pem('self.pem')] }],
    ['CHAIN', 'a CA that cannot be read', good, { ...options, trustedCAs: ['not a certificate'] }],
  ];
  for (const [code, what, t, opts] of table) refused(code, () => verifyAuthToken(t, opts), what);
});

test('the command line tells the subject or the failure', () => {
  const challenge = randomBytes(32).toString('base64');
  const t = JSON.stringify(token('p384', 'ES384', Buffer.from(challenge, 'base64')));
  const run = (origin) => spawnSync(process.execPath, [path.join(here, '..', 'bin', 'nox-verify-token.mjs'),
    '--origin', origin, '--challenge', challenge, '--ca', path.join(dir, 'ca.pem')], { input: t, encoding: 'utf8' });
  const ok = run(ORIGIN);
  assert.deepEqual([ok.status, ok.stdout], [0, 'CN=p384\n']);
  const bad = run('https://evil.test');
  assert.equal(bad.status, 1);
  assert.match(bad.stderr, /^ORIGIN: /);
});
