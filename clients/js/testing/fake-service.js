// A tiny stand-in for the service on a loopback port: it reads the form field
// "Parameter" the way the service's form parser does, decodes the Base64 JSON, and
// answers a flat object whose values are Base64, written as the service writes it.

import http from 'node:http';

// Form parser as the service's library sees it: a value holding a literal '=' is dropped.
function formField(body, name) {
  for (const part of body.split('&')) {
    const eq = part.indexOf('=');
    if (eq < 0) continue;
    const key = decodeURIComponent(part.slice(0, eq));
    const raw = part.slice(eq + 1);
    if (key !== name || raw.includes('=')) continue;
    return decodeURIComponent(raw.replace(/\+/g, ' '));
  }
  return null;
}

// {"k": "v", "k2": "v2"} with Base64 values.
export function serviceAnswer(values) {
  const parts = Object.entries(values).map(
    ([k, v]) => `"${k}": "${Buffer.from(String(v), 'utf8').toString('base64')}"`);
  return parts.length ? `{${parts.join(', ')}}` : '{}';
}

// handler(request, seen) → values to answer, or { $close: true } (drop the connection),
// { $hang: true } (never answer), { $status, $body } (raw answer), or a Promise of these.
export async function startFake(handler) {
  const seen = [];
  let inFlight = 0;
  let maxInFlight = 0;
  const sockets = new Set();
  const server = http.createServer((req, res) => {
    const chunks = [];
    req.on('data', (c) => chunks.push(c));
    req.on('end', async () => {
      const body = Buffer.concat(chunks).toString('latin1');
      const entry = { method: req.method, headers: req.headers, body, json: null, request: null };
      seen.push(entry);
      const isForm = (req.headers['content-type'] || '').startsWith('application/x-www-form-urlencoded');
      const field = req.method === 'POST' && isForm ? formField(body, 'Parameter') : null;
      if (field !== null) {
        entry.json = Buffer.from(field, 'base64').toString('utf8');
        try {
          entry.request = JSON.parse(entry.json);
        } catch {
          entry.request = null;
        }
      }
      if (entry.request === null) {
        req.socket.destroy();  // the service closes without an answer
        return;
      }
      inFlight += 1;
      maxInFlight = Math.max(maxInFlight, inFlight);
      let out;
      try {
        out = await handler(entry.request, seen);
      } finally {
        inFlight -= 1;
      }
      if (out && out.$hang) return;
      if (out && out.$close) {
        req.socket.destroy();
        return;
      }
      if (out && out.$status) {
        res.writeHead(out.$status, { 'Access-Control-Allow-Origin': '*' });
        res.end(out.$body ?? '');
        return;
      }
      res.writeHead(200, { 'X-XSS-Protection': '1; mode=block' });
      res.end(serviceAnswer(out || {}));
    });
  });
  server.on('connection', (s) => {
    sockets.add(s);
    s.on('close', () => sockets.delete(s));
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  const { port } = server.address();
  return {
    url: `http://127.0.0.1:${port}/`,
    port,
    seen,
    maxInFlight: () => maxInFlight,
    posts: () => seen.filter((e) => e.request !== null),
    close: () => new Promise((resolve) => {
      for (const s of sockets) s.destroy();
      server.close(() => resolve());
    }),
  };
}

// A loopback URL where nothing listens (the port was just freed).
export async function deadUrl() {
  const server = http.createServer();
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  const { port } = server.address();
  await new Promise((resolve) => server.close(resolve));
  return `http://127.0.0.1:${port}/`;
}
