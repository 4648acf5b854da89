// Every JavaScript and TypeScript example of the documentation (fenced js, mjs,
// javascript, ts or typescript blocks of docs/*.md, README.md and clients/js/README.md)
// compiles with the pinned tsc under strict, JavaScript checked as well (checkJs), against
// the page client as a page author gets it: by package name, or copied next to the page.
// A page author copies an example into a strict TypeScript project; so does this test.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const repo = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
const client = path.join(repo, 'clients/js');
const tsc = path.join(repo, 'tests/browser/node_modules/.bin/tsc');
const LANGS = { js: 'js', mjs: 'js', javascript: 'js', ts: 'ts', typescript: 'ts' };

// Fenced blocks of a Markdown text: { line, lang, code } for the languages above.
export function codeBlocks(markdown) {
  const blocks = [];
  const lines = markdown.split('\n');
  for (let i = 0; i < lines.length; i++) {
    const open = /^(\s*)(```+|~~~+)\s*([\w-]*)/.exec(lines[i]);
    if (!open) continue;
    const fence = open[2];
    const start = i;
    const body = [];
    for (i += 1; i < lines.length && !lines[i].trimStart().startsWith(fence); i++) body.push(lines[i]);
    const lang = LANGS[open[3].toLowerCase()];
    if (lang) blocks.push({ line: start + 1, lang, code: body.join('\n') + '\n' });
  }
  return blocks;
}

function docFiles() {
  const docs = fs.readdirSync(path.join(repo, 'docs')).filter((f) => f.endsWith('.md')).map((f) => `docs/${f}`);
  return [...docs.sort(), 'README.md', 'clients/js/README.md'];
}

let work;

// A strict TypeScript project in dir holding files (name → text); → tsc's complaints, or ''.
function compile(dir, files) {
  for (const [name, text] of Object.entries(files)) fs.writeFileSync(path.join(dir, name), text);
  fs.writeFileSync(path.join(dir, 'tsconfig.json'), JSON.stringify({
    compilerOptions: {
      strict: true, noEmit: true, allowJs: true, checkJs: true, target: 'ES2022', module: 'NodeNext',
      moduleResolution: 'NodeNext', moduleDetection: 'force', lib: ['ES2022', 'DOM'], types: [],
      skipLibCheck: false,
    },
    files: Object.keys(files),
  }));
  try {
    execFileSync(tsc, ['-p', '.', '--pretty', 'false'], { cwd: dir, encoding: 'utf8' });
    return '';
  } catch (e) {
    return `${e.stdout}${e.stderr}`;
  }
}

// A project folder with the client installed by name and copied next to the examples.
function project(name) {
  const dir = path.join(work, name);
  fs.mkdirSync(path.join(dir, 'node_modules'), { recursive: true });
  fs.symlinkSync(client, path.join(dir, 'node_modules/noxhalvorant-client'));
  const pkg = JSON.parse(fs.readFileSync(path.join(client, 'package.json'), 'utf8'));
  for (const f of pkg.files.filter((f) => /\.(js|d\.ts)$/.test(f))) fs.symlinkSync(path.join(client, f), path.join(dir, f));
  fs.writeFileSync(path.join(dir, 'package.json'), '{ "type": "module" }');
  return dir;
}

before(() => {
  assert.ok(fs.existsSync(tsc), `${tsc} is missing: run 'bash scripts/setup.sh test'`);
  work = fs.mkdtempSync(path.join(os.tmpdir(), 'nox-doc-examples-'));
});
after(() => fs.rmSync(work, { recursive: true, force: true }));

test('the check itself: a block is found and a known fault fails it', () => {
  const md = 'Text\n\n```ts\nconst a: number = 1;\n```\n\n```sh\nls\n```\n\n~~~js\nlet b = 2;\n~~~\n';
  assert.deepEqual(codeBlocks(md), [
    { line: 3, lang: 'ts', code: 'const a: number = 1;\n' },
    { line: 11, lang: 'js', code: 'let b = 2;\n' },
  ]);
  // An empty error text cannot narrow the union: the fault page authors met under strict.
  const out = compile(project('fault'), {
    'fault.js': "import { encryptParameter } from './noxhalvorant.js';\n" +
      "const enc = await encryptParameter({ Data: 'x' }, 'Data', 'k'.repeat(32));\n" +
      'if (!enc.error) console.log(enc.params);\n',
  });
  assert.match(out, /TS2339/);
});

test('every JavaScript and TypeScript example of the docs compiles under strict', () => {
  const dir = project('docs');
  const files = {};
  const origin = {};
  for (const doc of docFiles()) {
    const text = fs.readFileSync(path.join(repo, doc), 'utf8');
    for (const block of codeBlocks(text)) {
      const name = `${doc.replace(/[/.]/g, '_')}_${block.line}.${block.lang}`;
      files[name] = block.code;
      origin[name] = `${doc}:${block.line}`;
    }
  }
  assert.ok(Object.keys(files).length > 0, 'no example found: the extraction is broken');
  const out = compile(dir, files);
  // tsc names the file; say which document and line that is.
  const readable = out.replace(/^(\w+\.(?:js|ts))/gm, (name) => origin[name] ?? name);
  assert.equal(readable, '', `examples that do not compile:\n${readable}`);
});
