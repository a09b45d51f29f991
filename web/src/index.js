// Velk audio decoding for the browser and Node: the plug-in's WebAssembly
// module behind a streaming decoder (push bytes, pull PCM, seek, loop) and
// a one-call decode. See docs/web.md.
import { loadHost, VelkError } from './host.js';

export { VelkError };

const HEADER_BYTES = 24;
const MAGIC = 0x564c4b31;
// The most a block can hold: a 16-bit payload size and the frame header.
const MAX_BLOCK_BYTES = 0xffff + 4;
// The most one process call is asked for while bytes are still coming: one
// block's output or less, so that a call decodes at most one new block;
// once the input is complete, as much as the host library asks.
const MAX_CALL_FRAMES = 1920;
const MAX_CALL_BYTES = 1 << 20;
// Process calls that deliver nothing yet move on (damaged data, blocks past
// a loop end) are normal; a stream that does so without end is cut off.
const MAX_EMPTY_CALLS = 1 << 16;

let host = null;

// Loads and registers the module; every other call needs it done once.
export async function init() {
  host = await loadHost();
}

function requireHost() {
  if (!host) throw new VelkError('call init() (or await VelkDecoder.create()) first');
  return host;
}

// The 24-byte header as stored (little-endian); null without the magic.
function parseHeader(bytes) {
  if (bytes.length < HEADER_BYTES) return null;
  const v = new DataView(bytes.buffer, bytes.byteOffset, HEADER_BYTES);
  if (v.getUint32(0, true) !== MAGIC) return null;
  const version = bytes[4];
  const seekWord = v.getUint32(20, true);
  return {
    version,
    channels: bytes[5],
    sampleRate: v.getUint16(6, true),
    totalSamples: v.getUint32(8, true),
    maxBlockSize: v.getUint32(12, true),
    fileSize: v.getUint32(16, true),
    seekEntryCount: version === 2 ? seekWord & 0xffff : seekWord,
    blocksPerSeekEntry: version === 2 ? seekWord >>> 16 : 0,
  };
}

// Frame arithmetic of the format: frames one block adds to the output, the
// step in which a skip takes effect, the seek entry that holds a frame.
function samplesPerBlock(rate) {
  const length = rate >= 44100 ? 2048 : rate >= 22050 ? 1024 : 512;
  return length - length / 16;
}
function skipStep(channels) {
  return channels === 1 || channels === 2 ? 16 / (2 * channels) : 1;
}
function entryFirstSample(h, sample) {
  if (sample > h.totalSamples) sample = h.totalSamples - 1;
  const perEntry = h.blocksPerSeekEntry * samplesPerBlock(h.sampleRate);
  let index = 0;
  if (perEntry !== 0 && sample >= perEntry) {
    index = Math.floor((sample - perEntry) / perEntry) + 1;
    if (index >= h.seekEntryCount) index = h.seekEntryCount === 0 ? 0 : h.seekEntryCount - 1;
  }
  return index * perEntry;
}
// The first frame delivered after a jump to `sample` from the entry that
// starts at `first`: the skip stops at the last whole step before it.
function skippedStart(h, first, sample) {
  // A frame past the end counts as the last one; the end itself is kept.
  const target = sample > h.totalSamples ? h.totalSamples - 1 : sample;
  if (target < first) return first;
  const step = skipStep(h.channels);
  return first + Math.floor((target - first) / step) * step;
}

/**
 * A decode stream: bytes go in with push() (in any pieces, as they arrive)
 * and end(); interleaved 16-bit PCM comes out of pull(). Every pushed byte
 * is kept, so that seeks and loops can go back.
 */
export class VelkDecoder {
  static async create(options) {
    await init();
    return new VelkDecoder(options);
  }

  constructor({ trim = true } = {}) {
    this.host = requireHost();
    this.trim = trim;
    this.data = new Uint8Array(1 << 16);
    this.length = 0;
    this.inputEnded = false;
    this.readPos = 0;
    this.starved = false;
    this.wanted = 0; // the input length a starved call needs to go on
    this.stream = 0;
    this.block = 0;
    this.blockBytes = 0;
    this.header = null;
    this.failed = null;
    this.closed = false;
    this.pcmPtr = 0;
    this.pcmBytes = 0;
    this.timelineStart = 0;
    this.timelineBytes = 0;
    this.previousShort = false;
    this.emptyCalls = 0;
    this.ended = false;
    this.loop = null;
    this.limit = Infinity; // the frame the output stops before
    this.pendingSeek = null;
  }

  /** Adds bytes of the file (Uint8Array, ArrayBuffer or a view). */
  push(chunk) {
    if (this.inputEnded) throw new VelkError('push() after end()');
    const bytes = chunk instanceof Uint8Array ? chunk
      : ArrayBuffer.isView(chunk) ? new Uint8Array(chunk.buffer, chunk.byteOffset, chunk.byteLength)
        : new Uint8Array(chunk);
    if (this.length + bytes.length > this.data.length) {
      let size = this.data.length;
      while (size < this.length + bytes.length) size *= 2;
      const grown = new Uint8Array(size);
      grown.set(this.data.subarray(0, this.length));
      this.data = grown;
    }
    this.data.set(bytes, this.length);
    this.length += bytes.length;
  }

  /** No more bytes will come: what is left decodes to the end. */
  end() {
    this.inputEnded = true;
  }

  // The read callback: offset 0 restarts at the file's start, -1 goes on.
  // Asked for more than has been pushed, it delivers what there is and
  // notes the starvation, unless the input has ended.
  read(destination, bytes, offset) {
    if (offset === 0) this.readPos = 0;
    else if (offset !== -1) return 0;
    const available = Math.max(0, this.length - this.readPos);
    if (available < bytes && !this.inputEnded) {
      this.starved = true;
      this.wanted = this.readPos + bytes;
    }
    const n = Math.min(available, bytes);
    this.host.module.HEAPU8.set(this.data.subarray(this.readPos, this.readPos + n), destination);
    this.readPos += n;
    return n;
  }

  // Opens the plug-in's stream once the header and seek table are here.
  // Returns false while more bytes are needed; throws when the file cannot
  // be played.
  ensureOpen() {
    if (this.failed) throw this.failed;
    if (this.closed) throw new VelkError('the decoder is closed');
    if (this.stream) return true;
    if (!this.inputEnded && this.length < Math.max(HEADER_BYTES, this.wanted)) return false;
    this.starved = false;
    const stream = this.host.openStream(this);
    if (stream === 0) {
      if (this.starved) return false;
      const header = parseHeader(this.data.subarray(0, this.length));
      const magic = this.length >= 4 &&
        new DataView(this.data.buffer).getUint32(0, true) === MAGIC;
      const why = !magic ? (this.length === 0 ? 'the input is empty' : 'not a Velk audio file')
        : this.length < HEADER_BYTES ? 'the header is cut short'
          : !header ? 'a Velk audio file of a version this decoder does not read'
          : this.host.pluginError() ?? 'the plug-in refuses the file (damaged or unsupported header)';
      this.failed = new VelkError(`cannot decode: ${why}`);
      throw this.failed;
    }
    this.stream = stream;
    this.header = parseHeader(this.data.subarray(0, HEADER_BYTES));
    const h = this.host;
    const channels = h.query(stream, 'Output channels') ?? this.header.channels;
    const sampleRate = h.query(stream, 'Output sample rate') ?? this.header.sampleRate;
    if (channels < 1 || channels > 8 || sampleRate === 0) {
      this.failed = new VelkError(
        `cannot decode: the file declares ${channels} channels at ${sampleRate} Hz`);
      this.close();
      throw this.failed;
    }
    const duration = h.setting(stream, 'Exact get position', [0x7fffffff]);
    this.facts = {
      sampleRate,
      channels,
      version: this.header.version,
      totalSamples: this.header.totalSamples,
      durationMs: duration ? duration[0] : Math.floor(this.header.totalSamples * 1000 / sampleRate),
      inputBitRate: h.query(stream, 'Input bit rate'),
      canSeek: this.header.version === 2 && this.header.seekEntryCount > 0 &&
        this.header.blocksPerSeekEntry > 0,
    };
    this.frameBytes = 2 * channels;
    this.lookahead = 2 * (Math.min(this.header.maxBlockSize, MAX_BLOCK_BYTES) + 4);
    if (this.trim) this.limit = this.header.totalSamples;
    if (this.pendingSeek !== null) {
      const ms = this.pendingSeek;
      this.pendingSeek = null;
      this.seek(ms);
    }
    return true;
  }

  /**
   * The file's facts once its header is in (null before): sampleRate,
   * channels, version, totalSamples, durationMs, inputBitRate, canSeek.
   */
  get info() {
    return this.ensureOpen() ? this.facts : null;
  }

  /** The file's frame that the next pulled frame comes from. */
  get position() {
    return this.timelineStart + Math.floor(this.timelineBytes / (this.frameBytes || 1));
  }

  // One process call of up to `bytes` into the PCM buffer. While the input
  // is still coming, the stream's whole state (its one block) is saved
  // first and put back if the plug-in ran out of bytes, so that the call
  // can be made again, unchanged, once more have come.
  process(bytes) {
    const h = this.host;
    if (bytes > this.pcmBytes) {
      if (this.pcmPtr) h.module._free(this.pcmPtr);
      this.pcmBytes = Math.max(bytes, 1 << 14);
      this.pcmPtr = h.malloc(this.pcmBytes);
    }
    let saved = null;
    const readPos = this.readPos;
    if (!this.inputEnded) {
      saved = h.module.HEAPU8.slice(this.block, this.block + this.blockBytes);
      this.starved = false;
    }
    const got = Math.min(h.fn.process(this.stream, this.pcmPtr, bytes) >>> 0, bytes);
    if (saved && this.starved) {
      h.module.HEAPU8.set(saved, this.block);
      this.readPos = readPos;
      return -1;
    }
    return got;
  }

  /**
   * Up to `frames` frames of interleaved 16-bit PCM. Fewer come back when
   * more input is needed (push more) or the stream has ended (`ended`).
   */
  pull(frames) {
    if (!this.ensureOpen()) return new Int16Array(0);
    const want = Math.max(0, Math.floor(frames)) * this.frameBytes;
    // Made once a call is made, so that pulls waiting for input cost nothing.
    let outBytes = null;
    let done = 0;
    while (done < want && !this.ended) {
      const now = this.position;
      if (this.loop && now >= this.loop.end) {
        if (!this.endLoopPass()) break;
        continue;
      }
      if (now >= this.limit && this.timelineBytes % this.frameBytes === 0) {
        this.ended = true;
        break;
      }
      let left = want - done;
      const stop = this.loop ? Math.min(this.loop.end, this.limit) : this.limit;
      if (stop !== Infinity) {
        left = Math.min(left, (stop - now) * this.frameBytes - this.timelineBytes % this.frameBytes);
      }
      const ask = Math.min(left, this.inputEnded ? MAX_CALL_BYTES : MAX_CALL_FRAMES * this.frameBytes);
      // While bytes are still coming, wait until two whole blocks are here:
      // then the call almost never runs short of input.
      if (!this.inputEnded &&
          (this.length - this.readPos < this.lookahead || this.length < this.wanted)) break;
      // Only an empty call after a short one is judged by its progress.
      const before = this.previousShort ? this.progress() : null;
      const got = this.process(ask);
      if (got < 0) break; // more input needed
      outBytes ??= new Uint8Array(want);
      outBytes.set(this.host.module.HEAPU8.subarray(this.pcmPtr, this.pcmPtr + got), done);
      done += got;
      this.timelineBytes += got;
      if (got === ask) {
        this.previousShort = false;
        this.emptyCalls = 0;
        continue;
      }
      // A short result: the input ended, sync was lost (the next call finds
      // it again) or the loop end was reached. Only an empty call right
      // after a short one can mean the end.
      const wasShort = this.previousShort;
      this.previousShort = true;
      if (got !== 0) {
        this.emptyCalls = 0;
        continue;
      }
      if (++this.emptyCalls >= MAX_EMPTY_CALLS) {
        this.ended = true;
        break;
      }
      if (!wasShort) continue;
      if (this.loop) {
        if (!this.endLoopPass()) break;
        continue;
      }
      const after = this.progress();
      if (!before || !after || (before[0] === after[0] && before[1] === after[1])) {
        this.ended = true;
      }
    }
    if (done === 0) return new Int16Array(0);
    return new Int16Array(done === want ? outBytes.buffer : outBytes.buffer.slice(0, done));
  }

  progress() {
    const p = this.host.query(this.stream, 'Position');
    const r = this.host.query(this.stream, 'Output reservoir');
    return p === null || r === null ? null : [p, r];
  }

  // Moves the input to `position` and tells the stream.
  moveInput(position) {
    this.readPos = position;
    this.host.fn.seek(this.stream, position | 0);
  }

  restartTimeline(frame) {
    this.timelineStart = frame;
    this.timelineBytes = 0;
    this.previousShort = false;
    this.emptyCalls = 0;
    this.ended = false;
  }

  /**
   * The sample-exact seek: the next pulled frame is the one at `ms`, moved
   * back to the skip's step (4 frames for stereo, 8 for mono). Before the
   * header has come the seek waits for it. Throws when the file has no
   * seek table.
   */
  seek(ms) {
    if (!this.ensureOpen()) {
      this.pendingSeek = ms;
      return;
    }
    if (!this.facts.canSeek) throw new VelkError('cannot seek: the file has no usable seek table');
    ms = Math.max(0, Math.floor(ms)) >>> 0;
    const target = Math.floor(ms * this.facts.sampleRate / 1000);
    const lookup = this.host.setting(this.stream, 'Seek table lookup', [ms]);
    const exact = this.host.setting(this.stream, 'Exact seek', [ms]);
    if (!exact) throw new VelkError('cannot seek: the plug-in refuses');
    const first = lookup ? lookup[1] : entryFirstSample(this.header, target);
    this.moveInput(exact[0]);
    this.restartTimeline(skippedStart(this.header, first, target));
  }

  /**
   * Plays the frames [start, end) again and again: `passes` times in all
   * (0, the default: until cleared), then the stream ends. Passes after
   * the first start at `start` moved back to the skip's step. null clears.
   */
  setLoop(start, end, passes = 0) {
    if (!this.ensureOpen()) throw new VelkError('setLoop() before the header has come');
    if (start === null || start === undefined) {
      this.loop = null;
      return;
    }
    if (!this.facts.canSeek) throw new VelkError('cannot loop: the file has no usable seek table');
    if (!(start >= 0 && start < end && end <= this.header.totalSamples)) {
      throw new VelkError(`cannot loop ${start}..${end}: outside 0..${this.header.totalSamples}`);
    }
    const positions = this.host.setting(this.stream, 'Set Looping Samples', [start, end]);
    if (!positions) throw new VelkError('cannot loop: the plug-in refuses');
    this.loop = {
      end,
      passes,
      done: 0,
      position: positions[0],
      start: skippedStart(this.header, entryFirstSample(this.header, start), start),
    };
  }

  /** Passes of the loop completed so far. */
  get loopPasses() {
    return this.loop ? this.loop.done : 0;
  }

  // Ends a loop pass: back to the loop start for the next one, or the end.
  endLoopPass() {
    const l = this.loop;
    ++l.done;
    const emptyRepeat = l.done > 1 && this.timelineBytes === 0;
    if ((l.passes !== 0 && l.done >= l.passes) || emptyRepeat) {
      this.ended = true;
      return false;
    }
    this.moveInput(l.position);
    this.host.fn.seek(this.stream, -2);
    this.restartTimeline(l.start);
    return true;
  }

  /** Frees the stream and its memory; the decoder cannot be used after. */
  close() {
    if (this.stream) this.host.closeStream(this, this.stream);
    if (this.pcmPtr) this.host.module._free(this.pcmPtr);
    this.stream = 0;
    this.pcmPtr = 0;
    this.closed = true;
  }
}

/**
 * Decodes a whole file: {sampleRate, channels, frames, pcm} with `pcm`
 * interleaved 16-bit. By default the output stops at the header's sample
 * count; {trim: false} keeps every decoded frame.
 */
export async function decode(bytes, { trim = true } = {}) {
  await init();
  const d = new VelkDecoder({ trim });
  try {
    d.push(bytes);
    d.end();
    const info = d.info;
    const parts = [];
    let total = 0;
    const chunk = info.sampleRate * 10;
    while (!d.ended) {
      const part = d.pull(chunk);
      if (part.length === 0 && d.ended) break;
      parts.push(part);
      total += part.length;
    }
    const pcm = parts.length === 1 ? parts[0] : new Int16Array(total);
    if (parts.length !== 1) {
      let at = 0;
      for (const p of parts) {
        pcm.set(p, at);
        at += p.length;
      }
    }
    return { sampleRate: info.sampleRate, channels: info.channels, frames: total / info.channels, pcm };
  } finally {
    d.close();
  }
}

/** Interleaved 16-bit PCM as one Float32Array per channel (-1 to 1). */
export function toPlanarFloat32(pcm, channels) {
  const frames = Math.floor(pcm.length / channels);
  const planes = [];
  for (let c = 0; c < channels; ++c) {
    const plane = new Float32Array(frames);
    for (let i = 0, j = c; i < frames; ++i, j += channels) plane[i] = pcm[j] / 32768;
    planes.push(plane);
  }
  return planes;
}
