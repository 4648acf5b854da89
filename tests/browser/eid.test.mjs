// The demo's smart-card panel in headless Chromium against the real service, with a private
// PC/SC daemon, the virtual reader and the card emulator (tests/adapters/support/
// pcsc-sandbox.sh, in fresh mount and network namespaces: directly as root, inside a user
// namespace otherwise). The panel shows the reader, waits for the card on the main thread
// with heartbeats while the card goes in, then shows its ATR.

import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import readline from 'node:readline';

import { REPO, launchChromium, makeTrustingHome, serveDemo, startService, tempDir } from './support/harness.mjs';

const SANDBOX = path.join(REPO, 'tests/adapters/support/pcsc-sandbox.sh');
const READER = 'Virtual PCD 00 00';
const ATR = '3b951381018073ff01000b';

// The sandbox: its output lines in order, and one command at a time.
function startSandbox() {
  const dir = tempDir('nox-pcsc-');
  fs.mkdirSync(path.join(dir, 'run'));
  const args = process.getuid() === 0 ? ['--mount', '--net'] : ['--map-root-user', '--mount', '--net'];
  const child = spawn('unshare', [...args, '--', '/bin/bash', SANDBOX, dir], { stdio: ['pipe', 'pipe', 'pipe'] });
  let stderr = '';
  child.stderr.on('data', (d) => { stderr += d; });
  const lines = [];
  let waiting = null;
  readline.createInterface({ input: child.stdout }).on('line', (line) => {
    lines.push(line);
    waiting?.();
  });
  let exited = false;
  child.once('exit', () => { exited = true; waiting?.(); });

  async function nextLine(ms) {
    const deadline = Date.now() + ms;
    while (lines.length === 0) {
      if (exited) throw new Error(`the sandbox ended (namespaces need root or user namespaces): ${stderr}`);
      const left = deadline - Date.now();
      if (left <= 0) throw new Error(`no answer from the sandbox: ${stderr}`);
      let timer;
      await new Promise((resolve) => {
        waiting = resolve;
        timer = setTimeout(resolve, left);
      });
      clearTimeout(timer);  // a pending timer would keep the test process alive
      waiting = null;
    }
    return lines.shift();
  }

  return {
    dir,
    socket: path.join(dir, 'run/pcscd/pcscd.comm'),
    nextLine,
    async command(what, reply) {
      child.stdin.write(`${what}\n`);
      const got = await nextLine(60000);
      assert.equal(got, reply, `sandbox ${what}`);
    },
    async stop() {
      child.stdin.end();  // end of input stops the emulator and the daemon
      const deadline = Date.now() + 20000;
      while (!exited && Date.now() < deadline) await new Promise((r) => setTimeout(r, 50));
      if (!exited) child.kill('SIGKILL');
      fs.rmSync(dir, { recursive: true, force: true });
    },
  };
}

let sandbox;
let service;
let server;
let browser;
let home;

before(async () => {
  sandbox = startSandbox();
  assert.match(await sandbox.nextLine(30000), /^started \d+$/);
  assert.equal(await sandbox.nextLine(90000), 'ready', `pcscd log: ${fs.readFileSync(path.join(sandbox.dir, 'pcscd.log'), 'utf8')}`);
  // The service (and so the adapter) reaches the sandbox's daemon through this variable.
  process.env.PCSCLITE_CSOCK_NAME = sandbox.socket;
  home = makeTrustingHome();
  service = await startService();
  server = await serveDemo();
  browser = await launchChromium(home);
});

after(async () => {
  await browser?.close();
  await server?.close();
  const status = await service?.stop();
  await sandbox?.stop();
  if (home) fs.rmSync(home, { recursive: true, force: true });
  assert.deepEqual(status, { code: 0, signal: null }, 'the service exits cleanly');
});

test('the e-ID panel shows the reader, waits for the card with heartbeats, then shows its ATR', async () => {
  const context = await browser.newContext();
  const page = await context.newPage();
  try {
    await page.goto(`http://localhost:${server.port}/demo/index.html`);

    await page.click('#eid-readers');
    const reader = page.locator('#eid-reader-list li', { hasText: READER });
    await reader.waitFor({ timeout: 30000 });
    assert.equal(await reader.textContent(), `${READER} — no card (empty)`);

    await page.fill('#eid-timeout', '90');
    await page.click('#eid-wait');
    // The card goes in only once the page has seen the service's first heartbeat.
    await page.locator('#eid-heartbeats li').first().waitFor({ timeout: 60000 });
    await sandbox.command('insert', 'inserted');

    await page.locator('#eid-atr').waitFor({ timeout: 90000 });
    const shown = await page.locator('#eid-out').textContent();
    assert.equal(await page.locator('#eid-atr').textContent(), ATR, shown);
    assert.equal(await page.locator('#eid-reader-name').textContent(), READER);
    assert.equal(await page.locator('#eid-present').textContent(), 'present');
    assert.equal(await page.locator('#eid-protocol').textContent(), 'T=1');
    assert.match(await page.locator('#eid-heartbeats li').first().textContent(), /^heartbeat 1 after \d+\.\d s$/);
    assert.ok(shown.endsWith('Card present.'), shown);
  } finally {
    await context.close();
  }
});
