// Demo page for the NoxHalvorant client. Adjust CONFIG to the adapters installed.

import { createClient, PATH_IDS } from '../clients/js/noxhalvorant.js';
import { formBody } from '../clients/js/codec.js';

const CONFIG = {
  // Passed to createClient: host ("127.0.0.1" or "localhost"), ports, timeoutMs.
  client: { host: '127.0.0.1', ports: [54469, 54569, 54669] },
  minServerVersion: '1.0.0.0',
  // One function per adapter, with its parameters. "Echo" instead asks the service for
  // the versions only.
  adapters: [
    {
      name: 'NoxCryptAdapter', pathId: PATH_IDS.NoxCryptAdapter,
      functionName: 'Digest', params: { Algorithm: 'SHA256', Data: 'abc' },
    },
    { name: 'NoxPkiCryptAdapter', pathId: PATH_IDS.NoxPkiCryptAdapter, functionName: 'ListCertificates', params: {} },
    { name: 'NoxIdAdapter', pathId: PATH_IDS.NoxIdAdapter, functionName: 'GetCardStatus', params: {} },
  ],
  // The value store needs an open session; any adapter will do.
  valueStoreAdapter: PATH_IDS.NoxCryptAdapter,
  mainThreadCall: {
    pathId: PATH_IDS.NoxCryptAdapter,
    functionName: 'Sleep',
    params: { Seconds: 10 },
    timeoutMs: 120000,
  },
  detectTimeoutMs: 15000,
};

const $ = (id) => document.getElementById(id);

// Appends a line to an output box; text only, never markup from answers.
function say(box, text, kind = '') {
  const p = document.createElement('div');
  if (kind) p.className = kind;
  p.textContent = text;
  box.append(p);
  return p;
}

// A call's outcome as a record: the answer, or the NoxError it rejected with.
async function attempt(promise) {
  try {
    return await promise;
  } catch (e) {
    return { ok: false, error: e.code ?? 'ERROR', message: e.message, result: e.result ?? null, values: e.answer ?? {} };
  }
}

// An adapter's JSON answer as a line a person reads: each member, lists as their count
// and the names of their entries; any other result as the quoted text.
function readable(result) {
  let value = null;
  if (/^\s*[[{]/.test(result)) {
    try {
      value = JSON.parse(result);
    } catch {
      value = null;
    }
  }
  if (value === null || typeof value !== 'object') return JSON.stringify(result);
  const name = (v) => (v !== null && typeof v === 'object'
    ? String(v.subject ?? v.name ?? v.label ?? v.reader ?? v.id ?? '{…}') : String(v));
  const entries = Array.isArray(value) ? [['entries', value]] : Object.entries(value);
  return entries.map(([k, v]) => (Array.isArray(v)
    ? `${k}: ${v.length}${v.length ? ` (${v.map(name).join('; ')})` : ''}`
    : `${k}: ${name(v)}`)).join(', ') || '(empty)';
}

function describe(rec) {
  if (rec.error) return `${rec.error}: ${rec.message}`;
  const parts = [];
  if (rec.result !== null) parts.push(`result ${readable(rec.result)}`);
  if (rec.message && rec.message !== 'Success.') parts.push(rec.message);
  for (const k of ['ServerVersion', 'LibVersion', 'InstallerVersion']) {
    if (rec.values[k] !== undefined) parts.push(`${k} ${rec.values[k]}`);
  }
  return parts.join(' | ') || '(empty answer)';
}

// The other loopback name of this page: another origin served by the same server.
function otherOrigin() {
  const swap = location.hostname === 'localhost' ? '127.0.0.1' : 'localhost';
  return `${location.protocol}//${swap}${location.port ? `:${location.port}` : ''}`;
}

const serviceUrls = () => CONFIG.client.ports.map((p) => `https://${CONFIG.client.host}:${p}/`);

// ---- 1. Self-test ------------------------------------------------------------------------

// Time until a no-cors POST settles: a hint only; refused, untrusted and blocked
// connections all fail alike in a page.
async function probe(url) {
  const started = performance.now();
  try {
    const res = await fetch(url, {
      method: 'POST', mode: 'no-cors', credentials: 'omit',
      headers: { 'Content-Type': 'application/x-www-form-urlencoded' },
      body: formBody({ FunctionName: 'HalvorantRelease' }),
      signal: AbortSignal.timeout(10000),
    });
    return { reached: true, type: res.type, ms: performance.now() - started };
  } catch (e) {
    return { reached: false, why: e.name, ms: performance.now() - started };
  }
}

// State of the browser's Local Network Access permission, if it tells: Chromium's name,
// then the loopback one (Firefox's for loopback), then Firefox's other one.
async function networkPermission() {
  if (!globalThis.navigator?.permissions) return null;
  for (const name of ['local-network-access', 'loopback-network', 'local-network']) {
    try {
      const st = await navigator.permissions.query({ name });
      return `${name}: ${st.state}`;
    } catch {
      // Not known to this browser.
    }
  }
  return null;
}

function checkList(box, pageIsLocal, permission) {
  const first = serviceUrls()[0];
  say(box, 'The three usual causes, and how to tell them apart:');
  const ol = document.createElement('ol');
  const item = (title, text) => {
    const li = document.createElement('li');
    const b = document.createElement('strong');
    b.textContent = title;
    li.append(b, document.createTextNode(' ' + text));
    ol.append(li);
    return li;
  };
  const li = item('Open the service address in a new tab:', '');
  const a = document.createElement('a');
  a.href = first;
  a.target = '_blank';
  a.rel = 'noopener';
  a.textContent = first;
  li.append(a);
  item('Service not running —',
    'the tab says the connection was refused (Chromium: ERR_CONNECTION_REFUSED; Firefox: ' +
    '"Unable to connect", NS_ERROR_CONNECTION_REFUSED). Start it: ' +
    '"systemctl --user start noxhalvorant" (Linux) or ' +
    '"launchctl kickstart gui/$(id -u)/com.noxhalvorant.agent" (macOS); ' +
    '"ss -ltn | grep -E \':54[4-6]69\'" lists its listeners.');
  item('Certificate not trusted —',
    'the tab shows a certificate warning (Chromium: ERR_CERT_AUTHORITY_INVALID; Firefox: ' +
    'SEC_ERROR_UNKNOWN_ISSUER). Trust your CA with ' +
    '"noxhalvorant --trust" (as the user of this browser) and restart the browser. ' +
    'Clicking through the warning only helps until the browser restarts.');
  item('Local Network Access not granted —',
    'the tab shows an empty answer (Chromium: ERR_EMPTY_RESPONSE; Firefox: "The connection ' +
    'was reset", NS_ERROR_NET_RESET): the service refuses page loads, so it runs and its ' +
    'certificate is trusted. ' + LOCAL_NETWORK_HOWTO + ' ' +
    (pageIsLocal ? 'This page is itself on this computer, so this cause is unlikely here.'
      : 'This page is on the network, so the browser asks for this permission.') +
    (permission ? ` Browser reports ${permission}.` : ''));
  box.append(ol);
}

const LOCAL_NETWORK_HOWTO = 'Allow this site to reach local services and reload: Chromium: ' +
  '"Local network access" in the site settings (next to the address bar); Firefox: the ' +
  'permissions icon in the address bar.';

async function selfTest() {
  const box = $('selftest-out');
  box.textContent = '';
  const pageIsLocal = ['localhost', '127.0.0.1', '[::1]'].includes(location.hostname);
  say(box, `Page origin ${location.origin}` + (window.isSecureContext ? '' : ' (not a secure context: encrypted parameters unavailable)'));
  const rec = await createClient({ ...CONFIG.client, timeoutMs: CONFIG.detectTimeoutMs }).detect();
  if (rec.detected) {
    say(box, `NoxHalvorant ${rec.version ?? ''} detected at ${rec.baseUrl}`, 'ok');
    say(box, 'Ready: run the adapters below.', 'hint');
    return;
  }
  say(box, `${rec.cause}: ${rec.message}`, 'bad');
  if (rec.cause === 'BAD_ANSWER') {
    say(box, 'Another program answers on the service ports; stop it or free the ports.', 'hint');
    return;
  }
  // The browser said why, and did not send the request: probing the ports tells nothing
  // more (and a held request only waits for its question again).
  if (rec.cause === 'LOCAL_NETWORK_DENIED' || rec.cause === 'LOCAL_NETWORK_PROMPT') {
    say(box, LOCAL_NETWORK_HOWTO, 'hint');
    return;
  }
  if (rec.cause === 'TIMEOUT') {
    say(box, 'A listener accepted the connection but did not answer in time. ' +
      'If the browser shows a permission prompt, answer it and run the self-test again.', 'hint');
  }
  for (const url of serviceUrls()) {
    const p = await probe(url);
    say(box, p.reached
      ? `${url}: reachable without CORS (${p.type}); the browser refused this page the answer`
      : `${url}: ${p.why} after ${p.ms.toFixed(0)} ms`, 'hint');
  }
  checkList(box, pageIsLocal, await networkPermission());
}

// ---- 2. Adapters -------------------------------------------------------------------------

// What the desktop lacks when an adapter fails for want of a system program, or null.
function missingPiece(rec) {
  if (rec.error === 'NO_SERVICE') {
    return 'Missing: the smart-card service. Install and start it ("sudo apt install pcscd" on ' +
      'Debian and Ubuntu).';
  }
  if (rec.error === 'TOKEN_ERROR' && /pinentry/i.test(rec.message)) {
    return 'Missing: a PIN dialog program. Install one ("sudo apt install pinentry-gnome3", or ' +
      'pinentry-qt, pinentry-gtk2, pinentry-curses).';
  }
  return null;
}

async function runAdapters() {
  const rows = $('adapter-rows');
  rows.textContent = '';
  for (const cfg of CONFIG.adapters) {
    const tr = document.createElement('tr');
    const cells = [cfg.name, '…', '', ''].map((t) => {
      const td = document.createElement('td');
      td.textContent = t;
      tr.append(td);
      return td;
    });
    rows.append(tr);
    const nox = createClient(CONFIG.client);
    const opened = await attempt(nox.open({ pathId: cfg.pathId, minServerVersion: CONFIG.minServerVersion }));
    cells[1].textContent = describe(opened);
    cells[1].className = opened.ok ? 'ok' : 'bad';
    if (!opened.ok) continue;
    const called = await attempt(cfg.functionName === 'Echo' ? nox.echo() : nox.call(cfg.functionName, cfg.params));
    cells[2].textContent = `${cfg.functionName}: ${describe(called)}`;
    cells[2].className = called.ok ? 'ok' : 'bad';
    const missing = called.ok ? null : missingPiece(called);
    if (missing) say(cells[2], missing, 'hint');
    const released = await attempt(nox.release());
    cells[3].textContent = released.error ? describe(released) : 'released';
  }
}

// ---- 3. Value store ----------------------------------------------------------------------

function readerUrl() {
  const u = new URL('/demo/reader.html', otherOrigin());
  u.searchParams.set('channel', $('channel').value);
  return u.href;
}

async function storeValue() {
  const box = $('values-out');
  box.textContent = '';
  const nox = createClient(CONFIG.client);
  const opened = await attempt(nox.open({ pathId: CONFIG.valueStoreAdapter, minServerVersion: CONFIG.minServerVersion }));
  if (!opened.ok) {
    say(box, `open: ${describe(opened)}`, 'bad');
    return;
  }
  const minutes = Number($('minutes').value);
  const rec = await attempt(nox.setValue($('channel').value, $('value').value, $('domains').value, minutes));
  say(box, `setValue: ${describe(rec)}`, rec.ok ? 'ok' : 'bad');
  if (rec.ok) say(box, `Readable by "${$('domains').value}" — open the reader page: ${readerUrl()}`);
  await attempt(nox.release());
}

// ---- 4. Main-thread call -----------------------------------------------------------------

// The running call's AbortController; the Cancel button aborts it.
let sleepAbort = null;

async function runSleep() {
  const box = $('sleep-out');
  const list = $('heartbeats');
  const elapsed = $('sleep-elapsed');
  box.textContent = '';
  list.textContent = '';
  const c = CONFIG.mainThreadCall;
  const nox = createClient(CONFIG.client);
  const opened = await attempt(nox.open({ pathId: c.pathId, minServerVersion: CONFIG.minServerVersion }));
  if (!opened.ok) {
    say(box, `open: ${describe(opened)}`, 'bad');
    return;
  }
  say(box, `${c.functionName} started…`);
  sleepAbort = new AbortController();
  $('cancel-sleep').disabled = false;
  const started = performance.now();
  const tick = setInterval(() => {
    elapsed.textContent = `running for ${((performance.now() - started) / 1000).toFixed(0)} s`;
  }, 250);
  const rec = await attempt(nox.call(c.functionName, c.params, {
    mainThread: true,
    timeoutMs: c.timeoutMs,
    signal: sleepAbort.signal,
    onHeartbeat: ({ count, elapsedMs }) => {
      const li = document.createElement('li');
      li.textContent = `heartbeat ${count} after ${(elapsedMs / 1000).toFixed(1)} s`;
      list.append(li);
    },
  }));
  clearInterval(tick);
  elapsed.textContent = `took ${((performance.now() - started) / 1000).toFixed(1)} s`;
  $('cancel-sleep').disabled = true;
  sleepAbort = null;
  say(box, `${c.functionName}: ${describe(rec)}`, rec.ok ? 'ok' : 'bad');
  // After a cancel the release waits (in the client's queue) until the service has
  // finished the call and its result is collected; the page need not wait for that.
  const released = attempt(nox.release());
  if (rec.error !== 'ABORTED') await released;
}

// ---- wiring ------------------------------------------------------------------------------

function guard(button, task) {
  button.addEventListener('click', async () => {
    button.disabled = true;
    try {
      await task();
    } finally {
      button.disabled = false;
    }
  });
}

$('domains').value = new URL(otherOrigin()).hostname;
const updateLink = () => {
  $('reader-link').href = readerUrl();
};
$('channel').addEventListener('input', updateLink);
updateLink();
guard($('run-selftest'), selfTest);
guard($('run-adapters'), runAdapters);
guard($('store'), storeValue);
guard($('run-sleep'), runSleep);
$('cancel-sleep').addEventListener('click', () => sleepAbort?.abort());

// Panels in their own files register here: each exports mount(section, client helpers).
export const demo = Object.freeze({ CONFIG, createClient, attempt, describe, say });

// The self-test runs at once, so the page says first whether it can work at all.
selfTest();
