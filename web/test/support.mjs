// What the web tests share: the repository's files and the native decoder
// (`velka`, from the release build unless VELKA names another) whose
// output the module must reproduce.
import { execFileSync } from 'node:child_process';
import { readFileSync, readdirSync } from 'node:fs';
import { fileURLToPath } from 'node:url';

export const root = fileURLToPath(new URL('../../', import.meta.url));
export const vectors = `${root}tests/data/vectors/files/`;
export const demo = `${root}samples/demo.velka`;
export const velka = process.env.VELKA ?? `${root}build/release/tools/velka/velka`;

// The known-answer files: name, the file's bytes and the expected PCM.
export const knownAnswers = readdirSync(vectors)
  .filter((f) => f.endsWith('.VELKA'))
  .sort()
  .map((f) => ({
    name: f.replace('.VELKA', ''),
    path: vectors + f,
    bytes: readFileSync(vectors + f),
    pcm: readFileSync(vectors + f.replace('.VELKA', '.pcm')),
  }));

// velka's output; exit status 3 says the file is damaged, and its output
// (what decodes, or the report listing the problems) still counts.
function runVelka(args, options) {
  try {
    return execFileSync(velka, args, options);
  } catch (e) {
    if (e.status === 3) return e.stdout;
    throw e;
  }
}

// Raw 16-bit PCM from `velka decode FILE - --raw ARGS...`.
export function nativeDecode(path, ...args) {
  return runVelka(['decode', path, '-', '--raw', ...args.map(String)], {
    maxBuffer: 1 << 28,
    stdio: ['ignore', 'pipe', 'pipe'], // damage lines stay out of the report
  });
}

export function bytesOf(pcm) {
  return Buffer.from(pcm.buffer, pcm.byteOffset, pcm.byteLength);
}

// What `velka info --json FILE` reports.
export function nativeInfo(path) {
  return JSON.parse(runVelka(['info', '--json', path], {
    encoding: 'utf8',
    stdio: ['ignore', 'pipe', 'pipe'],
  }));
}
