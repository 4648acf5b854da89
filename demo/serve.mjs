#!/usr/bin/env node
// Static server for the demo pages and the client module, loopback only.
//
//   node demo/serve.mjs [PORT] [--port N] [--cert FILE --key FILE]
//
// Serves /demo/* and /clients/js/* of this checkout (GET and HEAD); "/" leads to the
// demo. It listens on 127.0.0.1 and, when available, ::1, so the same page can be
// opened under two origins (http://localhost:N and http://127.0.0.1:N), which the
// value-store demo uses. With --cert and --key it speaks HTTPS.
//
// It also plays the relying party of the "Sign in" demo: POST /demo/api/challenge gives a
// fresh challenge (one use, 2 minutes), POST /demo/api/sign-in {token, challenge} checks
// the token with clients/verify for the page's own origin and answers the subject.

import http from 'node:http';
import https from 'node:https';
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';
import { randomBytes } from 'node:crypto';
import { verifyAuthToken } from '../clients/verify/index.js';

const ROOT = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..');
const SERVED = ['demo', 'clients/js'];
const TYPES = {
  '.html': 'text/html; charset=utf-8',
  '.js': 'text/javascript; charset=utf-8',
  '.mjs': 'text/javascript; charset=utf-8',
  '.css': 'text/css; charset=utf-8',
  '.json': 'application/json; charset=utf-8',
  '.md': 'text/plain; charset=utf-8',
  '.svg': 'image/svg+xml',
  '.png': 'image/png',
  '.ico': 'image/x-icon',
};

// URL path → file inside one of the served folders, or null.
export function resolveFile(urlPath, root = ROOT) {
  let pathname;
  try {
    pathname = decodeURIComponent(new URL(urlPath, 'http://x').pathname);
  } catch {
    return null;
  }
  if (pathname.includes('\0') || pathname.includes('\\')) return null;
  if (pathname.endsWith('/')) pathname += 'index.html';
  const file = path.resolve(root, '.' + pathname);
  const inside = SERVED.some((dir) => file.startsWith(path.resolve(root, dir) + path.sep));
  return inside ? file : null;
}

const CHALLENGE_MS = 120000;
const MAX_BODY = 65536;

// The sign-in demo's relying party: challenges issued and not used yet (Base64 -> expiry).
function signInApi(req, res, pending, scheme) {
  const json = (status, value) => {
    res.writeHead(status, { 'Content-Type': 'application/json; charset=utf-8', 'Cache-Control': 'no-store' });
    res.end(JSON.stringify(value));
  };
  const now = Date.now();
  for (const [c, expiry] of pending) if (expiry < now) pending.delete(c);
  if (req.url === '/demo/api/challenge') {
    const challenge = randomBytes(32).toString('base64');
    pending.set(challenge, now + CHALLENGE_MS);
    return json(200, { challenge });
  }
  const chunks = [];
  let size = 0;
  req.on('data', (c) => {
    size += c.length;
    if (size > MAX_BODY) req.destroy();
    else chunks.push(c);
  });
  req.on('end', () => {
    let body;
    try {
      body = JSON.parse(Buffer.concat(chunks).toString('utf8'));
    } catch {
      return json(400, { code: 'FORMAT', message: 'The request is not JSON.' });
    }
    // One use: a token for a challenge seen before is refused, whatever it says.
    if (typeof body?.challenge !== 'string' || !pending.delete(body.challenge))
      return json(401, { code: 'CHALLENGE', message: 'This server did not issue that challenge, or it was used.' });
    try {
      // The page's own origin, as this loopback server is reached.
      const subject = verifyAuthToken(body.token, {
        expectedOrigin: `${scheme}://${req.headers.host}`, challenge: body.challenge,
      });
      return json(200, { subject });
    } catch (e) {
      return json(401, { code: e.code || 'ERROR', message: e.message });
    }
  });
}

function handle(req, res, root, pending, scheme) {
  const send = (status, body, headers = {}) => {
    res.writeHead(status, { 'Content-Type': 'text/plain; charset=utf-8', ...headers });
    res.end(req.method === 'HEAD' ? undefined : body);
  };
  if (req.method === 'POST' && (req.url === '/demo/api/challenge' || req.url === '/demo/api/sign-in'))
    return signInApi(req, res, pending, scheme);
  if (req.method !== 'GET' && req.method !== 'HEAD') return send(405, 'Method not allowed\n', { Allow: 'GET, HEAD' });
  if (req.url === '/' || req.url === '/demo') return send(302, '', { Location: '/demo/index.html' });
  const file = resolveFile(req.url, root);
  if (!file) return send(404, 'Not found\n');
  fs.stat(file, (err, st) => {
    if (err || !st.isFile()) return send(404, 'Not found\n');
    res.writeHead(200, {
      'Content-Type': TYPES[path.extname(file)] || 'application/octet-stream',
      'Content-Length': st.size,
      'Cache-Control': 'no-store',
      'X-Content-Type-Options': 'nosniff',
    });
    if (req.method === 'HEAD') return res.end();
    fs.createReadStream(file).on('error', () => res.destroy()).pipe(res);
  });
}

// → Promise of { servers, urls, close() }. port 0 picks a free port (the same on both
// addresses when ::1 is available).
export async function startServer({ port = 8080, cert, key, root = ROOT, hosts = ['127.0.0.1', '::1'] } = {}) {
  const tls = cert && key ? { cert: fs.readFileSync(cert), key: fs.readFileSync(key) } : null;
  const pending = new Map();
  const scheme = tls ? 'https' : 'http';
  const make = () => (tls ? https.createServer(tls, (q, s) => handle(q, s, root, pending, scheme))
    : http.createServer((q, s) => handle(q, s, root, pending, scheme)));
  const servers = [];
  const urls = [];
  let chosen = port;
  for (const [i, host] of hosts.entries()) {
    const server = make();
    try {
      await new Promise((resolve, reject) => {
        server.once('error', reject);
        server.listen(chosen, host, resolve);
      });
    } catch (e) {
      if (i === 0) throw e;  // the IPv4 address is required, ::1 is a bonus
      continue;
    }
    chosen = server.address().port;
    servers.push(server);
    urls.push(`${scheme}://${host.includes(':') ? `[${host}]` : host}:${chosen}/`);
  }
  return {
    servers,
    urls,
    port: chosen,
    close: () => Promise.all(servers.map((s) => new Promise((resolve) => {
      s.closeAllConnections?.();
      s.close(() => resolve());
    }))),
  };
}

function parseArgs(argv) {
  const out = {};
  for (let i = 0; i < argv.length; i++) {
    const a = argv[i];
    if (a === '--port' || a === '--cert' || a === '--key') out[a.slice(2)] = argv[++i];
    else if (/^\d+$/.test(a)) out.port = a;
    else return { error: `unknown argument: ${a}` };
  }
  if (out.port !== undefined) {
    const p = Number(out.port);
    if (!Number.isInteger(p) || p < 0 || p > 65535) return { error: `bad port: ${out.port}` };
    out.port = p;
  }
  if (Boolean(out.cert) !== Boolean(out.key)) return { error: '--cert and --key go together' };
  return out;
}

async function main() {
  const args = parseArgs(process.argv.slice(2));
  if (args.error) {
    console.error(`serve: ${args.error}\nusage: node demo/serve.mjs [PORT] [--port N] [--cert FILE --key FILE]`);
    process.exit(2);
  }
  let srv;
  try {
    srv = await startServer(args);
  } catch (e) {
    console.error(`serve: ${e.message}`);
    process.exit(1);
  }
  const scheme = args.cert ? 'https' : 'http';
  console.log(`serving ${SERVED.join(', ')} of ${ROOT} on ${srv.urls.join(' ')}`);
  console.log(`demo: ${scheme}://localhost:${srv.port}/demo/index.html`);
  const stop = () => srv.close().then(() => process.exit(0));
  process.on('SIGINT', stop);
  process.on('SIGTERM', stop);
}

if (process.argv[1] && import.meta.url === pathToFileURL(path.resolve(process.argv[1])).href) main();
