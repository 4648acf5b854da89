// What a hostile page can make of the dialogs and of sandboxed frames, in headless Chromium
// against the real service: the consent dialog (scripted pinentry) for a page on a very
// long host names the real site first and keeps the end of the origin in sight; a
// sandboxed frame of a page's own site, posting blind forms, cannot rewrite the page's
// stored value.

import { test } from 'node:test';
import assert from 'node:assert/strict';

import { SERVICE_PORTS, chromiumSuite, inPage, scriptedDialog } from './support/harness.mjs';

const scripted = scriptedDialog();
// A host that begins like a bank's and ends in another site, longer than any dialog line.
const LONG_HOST = ['www.bank.example.com', 'x'.repeat(60), 'x'.repeat(60), 'x'.repeat(60), 'y'.repeat(20),
  'evil.test'].join('.');
// The long host resolves to the demo's server on loopback: a local page, no permission.
const suite = chromiumSuite({ extraArgs: [`--host-resolver-rules=MAP ${LONG_HOST} 127.0.0.1`], dialog: scripted });
const dialog = scripted.set;
const shown = scripted.shown;

// The service's log once done(log) holds (the console holds lines up to 100 ms before it
// writes them), or as it is after a generous wait.
async function serviceLogShows(done) {
  const until = Date.now() + 10000;
  for (;;) {
    const log = suite.service.output();
    if (done(log) || Date.now() > until) return log;
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
}

async function openPage(origin) {
  const context = await suite.browser.newContext();
  const page = await context.newPage();
  await page.goto(`${origin}/demo/index.html`);
  return { context, page };
}

test('the consent dialog for a page on a long host names its real site first', async () => {
  const origin = `http://${LONG_HOST}:${suite.server.port}`;
  const { context, page } = await openPage(origin);
  try {
    assert.equal(await page.evaluate(() => location.origin), origin);
    dialog('confirm=cancel\npin=1234\n');
    const rec = await inPage(page, async (client) => {
      const nox = client.createClient({ timeoutMs: 60000 });
      await nox.open({ pathId: client.PATH_IDS.NoxPkiCryptAdapter });
      try {
        return { result: (await nox.call('ListCertificates', {}, { mainThread: true })).result };
      } catch (e) {
        return { code: e.code, message: e.message };
      }
    });
    assert.equal(rec.code, 'CONSENT_DENIED', JSON.stringify(rec));
    const text = shown();
    assert.ok(text.includes(`DESC evil.test\n...${'y'.repeat(20)}.evil.test:${suite.server.port}\n\n` +
      'This site wants to see the certificates'), text);
    assert.ok(!text.includes('www.bank'), text);
    assert.ok(text.includes('NOTOK Block this site'), text);
  } finally {
    await context.close();
  }
});

test('a sandboxed frame inside a page cannot write the page\'s channel', async () => {
  const origin = `http://localhost:${suite.server.port}`;
  const channel = `frame-${process.pid}`;
  const { context, page } = await openPage(origin);
  try {
    const stored = await inPage(page, async (client, ch) => {
      const nox = client.createClient({ timeoutMs: 30000 });
      await nox.open({ pathId: client.PATH_IDS.NoxCryptAdapter });
      window.noxForTest = nox;
      return (await nox.setValue(ch, 'pay 100 to Alice', 'localhost', 60)).result;
    }, channel);
    assert.equal(stored, '0');

    // A frame of the page's own site, sandboxed without allow-same-origin: its origin is
    // opaque, and its requests carry Origin "null" and the page's origin as Referer.
    const frameHandle = await page.evaluate((url) => new Promise((resolve) => {
      const iframe = document.createElement('iframe');
      iframe.setAttribute('sandbox', 'allow-scripts allow-forms');
      iframe.addEventListener('load', () => resolve(), { once: true });
      iframe.src = url;
      document.body.append(iframe);
    }), `${origin}/demo/index.html`).then(() => page.$('iframe'));
    const inFrame = await frameHandle.contentFrame();
    const mark = suite.service.output().length;
    // Its code: blind form posts, as a hostile frame would send them, with a session id of
    // its choosing; the answers land in a frame of its own that it cannot read.
    const frame = await inFrame.evaluate(async ({ port, ch }) => {
      const target = document.createElement('iframe');
      target.name = 'answers';
      document.body.append(target);
      const post = (json) => new Promise((resolve) => {
        target.addEventListener('load', () => {
          let text;
          try {
            text = target.contentDocument.body.textContent;
          } catch (e) {
            text = 'unreadable: ' + e.message;
          }
          resolve(text ?? 'unreadable');
        }, { once: true });
        const form = document.createElement('form');
        form.method = 'POST';
        form.action = `https://127.0.0.1:${port}/`;
        form.target = 'answers';
        const field = document.createElement('input');
        field.name = 'Parameter';
        field.value = btoa(JSON.stringify(json));
        form.append(field);
        document.body.append(form);
        form.submit();
      });
      const seen = [];
      seen.push(await post({ FunctionName: 'Echo', PathID: '3A61F0B2C94E4D7B8E05A1C2D3F40516',
        minServerVersion: '1.0.0.0', SessionId: 'frame-session' }));
      seen.push(await post({ FunctionName: 'setHalvorantValue', SessionId: 'frame-session',
        channel: ch, domain_list: '*', value: 'pay 999 to evil', timeout: '60' }));
      return { origin: String(self.origin), seen };
    }, { port: SERVICE_PORTS[0], ch: channel });
    assert.equal(frame.origin, 'null', JSON.stringify(frame));
    assert.ok(frame.seen.every((answer) => answer.startsWith('unreadable')), JSON.stringify(frame));

    // Both posts reached the service as an opaque origin's. Chromium sends no Referer from
    // an opaque document, so the service finds no origin and refuses them outright; a client
    // that sends the page's Referer along gets an identity of its own instead (the origins'
    // service test). Either way nothing is done as the page.
    const posts = () => suite.service.output().slice(mark).split('Origin: null\n').length - 1;
    const log = await serviceLogShows(() => posts() >= 2);
    assert.equal(posts(), 2, log.slice(mark));
    const frameLog = log.slice(mark);
    const refused = frameLog.split('Extract origin from referer: Fail').length - 1;
    const apart = frameLog.split(`Opaque origin acts apart as: null:${origin}`).length - 1;
    assert.equal(refused + apart, 2, frameLog);
    const value = await page.evaluate(async (ch) => (await window.noxForTest.getValue(ch)).result, channel);
    assert.equal(value, 'pay 100 to Alice');
  } finally {
    await context.close();
  }
});
