/** A file that cannot be decoded, or a call the decoder cannot carry out. */
export class VelkError extends Error {}

/** Loads and registers the WebAssembly module (once per window, worker or process). */
export function init(): Promise<void>;

export interface DecodedAudio {
  sampleRate: number;
  channels: number;
  /** Sample frames (one sample of every channel). */
  frames: number;
  /** Interleaved signed 16-bit samples, frames * channels of them. */
  pcm: Int16Array;
}

/**
 * Decodes a whole file. By default the output stops at the header's sample
 * count; `{trim: false}` keeps every decoded frame.
 */
export function decode(
  bytes: Uint8Array | ArrayBuffer | ArrayBufferView,
  options?: { trim?: boolean },
): Promise<DecodedAudio>;

/** Interleaved 16-bit PCM as one Float32Array per channel, -1 to 1 (what Web Audio takes). */
export function toPlanarFloat32(pcm: Int16Array, channels: number): Float32Array[];

export interface VelkInfo {
  sampleRate: number;
  channels: number;
  /** Format version of the file, 0 to 2. */
  version: number;
  /** Sample frames the header declares. */
  totalSamples: number;
  durationMs: number;
  /** Bits per second of the coded data, as the plug-in answers. */
  inputBitRate: number | null;
  /** Whether seek() and setLoop() can be used (a version 2 file with a seek table). */
  canSeek: boolean;
}

/**
 * A decode stream: bytes go in with push() in any pieces, end() marks the
 * end of the input, interleaved 16-bit PCM comes out of pull(). Works in
 * windows, Web Workers and Node alike; every pushed byte is kept so that
 * seeks and loops can go back.
 */
export class VelkDecoder {
  /** init(), then a new decoder. */
  static create(options?: { trim?: boolean }): Promise<VelkDecoder>;
  /** Needs init() done. `trim` (default true) stops at the header's sample count. */
  constructor(options?: { trim?: boolean });
  push(chunk: Uint8Array | ArrayBuffer | ArrayBufferView): void;
  end(): void;
  /**
   * Up to `frames` frames; fewer when more input is needed (push more) or
   * the stream has ended (see `ended`). Throws VelkError for a file that
   * cannot be played.
   */
  pull(frames: number): Int16Array;
  /** The file's facts, or null until the header has come. */
  readonly info: VelkInfo | null;
  /** True once the stream has delivered its last frame. */
  readonly ended: boolean;
  /** The file's frame that the next pulled frame comes from. */
  readonly position: number;
  /**
   * The sample-exact seek: the next frame pulled is the one at `ms`, moved
   * back to the skip's step (4 frames for stereo, 8 for mono, exact for
   * more channels). Waits for the header if it has not come yet.
   */
  seek(ms: number): void;
  /**
   * Loops the frames [start, end): `passes` in all, 0 (the default) without
   * end; null clears the loop. Passes after the first start at `start`
   * moved back to the skip's step.
   */
  setLoop(start: number | null, end?: number, passes?: number): void;
  /** Loop passes completed so far. */
  readonly loopPasses: number;
  /** Frees the stream; the decoder cannot be used after. */
  close(): void;
}
