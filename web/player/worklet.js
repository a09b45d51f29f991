// The player's audio thread: plays queued chunks of planar samples exactly
// as they come (the decoder has already made the loop jumps, so a loop is
// sample-exact), tells the page where it is and when it needs more, and on
// "stop" fades out over a few milliseconds instead of cutting the sound.
class VelkPlayerProcessor extends AudioWorkletProcessor {
  constructor(options) {
    super();
    const o = options.processorOptions ?? {};
    this.queue = []; // {planes, start} from the page
    this.offset = 0; // frames of queue[0] already played
    this.queued = 0; // frames waiting
    this.low = o.lowWater ?? 16384;
    this.fadeFrames = Math.max(1, Math.round((o.fadeSeconds ?? 0.015) * sampleRate));
    this.fading = -1; // frames into the fade-out; -1 while not fading
    this.stopped = false;
    this.asked = false;
    this.reported = 0;
    for (const chunk of o.chunks ?? []) this.enqueue(chunk);
    this.port.onmessage = (e) => {
      const m = e.data;
      if (m.type === 'chunk') {
        this.enqueue(m);
        this.asked = false;
      } else if (m.type === 'stop') {
        if (this.fading < 0) this.fading = 0;
      }
    };
  }

  enqueue(chunk) {
    this.queue.push(chunk);
    this.queued += chunk.planes[0].length;
  }

  process(inputs, outputs) {
    const out = outputs[0];
    const frames = out[0].length;
    if (this.stopped) return false;
    let written = 0;
    while (written < frames && this.queue.length > 0) {
      const chunk = this.queue[0];
      const n = Math.min(frames - written, chunk.planes[0].length - this.offset);
      for (let c = 0; c < out.length; ++c) {
        const plane = chunk.planes[Math.min(c, chunk.planes.length - 1)];
        out[c].set(plane.subarray(this.offset, this.offset + n), written);
      }
      written += n;
      this.offset += n;
      this.queued -= n;
      if (this.offset === chunk.planes[0].length) {
        this.queue.shift();
        this.offset = 0;
      }
    }
    if (this.fading >= 0) {
      for (let i = 0; i < frames; ++i, ++this.fading) {
        const gain = Math.max(0, 1 - this.fading / this.fadeFrames);
        for (const channel of out) channel[i] *= gain;
      }
      if (this.fading >= this.fadeFrames) {
        this.stopped = true;
        this.port.postMessage({ type: 'stopped' });
        return false;
      }
    }
    const head = this.queue[0];
    if (currentFrame - this.reported >= 2048 || !head) {
      this.reported = currentFrame;
      this.port.postMessage({ type: 'at', frame: head ? head.start + this.offset : -1 });
    }
    if (this.queued < this.low && !this.asked) {
      this.asked = true;
      this.port.postMessage({ type: 'need' });
    }
    return true;
  }
}

registerProcessor('velk-player', VelkPlayerProcessor);
