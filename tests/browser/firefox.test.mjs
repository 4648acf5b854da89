// The demo pages and the page client in Debian's Firefox ESR (headless, driven over
// WebDriver BiDi by puppeteer-core) against the real service: the self-test, an Echo and
// a value-store round trip between loopback origins, and a page that Firefox's Local
// Network Access test settings (network.lna.*) count as public, refused and allowed.

import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';

import {
  PUBLIC_HOST, inPage, launchFirefox, makeFirefoxProfile, makePublicCertificate, serveDemo,
  startService, tempDir,
} from './support/harness.mjs';

let service;
let loopbackServer;
let publicServer;
let browser;
let profile;
let certDir;
let publicOrigin;

before(async () => {
  certDir = tempDir('nox-browser-certs-');
  const pub = makePublicCertificate(certDir);
  profile = makeFirefoxProfile([pub.caFile]);
  service = await startService();
  loopbackServer = await serveDemo();
  publicServer = await serveDemo({ cert: pub.certFile, key: pub.keyFile });
  publicOrigin = `https://${PUBLIC_HOST}:${publicServer.port}`;
  const port = publicServer.port;
  browser = await launchFirefox(profile, {
    'network.lna.enabled': true,
    'network.lna.blocking': true,
    // The public page's server (on loopback, like everything here) counts as public.
    'network.lna.address_space.public.override': `127.0.0.1:${port},[::1]:${port}`,
    'network.dns.localDomains': PUBLIC_HOST,
  });
});

after(async () => {
  await browser?.close();
  await loopbackServer?.close();
  await publicServer?.close();
  const status = await service?.stop();
  for (const dir of [profile, certDir]) if (dir) fs.rmSync(dir, { recursive: true, force: true });
  assert.deepEqual(status, { code: 0, signal: null }, 'the service exits cleanly');
});

// A page of url in a fresh browsing context (its own permissions), after setting the
// given loopback-network permission state for url's origin.
async function openPage(url, loopbackNetwork) {
  const context = await browser.createBrowserContext();
  if (loopbackNetwork) {
    await context.setPermission(new URL(url).origin, { permission: { name: 'loopback-network' }, state: loopbackNetwork });
  }
  const page = await context.newPage();
  await page.goto(url);
  return { context, page };
}

// The demo self-test's lines once it has a verdict, as "class|text".
async function selfTestLines(page) {
  await page.waitForSelector('#selftest-out .ok, #selftest-out .bad', { timeout: 30000 });
  await page.waitForSelector('#run-selftest:enabled', { timeout: 30000 });
  return page.$eval('#selftest-out', (box) => [...box.querySelectorAll('div')].map((d) => `${d.className}|${d.textContent}`));
}

test('loopback pages: the self-test finds the service, Echo answers, a value crosses origins', async () => {
  const channel = `firefox-${process.pid}`;
  const value = 'Grüße über "Origins" \\ und zurück';
  const writer = await openPage(`http://127.0.0.1:${loopbackServer.port}/demo/index.html`);
  try {
    const lines = await selfTestLines(writer.page);
    assert.ok(lines.includes('ok|NoxHalvorant 1.0.23.0510 detected at https://127.0.0.1:54469/'), lines.join('\n'));

    const got = await inPage(writer.page, async (client, a) => {
      const nox = client.createClient({ timeoutMs: 20000 });
      await nox.open({ pathId: client.PATH_IDS.NoxCryptAdapter });
      const echo = await nox.echo();
      const stored = await nox.setValue(a.channel, a.value, 'localhost', 5);
      const own = await nox.getValue(a.channel);  // 127.0.0.1 is not on the list
      await nox.release();
      return { echo: echo.values, stored: stored.result, own: own.result };
    }, { channel, value });
    assert.equal(got.echo.result, '0', JSON.stringify(got));
    assert.equal(got.echo.ServerVersion, '1.0.23.0510');
    assert.match(got.echo.LibVersion, /^\d+(\.\d+){3}$/);
    assert.equal(got.stored, '0');
    assert.equal(got.own, '');
  } finally {
    await writer.context.close();
  }

  const reader = await openPage(`http://localhost:${loopbackServer.port}/demo/reader.html`);
  try {
    const read = await inPage(reader.page, async (client, ch) => {
      const nox = client.createClient({ timeoutMs: 20000 });
      await nox.open({ pathId: client.PATH_IDS.NoxCryptAdapter });
      const r = await nox.getValue(ch);
      await nox.release();
      return r.result;
    }, channel);
    assert.equal(read, value);
  } finally {
    await reader.context.close();
  }
});

test('a public page: refused Local Network Access is named, nothing reaches the service; allowed, it works', async () => {
  const demo = `${publicOrigin}/demo/index.html`;
  // Denied: Firefox fails the request at once, and the self-test names the permission.
  const denied = await openPage(demo, 'denied');
  try {
    const lines = await selfTestLines(denied.page);
    const bad = lines.find((l) => l.startsWith('bad|')) ?? '';
    assert.match(bad, /^bad\|LOCAL_NETWORK_DENIED: /, lines.join('\n'));
    assert.ok(lines.some((l) => l.startsWith('hint|') && l.includes('Firefox')), lines.join('\n'));
  } finally {
    await denied.context.close();
  }
  // Not decided: Firefox holds the request for its question; the client names that too.
  const asked = await openPage(`${publicOrigin}/demo/reader.html`);
  try {
    const rec = await inPage(asked.page, async (client) => {
      const { detected, cause } = await client.createClient({ timeoutMs: 3000 }).detect();
      return { detected, cause };
    });
    assert.deepEqual(rec, { detected: false, cause: 'LOCAL_NETWORK_PROMPT' });
  } finally {
    await asked.context.close();
  }
  assert.ok(!service.output().includes(`Origin: ${publicOrigin}`), 'the service saw no request of the public page');

  const allowed = await openPage(demo, 'granted');
  try {
    const lines = await selfTestLines(allowed.page);
    assert.ok(lines.includes('ok|NoxHalvorant 1.0.23.0510 detected at https://127.0.0.1:54469/'), lines.join('\n'));
  } finally {
    await allowed.context.close();
  }
  assert.ok(service.output().includes(`Origin: ${publicOrigin}`), 'the allowed page reached the service');
});
