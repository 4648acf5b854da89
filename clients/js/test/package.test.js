// The npm package as a page author gets it: npm pack, installed by name, imported, and its
// type declarations checked against a small typed example by the pinned tsc, which
// scripts/setup.sh test installs (tests/browser/node_modules).
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
const pkgDir = path.resolve(here, '..');
const repo = path.resolve(pkgDir, '../..');
let work;
let tarball;
let files;

before(() => {
  work = fs.mkdtempSync(path.join(os.tmpdir(), 'nox-js-package-'));
  const out = execFileSync('npm', ['pack', '--json', '--pack-destination', work], {
    cwd: pkgDir, encoding: 'utf8', env: { ...process.env, npm_config_loglevel: 'error', npm_config_update_notifier: 'false' },
  });
  const [info] = JSON.parse(out);
  tarball = path.join(work, info.filename);
  files = info.files.map((f) => f.path).sort();
  const installed = path.join(work, 'app/node_modules/noxhalvorant-client');
  fs.mkdirSync(installed, { recursive: true });
  execFileSync('tar', ['-xzf', tarball, '-C', installed, '--strip-components=1']);
});

after(() => fs.rmSync(work, { recursive: true, force: true }));

test('the package holds the client, its declarations and the license, and nothing else', () => {
  assert.deepEqual(files, [
    'LICENSE', 'README.md', 'codec.js', 'codes.js', 'encrypt.js', 'errors.js',
    'noxhalvorant.d.ts', 'noxhalvorant.js', 'package.json', 'transport.js',
  ]);
  const pkg = JSON.parse(fs.readFileSync(path.join(pkgDir, 'package.json'), 'utf8'));
  assert.equal(pkg.name, 'noxhalvorant-client');
  assert.match(pkg.version, /^\d+\.\d+\.\d+$/);
  assert.equal(pkg.license, 'Apache-2.0');
  assert.equal(fs.readFileSync(path.join(pkgDir, 'LICENSE'), 'utf8'), fs.readFileSync(path.join(repo, 'LICENSE'), 'utf8'));
});

test('installed by name, it imports with every documented export', async () => {
  const app = path.join(work, 'app');
  fs.writeFileSync(path.join(app, 'probe.mjs'),
    "import * as nox from 'noxhalvorant-client';\nexport default nox;\n");
  const { default: nox } = await import(pathToFileURL(path.join(app, 'probe.mjs')).href);
  for (const name of ['createClient', 'NoxError', 'PATH_IDS', 'RESULT_CODES', 'describeResult', 'withBase64Flag']) {
    assert.ok(name in nox, name);
  }
  const e = new nox.NoxError('TIMEOUT', 'x');
  assert.ok(e instanceof Error);
  assert.equal(e.code, 'TIMEOUT');
});

const declaredExports = (dts) => new Set([...dts.matchAll(/^export (?:declare )?(?:function|const|class) (\w+)/gm)].map((m) => m[1]));

test('the declarations match the module, checked by tsc against a typed example', async () => {
  const dts = fs.readFileSync(path.join(pkgDir, 'noxhalvorant.d.ts'), 'utf8');
  const real = Object.keys(await import(pathToFileURL(path.join(pkgDir, 'noxhalvorant.js')).href)).sort();
  assert.deepEqual([...declaredExports(dts)].sort(), real);

  const tsc = path.join(repo, 'tests/browser/node_modules/.bin/tsc');
  assert.ok(fs.existsSync(tsc), `${tsc} is missing: run 'bash scripts/setup.sh test'`);
  const app = path.join(work, 'app');
  fs.writeFileSync(path.join(app, 'example.ts'), `
import {
  createClient, encryptParameter, NoxError, PATH_IDS, type AnswerRecord, type AuthToken, type Detection,
} from 'noxhalvorant-client';
async function run(): Promise<string> {
  const nox = createClient({ timeoutMs: 5000 });
  const found: Detection = await nox.detect();
  if (!found.detected) return found.cause;
  const controller = new AbortController();
  await nox.open({ pathId: PATH_IDS.NoxCryptAdapter, signal: controller.signal });
  try {
    const r: AnswerRecord = await nox.call('Digest', { Algorithm: 'SHA256', Data: 'abc' },
      { signal: controller.signal, timeoutMs: 1000, mainThread: false });
    return r.result ?? '';
  } catch (e) {
    if (e instanceof NoxError) return e.code + (e.resultCode ?? '') + (e.answer?.result ?? '');
    throw e;
  }
}
async function encrypted(secret: string): Promise<string> {
  const enc = await encryptParameter({ PIN: '1234' }, 'PIN', secret);
  // @ts-expect-error only ok tells a result from a failure
  if (!enc.error) void enc.params;
  return enc.ok ? String(enc.params.PIN) : enc.error;
}
void encrypted;
async function signIn(challenge: string): Promise<AuthToken> {
  const nox = createClient();
  await nox.open({ pathId: PATH_IDS.NoxPkiCryptAdapter });
  await nox.signBatch({ CertificateId: '0e', Digests: ['AAAA'], DigestAlgorithm: 'SHA-256' });
  // @ts-expect-error a challenge is required
  await nox.authenticate({ CertificateId: '0e' });
  return JSON.parse((await nox.authenticate({ Challenge: challenge, Padding: 'PSS' })).result ?? '') as AuthToken;
}
void signIn;
createClient({ origin: 'https://app.example' });
// @ts-expect-error signal must be an AbortSignal
createClient().call('F', {}, { signal: 'stop' });
// @ts-expect-error parameters are flat
createClient().call('F', { nested: { a: 1 } });
void run;
`);
  fs.writeFileSync(path.join(app, 'tsconfig.json'), JSON.stringify({
    compilerOptions: {
      strict: true, noEmit: true, target: 'ES2022', module: 'NodeNext', moduleResolution: 'NodeNext',
      lib: ['ES2022', 'DOM'], types: [],
    },
    files: ['example.ts'],
  }));
  fs.writeFileSync(path.join(app, 'package.json'), '{ "type": "module" }');
  try {
    execFileSync(tsc, ['-p', app], { encoding: 'utf8' });
  } catch (e) {
    assert.fail(`tsc --noEmit failed:\n${e.stdout}${e.stderr}`);
  }
});
