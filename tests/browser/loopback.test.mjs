// The demo pages on loopback origins (http://127.0.0.1:N and http://localhost:N) in
// headless Chromium, against the real service and the shipped adapters. The pages are
// driven through their own buttons, as a person would.

import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';

import { launchChromium, makeTrustingHome, serveDemo, startService } from './support/harness.mjs';

let service;
let server;
let browser;
let home;

before(async () => {
  home = makeTrustingHome();
  service = await startService();
  server = await serveDemo();
  browser = await launchChromium(home);
});

after(async () => {
  await browser?.close();
  await server?.close();
  const status = await service?.stop();
  if (home) fs.rmSync(home, { recursive: true, force: true });
  assert.deepEqual(status, { code: 0, signal: null }, 'the service exits cleanly');
});

const pageUrl = (host, file) => `http://${host}:${server.port}/demo/${file}`;

async function openPage(host, file) {
  const context = await browser.newContext();
  const page = await context.newPage();
  await page.goto(pageUrl(host, file));
  return { context, page };
}

test('self-test finds the service from a loopback page', async () => {
  const { context, page } = await openPage('localhost', 'index.html');
  try {
    await page.click('#run-selftest');
    await page.locator('#selftest-out .ok, #selftest-out .bad').first().waitFor({ timeout: 30000 });
    assert.equal(await page.locator('#selftest-out .ok').textContent(),
      'NoxHalvorant detected at https://127.0.0.1:54469/', await page.locator('#selftest-out').textContent());
  } finally {
    await context.close();
  }
});

test('each adapter: open a session, call one function, release', async () => {
  const { context, page } = await openPage('localhost', 'index.html');
  try {
    await page.click('#run-adapters');
    // The button is enabled again once all three rows are done.
    await page.locator('#run-adapters:enabled').waitFor({ timeout: 60000 });
    const rows = await page.locator('#adapter-rows tr').evaluateAll((trs) => trs.map((tr) =>
      [...tr.cells].map((td) => ({ text: td.textContent, kind: td.className }))));
    const expected = [
      ['NoxCryptAdapter',
        'Digest: result "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD"'],
      ['NoxPkiCryptAdapter', 'ListCertificates: result "{\\"certificates\\":[{\\"id\\":\\"0e\\",\\"token\\":\\"Nox Test Token'],
      ['NoxIdAdapter', 'GetCardStatus: result "no card present"'],
    ];
    assert.equal(rows.length, expected.length, JSON.stringify(rows));
    rows.forEach(([name, opened, called, released], i) => {
      const [wantName, wantCall] = expected[i];
      const row = JSON.stringify(rows[i]);
      assert.equal(name.text, wantName);
      assert.equal(opened.kind, 'ok', row);
      assert.match(opened.text, /^result "0" \| ServerVersion 1\.0\.23\.0510 \| LibVersion \d/, row);
      assert.equal(called.kind, 'ok', row);
      assert.ok(called.text.startsWith(wantCall), row);
      assert.equal(released.text, 'released', row);
    });
  } finally {
    await context.close();
  }
});

test('value store: written on 127.0.0.1, read on localhost, refused on 127.0.0.1', async () => {
  const channel = `browser-${process.pid}`;
  const value = 'Grüße über <b>Origins</b> & "quotes"';
  const writer = await openPage('127.0.0.1', 'index.html');
  let readerHref;
  try {
    const { page } = writer;
    await page.fill('#channel', channel);
    await page.fill('#value', value);
    // The demo proposes the other loopback name as the only reader.
    assert.equal(await page.inputValue('#domains'), 'localhost');
    await page.click('#store');
    await page.locator('#store:enabled').waitFor({ timeout: 30000 });
    const lines = await page.locator('#values-out div').allTextContents();
    assert.equal(lines[0], 'setValue: result "0"', lines.join('\n'));
    readerHref = await page.getAttribute('#reader-link', 'href');
  } finally {
    await writer.context.close();
  }
  assert.equal(readerHref, `${pageUrl('localhost', 'reader.html')}?channel=${channel}`);

  async function read(host) {
    const { context, page } = await openPage(host, `reader.html?channel=${channel}`);
    try {
      await page.click('#read');
      await page.locator('#read:enabled').waitFor({ timeout: 30000 });
      await page.locator('#out .ok, #out .bad, #out .hint').first().waitFor({ timeout: 5000 });
      return await page.locator('#out').evaluate((box) => [...box.children].map((d) => `${d.className}|${d.textContent}`));
    } finally {
      await context.close();
    }
  }
  assert.deepEqual(await read('localhost'), [
    `|This page's origin: http://localhost:${server.port}`, `ok|Value: ${value}`]);
  assert.deepEqual(await read('127.0.0.1'), [
    `|This page's origin: http://127.0.0.1:${server.port}`,
    'hint|Empty answer: unknown channel, origin not allowed, or expired.']);
});

test('a main-thread Sleep call answers with heartbeats, then its result', async () => {
  const { context, page } = await openPage('127.0.0.1', 'index.html');
  try {
    const started = Date.now();
    await page.click('#run-sleep');
    await page.locator('#run-sleep:enabled').waitFor({ timeout: 90000 });
    const elapsed = Date.now() - started;
    const out = await page.locator('#sleep-out div').allTextContents();
    const beats = await page.locator('#heartbeats li').allTextContents();
    assert.equal(out.at(-1), 'Sleep: result "slept 10"', out.join('\n'));
    // The service holds each request for about 7 s before it answers "heartbeat".
    assert.ok(beats.length >= 1 && beats.length <= 2, beats.join('\n'));
    assert.match(beats[0], /^heartbeat 1 after [6-9]\.\d s$/);
    assert.ok(elapsed >= 10000 && elapsed < 30000, `took ${elapsed} ms`);
    assert.ok(service.output().includes('No result from component yet send heartbeat'));
  } finally {
    await context.close();
  }
});
