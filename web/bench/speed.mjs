// Decoding speed of the WebAssembly module in Node and in headless
// Chromium against the native plug-in (velka, one thread), on the bundled
// stereo 44.1 kHz piece played PASSES times round as one loop, so that each
// run is one long decode and start-up costs do not count. Reports the best
// of REPEATS runs as multiples of real time. A benchmark, not a test.
//
//   npm run bench            (VELKA, CHROMIUM, PASSES, REPEATS as in the tests)
import { execFileSync } from 'node:child_process';
import { mkdirSync, mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import puppeteer from 'puppeteer-core';

import { init, VelkDecoder } from '../src/index.js';
import { startServer } from '../tools/serve.mjs';
import { demo, root, velka } from '../test/support.mjs';

const passes = Number(process.env.PASSES ?? 20);
const repeats = Number(process.env.REPEATS ?? 5);
const bytes = readFileSync(demo);
const out = `${root}build/web`;
mkdirSync(out, { recursive: true });

// Decodes every pass; returns the seconds of audio. Self-contained, so
// that the page can run it too.
function decodeLoop(Decoder, data, count) {
  const d = new Decoder();
  d.push(data);
  d.end();
  const { totalSamples, sampleRate } = d.info;
  d.setLoop(0, totalSamples, count);
  let frames = 0;
  while (!d.ended) frames += d.pull(1 << 16).length / 2;
  d.close();
  if (frames !== totalSamples * count) throw new Error(`decoded ${frames} frames`);
  return frames / sampleRate;
}

function best(runs) {
  return Math.max(...runs);
}

// Native: velka's own process, CPU time from the shell's `times`.
function native() {
  const runs = [];
  for (let i = 0; i < repeats; ++i) {
    const report = execFileSync('bash', ['-c',
      '"$0" decode "$1" "$2" --raw -f --loop 0 "$3" --loop-count "$4" && times',
      velka, demo, `${out}/bench-native.raw`, '727650', String(passes)], { encoding: 'utf8' });
    // times: shell user/sys, then children user/sys ("0m1.234s 0m0.012s").
    const seconds = report.trim().split('\n').pop().match(/(\d+)m([\d.]+)s/g)
      .map((t) => { const [, m, s] = t.match(/(\d+)m([\d.]+)s/); return Number(m) * 60 + Number(s); });
    runs.push((16.5 * passes) / (seconds[0] + seconds[1]));
  }
  rmSync(`${out}/bench-native.raw`, { force: true });
  return best(runs);
}

async function node() {
  await init();
  const runs = [];
  for (let i = 0; i < repeats; ++i) {
    const before = process.cpuUsage();
    const audio = decodeLoop(VelkDecoder, bytes, passes);
    const used = process.cpuUsage(before);
    runs.push(audio / ((used.user + used.system) / 1e6));
  }
  return best(runs);
}

async function chromium() {
  const server = await startServer(new URL('../', import.meta.url).pathname);
  const profile = mkdtempSync(`${tmpdir()}/velk-bench-`);
  const browser = await puppeteer.launch({
    executablePath: process.env.CHROMIUM ?? '/usr/bin/chromium',
    headless: true,
    args: [...(process.getuid?.() === 0 ? ['--no-sandbox'] : []), '--disable-gpu',
      '--no-first-run', '--disable-background-networking', '--disable-component-update',
      '--disable-sync', `--user-data-dir=${profile}`],
  });
  try {
    const page = await browser.newPage();
    await page.goto(`http://127.0.0.1:${server.address().port}/player/`);
    await page.evaluate(async (source) => {
      const { init: start, VelkDecoder } = await import('/src/index.js');
      await start();
      window.bench = { VelkDecoder, data: Uint8Array.from(atob(source), (c) => c.charCodeAt(0)) };
    }, bytes.toString('base64'));
    // The page's main thread's CPU time (thread ticks), not the wall clock
    // of a shared machine.
    const cdp = await page.createCDPSession();
    await cdp.send('Performance.enable', { timeDomain: 'threadTicks' });
    const cpu = async () => (await cdp.send('Performance.getMetrics')).metrics
      .find((m) => m.name === 'TaskDuration').value;
    const runs = [];
    for (let i = 0; i < repeats; ++i) {
      const before = await cpu();
      // The same decodeLoop as in Node, its source sent to the page.
      const audio = await page.evaluate(
        `(${decodeLoop})(window.bench.VelkDecoder, window.bench.data, ${passes})`);
      runs.push(audio / ((await cpu()) - before));
    }
    if (process.env.VERBOSE) console.log('chromium runs', runs.map((r) => r.toFixed(0)).join(' '));
    return best(runs);
  } finally {
    await browser.close();
    server.close();
    rmSync(profile, { recursive: true, force: true });
  }
}

const n = native();
const results = [['native (velka, 1 thread, CPU time)', n], ['Node (CPU time)', await node()],
  ['Chromium (CPU time)', await chromium()]];
console.log(`stereo 44.1 kHz, ${passes} passes of ${demo.replace(root, '')}, best of ${repeats}`);
for (const [what, speed] of results) {
  console.log(`${what.padEnd(36)} ${speed.toFixed(0).padStart(6)}x real time  ${(100 * speed / n).toFixed(0).padStart(4)} % of native`);
}
