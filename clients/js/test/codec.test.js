import { test } from 'node:test';
import assert from 'node:assert/strict';

import {
  base64ToText, textToBase64, formBody, parseAnswer, checkParams, putText, withBase64Flag,
  readsBackAsWritten,
} from '../codec.js';
import { describeResult } from '../noxhalvorant.js';
import { serviceAnswer } from '../testing/fake-service.js';

test('UTF-8 Base64 round-trips any text and matches the standard encoding', () => {
  for (const text of ['', 'abc', 'ab', 'Grüße €', '𝄞 and 中文', 'line\nbreak', '+/=']) {
    const b64 = textToBase64(text);
    assert.equal(b64, Buffer.from(text, 'utf8').toString('base64'), text);
    assert.equal(base64ToText(b64), text);
  }
});

test('answer values that are not strict Base64 are refused', () => {
  for (const bad of ['YWJ', 'YW Jj', 'YWJj\n', 'YW-j', '====', 'Y===', 42, null]) {
    assert.equal(base64ToText(bad), null, String(bad));
  }
});

test('form body: one URL-encoded field, no literal "=", "+" or "/" in its value', () => {
  // '>>>?' Base64-encodes to Pj4+Pw== : exercises all three characters.
  const body = formBody({ FunctionName: 'Echo', Data: '>>>?', N: 1, B: true, Z: null });
  assert.match(body, /^Parameter=[A-Za-z0-9%]+$/);
  const value = decodeURIComponent(body.slice('Parameter='.length));
  const json = Buffer.from(value, 'base64').toString('utf8');
  assert.equal(json, '{"FunctionName":"Echo","Data":">>>?","N":1,"B":true,"Z":null}');
  assert.ok(formBody({ x: 'ab' }).includes('%3D'));
  assert.ok(formBody({ d: '>>>>' }).includes('%2B'));
  assert.ok(formBody({ d: '???' }).includes('%2F'));
});

test('the main-thread flag is written without spaces', () => {
  const json = Buffer.from(decodeURIComponent(formBody({ F: 'x', MainThread: true }).slice(10)), 'base64')
    .toString();
  assert.ok(json.includes('"MainThread":true'));
});

test('answers are decoded from the service format', () => {
  const values = parseAnswer(serviceAnswer({ result: '0', SessionID: 'abc', LibVersion: '1.2.3.4', e: '' }));
  assert.deepEqual(values, { result: '0', SessionID: 'abc', LibVersion: '1.2.3.4', e: '' });
  assert.deepEqual(parseAnswer('{}'), {});
  assert.deepEqual(parseAnswer('{"result": "w6TigqzwnYSe"}'), { result: 'ä€𝄞' });
  for (const bad of ['', 'not json', '[]', 'null', '"MA=="', '{"result": "M A=="}', '{"a": 1}']) {
    assert.equal(parseAnswer(bad), null, bad);
  }
});

test('parameters are checked before anything is sent', () => {
  const reserved = ['functionname', 'sessionid', 'mainthread'];
  const cases = [
    [{ a: 'x', b: 1, c: true, d: null, e: -2.5 }, null],
    [{}, null],
    [null, /plain object/],
    [['a'], /plain object/],
    [new Map(), /plain object/],
    [{ a: { b: 'c' } }, /must be a text/],
    [{ a: [1] }, /must be a text/],
    [{ a: undefined }, /must be a text/],
    [{ a: NaN }, /must be a text/],
    [{ a: 1n }, /must be a text/],
    [{ '': 'x' }, /cannot be sent/],
    [{ 'a"b': 'x' }, /cannot be sent/],
    [{ 'a\\b': 'x' }, /cannot be sent/],
    [{ 'a\nb': 'x' }, /cannot be sent/],
    [{ sessionId: 'x' }, /reserved/],
    [{ MAINTHREAD: true }, /reserved/],
    [{ Key: 1, key: 2 }, /repeated/],
    [Object.fromEntries(Array.from({ length: 126 }, (_, i) => [`k${i}`, i])), /more than 128/],
    [Object.fromEntries(Array.from({ length: 125 }, (_, i) => [`k${i}`, i])), null],
  ];
  cases.forEach(([params, want], i) => {
    const got = checkParams(params, reserved);
    if (want === null) assert.equal(got, null, `case ${i}`);
    else assert.match(got ?? '', want, `case ${i}`);
  });
});

test('texts the service would read back altered travel Base64-flagged', () => {
  const cases = [
    ['plain', true],
    ['tab\tline\nquote"', true],
    ['ä€𝄞', true],
    ['C:\\dir', false],
    ['bell\u0007', false],
    ['\ud800 lone', false],
  ];
  for (const [text, plain] of cases) {
    assert.equal(readsBackAsWritten(text), plain, JSON.stringify(text));
    const req = {};
    const flag = putText(req, 'value', text);
    if (plain) {
      assert.deepEqual(req, { value: text });
      assert.equal(flag, null);
    } else {
      assert.equal(req.value_HalvorantBase64Flag, 'true');
      // A lone surrogate has no UTF-8 form; it goes as U+FFFD, as everywhere.
      assert.equal(Buffer.from(req.value, 'base64').toString('utf8'), text.toWellFormed());
    }
  }
  const p = withBase64Flag({ path: 'C:\\x', other: 1 }, 'path');
  assert.deepEqual(p, { path: 'QzpceA==', other: 1, path_HalvorantBase64Flag: 'true' });
});

test('result codes have readable descriptions', () => {
  const cases = [
    [0, /Success/],
    ['61001', /connection|stored value/],
    [61005, /channel/],
    [61009, /adapter/],
    [61012, /origin/],
    [61019, /full/],
    [61020, /encrypted/],
    [61203, /minServerVersion/],
    [61204, /minLibVersion/],
    [61902, /loaded/],
    [61904, /localhost/],
    [61906, /entry point/],
    [61205, /adapter reported error code 61205/],
    ['heartbeat', /still running/],
    [7, /Result code 7/],
  ];
  for (const [code, want] of cases) assert.match(describeResult(code), want, String(code));
  for (const text of ['hello', '', '6100x', null, undefined, 1.5]) assert.equal(describeResult(text), null);
});
