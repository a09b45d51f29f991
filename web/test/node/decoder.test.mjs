// The module in Node against the known answers and the native decoder:
// whole files, streamed input, seeks, loops and bad input.
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { test } from 'node:test';

import { decode, init, VelkDecoder, VelkError } from '../../src/index.js';
import { bytesOf, demo, knownAnswers, nativeDecode } from '../support.mjs';

await init();

// Pushes `bytes` in pieces of `size`, pulling what is ready after each.
function streamed(bytes, size, { trim = false, pull = 1000 } = {}) {
  const d = new VelkDecoder({ trim });
  const parts = [];
  for (let at = 0; at < bytes.length; at += size) {
    d.push(bytes.subarray(at, at + size));
    parts.push(bytesOf(d.pull(pull)));
  }
  d.end();
  while (!d.ended) parts.push(bytesOf(d.pull(pull)));
  d.close();
  return Buffer.concat(parts);
}

function pullAll(d, frames = 4096) {
  const parts = [];
  while (!d.ended) parts.push(bytesOf(d.pull(frames)));
  return Buffer.concat(parts);
}

test('every known-answer file decodes to its PCM, bit for bit', async () => {
  for (const k of knownAnswers) {
    const r = await decode(k.bytes, { trim: false });
    assert.ok(bytesOf(r.pcm).equals(k.pcm), k.name);
    assert.equal(r.frames * r.channels * 2, k.pcm.length, k.name);
  }
});

test('the demo decodes to what velka decode --raw writes', async () => {
  const r = await decode(readFileSync(demo));
  assert.ok(bytesOf(r.pcm).equals(nativeDecode(demo)));
  assert.deepEqual([r.sampleRate, r.channels], [44100, 2]);
});

test('pushed in pieces of 1, 7 and 4096 bytes, files decode the same', () => {
  for (const k of knownAnswers.filter((f) => /ch1|ch6|damage|chord/.test(f.name))) {
    for (const size of [1, 7, 4096]) {
      assert.ok(streamed(k.bytes, size).equals(k.pcm), `${k.name} in ${size}-byte pieces`);
    }
  }
});

test('seeks give what velka decode --start gives', async () => {
  const cases = [
    ['ch1-32000', [0, 1, 137, 255, 400]],
    ['ch2-48000', [3, 250, 333, 499]],
    ['ch6-16000', [10, 260, 499]],
    ['demo', [1500, 7777]],
  ];
  for (const [name, times] of cases) {
    const path = name === 'demo' ? demo : knownAnswers.find((k) => k.name === name).path;
    for (const ms of times) {
      const d = await VelkDecoder.create();
      d.push(readFileSync(path));
      d.end();
      d.seek(ms);
      assert.ok(pullAll(d).equals(nativeDecode(path, '--start', ms)), `${name} at ${ms} ms`);
      d.close();
    }
  }
});

test('a seek before the header has come waits for it', () => {
  const k = knownAnswers.find((f) => f.name === 'ch2-48000');
  const d = new VelkDecoder();
  d.seek(250);
  for (let at = 0; at < k.bytes.length; at += 4096) d.push(k.bytes.subarray(at, at + 4096));
  d.end();
  assert.ok(pullAll(d).equals(nativeDecode(k.path, '--start', 250)));
});

test('three passes of a loop give what velka decode --loop gives', async () => {
  const d = await VelkDecoder.create();
  d.push(readFileSync(demo));
  d.end();
  d.setLoop(44100, 97001, 3);
  assert.ok(pullAll(d, 1000).equals(
    nativeDecode(demo, '--loop', 44100, 97001, '--loop-count', 3)));
  assert.equal(d.loopPasses, 3);
});

test('bad input ends in a clear error or short output, never a hang', async () => {
  const good = knownAnswers.find((k) => k.name === 'ch2-48000');
  let seed = 12345;
  const random = new Uint8Array(50000).map(() => (seed = (seed * 1103515245 + 12345) >>> 0) >>> 24);
  const headerThenNoise = Buffer.concat([good.bytes.subarray(0, 200), random]);
  const errors = [
    ['empty', new Uint8Array(0), /empty/],
    ['random bytes', random, /not a Velk audio file/],
    ['a cut header', good.bytes.subarray(0, 10), /cut short/],
  ];
  for (const [what, bytes, message] of errors) {
    await assert.rejects(decode(bytes), (e) => e instanceof VelkError && message.test(e.message), what);
  }
  const short = [
    ['truncated', good.bytes.subarray(0, good.bytes.length >> 1)],
    ['noise after the header', headerThenNoise],
  ];
  for (const [what, bytes] of short) {
    const r = await decode(bytes, { trim: false });
    assert.ok(r.pcm.length < good.pcm.length / 2, what);
    assert.ok(streamed(bytes, 7).equals(bytesOf(r.pcm)), `${what}, streamed`);
  }
});
