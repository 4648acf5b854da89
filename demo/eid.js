// Demo panel for NoxIdAdapter: the smart-card readers, and a wait on the service's main
// thread (with its heartbeats) for the user to insert or remove a card. Fills the
// <section id="eid"> of index.html; all answer texts are shown as text, never as markup.

import { createClient, PATH_IDS } from '../clients/js/noxhalvorant.js';

const CLIENT = { host: '127.0.0.1', ports: [54469, 54569, 54669] };
const MIN_SERVER_VERSION = '1.0.0.0';
const DEFAULT_WAIT_SECONDS = 60;

const section = document.getElementById('eid');

function el(tag, props = {}, ...children) {
  const node = document.createElement(tag);
  Object.assign(node, props);
  node.append(...children);
  return node;
}

const ui = {
  readers: el('button', { type: 'button', id: 'eid-readers', textContent: 'Show readers' }),
  timeout: el('input', { id: 'eid-timeout', type: 'number', min: 0, max: 120, value: DEFAULT_WAIT_SECONDS }),
  wait: el('button', { type: 'button', id: 'eid-wait', textContent: 'Wait for a card' }),
  removal: el('button', { type: 'button', id: 'eid-wait-removal', textContent: 'Wait for removal' }),
  list: el('ul', { id: 'eid-reader-list' }),
  heartbeats: el('ol', { id: 'eid-heartbeats' }),
  card: el('dl', { id: 'eid-card' }),
  out: el('div', { className: 'out', id: 'eid-out' }),
};
ui.out.setAttribute('aria-live', 'polite');

section.append(
  el('h2', { textContent: 'Smart card (NoxIdAdapter)' }),
  el('p', { textContent: 'Lists the smart-card readers of this computer, then waits on the service\'s main ' +
    'thread until a card is inserted (or removed), showing the service\'s heartbeats meanwhile.' }),
  ui.readers,
  el('label', {}, 'Wait at most (seconds, 0–120) ', ui.timeout),
  ui.wait, ' ', ui.removal,
  ui.list, ui.heartbeats, ui.card, ui.out,
);

function say(text, kind = '') {
  ui.out.append(el('div', { className: kind, textContent: text }));
}

// The adapter's answer as an object, or {error:{code,message}} for a failed request.
function parse(rec) {
  if (rec.error) return { error: { code: rec.error, message: rec.message } };
  try {
    const answer = JSON.parse(rec.result);
    if (answer !== null && typeof answer === 'object') return answer;
  } catch {
    // not JSON: below
  }
  return { error: { code: 'BAD_ANSWER', message: String(rec.result) } };
}

// Opens a session, runs one call, releases the session.
async function withAdapter(task) {
  const nox = createClient(CLIENT);
  const opened = await nox.open({ pathId: PATH_IDS.NoxIdAdapter, minServerVersion: MIN_SERVER_VERSION });
  if (!opened.ok) return { error: { code: opened.error || `result ${opened.result}`, message: opened.message || '' } };
  try {
    return await task(nox);
  } finally {
    await nox.release();
  }
}

function showError(what, answer) {
  say(`${what}: ${answer.error.code} — ${answer.error.message}`, 'bad');
}

async function showReaders() {
  ui.list.textContent = '';
  ui.out.textContent = '';
  const answer = await withAdapter(async (nox) => parse(await nox.call('ListReaders')));
  if (answer.error) return showError('ListReaders', answer);
  if (answer.readers.length === 0) say('No smart-card reader is attached.', 'hint');
  for (const r of answer.readers) {
    ui.list.append(el('li', {
      className: 'eid-reader',
      textContent: `${r.name} — ${r.cardPresent ? `card present, ATR ${r.atr}` : 'no card'} (${r.state.join(', ')})`,
    }));
  }
}

function showCard(status) {
  ui.card.textContent = '';
  const rows = [
    ['Reader', status.reader, 'eid-reader-name'],
    ['Card', status.present ? 'present' : 'absent', 'eid-present'],
    ['ATR', status.atr ?? '—', 'eid-atr'],
    ['Protocol', status.protocol ?? '—', 'eid-protocol'],
    ['Card type', status.cardType ?? 'unknown', 'eid-card-type'],
  ];
  for (const [label, value, id] of rows) ui.card.append(el('dt', { textContent: label }), el('dd', { id, textContent: value }));
}

async function waitFor(functionName) {
  ui.heartbeats.textContent = '';
  ui.card.textContent = '';
  ui.out.textContent = '';
  const seconds = Math.min(120, Math.max(0, Math.trunc(Number(ui.timeout.value) || 0)));
  say(functionName === 'WaitForCard' ? `Insert a card (waiting up to ${seconds} s)…`
    : `Remove the card (waiting up to ${seconds} s)…`);
  const answer = await withAdapter(async (nox) => parse(await nox.call(functionName, { Timeout: String(seconds) }, {
    mainThread: true,
    timeoutMs: (seconds + 30) * 1000,
    onHeartbeat: ({ count, elapsedMs }) => {
      ui.heartbeats.append(el('li', { textContent: `heartbeat ${count} after ${(elapsedMs / 1000).toFixed(1)} s` }));
    },
  })));
  if (answer.error) return showError(functionName, answer);
  showCard(answer);
  say(answer.present ? 'Card present.' : 'No card.', 'ok');
}

function guard(button, task) {
  button.addEventListener('click', async () => {
    for (const b of [ui.readers, ui.wait, ui.removal]) b.disabled = true;
    try {
      await task();
    } catch (e) {
      say(String(e), 'bad');
    } finally {
      for (const b of [ui.readers, ui.wait, ui.removal]) b.disabled = false;
    }
  });
}

guard(ui.readers, showReaders);
guard(ui.wait, () => waitFor('WaitForCard'));
guard(ui.removal, () => waitFor('WaitForRemoval'));
