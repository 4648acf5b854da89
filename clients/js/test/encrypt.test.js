import { test, after } from 'node:test';
import assert from 'node:assert/strict';
import { createDecipheriv } from 'node:crypto';

import { createClient, encryptParameter, encryptText } from '../noxhalvorant.js';
import { startFake } from '../testing/fake-service.js';

// The worked example of docs/page-authors-encryption.md.
const SECRET = 'A1b2C3d4E5f6G7h8I9j0K1l2M3n4O5p6-extra';
const VALUE = 'secret PIN 1234';
const CIPHER_HEX = 'DCDA1054D02D7C0F69988FB3A141794ADB3347754FE62939E26ADBD640D0205E';
const REQUEST_JSON =
  '{"FunctionName":"Sign","PIN":"DCDA1054D02D7C0F69988FB3A141794ADB3347754FE62939E26ADBD640D0205E",' +
  '"PIN_HalvorantEncryptFlag":"true","Halvorant_share_secret":"A1b2C3d4E5f6G7h8I9j0K1l2M3n4O5p6-extra"}';

function decrypt(hex, secret) {
  const key = Buffer.from(secret, 'utf8').subarray(0, 32);
  const d = createDecipheriv('aes-256-cbc', key, Buffer.from('NoxHalvorant-IV1'));
  return Buffer.concat([d.update(Buffer.from(hex, 'hex')), d.final()]);
}

const servers = [];
after(() => Promise.all(servers.map((s) => s.close())));

test('reproduces the documented worked example byte for byte', async () => {
  assert.deepEqual(await encryptText(VALUE, SECRET), { ok: true, hex: CIPHER_HEX });

  const f = await startFake(() => ({ result: 'signed' }));
  servers.push(f);
  const { params } = await encryptParameter({ PIN: VALUE }, 'PIN', SECRET);
  const r = await createClient({ baseUrls: [f.url] }).call('Sign', params);
  assert.equal(r.result, 'signed');
  assert.equal(f.posts()[0].json, REQUEST_JSON);
});

test('the plaintext is the marker, the UTF-8 text and one NUL byte', async () => {
  for (const value of ['', 'x', 'Grüße "€" \\ 𝄞', 'a'.repeat(16), 'b'.repeat(17)]) {
    const { hex } = await encryptText(value, SECRET);
    assert.match(hex, /^([0-9A-F]{32})+$/);
    const plain = decrypt(hex, SECRET);
    assert.deepEqual(plain, Buffer.concat([Buffer.from(`HalvorantAESCBC${value}`, 'utf8'), Buffer.from([0])]));
  }
  // Only the first 32 bytes of the secret are the key.
  const a = await encryptText(VALUE, 'k'.repeat(32));
  const b = await encryptText(VALUE, 'k'.repeat(32) + 'anything else');
  assert.equal(a.hex, b.hex);
});

test('unusable secrets and values are refused', async () => {
  const cases = [
    [VALUE, 'k'.repeat(31), /at least 32 bytes/],
    [VALUE, 'ä'.repeat(15), /at least 32 bytes/],  // 30 bytes
    [VALUE, 'k'.repeat(32) + '\\', /backslash/],
    [VALUE, 42, /must be a text/],
    ['a\u0000b', SECRET, /NUL/],
    [7, SECRET, /must be a text/],
  ];
  for (const [value, secret, want] of cases) {
    const out = await encryptText(value, secret);
    assert.equal(out.ok, false);
    assert.equal(out.hex, undefined);
    assert.match(out.error, want);
  }
  assert.ok((await encryptText(VALUE, 'ä'.repeat(16))).hex);  // 32 bytes
  const paramCases = [
    [{ PIN: 1234 }, SECRET, /must be a text/],
    [null, SECRET, /plain object/],
    [{ PIN: 'x' }, 'short', /at least 32/],
  ];
  for (const [params, secret, want] of paramCases) {
    const out = await encryptParameter(params, 'PIN', secret);
    assert.equal(out.ok, false);
    assert.equal(out.params, undefined);
    assert.match(out.error, want);
  }
});
