import { test, after, beforeEach } from 'node:test';
import assert from 'node:assert/strict';

import { createClient, NoxError, PATH_IDS } from '../noxhalvorant.js';
import { sharedState } from '../transport.js';
import { startFake, deadUrl } from '../testing/fake-service.js';

// Awaits a rejection with a NoxError of code; returns the error.
async function rejects(promise, code, label = '') {
  try {
    await promise;
  } catch (e) {
    assert.ok(e instanceof NoxError, `${label}: not a NoxError: ${e}`);
    assert.equal(e.code, code, `${label}: ${e.message}`);
    return e;
  }
  assert.fail(`${label}: resolved; expected ${code}`);
}

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

// Answers like the service: Echo opens a session, SessionId finds it again.
function miniService() {
  let next = 1;
  const sessions = new Map();
  return (req) => {
    const fn = String(req.FunctionName).toLowerCase();
    const open = sessions.get(req.SessionId);
    if (fn === 'halvorantrelease' || fn === 'halvorantforcerelease') {
      if (open && (fn === 'halvorantforcerelease' || !open.browserMode)) sessions.delete(req.SessionId);
      return open ? {} : { SessionID: `S${next++}` };
    }
    if (open) {
      if (fn === 'halvorantecho') return { ServerVersion: '1.0.23.0510', LibVersion: '1.2.3.4', result: '0' };
      return { result: `did ${req.FunctionName}` };
    }
    if (!req.PathID && !(req.LibDir && req.ComName)) return { result: '61009' };
    if (!req.minServerVersion) return { result: '61203' };
    const id = `S${next++}`;
    sessions.set(id, { browserMode: req.HalvorantMode === 1 });
    const base = { SessionID: id, ServerVersion: '1.0.23.0510', LibVersion: '1.2.3.4' };
    return { ...base, result: fn === 'echo' || fn === 'halvorantecho' ? '0' : `did ${req.FunctionName}` };
  };
}

test('open sends the documented keys, keeps SessionID and sends it back as SessionId', async () => {
  const f = await fake(miniService());
  const nox = createClient({ baseUrls: [f.url] });
  const opened = await nox.open({ pathId: PATH_IDS.NoxCryptAdapter, minLibVersion: '1.0.0.0' });
  assert.equal(opened.ok, true);
  assert.equal(opened.result, '0');
  assert.equal(opened.values.LibVersion, '1.2.3.4');
  assert.equal(nox.sessionId(), 'S1');
  assert.deepEqual(f.posts()[0].request, {
    FunctionName: 'Echo', PathID: '3A61F0B2C94E4D7B8E05A1C2D3F40516',
    minServerVersion: '1.0.0.0', minLibVersion: '1.0.0.0',
  });

  const r = await nox.call('Sign', { Data: 'ä€ "q"\n', Count: 3, Flag: false });
  assert.equal(r.result, 'did Sign');
  assert.deepEqual(f.posts()[1].request, {
    FunctionName: 'Sign', SessionId: 'S1', Data: 'ä€ "q"\n', Count: 3, Flag: false,
  });
  assert.equal(f.posts()[1].json.includes('MainThread'), false);
  assert.equal((await nox.echo()).values.ServerVersion, '1.0.23.0510');
  assert.equal(f.posts()[2].request.FunctionName, 'HalvorantEcho');

  await rejects(nox.open({ pathId: PATH_IDS.NoxIdAdapter }), 'BAD_INPUT');
  assert.equal(f.posts().length, 3);
});

test('requests are simple: one POST, form content type, no custom header, no preflight', async () => {
  const f = await fake(miniService());
  const nox = createClient({ baseUrls: [f.url] });
  await nox.open({ libDir: 'Nox', comName: 'NoxIdAdapter', browserMode: true });
  const { method, headers } = f.seen[0];
  assert.equal(f.seen.length, 1);
  assert.equal(method, 'POST');
  assert.equal(headers['content-type'], 'application/x-www-form-urlencoded');
  const safelisted = new Set(['host', 'connection', 'content-type', 'content-length', 'accept',
    'accept-language', 'accept-encoding', 'user-agent', 'sec-fetch-mode', 'origin', 'referer']);
  for (const h of Object.keys(headers)) assert.ok(safelisted.has(h), `unexpected header ${h}`);
  assert.equal(f.posts()[0].request.HalvorantMode, 1);
});

test('failure answers keep no session and are described', async () => {
  const f = await fake(() => ({ result: '61203' }));
  const nox = createClient({ baseUrls: [f.url] });
  const e = await rejects(nox.open({ pathId: PATH_IDS.NoxPkiCryptAdapter, minServerVersion: '9.0.0.0' }),
    'SERVER_TOO_OLD');
  assert.equal(e.resultCode, 61203);
  assert.equal(e.result, '61203');
  assert.equal(e.answer.result, '61203');
  assert.match(e.message, /minServerVersion/);
  assert.equal(nox.sessionId(), null);
});

test('an adapter without version (answer without result) does not open a session', async () => {
  const f = await fake(() => ({ SessionID: 'S9' }));
  const nox = createClient({ baseUrls: [f.url] });
  const e = await rejects(nox.open({ pathId: PATH_IDS.NoxIdAdapter }), 'NO_VERSION');
  assert.match(e.message, /no version/);
  assert.equal(nox.sessionId(), null);
});

test('invalid input is refused without a request', async () => {
  const f = await fake(miniService());
  const nox = createClient({ baseUrls: [f.url] });
  const cases = [
    () => nox.open({}),
    () => nox.open({ libDir: 'Nox' }),
    () => nox.open({ pathId: 'x', minServerVersion: '1.0 beta' }),
    () => nox.open({ pathId: 'x', minLibVersion: 1 }),
    () => nox.open({ pathId: 'x', browserMode: 'yes' }),
    () => nox.open({ pathId: 'a"b' }),
    () => nox.call('', {}),
    () => nox.call('HalvorantForceRelease', {}),
    () => nox.call('echo', {}),
    () => nox.call('F', { sessionid: 'x' }),
    () => nox.call('F', { nested: { a: 1 } }),
    () => nox.call('F', {}, { mainThread: 'yes' }),
    () => nox.call('F', {}, { timeoutMs: 0 }),
    () => nox.call('F', {}, { signal: 'stop' }),
    () => nox.setValue('ch', 'v', 'a.test'),  // no session yet
    () => nox.getValue('ch'),
    () => nox.echo(),
  ];
  for (const [i, c] of cases.entries()) await rejects(c(), 'BAD_INPUT', `case ${i}`);
  const badClients = [
    { host: '[::1]' }, { host: 'example.test' }, { ports: [] }, { ports: [70000] },
    { baseUrls: ['ftp://x/'] }, { timeoutMs: -1 }, { fetch: 'no' }, { sessionId: '' }, null, 'x',
    { origin: 'app.example' }, { origin: 'https://app.example/' }, { origin: 'https://a.example\r\nX: y' },
    { origin: 7 },
  ];
  for (const options of badClients) {
    await rejects(createClient(options).detect(), 'BAD_INPUT', JSON.stringify(options));
  }
  assert.equal(f.seen.length, 0);
});

test('pages not served over http(s) are refused before sending', async () => {
  const f = await fake(miniService());
  globalThis.location = { protocol: 'file:' };
  try {
    const e = await rejects(createClient({ baseUrls: [f.url] }).detect(), 'BAD_INPUT');
    assert.match(e.message, /http or https/);
  } finally {
    delete globalThis.location;
  }
  assert.equal(f.seen.length, 0);
});

test('value store requests carry channel, domain_list, timeout and value', async () => {
  const store = new Map();
  const f = await fake((req) => {
    if (req.FunctionName === 'Echo') return { SessionID: 'S1', result: '0' };
    const decode = (k) => (req[`${k}_HalvorantBase64Flag`] === 'true'
      ? Buffer.from(req[k], 'base64').toString('utf8') : req[k]);
    if (req.FunctionName === 'setHalvorantValue') {
      store.set(req.channel.toLowerCase(), decode('value'));
      return { result: '0' };
    }
    if (req.FunctionName === 'getHalvorantValue') return { result: store.get(req.channel.toLowerCase()) ?? '' };
    return { result: '61001' };
  });
  const nox = createClient({ baseUrls: [f.url] });
  await nox.open({ pathId: PATH_IDS.NoxCryptAdapter });

  const set = await nox.setValue('Alpha', 'plain text', ['a.test', '*.b.test'], 5);
  assert.equal(set.ok, true);
  assert.deepEqual(f.posts()[1].request, {
    FunctionName: 'setHalvorantValue', SessionId: 'S1', channel: 'Alpha',
    domain_list: 'a.test;*.b.test', timeout: 5, value: 'plain text',
  });

  const tricky = 'C:\\path\\n and \u0001';
  await nox.setValue('beta', tricky, 'a.test');
  assert.equal(f.posts()[2].request.value_HalvorantBase64Flag, 'true');
  assert.equal((await nox.getValue('BETA')).result, tricky);

  const unknown = await nox.getValue('gamma');
  assert.equal(unknown.ok, true);
  assert.equal(unknown.result, '');

  for (const [args, why] of [
    [['c', 'v', 'a.test', -1], /timeoutMinutes/],
    [['c', 'v', 'a.test', 35791395], /timeoutMinutes/],
    [['c', 'v', 'a.test', 1.5], /timeoutMinutes/],
    [['c', 'v\u0000', 'a.test'], /NUL/],
    [['c', 5, 'a.test'], /value/],
    [['c', 'v', ['a;b', 'c']], /domainList/],
    [['c', 'v', 7], /domainList/],
    [['', 'v', 'a.test'], /channel/],
  ]) {
    assert.match((await rejects(nox.setValue(...args), 'BAD_INPUT')).message, why);
  }
});

test('release forgets the session unless it is in browser mode; forceRelease always', async () => {
  const f = await fake(miniService());
  const normal = createClient({ baseUrls: [f.url] });
  await normal.open({ pathId: PATH_IDS.NoxCryptAdapter });
  assert.equal((await normal.release()).ok, true);
  assert.equal(normal.sessionId(), null);
  assert.equal((await normal.release()).message, 'No session was open.');

  const browser = createClient({ baseUrls: [f.url] });
  await browser.open({ pathId: PATH_IDS.NoxCryptAdapter, browserMode: true });
  const id = browser.sessionId();
  await browser.release();
  assert.equal(browser.sessionId(), id);
  assert.equal((await browser.call('Work')).result, 'did Work');  // still open in the service
  await browser.forceRelease();
  assert.equal(browser.sessionId(), null);
  const kinds = f.posts().map((p) => [p.request.FunctionName, p.request.SessionId]);
  assert.deepEqual(kinds.slice(-3), [
    ['HalvorantRelease', id], ['Work', id], ['HalvorantForceRelease', id],
  ]);

  // A browser-mode session can be resumed after a reload.
  const resumed = createClient({ baseUrls: [f.url], sessionId: 'S77', browserMode: true });
  await resumed.release();
  assert.equal(resumed.sessionId(), 'S77');
});

test('detect sends a release without session and reports the service version', async () => {
  const f = await fake(() => ({ SessionID: 'S1', ServerVersion: '1.0.23.0510' }));
  const r = await createClient({ baseUrls: [f.url] }).detect();
  assert.deepEqual(r, { detected: true, version: '1.0.23.0510', baseUrl: f.url });
  assert.deepEqual(f.posts()[0].request, { FunctionName: 'HalvorantRelease' });
});

test('a program outside a browser names its origin in the Origin header', async () => {
  const f = await fake(() => ({ SessionID: 'S1', ServerVersion: '1.0.23.0510' }));
  for (const origin of ['https://app.example', 'http://localhost:8080', 'https://[::1]:8443']) {
    await createClient({ baseUrls: [f.url], origin }).detect();
    assert.equal(f.seen.at(-1).headers.origin, origin);
  }
  await createClient({ baseUrls: [f.url] }).detect();
  assert.equal(f.seen.at(-1).headers.origin, undefined);
});

test('detect passes over a port that fails the certificate check and keeps the one that answered', async () => {
  // Another program holding the first port cannot present the user's own certificate: the
  // browser's fetch rejects, as for any network error, without an answer.
  const f = await fake(() => ({ SessionID: 'S1', ServerVersion: '1.0.23.0510', result: '0' }));
  const squatted = 'https://127.0.0.1:54469/';
  const tried = [];
  const fetchFn = (url, init) => {
    tried.push(url);
    return url === squatted ? Promise.reject(new TypeError('Failed to fetch')) : fetch(url, init);
  };
  const nox = createClient({ baseUrls: [squatted, f.url], fetch: fetchFn });
  assert.deepEqual(await nox.detect(), { detected: true, version: '1.0.23.0510', baseUrl: f.url });
  await nox.call('F');
  assert.deepEqual(tried, [squatted, f.url, f.url], 'later requests go straight to the port that answered');
  assert.equal(nox.baseUrl(), f.url);
});

test('a later answer with a new SessionID replaces the old one', async () => {
  let n = 0;
  const f = await fake(() => ({ SessionID: `S${++n}`, result: n === 3 ? '61902' : 'x' }));
  const nox = createClient({ baseUrls: [f.url] });
  await nox.call('F', { PathID: PATH_IDS.NoxIdAdapter });
  assert.equal(nox.sessionId(), 'S1');
  await nox.call('F', { PathID: PATH_IDS.NoxIdAdapter });
  assert.equal(nox.sessionId(), 'S2');
  await rejects(nox.call('F', { PathID: PATH_IDS.NoxIdAdapter }), 'ADAPTER_NOT_LOADED');  // not adopted
  assert.equal(nox.sessionId(), 'S2');
});

// A client with a session on the PKI adapter of a mini service, and the requests it got.
async function pkiSession() {
  const seen = [];
  const service = miniService();
  const f = await fake((req) => {
    seen.push(req);
    return service(req);
  });
  const nox = createClient({ baseUrls: [f.url] });
  await nox.open({ pathId: PATH_IDS.NoxPkiCryptAdapter });
  return { nox, seen };
}

test('sign is a main-thread call of Sign with the page\'s keys', async () => {
  const { nox, seen } = await pkiSession();
  const signed = await nox.sign({ CertificateId: '0e', Digest: 'AAAA', DigestAlgorithm: 'SHA-256' });
  assert.equal(signed.result, 'did Sign');
  const request = seen.find((r) => r.FunctionName === 'Sign');
  assert.equal(request.MainThread, true);
  assert.equal(request.CertificateId, '0e');
  assert.equal(request.SessionId, nox.sessionId());
  await rejects(nox.sign({}, 'now'), 'BAD_INPUT', 'options not an object');
});

test('authenticate and signBatch are main-thread calls; a batch\'s digests travel as one text', async () => {
  const { nox, seen } = await pkiSession();
  await nox.authenticate({ Challenge: 'AAAA', CertificateId: '0f' });
  await nox.signBatch({ CertificateId: '0e', Digests: ['AAAA', 'BBBB'], DigestAlgorithm: 'SHA-256' });
  await nox.signBatch({ CertificateId: '0e', Digests: 'CCCC,DDDD' });
  const auth = seen.find((r) => r.FunctionName === 'Authenticate');
  assert.equal(auth.MainThread, true);
  assert.equal(auth.Challenge, 'AAAA');
  const batches = seen.filter((r) => r.FunctionName === 'SignBatch');
  assert.deepEqual(batches.map((r) => [r.MainThread, r.Digests]), [[true, 'AAAA,BBBB'], [true, 'CCCC,DDDD']]);
  for (const digests of [['AAAA', 'B,C'], ['AAAA', 7], ['']])
    await rejects(nox.signBatch({ CertificateId: '0e', Digests: digests }), 'BAD_INPUT', String(digests));
  await rejects(nox.authenticate({ Challenge: 'AAAA' }, 'now'), 'BAD_INPUT', 'options not an object');
});
