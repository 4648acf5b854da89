// make install / make uninstall into temporary directories, and the installed service
// at work from its new place: adapters found beside it, its certificate issued by the
// user's own CA (nothing installed holds one). Runs under the service lock (run.sh): it
// starts the service.

import { test } from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import https from 'node:https';
import path from 'node:path';

import { REPO, caFile, startService, tempDir } from './support/harness.mjs';

const BUILD = path.dirname(process.env.NOX_BIN_DIR ?? '');
const ADAPTERS = ['NoxCryptAdapter', 'NoxIdAdapter', 'NoxPkiCryptAdapter'];

// Every file make install writes below PREFIX, with its mode.
const INSTALLED = [
  ['bin/NoxHalvorant', 0o755],
  ['bin/noxhalvorant', 0o755],  // a link to it
  ...ADAPTERS.map((a) => [`bin/Nox/${a}.dylib`, 0o755]),
  ['lib/systemd/user/noxhalvorant.service', 0o644],
  ['lib/systemd/user/noxhalvorant.socket', 0o644],
];

function make(target, vars) {
  const args = ['-C', REPO, '--no-print-directory', target, 'NOBUILD=1', `BUILD=${BUILD}`,
    ...Object.entries(vars).map(([k, v]) => `${k}=${v}`)];
  return spawnSync('make', args, { encoding: 'utf8' });
}

function filesBelow(root) {
  const out = [];
  const walk = (dir) => {
    for (const entry of fs.readdirSync(dir, { withFileTypes: true })) {
      const full = path.join(dir, entry.name);
      if (entry.isDirectory()) walk(full);
      else out.push(path.relative(root, full));
    }
  };
  if (fs.existsSync(root)) walk(root);
  return out.sort();
}

test('staged install: every file in place under DESTDIR, the unit names PREFIX; uninstall removes only ours', (t) => {
  const stage = tempDir('nox-install-stage-');
  t.after(() => fs.rmSync(stage, { recursive: true, force: true }));
  const prefix = '/opt/noxhalvorant';
  const root = path.join(stage, prefix);

  const installed = make('install', { DESTDIR: stage, PREFIX: prefix });
  assert.equal(installed.status, 0, installed.stdout + installed.stderr);
  assert.deepEqual(filesBelow(stage), INSTALLED.map(([f]) => path.join(prefix.slice(1), f)).sort());
  for (const [file, mode] of INSTALLED) {
    assert.equal(fs.statSync(path.join(root, file)).mode & 0o777, mode, file);
  }
  assert.ok(fs.readFileSync(path.join(root, 'bin/NoxHalvorant')).equals(fs.readFileSync(path.join(BUILD, 'bin/NoxHalvorant'))));
  assert.equal(fs.readlinkSync(path.join(root, 'bin/noxhalvorant')), 'NoxHalvorant');
  const unit = fs.readFileSync(path.join(root, 'lib/systemd/user/noxhalvorant.service'), 'utf8');
  assert.match(unit, /^ExecStart=\/opt\/noxhalvorant\/bin\/NoxHalvorant --idle-exit=600$/m);
  assert.ok(!unit.includes('@PREFIX@') && !unit.includes(stage), unit);

  // Nothing installed holds a certificate or a key.
  for (const file of filesBelow(stage)) {
    const text = fs.readFileSync(path.join(stage, file)).toString('latin1');
    assert.ok(!text.includes('-----BEGIN CERTIFICATE-----') && !text.includes('PRIVATE KEY'),
      `${file} holds a certificate or key`);
  }
  // What an earlier version installed goes at the next install: the shared CA and its scripts.
  fs.mkdirSync(path.join(root, 'share/noxhalvorant'), { recursive: true });
  for (const old of ['NoxHalvorant-CA.pem', 'trust-ca.sh', 'untrust-ca.sh']) fs.writeFileSync(path.join(root, 'share/noxhalvorant', old), 'x');
  const again = make('install', { DESTDIR: stage, PREFIX: prefix });
  assert.equal(again.status, 0, again.stdout + again.stderr);
  assert.deepEqual(filesBelow(stage), INSTALLED.map(([f]) => path.join(prefix.slice(1), f)).sort());

  // Somebody else's adapter beside ours, and another unit.
  fs.writeFileSync(path.join(root, 'bin/Nox/OtherVendor.dylib'), 'x');
  fs.writeFileSync(path.join(root, 'lib/systemd/user/other.service'), 'x');
  const removed = make('uninstall', { DESTDIR: stage, PREFIX: prefix });
  assert.equal(removed.status, 0, removed.stdout + removed.stderr);
  assert.deepEqual(filesBelow(stage), ['bin/Nox/OtherVendor.dylib', 'lib/systemd/user/other.service']
    .map((f) => path.join(prefix.slice(1), f)));
  assert.ok(!fs.existsSync(path.join(root, 'share/noxhalvorant')), 'its own folder is gone');
  assert.equal(make('uninstall', { DESTDIR: stage, PREFIX: prefix }).status, 0, 'a second uninstall is harmless');
});

test('a PREFIX that cannot go into the unit is refused before anything is written', (t) => {
  const stage = tempDir('nox-install-bad-');
  t.after(() => fs.rmSync(stage, { recursive: true, force: true }));
  const cases = [
    ['opt/nox', /absolute path/],
    ['/opt/my nox', /white space/],
    ['/opt/a|b', /must not hold \|/],
    ['/opt/a&b', /must not hold &/],
    ["/opt/a'b", /must not hold '/],
  ];
  for (const [prefix, why] of cases) {
    for (const target of ['install', 'uninstall']) {
      const r = make(target, { DESTDIR: stage, PREFIX: prefix });
      assert.notEqual(r.status, 0, `${target} ${prefix}`);
      assert.match(r.stderr, why, `${target} ${prefix}`);
    }
  }
  assert.deepEqual(filesBelow(stage), []);
});

// POSTs request to the service, trusting only ca. → decoded answer values.
function post(ca, request) {
  const body = `Parameter=${encodeURIComponent(Buffer.from(JSON.stringify(request)).toString('base64'))}`;
  return new Promise((resolve, reject) => {
    const req = https.request({
      host: '127.0.0.1', port: 54469, method: 'POST', path: '/', ca, timeout: 20000,
      headers: {
        'Content-Type': 'application/x-www-form-urlencoded',
        'Content-Length': Buffer.byteLength(body),
        Origin: 'https://install.test',
      },
    }, (res) => {
      const chunks = [];
      res.on('data', (c) => chunks.push(c));
      res.on('end', () => {
        try {
          const raw = JSON.parse(Buffer.concat(chunks).toString('utf8'));
          resolve(Object.fromEntries(Object.entries(raw).map(([k, v]) => [k, Buffer.from(v, 'base64').toString('utf8')])));
        } catch (e) {
          reject(e);
        }
      });
    });
    req.on('timeout', () => req.destroy(new Error('no answer in time')));
    req.on('error', reject);
    req.end(body);
  });
}

test('the installed service runs from PREFIX with its adapters, under the user\'s CA and the units', async (t) => {
  const prefix = tempDir('nox-install-prefix-');
  t.after(() => fs.rmSync(prefix, { recursive: true, force: true }));
  const installed = make('install', { PREFIX: prefix });
  assert.equal(installed.status, 0, installed.stdout + installed.stderr);

  const unit = path.join(prefix, 'lib/systemd/user/noxhalvorant.service');
  const socketUnit = path.join(prefix, 'lib/systemd/user/noxhalvorant.socket');
  const analyze = spawnSync('systemd-analyze', ['verify', socketUnit, unit], { encoding: 'utf8' });
  if (analyze.error) t.diagnostic('systemd-analyze is not available; unit not verified');
  else assert.equal(analyze.status, 0, analyze.stdout + analyze.stderr);

  const service = await startService({ exe: path.join(prefix, 'bin/NoxHalvorant') });
  let stopped = null;
  try {
    const ca = fs.readFileSync(caFile());
    const answer = await post(ca, {
      FunctionName: 'Digest', PathID: '3A61F0B2C94E4D7B8E05A1C2D3F40516', minServerVersion: '1.0.0.0',
      Algorithm: 'SHA256', Data: 'abc',
    });
    assert.equal(answer.result, 'BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD', JSON.stringify(answer));
    assert.ok(service.output().includes(path.join(prefix, 'bin/Nox/NoxCryptAdapter.dylib')),
      'the adapter came from PREFIX/bin/Nox');
  } finally {
    stopped = await service.stop();
  }
  assert.deepEqual(stopped, { code: 0, signal: null });

  const removed = make('uninstall', { PREFIX: prefix });
  assert.equal(removed.status, 0, removed.stdout + removed.stderr);
  assert.deepEqual(filesBelow(prefix), []);
});
