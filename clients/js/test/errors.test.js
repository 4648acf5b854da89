import { test, after, beforeEach } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import https from 'node:https';
import os from 'node:os';
import path from 'node:path';

import { createClient, NoxError, PATH_IDS } from '../noxhalvorant.js';
import { sharedState } from '../transport.js';
import { startFake, deadUrl } from '../testing/fake-service.js';

const servers = [];
async function fake(handler) {
  const f = await startFake(handler);
  servers.push(f);
  return f;
}
after(() => Promise.all(servers.map((s) => s.close())));
beforeEach(() => {
  sharedState.staleMainThread = false;
});

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

async function caught(promise) {
  try {
    await promise;
  } catch (e) {
    return e;
  }
  return null;
}

test('answers that stand for a failure reject with a typed NoxError carrying the raw answer', async () => {
  const cases = [
    // [adapter result text, code, resultCode, message pattern]
    ['61009', 'NO_ADAPTER', 61009, /PathID is unknown/],
    ['61902', 'ADAPTER_NOT_LOADED', 61902, /could not be loaded/],
    ['61205', 'RESULT_61205', 61205, /error code 61205/],
    ['{"error":{"code":"PIN_INCORRECT","message":"Wrong PIN, 2 tries left"}}', 'PIN_INCORRECT', null, /^Wrong PIN, 2 tries left$/],
    [' {"error":{"code":"UNKNOWN_FUNCTION"}}', 'UNKNOWN_FUNCTION', null, /UNKNOWN_FUNCTION/],
    ['error: unknown function', 'ADAPTER_ERROR', null, /unknown function$/],
    ['Error: bad key', 'ADAPTER_ERROR', null, /bad key$/],
  ];
  const f = await fake((req) => ({ result: req.Data }));
  const nox = createClient({ baseUrls: [f.url] });
  for (const [text, code, resultCode, message] of cases) {
    const e = await caught(nox.call('Sign', { Data: text }));
    assert.ok(e instanceof NoxError, `${text}: ${e}`);
    assert.ok(e instanceof Error);
    assert.equal(e.name, 'NoxError');
    assert.equal(e.code, code, text);
    assert.equal(e.resultCode, resultCode, text);
    assert.match(e.message, message, text);
    assert.equal(e.result, text);
    assert.equal(e.answer.result, text);
    assert.equal(e.baseUrl, f.url);
  }
  // Texts that only look a little like failures are results.
  for (const text of ['0', '60999', '62000', '{"data":"error: none"}', '{"error":"text"}', 'errors: 0', '{not json']) {
    const r = await nox.call('Sign', { Data: text });
    assert.equal(r.ok, true, text);
    assert.equal(r.result, text);
  }
});

test('an aborted call rejects with ABORTED at once; a signal aborted before sends nothing', async () => {
  const f = await fake(() => ({ $hang: true }));
  const nox = createClient({ baseUrls: [f.url] });
  const gone = new AbortController();
  gone.abort();
  assert.equal((await caught(nox.call('F', {}, { signal: gone.signal }))).code, 'ABORTED');
  assert.equal(f.seen.length, 0);

  const controller = new AbortController();
  const started = Date.now();
  const pending = caught(nox.call('F', {}, { signal: controller.signal }));
  while (f.seen.length === 0) await sleep(5);
  controller.abort(new Error('user pressed Cancel'));
  const e = await pending;
  assert.equal(e.code, 'ABORTED');
  assert.equal(e.cause.message, 'user pressed Cancel');
  assert.ok(Date.now() - started < 5000);
  // Every call takes the signal, not only call().
  for (const run of [() => nox.open({ pathId: PATH_IDS.NoxCryptAdapter, signal: gone.signal }),
    () => nox.detect({ signal: gone.signal })]) {
    assert.equal((await caught(run())).code, 'ABORTED');
  }
});

test('an aborted main-thread call stops polling; its late result is collected and dropped', async () => {
  // Like the service: a flagged call runs on; its result goes to the next flagged request.
  let running = null;
  let finished = false;
  const f = await fake(async (req) => {
    await sleep(10);
    if (!req.MainThread) return { result: `direct ${req.FunctionName}` };
    if (!running) running = req.FunctionName;
    if (!finished) return { result: 'heartbeat' };
    const done = running;
    running = null;
    return { result: `result of ${done}` };
  });
  const nox = createClient({ baseUrls: [f.url] });
  const controller = new AbortController();
  let beats = 0;
  const pending = caught(nox.call('Sleep', {}, {
    mainThread: true, signal: controller.signal, onHeartbeat: () => { beats += 1; },
  }));
  while (beats < 2) await sleep(5);
  controller.abort();
  assert.equal((await pending).code, 'ABORTED');
  const after = f.posts().length;
  await sleep(100);
  assert.ok(f.posts().length <= after + 1, 'no polling after the abort');  // one may have been in flight
  finished = true;
  // The next call, main-thread or not, gets its own answer.
  const r = await nox.call('Digest', {});
  assert.equal(r.result, 'direct Digest');
  const drained = f.posts().map((p) => p.request.FunctionName);
  assert.ok(drained.includes('HalvorantRelease'), drained.join());
  const r2 = await nox.call('Next', {}, { mainThread: true });
  assert.equal(r2.result, 'result of Next');
});

test('time-out per call and per client', async () => {
  const f = await fake(() => ({ $hang: true }));
  const started = Date.now();
  assert.equal((await caught(createClient({ baseUrls: [f.url], timeoutMs: 100 }).call('F'))).code, 'TIMEOUT');
  assert.equal((await caught(createClient({ baseUrls: [f.url] }).call('F', {}, { timeoutMs: 100 }))).code, 'TIMEOUT');
  assert.ok(Date.now() - started < 5000);
});

test('a service that answered before and then vanishes is a NETWORK error, not NOT_DETECTED', async () => {
  const f = await fake(() => ({ result: '0' }));
  const nox = createClient({ baseUrls: [f.url] });
  await nox.call('F');
  await f.close();
  assert.equal((await caught(nox.call('F'))).code, 'NETWORK');
  assert.equal((await caught(createClient({ baseUrls: [await deadUrl()] }).call('F'))).code, 'NOT_DETECTED');
});

test('detect names the cause where the browser tells it', async (t) => {
  const dead = await deadUrl();
  const hung = await fake(() => ({ $hang: true }));
  const foreign = await fake(() => ({ $status: 404, $body: 'Not Found' }));
  const original = Object.getOwnPropertyDescriptor(globalThis, 'navigator');
  t.after(() => {
    if (original) Object.defineProperty(globalThis, 'navigator', original);
    else delete globalThis.navigator;
    delete globalThis.location;
  });
  // A browser that knows one permission name (Chromium's, or Firefox's "local-network").
  const setBrowser = (state, hostname, known = 'local-network-access') => {
    const permissions = state === undefined ? undefined : {
      query: async ({ name }) => {
        if (name !== known) throw new TypeError('unknown permission');
        return { state };
      },
    };
    Object.defineProperty(globalThis, 'navigator', { value: { permissions }, configurable: true });
    globalThis.location = { protocol: 'https:', hostname };
  };
  const cases = [
    // [permission state, page host, listener, cause, permission name]
    ['denied', 'www.bank.test', dead, 'LOCAL_NETWORK_DENIED'],
    ['prompt', 'www.bank.test', dead, 'LOCAL_NETWORK_PROMPT'],
    ['denied', 'www.bank.test', dead, 'LOCAL_NETWORK_DENIED', 'local-network'],
    ['prompt', 'www.bank.test', dead, 'LOCAL_NETWORK_PROMPT', 'loopback-network'],
    ['granted', 'www.bank.test', dead, 'NOT_RUNNING_OR_UNTRUSTED'],
    [undefined, 'www.bank.test', dead, 'NOT_RUNNING_OR_UNTRUSTED'],
    ['prompt', 'localhost', dead, 'NOT_RUNNING_OR_UNTRUSTED'],  // loopback pages need no permission
    ['granted', 'www.bank.test', hung.url, 'TIMEOUT'],
    // A browser holding the request until its question is answered never sent it.
    ['prompt', 'www.bank.test', hung.url, 'LOCAL_NETWORK_PROMPT', 'local-network'],
    ['denied', 'www.bank.test', hung.url, 'LOCAL_NETWORK_DENIED'],
    ['prompt', '127.0.0.1', hung.url, 'TIMEOUT'],
    ['granted', 'www.bank.test', foreign.url, 'BAD_ANSWER'],
    ['denied', 'www.bank.test', foreign.url, 'BAD_ANSWER'],  // something answered after all
  ];
  for (const [state, host, url, cause, name] of cases) {
    setBrowser(state, host, name);
    const r = await createClient({ baseUrls: [url], timeoutMs: 300 }).detect();
    const label = `${state} ${name ?? ''} ${host} ${url}`;
    assert.equal(r.detected, false, label);
    assert.equal(r.cause, cause, label);
    assert.ok(r.message.length > 20);
    assert.ok(r.error instanceof NoxError);
  }
});

test('detect reports a refusal for want of an Origin (61012) as not found', async () => {
  const f = await fake(() => ({ result: '61012' }));
  const r = await createClient({ baseUrls: [f.url] }).detect();
  assert.equal(r.detected, false);
  assert.equal(r.cause, 'NO_ORIGIN');
  assert.match(r.message, /Origin/);
  assert.equal(r.error.code, 'ORIGIN_OR_USER');
  assert.equal(r.error.resultCode, 61012);
});

test('outside a browser, detect tells a stopped service from an untrusted certificate', async (t) => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'nox-js-tls-'));
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  execFileSync('openssl', ['req', '-x509', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:P-256', '-nodes',
    '-days', '1', '-subj', '/CN=localhost', '-addext', 'subjectAltName=IP:127.0.0.1',
    '-keyout', path.join(dir, 'key.pem'), '-out', path.join(dir, 'cert.pem')], { stdio: 'ignore' });
  const server = https.createServer({
    key: fs.readFileSync(path.join(dir, 'key.pem')), cert: fs.readFileSync(path.join(dir, 'cert.pem')),
  }, (req, res) => res.end('{}'));
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  t.after(() => new Promise((resolve) => server.close(resolve)));

  const untrusted = await createClient({ baseUrls: [`https://127.0.0.1:${server.address().port}/`] }).detect();
  assert.equal(untrusted.cause, 'NOT_RUNNING_OR_UNTRUSTED');
  assert.match(untrusted.message, /NODE_EXTRA_CA_CERTS/);
  const stopped = await createClient({ baseUrls: [await deadUrl()] }).detect();
  assert.equal(stopped.cause, 'NOT_RUNNING_OR_UNTRUSTED');
  assert.match(stopped.message, /not running/);
});
