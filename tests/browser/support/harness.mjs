// Shared pieces of the browser tests: the real service as a child process, a temporary
// HOME whose NSS database trusts our CAs, a throwaway CA with a certificate for a
// "public" host name, the demo's static server, Debian's Chromium driven by
// playwright-core and Debian's Firefox ESR driven by puppeteer-core (WebDriver BiDi).
// Everything started here is stopped by its own handle or pid.
//
// Environment (set by run.sh): NOX_SERVICE_EXE, NOX_BIN_DIR, XDG_DATA_HOME (the service's
// credentials); optional NOX_CHROMIUM, NOX_FIREFOX.

import { spawn, execFileSync } from 'node:child_process';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { before, after } from 'node:test';

export const REPO = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../../..');
export const SERVICE_PORTS = [54469, 54569, 54669];
export const WORK_DIR = '/tmp/NoxHalvorant';
export const PUBLIC_HOST = 'www.bank.test';
const CHROMIUM = process.env.NOX_CHROMIUM || '/usr/bin/chromium';
const FIREFOX = process.env.NOX_FIREFOX || '/usr/bin/firefox-esr';

const { startServer } = await import(path.join(REPO, 'demo/serve.mjs'));

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

function required(name) {
  const value = process.env[name];
  if (!value) throw new Error(`${name} is not set; run the browser tests through tests/browser/run.sh`);
  return value;
}

export function tempDir(prefix) {
  return fs.mkdtempSync(path.join(os.tmpdir(), prefix));
}

// True when something accepts connections on 127.0.0.1:port.
function listening(port) {
  return new Promise((resolve) => {
    const socket = net.connect({ host: '127.0.0.1', port });
    socket.setTimeout(2000);
    socket.once('connect', () => { socket.destroy(); resolve(true); });
    socket.once('timeout', () => { socket.destroy(); resolve(false); });
    socket.once('error', () => resolve(false));
  });
}

// Empties /tmp/NoxHalvorant but keeps it: removing it would pull it from under any other
// user of the directory. The caller holds the service lock.
function emptyWorkDir() {
  let names = [];
  try {
    names = fs.readdirSync(WORK_DIR);
  } catch {
    return;
  }
  for (const name of names) fs.rmSync(path.join(WORK_DIR, name), { recursive: true, force: true });
}

// Starts the built service (or exe) and waits for its start-up verdict. The caller holds the
// service lock (run.sh), so a listener on our ports is somebody else's service.
// squatted: ports a test's own stand-in holds on purpose (not checked, not expected to serve).
export async function startService({ exe = required('NOX_SERVICE_EXE'), timeoutMs = 60000, squatted = [] } = {}) {
  const ports = SERVICE_PORTS.filter((p) => !squatted.includes(p));
  for (const port of ports) {
    if (await listening(port)) throw new Error(`port ${port} is already taken; stop the other NoxHalvorant first`);
  }
  const dir = tempDir('nox-browser-service-');
  const logFile = path.join(dir, 'service.log');
  emptyWorkDir();
  const out = fs.openSync(logFile, 'w');
  // setpriv execs the service with a parent-death signal: if this test process is
  // killed (a ctest time-out), the service stops too instead of holding the ports.
  const child = spawn('setpriv', ['--pdeathsig', 'TERM', '--', exe], { stdio: ['ignore', out, out] });
  fs.closeSync(out);
  let exited = null;
  child.once('exit', (code, signal) => { exited = { code, signal }; });

  const output = () => fs.readFileSync(logFile, 'utf8').replace(/\x1b\[[0-9;]*m/g, '');
  const service = {
    pid: child.pid,
    output,
    async stop() {
      if (exited === null) {
        child.kill('SIGTERM');
        const deadline = Date.now() + 30000;
        while (exited === null && Date.now() < deadline) await sleep(50);
        if (exited === null) {
          child.kill('SIGKILL');
          while (exited === null) await sleep(50);
        }
      }
      emptyWorkDir();
      const status = exited;
      fs.rmSync(dir, { recursive: true, force: true });
      return status;
    },
  };

  const deadline = Date.now() + timeoutMs;
  for (;;) {
    const text = output();
    if (text.includes('NoxHalvorant initialization: Success')) break;
    if (text.includes('NoxHalvorant initialization: Fail') || exited !== null || Date.now() > deadline) {
      await service.stop().catch(() => {});
      throw new Error(`the service did not start:\n${text}`);
    }
    await sleep(25);
  }
  // Its own launch lines, not a probe: a bare connection would log a TLS error.
  const text = output();
  for (const port of ports) {
    if (!text.includes(`NoxHalvorant at 127.0.0.1:${port} launch state: Success`)) {
      await service.stop();
      throw new Error(`the service does not listen on 127.0.0.1:${port}:\n${text}`);
    }
  }
  return service;
}

// The scripted pinentry run.sh hands the service: set(script) gives the next dialogs their
// answers and starts a fresh record, shown() is that record, reset() puts back run.sh's
// answers (allow, PIN 1234).
export function scriptedDialog() {
  const dir = required('NOX_TEST_PINENTRY_DIR');
  return {
    set(script) {
      fs.writeFileSync(path.join(dir, 'script'), script);
      fs.rmSync(path.join(dir, 'log'), { force: true });
    },
    shown: () => fs.readFileSync(path.join(dir, 'log'), 'utf8'),
    reset: () => fs.writeFileSync(path.join(dir, 'script'), 'confirm=ok\npin=1234\n'),
  };
}

// A test file's Chromium set-up: a trusting HOME, the service, the demo's server and
// Chromium (with extraArgs) before its tests; all stopped afterwards, the service checked
// to exit cleanly and, with dialog (a scriptedDialog()), its answers put back. The fields
// of the returned object are set once the tests run.
export function chromiumSuite({ extraArgs = [], dialog = null } = {}) {
  const suite = { service: null, server: null, browser: null, home: null };
  before(async () => {
    suite.home = makeTrustingHome();
    suite.service = await startService();
    suite.server = await serveDemo();
    suite.browser = await launchChromium(suite.home, extraArgs);
  });
  after(async () => {
    await suite.browser?.close();
    await suite.server?.close();
    const status = await suite.service?.stop();
    if (suite.home) fs.rmSync(suite.home, { recursive: true, force: true });
    dialog?.reset();
    assert.deepEqual(status, { code: 0, signal: null }, 'the service exits cleanly');
  });
  return suite;
}

// certtool with a template file; throws with certtool's output on failure.
function certtool(args, template, dir) {
  const file = path.join(dir, `template-${Math.random().toString(16).slice(2)}.cfg`);
  fs.writeFileSync(file, template);
  try {
    execFileSync('certtool', [...args, '--template', file], { stdio: ['ignore', 'ignore', 'pipe'] });
  } finally {
    fs.rmSync(file, { force: true });
  }
}

// A throwaway CA and a server certificate for host, made with certtool in dir.
// → { caFile, certFile, keyFile }.
export function makePublicCertificate(dir, host = PUBLIC_HOST) {
  const caKey = path.join(dir, 'test-ca.key');
  const caFile = path.join(dir, 'test-ca.pem');
  const keyFile = path.join(dir, `${host}.key`);
  const certFile = path.join(dir, `${host}.pem`);
  const gen = (file) => execFileSync('certtool', ['--generate-privkey', '--key-type', 'ecdsa',
    '--curve', 'secp256r1', '--outfile', file], { stdio: ['ignore', 'ignore', 'pipe'] });
  gen(caKey);
  certtool(['--generate-self-signed', '--load-privkey', caKey, '--outfile', caFile],
    'cn = "NoxHalvorant browser test CA"\nca\ncert_signing_key\ncrl_signing_key\nexpiration_days = 2\n', dir);
  gen(keyFile);
  certtool(['--generate-certificate', '--load-privkey', keyFile, '--load-ca-certificate', caFile,
    '--load-ca-privkey', caKey, '--outfile', certFile],
  `cn = "${host}"\ndns_name = "${host}"\ntls_www_server\nsigning_key\nencryption_key\nexpiration_days = 2\n`, dir);
  return { caFile, certFile, keyFile };
}

// The CA that issued the certificate of the service under test, in this run's own data
// home (run.sh): the one place the browser tests learn where it is. When no service has
// made it yet, --trust makes it (in a throwaway HOME: no real browser store is touched).
export function caFile() {
  const file = path.join(required('XDG_DATA_HOME'), 'noxhalvorant', 'NoxHalvorant-CA.pem');
  if (!fs.existsSync(file)) {
    const scratch = tempDir('nox-browser-scratch-home-');
    try {
      execFileSync(required('NOX_SERVICE_EXE'), ['--trust'], { env: { ...process.env, HOME: scratch },
        stdio: ['ignore', 'ignore', 'pipe'] });
    } finally {
      fs.rmSync(scratch, { recursive: true, force: true });
    }
  }
  return file;
}

// A HOME whose $HOME/.pki/nssdb trusts the service's CA (through NoxHalvorant --trust, as a
// user would; it makes the CA when there is none yet) and the extra CA files given.
// Chromium reads only that database.
export function makeTrustingHome(extraCaFiles = []) {
  const home = tempDir('nox-browser-home-');
  const env = { ...process.env, HOME: home };
  try {
    execFileSync(required('NOX_SERVICE_EXE'), ['--trust'], { env, stdio: ['ignore', 'ignore', 'pipe'] });
    const db = `sql:${path.join(home, '.pki/nssdb')}`;
    extraCaFiles.forEach((file, i) => {
      execFileSync('certutil', ['-A', '-d', db, '-n', `NoxBrowserTest-CA-${i}`, '-t', 'C,,', '-i', file],
        { env, stdio: ['ignore', 'ignore', 'pipe'] });
    });
  } catch (e) {
    fs.rmSync(home, { recursive: true, force: true });
    throw e;
  }
  return home;
}

// The command prefix that runs a program as a second local user, as tests/support/OtherUser.h
// does: setpriv to uid 65534 as root, otherwise a user namespace whose uid 1 is the first
// subordinate uid. Throws when neither works: such a test never skips silently.
export function otherUserPrefix() {
  if (process.getuid() === 0) return ['setpriv', '--reuid=65534', '--regid=65534', '--clear-groups', '--'];
  const prefix = ['unshare', '--map-auto', '--map-root-user', '--', 'setpriv', '--reuid=1', '--regid=1',
    '--clear-groups', '--'];
  try {
    execFileSync(prefix[0], [...prefix.slice(1), '/bin/true'], { stdio: 'ignore' });
  } catch {
    throw new Error('no second user: not root (setpriv) and no user namespace with subordinate uids ' +
      '(unshare --map-auto needs the uidmap package and an /etc/subuid entry)');
  }
  return prefix;
}

// The demo's static server on 127.0.0.1 and ::1 (free port), optionally over HTTPS.
export function serveDemo(tls = {}) {
  return startServer({ port: 0, ...tls });
}

// Headless Chromium with the given HOME (for its NSS database) and extra flags.
export async function launchChromium(home, extraArgs = []) {
  if (!fs.existsSync(CHROMIUM)) throw new Error(`${CHROMIUM} is missing; run scripts/setup.sh`);
  const { chromium } = await import('playwright-core');
  return chromium.launch({
    executablePath: CHROMIUM,
    headless: true,
    chromiumSandbox: false,
    // Without the background flags Chromium keeps dialing out and gets refused.
    args: ['--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync', ...extraArgs],
    env: { ...process.env, HOME: home },
    timeout: 60000,
  });
}

// Runs fn(clientModule, arg) inside the page (a Playwright or Puppeteer page), with the
// client the page would import.
export function inPage(page, fn, arg) {
  return page.evaluate(async ({ source, arg: a }) => {
    const client = await import('/clients/js/noxhalvorant.js');
    return (0, eval)(`(${source})`)(client, a);  // eslint-disable-line no-eval
  }, { source: fn.toString(), arg });
}

// Flags that make Chromium resolve host to 127.0.0.1 and count 127.0.0.1:port as a
// public address, so a page there is a public page asking for loopback.
export function publicPageArgs(port, host = PUBLIC_HOST) {
  return [`--host-resolver-rules=MAP ${host} 127.0.0.1`, `--ip-address-space-overrides=127.0.0.1:${port}=public`];
}

// A private Firefox profile whose certificate store (made with certutil, as Firefox has
// not started in it yet) trusts the service's CA and the extra CA files given.
export function makeFirefoxProfile(extraCaFiles = []) {
  const profile = tempDir('nox-browser-firefox-');
  const db = `sql:${profile}`;
  try {
    execFileSync('certutil', ['-N', '-d', db, '--empty-password'], { stdio: ['ignore', 'ignore', 'pipe'] });
    [caFile(), ...extraCaFiles].forEach((file, i) => {
      execFileSync('certutil', ['-A', '-d', db, '-n', `NoxBrowserTest-CA-${i}`, '-t', 'C,,', '-i', file],
        { stdio: ['ignore', 'ignore', 'pipe'] });
    });
  } catch (e) {
    fs.rmSync(profile, { recursive: true, force: true });
    throw e;
  }
  return profile;
}

// Headless Firefox ESR on profile, over WebDriver BiDi, with extra preferences; HOME is
// a throwaway directory so nothing lands in the real one.
export async function launchFirefox(profile, prefs = {}) {
  if (!fs.existsSync(FIREFOX)) throw new Error(`${FIREFOX} is missing; run scripts/setup.sh test (package firefox-esr)`);
  const { default: puppeteer } = await import('puppeteer-core');
  const home = tempDir('nox-browser-firefox-home-');
  try {
    const browser = await puppeteer.launch({
      browser: 'firefox',
      executablePath: FIREFOX,
      headless: true,
      userDataDir: profile,
      env: { ...process.env, HOME: home, MOZ_CRASHREPORTER_DISABLE: '1' },
      extraPrefsFirefox: prefs,
      timeout: 90000,
    });
    browser.once('disconnected', () => fs.rmSync(home, { recursive: true, force: true }));
    return browser;
  } catch (e) {
    fs.rmSync(home, { recursive: true, force: true });
    throw e;
  }
}
