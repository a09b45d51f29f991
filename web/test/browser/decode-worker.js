// A module worker that streams a file through VelkDecoder, as a page
// decoding off its main thread would: bytes in 4096-byte pieces, PCM out,
// the SHA-256 of the PCM back.
import { VelkDecoder } from '../../src/index.js';

self.onmessage = async ({ data: bytes }) => {
  try {
    const d = await VelkDecoder.create();
    const parts = [];
    for (let at = 0; at < bytes.length; at += 4096) {
      d.push(bytes.subarray(at, at + 4096));
      parts.push(d.pull(4096));
    }
    d.end();
    while (!d.ended) parts.push(d.pull(4096));
    d.close();
    const pcm = new Uint8Array(parts.reduce((n, p) => n + p.byteLength, 0));
    let at = 0;
    for (const p of parts) {
      pcm.set(new Uint8Array(p.buffer, p.byteOffset, p.byteLength), at);
      at += p.byteLength;
    }
    const digest = new Uint8Array(await crypto.subtle.digest('SHA-256', pcm));
    self.postMessage([...digest].map((b) => b.toString(16).padStart(2, '0')).join(''));
  } catch (e) {
    self.postMessage(`error: ${e.message}`);
  }
};
