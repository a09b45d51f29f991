// The player page in headless Chromium (Debian's, driven by puppeteer-core):
// files opened through the page's own file input decode to the native
// decoder's PCM, the facts are shown, a loop rendered through the page's
// AudioWorklet matches the native loop decode, and a screenshot is kept.
import assert from 'node:assert/strict';
import { createHash } from 'node:crypto';
import {
  existsSync, mkdirSync, mkdtempSync, readFileSync, rmSync, statSync, writeFileSync,
} from 'node:fs';
import { tmpdir } from 'node:os';
import { after, before, test } from 'node:test';
import puppeteer from 'puppeteer-core';

import { startServer } from '../../tools/serve.mjs';
import { demo, knownAnswers, nativeDecode, nativeInfo, root } from '../support.mjs';

const chromium = process.env.CHROMIUM ?? '/usr/bin/chromium';
const outDir = `${root}build/web`;
let server;
let browser;
let page;
let profile;

const sha256 = (bytes) => createHash('sha256').update(bytes).digest('hex');

before(async () => {
  server = await startServer(new URL('../../', import.meta.url).pathname);
  profile = mkdtempSync(`${tmpdir()}/velk-chromium-`);
  browser = await puppeteer.launch({
    executablePath: chromium,
    headless: true,
    args: [
      ...(process.getuid?.() === 0 ? ['--no-sandbox'] : []),
      '--disable-gpu', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync', `--user-data-dir=${profile}`,
      '--autoplay-policy=no-user-gesture-required',
    ],
  });
  page = await browser.newPage();
  await page.setViewport({ width: 1100, height: 900 });
  const errors = [];
  page.on('pageerror', (e) => errors.push(e.message));
  await page.goto(`http://127.0.0.1:${server.address().port}/player/`);
  await page.waitForFunction(() => document.body.dataset.state === 'idle', { timeout: 20000 });
  assert.deepEqual(errors, []);
});

after(async () => {
  await browser?.close();
  server?.close();
  if (profile) rmSync(profile, { recursive: true, force: true });
});

// Opens `path` through the page's file input; resolves once the page has
// decoded it (or failed), with what the page shows.
async function open(path) {
  await page.evaluate(() => {
    document.body.dataset.state = 'opening';
    document.getElementById('file').value = ''; // the same file again still changes
  });
  const input = await page.$('#file');
  await input.uploadFile(path);
  await page.waitForFunction(
    () => ['ready', 'error'].includes(document.body.dataset.state), { timeout: 30000 });
  return page.evaluate(async () => ({
    state: document.body.dataset.state,
    sha256: document.body.dataset.state === 'ready' ? await window.velkPlayer.pcmSha256() : null,
    status: document.getElementById('status').textContent,
    rate: document.getElementById('rate').textContent,
    channels: document.getElementById('channels').textContent,
    duration: document.getElementById('duration').textContent,
  }));
}

test('the page decodes every known-answer file and the demo as velka does', async () => {
  const files = [...knownAnswers.map((k) => k.path), demo];
  for (const path of files) {
    const shown = await open(path);
    assert.equal(shown.state, 'ready', `${path}: ${shown.status}`);
    assert.equal(shown.sha256, sha256(nativeDecode(path)), path);
    const info = nativeInfo(path);
    assert.equal(shown.rate, `${info.sample_rate} Hz`, path);
    assert.equal(shown.channels, String(info.channels), path);
    // Files without a seek table have no plug-in answer: the header's length.
    const ms = info.plugin.duration_ms ?? Math.floor(info.duration_seconds * 1000);
    assert.ok(shown.duration.endsWith(`(${ms} ms)`), `${path}: ${shown.duration}`);
  }
});

test('three passes of a loop through the worklet match velka decode --loop', async () => {
  await open(demo);
  const rendered = await page.evaluate(() => window.velkPlayer.renderLoop(44100, 97001, 3));
  const native = nativeDecode(demo, '--loop', 44100, 97001, '--loop-count', 3);
  assert.equal(rendered.frames, native.length / 4);
  assert.equal(rendered.sha256, sha256(native));
});

test('playing moves the playhead and the screenshot is not blank', async () => {
  await open(demo);
  await page.focus('#wave');
  await page.keyboard.press('Space');
  await page.waitForFunction(() => document.getElementById('playhead').textContent !== '0:00.000',
    { timeout: 10000 });
  // Stopping frees the decoder at once, not when the fade-out is over; two
  // plays at once start one player, which one stop ends.
  const streams = await page.evaluate(async () => {
    const host = await (await import('/src/host.js')).loadHost();
    const play = document.getElementById('play');
    play.click();
    const afterStop = host.streams.size;
    play.click();
    play.click();
    await new Promise((resolve) => setTimeout(resolve, 200));
    play.click();
    return [afterStop, host.streams.size];
  });
  assert.deepEqual(streams, [0, 0]);
  assert.equal(await page.$eval('#play', (b) => b.textContent), 'Play');
  // Space on the file input opens the chooser rather than playing.
  await page.focus('#file');
  const [chooser] = await Promise.all([page.waitForFileChooser({ timeout: 5000 }),
    page.keyboard.press('Space')]);
  await chooser.cancel();
  assert.equal(await page.$eval('#play', (b) => b.textContent), 'Play');
  const box = await (await page.$('#wave')).boundingBox();
  await page.mouse.move(box.x + box.width * 0.3, box.y + 50);
  await page.mouse.down();
  await page.mouse.move(box.x + box.width * 0.5, box.y + 50, { steps: 5 });
  await page.mouse.up();
  assert.match(await page.$eval('#loop-label', (l) => l.textContent), /^loop /);
  const lit = await page.$eval('#wave', (c) => {
    const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
    let n = 0;
    for (let i = 0; i < d.length; i += 4) if (d[i + 2] > 200 && d[i] < 150) ++n;
    return n;
  });
  assert.ok(lit > 1000, `waveform pixels: ${lit}`);
  mkdirSync(outDir, { recursive: true });
  const shot = `${outDir}/player.png`;
  await page.screenshot({ path: shot, fullPage: true });
  assert.ok(statSync(shot).size > 20000);
});

test('Download WAV writes the decoded PCM behind a WAV header', async () => {
  await open(demo);
  mkdirSync(outDir, { recursive: true });
  const wav = `${outDir}/demo.wav`;
  rmSync(wav, { force: true });
  const cdp = await page.createCDPSession();
  await cdp.send('Browser.setDownloadBehavior', { behavior: 'allow', downloadPath: outDir });
  await page.click('#download');
  for (let i = 0; i < 100 && !existsSync(wav); ++i) await new Promise((r) => setTimeout(r, 100));
  const bytes = readFileSync(wav);
  assert.equal(bytes.toString('latin1', 0, 4) + bytes.toString('latin1', 8, 16), 'RIFFWAVEfmt ');
  assert.deepEqual([bytes.readUInt16LE(22), bytes.readUInt32LE(24), bytes.readUInt16LE(34)], [2, 44100, 16]);
  assert.ok(bytes.subarray(44).equals(nativeDecode(demo)));
});

test('a module Web Worker streams the demo to velka\'s PCM', async () => {
  const hash = await page.evaluate(async (bytes) => {
    const worker = new Worker('/test/browser/decode-worker.js', { type: 'module' });
    const answer = new Promise((resolve) => { worker.onmessage = (e) => resolve(e.data); });
    worker.postMessage(Uint8Array.from(atob(bytes), (c) => c.charCodeAt(0)));
    const result = await answer;
    worker.terminate();
    return result;
  }, readFileSync(demo).toString('base64'));
  assert.equal(hash, sha256(nativeDecode(demo)));
});

test('bad files end in a message, never a hang', async () => {
  const dir = mkdtempSync(`${tmpdir()}/velk-bad-`);
  const good = knownAnswers.find((k) => k.name === 'ch2-48000').bytes;
  const cases = {
    'empty.velka': new Uint8Array(0),
    'random.velka': new Uint8Array(40000).map((_, i) => (i * 2654435761) >>> 24),
    'truncated.velka': good.subarray(0, 30000),
  };
  for (const [name, bytes] of Object.entries(cases)) {
    writeFileSync(`${dir}/${name}`, bytes);
    const shown = await open(`${dir}/${name}`);
    if (name === 'truncated.velka') assert.equal(shown.state, 'ready', shown.status);
    else assert.match(shown.status, /^Cannot play .*: cannot decode: /, name);
  }
  rmSync(dir, { recursive: true, force: true });
});
