// The page client in a Node.js program, as clients/js/README.md shows it, against the real
// service: no Origin is refused and detect() says so; the origin option and the CA given
// through NODE_EXTRA_CA_CERTS make it work; without the CA detect() says what to set.

import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { execFile } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { promisify } from 'node:util';

import { REPO, caFile, startService, tempDir } from './support/harness.mjs';

let service;
let dir;

before(async () => {
  service = await startService();
  dir = tempDir('nox-node-program-');
  fs.writeFileSync(path.join(dir, 'program.mjs'), `
import { createClient, PATH_IDS } from ${JSON.stringify(path.join(REPO, 'clients/js/noxhalvorant.js'))};
const origin = process.argv[2] || undefined;
const nox = createClient({ origin, timeoutMs: 20000 });
const found = await nox.detect();
const out = { found: { detected: found.detected, cause: found.cause, message: found.message, version: found.version } };
if (found.detected) {
  await nox.open({ pathId: PATH_IDS.NoxCryptAdapter });
  out.digest = (await nox.call('Digest', { Algorithm: 'SHA256', Data: 'abc' })).result;
  await nox.release();
}
console.log(JSON.stringify(out));
`);
});

after(async () => {
  const status = await service?.stop();
  if (dir) fs.rmSync(dir, { recursive: true, force: true });
  assert.deepEqual(status, { code: 0, signal: null }, 'the service exits cleanly');
});

async function run(origin, env) {
  const { stdout } = await promisify(execFile)(process.execPath, [path.join(dir, 'program.mjs'), origin],
    { env: { ...process.env, NODE_EXTRA_CA_CERTS: '', ...env } });
  return JSON.parse(stdout);
}

test('a Node.js program reaches the service with an origin and the CA, and is told what is missing', async () => {
  const withCa = { NODE_EXTRA_CA_CERTS: caFile() };
  const cases = [
    // [origin, environment, detected, cause, message, digest]
    ['https://app.example', withCa, true, undefined, undefined,
      'BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD'],
    ['', withCa, false, 'NO_ORIGIN', /origin: "https:\/\/your\.app"/, undefined],
    ['https://app.example', {}, false, 'NOT_RUNNING_OR_UNTRUSTED', /NODE_EXTRA_CA_CERTS/, undefined],
  ];
  for (const [origin, env, detected, cause, message, digest] of cases) {
    const got = await run(origin, env);
    const label = `${origin || '(no origin)'} ${JSON.stringify(env)}: ${JSON.stringify(got)}`;
    assert.equal(got.found.detected, detected, label);
    assert.equal(got.found.cause, cause, label);
    if (message) assert.match(got.found.message, message, label);
    else assert.equal(got.found.version, '1.0.23.0510', label);
    assert.equal(got.digest, digest, label);
  }
  assert.ok(service.output().includes('Origin: https://app.example'), 'the service saw the given origin');
});
