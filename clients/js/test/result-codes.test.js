// One vocabulary of result codes: the service's header, the client's table and the page
// authors' table name the same codes with the same names and meanings.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

import { RESULT_CODES } from '../codes.js';

const repo = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../../..');

function headerCodes() {
  const text = fs.readFileSync(path.join(repo, 'src/util/ResultCodes.h'), 'utf8');
  const entries = [...text.matchAll(/NOX_RESULT\((\d+), (\w+), (page|internal), "((?:[^"\\]|\\.)*)"\)/g)]
    .map(([, code, name, scope, meaning]) => ({ code: Number(code), name, scope, meaning: meaning.replace(/\\"/g, '"') }));
  assert.ok(entries.length > 0, 'no entries read from ResultCodes.h');
  return entries;
}

function docsCodes() {
  const text = fs.readFileSync(path.join(repo, 'docs/page-authors.md'), 'utf8');
  return [...text.matchAll(/^\| (\d+) \| (\w+) \| (.*) \|$/gm)]
    .map(([, code, name, meaning]) => ({ code: Number(code), name, meaning }));
}

test('the client and the docs list exactly the page codes of the header, alike', () => {
  const page = headerCodes().filter((e) => e.scope === 'page');
  const fromClient = Object.entries(RESULT_CODES).map(([code, { name, message }]) => ({ code: Number(code), name, meaning: message }));
  const byCode = (a, b) => a.code - b.code;
  const want = page.map(({ code, name, meaning }) => ({ code, name, meaning })).sort(byCode);
  assert.deepEqual(fromClient.sort(byCode), want);
  assert.deepEqual(docsCodes().sort(byCode), want);
});

test('codes and names are unique and lie in the service range', () => {
  const all = headerCodes();
  assert.equal(new Set(all.map((e) => e.code)).size, all.length);
  assert.equal(new Set(all.map((e) => e.name)).size, all.length);
  for (const e of all) assert.ok(e.code === 0 || (e.code >= 61000 && e.code <= 61999), e.name);
});

test('every result code written in the service sources is in the header', () => {
  const known = new Set(headerCodes().map((e) => e.code));
  const found = new Map();
  const walk = (dir) => {
    for (const entry of fs.readdirSync(dir, { withFileTypes: true })) {
      const file = path.join(dir, entry.name);
      if (entry.isDirectory()) walk(file);
      else if (/\.(cpp|h)$/.test(entry.name) && !file.endsWith('ResultCodes.h')) {
        for (const m of fs.readFileSync(file, 'utf8').matchAll(/\b61\d{3}\b/g)) found.set(Number(m[0]), file);
      }
    }
  };
  walk(path.join(repo, 'src'));
  // The range bounds of adapters' version codes are not codes of their own.
  for (const [code, file] of found) {
    if (code === 61000 || code === 61999) continue;
    assert.ok(known.has(code), `${code} in ${path.relative(repo, file)} is not in src/util/ResultCodes.h`);
  }
});
