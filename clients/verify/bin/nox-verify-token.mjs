#!/usr/bin/env node
// Verifies a sign-in token read from standard input:
//   nox-verify-token --origin ORIGIN --challenge BASE64 [--ca FILE]...
// Prints the certificate's subject and exits 0, or prints CODE: message and exits 1.
import fs from 'node:fs';
import { parseArgs } from 'node:util';
import { verifyAuthToken } from '../index.js';

const { values } = parseArgs({
  options: { origin: { type: 'string' }, challenge: { type: 'string' }, ca: { type: 'string', multiple: true } },
});
try {
  const subject = verifyAuthToken(fs.readFileSync(0, 'utf8'), {
    expectedOrigin: values.origin,
    challenge: values.challenge,
    trustedCAs: values.ca?.map((file) => fs.readFileSync(file)),
  });
  console.log(subject);
} catch (e) {
  console.error(e.code ? `${e.code}: ${e.message}` : String(e));
  process.exit(1);
}
