// A page that Chromium counts as public (https://www.bank.test:N, resolved to 127.0.0.1
// and placed in the public address space by flags, with a certificate from a throwaway
// CA) reaching the real service on loopback through the page client, with and without
// the Local Network Access permission; and the value store between it and a loopback page.

import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';

import {
  PUBLIC_HOST, inPage, launchChromium, makePublicCertificate, makeTrustingHome, publicPageArgs,
  serveDemo, startService, tempDir,
} from './support/harness.mjs';

let service;
let publicServer;
let loopbackServer;
let browser;
let home;
let certDir;
let publicOrigin;

before(async () => {
  certDir = tempDir('nox-browser-certs-');
  const pub = makePublicCertificate(certDir);
  home = makeTrustingHome([pub.caFile]);
  service = await startService();
  publicServer = await serveDemo({ cert: pub.certFile, key: pub.keyFile });
  loopbackServer = await serveDemo();
  publicOrigin = `https://${PUBLIC_HOST}:${publicServer.port}`;
  browser = await launchChromium(home, publicPageArgs(publicServer.port));
});

after(async () => {
  await browser?.close();
  await publicServer?.close();
  await loopbackServer?.close();
  const status = await service?.stop();
  for (const dir of [home, certDir]) if (dir) fs.rmSync(dir, { recursive: true, force: true });
  assert.deepEqual(status, { code: 0, signal: null }, 'the service exits cleanly');
});

// A fresh context (no permissions) with a page of origin loaded.
async function openPage(origin, { allowLoopback = false } = {}) {
  const context = await browser.newContext();
  if (allowLoopback) await context.grantPermissions(['local-network-access'], { origin });
  const page = await context.newPage();
  await page.goto(`${origin}/demo/reader.html`);
  return { context, page };
}

test('both certificates are trusted through $HOME/.pki/nssdb, and only through it', async () => {
  const { context, page } = await openPage(publicOrigin);
  try {
    assert.equal(await page.evaluate(() => [location.origin, window.isSecureContext].join(' ')),
      `${publicOrigin} true`);
  } finally {
    await context.close();
  }
  // The same browser with a HOME that trusts nothing.
  const bare = tempDir('nox-browser-bare-home-');
  const untrusting = await launchChromium(bare, publicPageArgs(publicServer.port));
  try {
    const refused = await (await untrusting.newContext()).newPage();
    await assert.rejects(refused.goto(`${publicOrigin}/demo/reader.html`), /ERR_CERT_AUTHORITY_INVALID/);
    const local = await (await untrusting.newContext()).newPage();
    await local.goto(`http://localhost:${loopbackServer.port}/demo/reader.html`);
    const rec = await inPage(local, async (client) => {
      const { detected, cause, message } = await client.createClient({ timeoutMs: 20000 }).detect();
      return { detected, cause, message };
    });
    assert.equal(rec.detected, false, JSON.stringify(rec));
    assert.equal(rec.cause, 'NOT_RUNNING_OR_UNTRUSTED', JSON.stringify(rec));
  } finally {
    await untrusting.close();
    fs.rmSync(bare, { recursive: true, force: true });
  }
});

test('without the Local Network Access permission nothing reaches the service', async () => {
  const { context, page } = await openPage(publicOrigin);
  try {
    const rec = await inPage(page, async (client) => {
      const { detected, cause, message } = await client.createClient({ timeoutMs: 20000 }).detect();
      return { detected, cause, message };
    });
    assert.equal(rec.detected, false, JSON.stringify(rec));
    // Headless Chromium answers the permission query with "prompt" or "denied".
    assert.match(rec.cause, /^LOCAL_NETWORK_(PROMPT|DENIED)$/, JSON.stringify(rec));
    assert.ok(!service.output().includes(`Origin: ${publicOrigin}`), 'the service saw no request of the page');
  } finally {
    await context.close();
  }
});

test('with the permission: each adapter opens, answers one function and is released', async () => {
  const { context, page } = await openPage(publicOrigin, { allowLoopback: true });
  try {
    const calls = [
      ['NoxCryptAdapter', 'Digest', { Algorithm: 'SHA1', Data: 'abc' }],
      ['NoxPkiCryptAdapter', 'ListCertificates', {}],
      ['NoxIdAdapter', 'GetCardStatus', {}],
    ];
    const got = await inPage(page, async (client, list) => {
      const out = [];
      out.detected = await client.createClient({ timeoutMs: 20000 }).detect();
      for (const [adapter, fn, params] of list) {
        const nox = client.createClient({ timeoutMs: 20000 });
        const opened = await nox.open({ pathId: client.PATH_IDS[adapter] });
        const sessionId = nox.sessionId();
        // An adapter's error answer rejects: keep its code for the check below.
        const called = await nox.call(fn, params).catch((e) => ({ ok: false, code: e.code, result: e.result }));
        const released = await nox.release();
        out.push({ opened, sessionId, called, released, after: nox.sessionId() });
      }
      return { detected: out.detected, rows: out };
    }, calls).then((r) => {
      assert.deepEqual(r.detected, { detected: true, version: '1.0.23.0510', baseUrl: 'https://127.0.0.1:54469/' });
      return r.rows;
    });
    const want = [
      'A9993E364706816ABA3E25717850C26C9CD0D89D',
      /^\{"certificates":\[\{"id":"0e","token":"Nox Test Token",.*\}\]\}$/,
      { code: 'NO_SERVICE' },  // run.sh gives the e-ID adapter no PC/SC daemon
    ];
    const sessions = new Set();
    got.forEach(({ opened, sessionId, called, released, after: left }, i) => {
      const all = JSON.stringify(got[i]);
      assert.equal(opened.result, '0', all);
      assert.equal(opened.values.ServerVersion, '1.0.23.0510', all);
      assert.match(opened.values.LibVersion, /^\d+(\.\d+){3}$/, all);
      assert.equal(opened.baseUrl, 'https://127.0.0.1:54469/', all);
      assert.ok(sessionId, all);
      sessions.add(sessionId);
      if (want[i].code !== undefined) {
        assert.equal(called.ok, false, all);
        assert.equal(called.code, want[i].code, all);
      } else {
        assert.equal(called.ok, true, all);
        if (typeof want[i] === 'string') assert.equal(called.result, want[i], all);
        else assert.match(called.result, want[i], all);
      }
      assert.equal(released.ok, true, all);
      assert.equal(left, null, all);
    });
    assert.equal(sessions.size, 3, 'one session per adapter');
    assert.ok(service.output().includes(`Origin: ${publicOrigin}`));
  } finally {
    await context.close();
  }
});

// Stores value under channel from a page of origin, readable by domainList.
async function store(origin, channel, value, domainList, allowLoopback) {
  const { context, page } = await openPage(origin, { allowLoopback });
  try {
    return await inPage(page, async (client, a) => {
      const nox = client.createClient({ timeoutMs: 20000 });
      await nox.open({ pathId: client.PATH_IDS.NoxCryptAdapter });
      const set = await nox.setValue(a.channel, a.value, a.domainList, 5);
      await nox.release();
      return set;
    }, { channel, value, domainList });
  } finally {
    await context.close();
  }
}

async function read(origin, channel, allowLoopback) {
  const { context, page } = await openPage(origin, { allowLoopback });
  try {
    return await inPage(page, async (client, ch) => {
      const nox = client.createClient({ timeoutMs: 20000 });
      await nox.open({ pathId: client.PATH_IDS.NoxCryptAdapter });
      const got = await nox.getValue(ch);
      await nox.release();
      return got;
    }, channel);
  } finally {
    await context.close();
  }
}

test('value store between the public page and loopback pages, refused elsewhere', async () => {
  const localhost = `http://localhost:${loopbackServer.port}`;
  const loopbackIp = `http://127.0.0.1:${loopbackServer.port}`;
  const cases = [
    // [writer, its permission, domain list, value, [reader, permission, expected text]...]
    [publicOrigin, true, 'localhost', 'from the bank page; a\\b', [
      [localhost, false, 'from the bank page; a\\b'],
      [loopbackIp, false, ''],
      [publicOrigin, true, ''],
    ]],
    [loopbackIp, false, `*.bank.test`, 'from a loopback page', [
      [publicOrigin, true, 'from a loopback page'],
      [localhost, false, ''],
    ]],
  ];
  for (const [i, [writer, writerAllowed, domains, value, readers]] of cases.entries()) {
    const channel = `public-${process.pid}-${i}`;
    const set = await store(writer, channel, value, domains, writerAllowed);
    assert.equal(set.result, '0', `${writer} stores: ${JSON.stringify(set)}`);
    for (const [reader, allowed, want] of readers) {
      const got = await read(reader, channel, allowed);
      assert.equal(got.ok, true, `${reader} reads ${channel}: ${JSON.stringify(got)}`);
      assert.equal(got.result, want, `${reader} reads what ${writer} left for "${domains}"`);
    }
  }
});
