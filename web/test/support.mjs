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

// Raw 16-bit PCM from `velka decode FILE - --raw ARGS...`.
export function nativeDecode(path, ...args) {
  return execFileSync(velka, ['decode', path, '-', '--raw', ...args.map(String)], {
    maxBuffer: 1 << 28,
    stdio: ['ignore', 'pipe', 'pipe'], // warnings on damaged files stay out of the report
  });
}

export function bytesOf(pcm) {
  return Buffer.from(pcm.buffer, pcm.byteOffset, pcm.byteLength);
}

// What `velka info --json FILE` reports.
export function nativeInfo(path) {
  return JSON.parse(execFileSync(velka, ['info', '--json', path], { encoding: 'utf8' }));
}
