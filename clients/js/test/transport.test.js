import { test, after, beforeEach } from 'node:test';
import assert from 'node:assert/strict';

import { createClient, NoxError } from '../noxhalvorant.js';
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

async function rejects(promise, code) {
  try {
    await promise;
  } catch (e) {
    assert.ok(e instanceof NoxError, String(e));
    assert.equal(e.code, code, e.message);
    return e;
  }
  assert.fail(`resolved; expected ${code}`);
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// Records which listener each attempt went to.
function recordingFetch(log) {
  return (url, init) => {
    log.push(url);
    return fetch(url, init);
  };
}

test('main-thread calls re-POST the same flagged request until the result arrives', async () => {
  let calls = 0;
  const f = await fake(() => (++calls <= 3 ? { result: 'heartbeat' } : { result: 'slept' }));
  const beats = [];
  const nox = createClient({ baseUrls: [f.url], sessionId: 'S1' });
  const r = await nox.call('Sleep', { Seconds: 10 }, { mainThread: true, onHeartbeat: (b) => beats.push(b.count) });
  assert.equal(r.ok, true);
  assert.equal(r.result, 'slept');
  assert.deepEqual(beats, [1, 2, 3]);
  const bodies = f.posts().map((p) => p.body);
  assert.equal(bodies.length, 4);
  assert.ok(bodies.every((b) => b === bodies[0]));
  assert.ok(f.posts()[0].json.endsWith(',"MainThread":true}'));
  assert.deepEqual(f.posts()[0].request, { FunctionName: 'Sleep', SessionId: 'S1', Seconds: 10, MainThread: true });
});

test('a heartbeat answer to a call without the flag is just its result', async () => {
  const f = await fake(() => ({ result: 'heartbeat' }));
  const r = await createClient({ baseUrls: [f.url] }).call('F');
  assert.equal(r.result, 'heartbeat');
  assert.equal(f.posts().length, 1);
});

test('a throwing onHeartbeat callback does not stop the loop', async () => {
  let calls = 0;
  const f = await fake(() => (++calls === 1 ? { result: 'heartbeat' } : { result: 'done' }));
  const nox = createClient({ baseUrls: [f.url], onHeartbeat: () => { throw new Error('page bug'); } });
  assert.equal((await nox.call('F', {}, { mainThread: true })).result, 'done');
});

test('endless heartbeats end in a time-out; the next main-thread call first collects the stale result', async () => {
  // Like the service: a flagged call keeps running after the page gave up, and its
  // result goes to whichever flagged request comes next.
  let running = null;
  let finished = false;
  const f = await fake(async (req) => {
    await sleep(20);
    if (!running) running = req;
    if (!finished) return { result: 'heartbeat' };
    const done = running;
    running = null;
    return { result: `result of ${done.FunctionName}` };
  });
  const nox = createClient({ baseUrls: [f.url] });
  const started = Date.now();
  await rejects(nox.call('Sleep', {}, { mainThread: true, timeoutMs: 250 }), 'TIMEOUT');
  assert.ok(Date.now() - started < 2000);
  assert.equal(sharedState.staleMainThread, true);

  finished = true;
  const before = f.posts().length;
  const r2 = await nox.call('Next', {}, { mainThread: true });
  assert.equal(r2.result, 'result of Next');
  // The POST cut off by the time-out may still reach the fake after that; only what the
  // client sent afterwards counts.
  const sent = f.posts().slice(before).map((p) => p.request).filter((q) => q.FunctionName !== 'Sleep');
  assert.deepEqual(sent[0], { FunctionName: 'HalvorantRelease', MainThread: true });
  assert.equal(sent[1].FunctionName, 'Next');
  assert.equal(sharedState.staleMainThread, false);
});

test('a listener that never answers ends in a time-out without trying other ports', async () => {
  const hung = await fake(() => ({ $hang: true }));
  const good = await fake(() => ({ result: '0' }));
  const log = [];
  const nox = createClient({ baseUrls: [hung.url, good.url], timeoutMs: 200, fetch: recordingFetch(log) });
  await rejects(nox.call('F'), 'TIMEOUT');
  assert.deepEqual(log, [hung.url]);
  assert.equal(good.seen.length, 0);
});

test('falls back to the next listener on network errors and remembers the one that answered', async () => {
  const f = await fake(() => ({ result: '0' }));
  const dead1 = await deadUrl();
  const dead2 = await deadUrl();
  const log = [];
  const nox = createClient({ baseUrls: [dead1, dead2, f.url], fetch: recordingFetch(log) });
  const r = await nox.call('F');
  assert.equal(r.ok, true);
  assert.equal(r.baseUrl, f.url);
  assert.deepEqual(log, [dead1, dead2, f.url]);
  assert.equal(nox.baseUrl(), f.url);
  await nox.call('G');
  assert.deepEqual(log.slice(3), [f.url]);
});

test('starts again from the remembered listener and wraps around when it goes away', async () => {
  const a = await fake(() => ({ result: 'a' }));
  const b = await fake(() => ({ result: 'b' }));
  const log = [];
  const nox = createClient({ baseUrls: [a.url, b.url], fetch: recordingFetch(log) });
  assert.equal((await nox.call('F')).result, 'a');
  await a.close();
  assert.equal((await nox.call('F')).result, 'b');
  assert.equal((await nox.call('F')).result, 'b');
  assert.deepEqual(log, [a.url, a.url, b.url, b.url]);
});

test('no listener at all: not detected', async () => {
  const nox = createClient({ baseUrls: [await deadUrl(), await deadUrl()] });
  const e = await rejects(nox.call('F'), 'NOT_DETECTED');
  assert.match(e.message, /not running.*certificate.*Local Network Access/);
});

test('a connection closed without an answer counts as a network error', async () => {
  const closing = await fake(() => ({ $close: true }));
  await rejects(createClient({ baseUrls: [closing.url] }).call('F'), 'NOT_DETECTED');
});

test('something else on a port is skipped; only something else is a bad answer', async () => {
  const foreign = await fake(() => ({ $status: 404, $body: 'Not Found' }));
  const junk = await fake(() => ({ $status: 200, $body: '<html>' }));
  const good = await fake(() => ({ result: '0' }));
  const r = await createClient({ baseUrls: [foreign.url, junk.url, good.url] }).call('F');
  assert.equal(r.result, '0');
  await rejects(createClient({ baseUrls: [foreign.url, junk.url, await deadUrl()] }).call('F'), 'BAD_ANSWER');
});

test('requests of all clients of a page go one at a time', async () => {
  const f = await fake(async () => {
    await sleep(30);
    return { result: '0' };
  });
  const clients = [1, 2, 3].map(() => createClient({ baseUrls: [f.url] }));
  const results = await Promise.all(clients.flatMap((c) => [c.call('A'), c.call('B')]));
  assert.ok(results.every((r) => r.ok));
  assert.equal(f.posts().length, 6);
  assert.equal(f.maxInFlight(), 1);
});

// Like a browser's window.fetch, which refuses to run as a method of another object.
function browserLikeFetch(log, realFetch) {
  return function fetchLikeWindow(url, init) {
    if (this !== undefined && this !== globalThis) {
      return Promise.reject(new TypeError("Failed to execute 'fetch' on 'Window': Illegal invocation"));
    }
    log.push(url);
    return realFetch(url, init);
  };
}

test('fetch runs unbound, as a browser requires, whether given or the global one', async (t) => {
  const f = await fake(() => ({ result: '0' }));
  const original = globalThis.fetch;
  const given = [];
  const r = await createClient({ baseUrls: [f.url], fetch: browserLikeFetch(given, original) }).detect();
  assert.equal(r.detected, true, r.message);
  assert.deepEqual(given, [f.url]);

  const global = [];
  globalThis.fetch = browserLikeFetch(global, original);
  t.after(() => { globalThis.fetch = original; });
  const rg = await createClient({ baseUrls: [f.url] }).detect();
  assert.equal(rg.detected, true, rg.message);
  assert.deepEqual(global, [f.url]);
});
