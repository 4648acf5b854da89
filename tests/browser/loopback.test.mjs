// The demo pages on loopback origins (http://127.0.0.1:N and http://localhost:N) in
// headless Chromium, against the real service and the shipped adapters. The pages are
// driven through their own buttons, as a person would.

import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';

import { execFileSync } from 'node:child_process';
import { fileURLToPath } from 'node:url';

import { launchChromium, makeTrustingHome, serveDemo, startService, tempDir } from './support/harness.mjs';

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

// Screenshots of the demo's states, for the docs and for a person looking at a failure.
const shots = process.env.NOX_SCREENSHOT_DIR ?? path.join(process.cwd(), 'demo-screenshots');
fs.mkdirSync(shots, { recursive: true });
const screenshot = (page, name) => page.screenshot({ path: path.join(shots, `${name}.png`), fullPage: true });

test('self-test runs on load and finds the service from a loopback page', async () => {
  const { context, page } = await openPage('localhost', 'index.html');
  try {
    await page.locator('#selftest-out .ok, #selftest-out .bad').first().waitFor({ timeout: 30000 });
    assert.equal(await page.locator('#selftest-out .ok').textContent(),
      'NoxHalvorant 1.0.23.0510 detected at https://127.0.0.1:54469/', await page.locator('#selftest-out').textContent());
    await screenshot(page, '1-self-test');
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
        'Digest: result "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD"', 'ok'],
      // A JSON answer reads as its members, not as escaped JSON.
      ['NoxPkiCryptAdapter', 'ListCertificates: result certificates: 2 (O=Nox Tests,CN=Nox Test RSA; ', 'ok'],
      // run.sh gives the e-ID adapter no PC/SC daemon: its error shows as a failed call.
      ['NoxIdAdapter', 'GetCardStatus: NO_SERVICE: ', 'bad'],
    ];
    assert.equal(rows.length, expected.length, JSON.stringify(rows));
    rows.forEach(([name, opened, called, released], i) => {
      const [wantName, wantCall, wantKind] = expected[i];
      const row = JSON.stringify(rows[i]);
      assert.equal(name.text, wantName);
      assert.equal(opened.kind, 'ok', row);
      assert.match(opened.text, /^result "0" \| ServerVersion 1\.0\.23\.0510 \| LibVersion \d/, row);
      assert.equal(called.kind, wantKind, row);
      assert.ok(called.text.startsWith(wantCall), row);
      assert.equal(released.text, 'released', row);
    });
    // The page says what the desktop lacks.
    assert.match(rows[2][2].text, /Missing: the smart-card service\. .*sudo apt install pcscd/, JSON.stringify(rows[2]));
    // No cell makes the table wider than the page.
    const overflow = await page.evaluate(() => document.documentElement.scrollWidth - document.documentElement.clientWidth);
    assert.ok(overflow <= 0, `the page scrolls sideways by ${overflow} px`);
    await screenshot(page, '2-adapters');
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
    assert.match(await page.locator('#sleep-elapsed').textContent(), /^took \d+\.\d s$/);
    await screenshot(page, '4-main-thread-call');
  } finally {
    await context.close();
  }
});

test('Cancel stops a running main-thread call at once; its late result never reaches the next call', async () => {
  const { context, page } = await openPage('127.0.0.1', 'index.html');
  try {
    await page.click('#run-sleep');
    await page.locator('#cancel-sleep:enabled').waitFor({ timeout: 30000 });
    await page.locator('#sleep-elapsed').filter({ hasText: /running for [1-9]/ }).waitFor({ timeout: 30000 });
    await screenshot(page, '3-main-thread-running');
    const cancelled = Date.now();
    await page.click('#cancel-sleep');
    await page.locator('#run-sleep:enabled').waitFor({ timeout: 5000 });
    assert.ok(Date.now() - cancelled < 5000, 'the call ended at once');
    const out = await page.locator('#sleep-out div').allTextContents();
    assert.equal(out.at(-1), 'Sleep: ABORTED: The call was cancelled.', out.join('\n'));
    // The next call of the page gets its own answer, not "slept 10".
    const next = await page.evaluate(async () => {
      const client = await import('/clients/js/noxhalvorant.js');
      const nox = client.createClient({ timeoutMs: 60000 });
      await nox.open({ pathId: client.PATH_IDS.NoxCryptAdapter });
      const r = await nox.call('Digest', { Algorithm: 'SHA1', Data: 'abc' }, { mainThread: true });
      await nox.release();
      return r.result;
    });
    assert.equal(next, 'A9993E364706816ABA3E25717850C26C9CD0D89D');
  } finally {
    await context.close();
  }
});

test('the npm pack output, served to a page, imports and reaches the service', async () => {
  const repo = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
  const root = tempDir('nox-packed-');
  let packed;
  try {
    const [info] = JSON.parse(execFileSync('npm', ['pack', '--json', '--pack-destination', root],
      { cwd: path.join(repo, 'clients/js'), encoding: 'utf8' }));
    fs.mkdirSync(path.join(root, 'clients/js'), { recursive: true });
    fs.mkdirSync(path.join(root, 'demo'));
    execFileSync('tar', ['-xzf', path.join(root, info.filename), '-C', path.join(root, 'clients/js'), '--strip-components=1']);
    fs.writeFileSync(path.join(root, 'demo/index.html'), '<!doctype html><title>packed</title>');
    packed = await serveDemo({ root });
    const context = await browser.newContext();
    try {
      const page = await context.newPage();
      await page.goto(`http://localhost:${packed.port}/demo/index.html`);
      const got = await page.evaluate(async () => {
        const client = await import('/clients/js/noxhalvorant.js');
        const nox = client.createClient({ timeoutMs: 20000 });
        const found = await nox.detect();
        await nox.open({ pathId: client.PATH_IDS.NoxCryptAdapter });
        let error = null;
        try {
          await nox.call('NoSuchFunction', {});
        } catch (e) {
          error = { isNoxError: e instanceof client.NoxError, code: e.code };
        }
        await nox.release();
        return { version: found.version, error };
      });
      assert.equal(got.version, '1.0.23.0510');
      assert.equal(got.error?.isNoxError, true, JSON.stringify(got));
      assert.match(got.error.code, /^[A-Z_]+$/, JSON.stringify(got));
    } finally {
      await context.close();
    }
  } finally {
    await packed?.close();
    fs.rmSync(root, { recursive: true, force: true });
  }
});

// The examples of the README and the page authors' guide, run as they are written.
function codeBlock(file, heading, lang) {
  const text = fs.readFileSync(file, 'utf8');
  const at = text.indexOf(heading);
  assert.ok(at >= 0, `${heading} not found in ${file}`);
  const m = new RegExp('```' + lang + '\\n([\\s\\S]*?)```').exec(text.slice(at));
  assert.ok(m, `no ${lang} block after ${heading}`);
  return m[1];
}

test('the docs\' examples run: README health check, page authors\' client example', async () => {
  const repo = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
  // As written: the CA is found in XDG_DATA_HOME, which run.sh set to this run's own.
  const health = codeBlock(path.join(repo, 'README.md'), '## Health check', 'sh');
  const printed = execFileSync('bash', ['-c', health], { encoding: 'utf8' });
  assert.match(printed, /^\{'LibVersion': '1\.0\.0\.1', 'result': '0', 'ServerVersion': '1\.0\.23\.0510', 'SessionID': '[0-9A-Za-z_-]+'\}\n$/, printed);

  const example = codeBlock(path.join(repo, 'docs/page-authors.md'), '## The JavaScript client', 'js')
    .replace(/^import \{([^}]*)\} from '\.\/noxhalvorant\.js';$/m, 'const {$1} = await import(\'/clients/js/noxhalvorant.js\');');
  assert.ok(!example.includes('import {'), example);
  const { context, page } = await openPage('127.0.0.1', 'index.html');
  try {
    const outcome = await page.evaluate(async (code) => {
      const sharedSecretOf32BytesOrMore = 'A1b2C3d4E5f6G7h8I9j0K1l2M3n4O5p6-extra';
      const logged = [];
      const console = { log: (...a) => logged.push(a.join(' ')) };
      try {
        await (0, eval)(`(async (sharedSecretOf32BytesOrMore, console) => {\n${code}\n})`)(sharedSecretOf32BytesOrMore, console);
        return { ok: true, logged };
      } catch (e) {
        return { ok: false, error: `${e.code ?? ''} ${e.message}`, logged };
      }
    }, example);
    assert.equal(outcome.ok, true, JSON.stringify(outcome));
    assert.ok(outcome.logged.some((l) => l.startsWith('1.0.23.0510 1.0.0.1')), JSON.stringify(outcome));
  } finally {
    await context.close();
  }
});
