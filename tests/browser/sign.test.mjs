// "Sign a text" of the demo page in headless Chromium: the page lists the certificates of
// the build's SoftHSM2 test token through the PKI adapter, signs the SHA-256 of a text on
// the service's main thread (the scripted PIN dialog takes long enough for heartbeats) and
// verifies the signature itself with WebCrypto against the returned certificate's key; and
// signs in to the page's server, which verifies the token.

import { test } from 'node:test';
import assert from 'node:assert/strict';

import { chromiumSuite, scriptedDialog } from './support/harness.mjs';

const scripted = scriptedDialog();
const suite = chromiumSuite({ dialog: scripted });

const dialog = scripted.set;
const shown = scripted.shown;

test('the demo lists, signs on the main thread with heartbeats and verifies in the page', async () => {
  const context = await suite.browser.newContext();
  const page = await context.newPage();
  const origin = `http://localhost:${suite.server.port}`;
  try {
    await page.goto(`${origin}/demo/index.html`);
    dialog('confirm=ok\npin=1234\n');
    await page.click('#sign-list');
    await page.locator('#sign-out .ok, #sign-out .bad').first().waitFor({ timeout: 60000 });
    assert.equal(await page.locator('#sign-out .ok').textContent(), '2 certificate(s) with a key.',
      await page.locator('#sign-out').textContent());
    assert.ok(shown().includes(`DESC localhost\n${origin}\n\nThis site wants to see the certificates`), shown());
    const options = await page.locator('#sign-certificate option').allTextContents();
    assert.deepEqual(options, ['O=Nox Tests,CN=Nox Test RSA (RSA 2048, Nox Test Token)',
      'O=Nox Tests,CN=Nox Test EC (EC 256, Nox Test Token)']);

    // RSA, with a PIN entry slower than the service's 7-second heartbeat window.
    dialog('confirm=ok\npin=1234\ndelay=9\n');
    await page.selectOption('#sign-certificate', '0');
    await page.fill('#sign-text', 'Pay 100 to Alice');
    await page.click('#sign-run');
    await page.locator('#sign-out .ok, #sign-out .bad').first().waitFor({ timeout: 120000 });
    const out = await page.locator('#sign-out').textContent();
    assert.match(out, /heartbeat 1/, out);
    assert.match(out, /RS256 signature: /, out);
    assert.equal(await page.locator('#sign-out .ok').textContent(), 'Signature verified with the certificate\'s public key.', out);
    assert.ok(shown().includes(`DESC localhost\n${origin}\n\nThis site wants to sign with 'O=Nox Tests,CN=Nox Test RSA' on 'Nox Test Token'`),
      shown());

    // EC (r||s, as WebCrypto takes it) and RSA-PSS.
    for (const [option, pss, algorithm] of [['1', false, 'ES256'], ['0', true, 'PS256']]) {
      dialog('confirm=ok\npin=1234\n');
      await page.selectOption('#sign-certificate', option);
      await page.setChecked('#sign-pss', pss);
      await page.click('#sign-run');
      await page.locator('#sign-out .ok, #sign-out .bad').first().waitFor({ timeout: 60000 });
      const text = await page.locator('#sign-out').textContent();
      assert.match(text, new RegExp(`${algorithm} signature: `), text);
      assert.equal(await page.locator('#sign-out .ok').count(), 1, text);
    }

    // Sign in: the page's server (demo/serve.mjs) issues the challenge and verifies the
    // token for the page's own origin with clients/verify.
    dialog('confirm=ok\npin=1234\n');
    await page.selectOption('#sign-certificate', '1');
    await page.click('#sign-in');
    await page.locator('#sign-out .ok, #sign-out .bad').first().waitFor({ timeout: 60000 });
    const signedIn = await page.locator('#sign-out').textContent();
    assert.equal(await page.locator('#sign-out .ok').textContent(),
      'Signed in as CN=Nox Test EC\nO=Nox Tests (checked by this page\'s server).', signedIn);
    assert.ok(shown().includes(`DESC localhost\n${origin}\n\nSign in to localhost?\nThis site wants you to sign in with `
      + "'O=Nox Tests,CN=Nox Test EC' on 'Nox Test Token'"), shown());

    // A wrong PIN reaches the page as the adapter's error code, and nothing verifies.
    dialog('confirm=ok\npin=0000\n');
    await page.click('#sign-run');
    await page.locator('#sign-out .bad').first().waitFor({ timeout: 60000 });
    assert.match(await page.locator('#sign-out .bad').textContent(), /^PIN_INCORRECT: The PIN is wrong\./);
  } finally {
    await context.close();
  }
});
