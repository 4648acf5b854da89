// Another local user takes the service's first port before the service starts and answers
// there as the service would, with a certificate for localhost from a CA of its own. The
// service names that user at start-up and serves on its other listeners; the page client
// in Chromium fails the certificate check on the first port, goes on to 54569 and sends
// its request (a PIN among its parameters) only to the real service.

import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';

import {
  launchChromium, makePublicCertificate, makeTrustingHome, otherUserPrefix, serveDemo, startService, tempDir,
} from './support/harness.mjs';

// The stand-in: HTTPS on 127.0.0.1:54469 and [::1]:54469, an Echo-like answer to anything,
// a line per request on stdout; it ends when its standard input closes.
const SQUATTER = `
const https = require('node:https');
const fs = require('node:fs');
const dir = process.argv[2];
const options = { cert: fs.readFileSync(dir + '/localhost.pem'), key: fs.readFileSync(dir + '/localhost.key') };
const b64 = (t) => Buffer.from(t).toString('base64');
const answer = JSON.stringify({ result: b64('0'), ServerVersion: b64('1.0.23.0510'), SessionID: b64('STOLEN') });
const servers = ['127.0.0.1', '::1'].map((host) => {
  const server = https.createServer(options, (req, res) => {
    let body = '';
    req.on('data', (c) => { body += c; });
    req.on('end', () => {
      console.log('REQUEST ' + req.method + ' ' + body);
      res.writeHead(200, { 'Access-Control-Allow-Origin': req.headers.origin || '*' });
      res.end(answer);
    });
  });
  server.listen(54469, host);
  return server;
});
let up = 0;
servers.forEach((s) => s.on('listening', () => { if (++up === 2) console.log('ready ' + process.pid); }));
process.stdin.resume();
process.stdin.on('end', () => process.exit(0));
`;

let squatter;
let squatterLog = '';
let squatterUid;
let service;
let server;
let browser;
let home;
let dir;

before(async () => {
  dir = tempDir('nox-browser-squatter-');
  fs.chmodSync(dir, 0o755);
  makePublicCertificate(dir, 'localhost');  // localhost.pem and localhost.key, from a CA of its own
  fs.writeFileSync(path.join(dir, 'squatter.js'), SQUATTER);
  for (const f of fs.readdirSync(dir)) fs.chmodSync(path.join(dir, f), 0o644);

  const prefix = otherUserPrefix();
  squatter = spawn(prefix[0], [...prefix.slice(1), process.execPath, path.join(dir, 'squatter.js'), dir],
    { stdio: ['pipe', 'pipe', 'pipe'] });
  squatter.stdout.on('data', (c) => { squatterLog += c; });
  squatter.stderr.on('data', (c) => { squatterLog += c; });
  const deadline = Date.now() + 30000;
  while (!/ready (\d+)/.test(squatterLog)) {
    if (Date.now() > deadline || squatter.exitCode !== null) throw new Error(`the stand-in did not start: ${squatterLog}`);
    await new Promise((r) => setTimeout(r, 50));
  }
  const pid = /ready (\d+)/.exec(squatterLog)[1];
  squatterUid = Number(/^Uid:\s+(\d+)/m.exec(fs.readFileSync(`/proc/${pid}/status`, 'utf8'))[1]);
  assert.notEqual(squatterUid, process.getuid(), 'the stand-in runs as another user');

  home = makeTrustingHome();
  service = await startService({ squatted: [54469] });
  server = await serveDemo();
  browser = await launchChromium(home);
});

after(async () => {
  await browser?.close();
  await server?.close();
  const status = await service?.stop();
  if (squatter) {
    squatter.stdin.end();
    await new Promise((r) => (squatter.exitCode !== null ? r() : squatter.once('exit', r)));
  }
  for (const d of [home, dir]) if (d) fs.rmSync(d, { recursive: true, force: true });
  assert.deepEqual(status, { code: 0, signal: null }, 'the service exits cleanly');
});

test('the console names the user who holds the port; the other listeners serve', () => {
  const text = service.output();
  assert.ok(text.includes(`Port held by another user: 127.0.0.1:54469 (uid ${squatterUid})`), text);
  assert.ok(text.includes(`Port held by another user: [::1]:54469 (uid ${squatterUid})`), text);
  for (const listener of ['127.0.0.1:54469', '[::1]:54469']) {
    assert.ok(text.includes(`NoxHalvorant at ${listener} launch state: Fail`), listener);
  }
  for (const listener of ['127.0.0.1:54569', '[::1]:54569', '127.0.0.1:54669', '[::1]:54669']) {
    assert.ok(text.includes(`NoxHalvorant at ${listener} launch state: Success`), listener);
  }
});

test('the client in Chromium passes over the squatted port and reaches the service on 54569', async () => {
  const context = await browser.newContext();
  try {
    const page = await context.newPage();
    await page.goto(`http://localhost:${server.port}/demo/index.html`);
    const got = await page.evaluate(async () => {
      const client = await import('/clients/js/noxhalvorant.js');
      const nox = client.createClient({ timeoutMs: 20000 });
      const found = await nox.detect();
      await nox.open({ pathId: client.PATH_IDS.NoxCryptAdapter });
      const digest = await nox.call('Digest', { Algorithm: 'SHA256', Data: 'abc', PIN: '1234' });
      const sessionId = nox.sessionId();
      await nox.release();
      return { found, digest: digest.result, baseUrl: nox.baseUrl(), sessionId };
    });
    assert.deepEqual(got.found, { detected: true, version: '1.0.23.0510', baseUrl: 'https://127.0.0.1:54569/' });
    assert.equal(got.digest, 'BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD');
    assert.equal(got.baseUrl, 'https://127.0.0.1:54569/');
    assert.notEqual(got.sessionId, 'STOLEN');
  } finally {
    await context.close();
  }
  assert.ok(!squatterLog.includes('REQUEST'), `the stand-in received a request:\n${squatterLog}`);
});
