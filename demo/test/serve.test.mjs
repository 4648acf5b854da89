import { test, after } from 'node:test';
import assert from 'node:assert/strict';
import http from 'node:http';
import https from 'node:https';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { execFileSync } from 'node:child_process';

import { startServer, resolveFile } from '../serve.mjs';

const running = [];
after(() => Promise.all(running.map((s) => s.close())));

// Raw GET that keeps the path as written (fetch would normalise "..").
function get(url, pathAs, options = {}) {
  const mod = url.startsWith('https') ? https : http;
  return new Promise((resolve, reject) => {
    const u = new URL(url);
    const req = mod.request({
      host: u.hostname, port: u.port, path: pathAs, method: options.method || 'GET',
      rejectUnauthorized: false,
    }, (res) => {
      const chunks = [];
      res.on('data', (c) => chunks.push(c));
      res.on('end', () => resolve({ status: res.statusCode, headers: res.headers, body: Buffer.concat(chunks).toString() }));
    });
    req.on('error', reject);
    req.end();
  });
}

test('serves the demo and the client, nothing else', async () => {
  const srv = await startServer({ port: 0, hosts: ['127.0.0.1'] });
  running.push(srv);
  const base = srv.urls[0];
  const ok = [
    ['/demo/index.html', 'text/html'],
    ['/demo/', 'text/html'],
    ['/demo/reader.html?x=1', 'text/html'],
    ['/clients/js/noxhalvorant.js', 'text/javascript'],
  ];
  for (const [p, type] of ok) {
    const r = await get(base, p);
    assert.equal(r.status, 200, p);
    assert.ok(r.headers['content-type'].startsWith(type), p);
  }
  assert.equal((await get(base, '/')).headers.location, '/demo/index.html');
  const refused = [
    '/scripts/setup.sh', '/demo/../scripts/setup.sh', '/clients/js/../../CMakeLists.txt',
    '/demo/%2e%2e/CMakeLists.txt', '/demo/..%2fCMakeLists.txt', '/demo/..%5cCMakeLists.txt',
    '/demo%00/index.html', '/demo/missing.html', '/clients/js', '/%E0%A4%A',
  ];
  for (const p of refused) assert.equal((await get(base, p)).status, 404, p);
  assert.equal((await get(base, '/demo/index.html', { method: 'POST' })).status, 405);
});

test('resolveFile keeps every path inside the served folders', () => {
  const root = '/srv/x';
  assert.equal(resolveFile('/demo/a.js', root), '/srv/x/demo/a.js');
  assert.equal(resolveFile('/clients/js/sub/b.js', root), '/srv/x/clients/js/sub/b.js');
  for (const p of ['/demo', '/demox/a', '/clients/jsx/a', '/clients/a', '/../x/demo/a']) {
    assert.equal(resolveFile(p, root), null, p);
  }
});

test('speaks HTTPS with a given certificate and key', async (t) => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'nox-serve-'));
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  const cert = path.join(dir, 'cert.pem');
  const key = path.join(dir, 'key.pem');
  try {
    execFileSync('openssl', ['req', '-x509', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:P-256',
      '-nodes', '-keyout', key, '-out', cert, '-days', '1', '-subj', '/CN=localhost'], { stdio: 'ignore' });
  } catch {
    t.skip('openssl is not available');
    return;
  }
  const srv = await startServer({ port: 0, hosts: ['127.0.0.1'], cert, key });
  running.push(srv);
  assert.match(srv.urls[0], /^https:/);
  const r = await get(srv.urls[0], '/demo/index.html');
  assert.equal(r.status, 200);
  assert.match(r.body, /<html/i);
});

test('plays the relying party of the sign-in demo: one-use challenges, tokens for its own origin', async () => {
  const { sign } = await import('node:crypto');
  const { binding } = await import('../../clients/verify/index.js');
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'nox-demo-signin-'));
  try {
    execFileSync('openssl', ['req', '-x509', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:P-256', '-nodes',
      '-keyout', 'k.pem', '-subj', '/CN=Demo Person', '-days', '2', '-out', 'c.pem'], { cwd: dir, stdio: 'ignore' });
    const key = fs.readFileSync(path.join(dir, 'k.pem'), 'utf8');
    const der = Buffer.from(fs.readFileSync(path.join(dir, 'c.pem'), 'utf8').replace(/-----[^-]+-----|\s/g, ''), 'base64');
    const srv = await startServer({ port: 0, hosts: ['127.0.0.1'] });
    running.push(srv);
    const origin = srv.urls[0].replace(/\/$/, '');
    const post = async (url, body) => {
      const r = await fetch(origin + url, { method: 'POST', body: JSON.stringify(body) });
      return [r.status, await r.json()];
    };
    const token = (challenge, signedOrigin) => ({
      format: 'nox-auth:1', origin: signedOrigin, certificate: der.toString('base64'), algorithm: 'ES256',
      signature: sign('sha256', binding(signedOrigin, Buffer.from(challenge, 'base64')),
        { key, dsaEncoding: 'ieee-p1363' }).toString('base64'),
    });
    const [, { challenge }] = await post('/demo/api/challenge', {});
    assert.deepEqual(await post('/demo/api/sign-in', { challenge, token: token(challenge, origin) }),
      [200, { subject: 'CN=Demo Person' }]);
    const again = await post('/demo/api/sign-in', { challenge, token: token(challenge, origin) });
    assert.deepEqual([again[0], again[1].code], [401, 'CHALLENGE']);
    const [, fresh] = await post('/demo/api/challenge', {});
    const elsewhere = await post('/demo/api/sign-in', { challenge: fresh.challenge, token: token(fresh.challenge, 'https://evil.test') });
    assert.deepEqual([elsewhere[0], elsewhere[1].code], [401, 'ORIGIN']);
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
});
