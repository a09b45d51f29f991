// The player page: opens a file, shows its facts and waveform, and plays it
// through an AudioWorklet fed by a VelkDecoder on this thread. Loops are
// made by the decoder (its loop protocol), so every pass is sample-exact;
// the worklet only plays what it is given and fades out on stop.
import { decode, init, toPlanarFloat32, VelkDecoder } from '../src/index.js';

const $ = (id) => document.getElementById(id);
const CHUNK_FRAMES = 8192;
const AHEAD_CHUNKS = 3;

let file = null; // {name, bytes, info, pcm, planes, frames}
let playhead = 0; // frame the next play starts from
let loop = null; // {start, end} in frames
let player = null; // {node, decoder}
let starting = false; // a play() waiting for the audio context
let context = null;
let dragFrom = null;

function status(text, error = false) {
  $('status').textContent = text;
  $('status').classList.toggle('error', error);
}

function clock(frame) {
  const seconds = file ? frame / file.info.sampleRate : 0;
  const m = Math.floor(seconds / 60);
  const s = (seconds - m * 60).toFixed(3).padStart(6, '0');
  return `${m}:${s}`;
}

async function sha256(pcm) {
  const digest = await crypto.subtle.digest('SHA-256', pcm);
  return [...new Uint8Array(digest)].map((b) => b.toString(16).padStart(2, '0')).join('');
}

async function openFile(f) {
  await stop();
  status(`Decoding ${f.name}…`);
  document.body.dataset.state = 'decoding';
  try {
    const bytes = new Uint8Array(await f.arrayBuffer());
    await init();
    const probe = new VelkDecoder();
    probe.push(bytes);
    probe.end();
    const info = probe.info;
    probe.close();
    const started = performance.now();
    const decoded = await decode(bytes);
    const ms = performance.now() - started;
    file = { name: f.name, bytes, info, pcm: decoded.pcm, frames: decoded.frames,
      planes: toPlanarFloat32(decoded.pcm, decoded.channels) };
    playhead = 0;
    loop = null;
    if (context) await context.close();
    context = null;
    showFacts();
    draw();
    const speed = (decoded.frames / info.sampleRate) / (ms / 1000);
    status(`Decoded ${f.name}: ${clock(decoded.frames)} in ${ms.toFixed(0)} ms (${speed.toFixed(0)}× real time).`);
    document.body.dataset.state = 'ready';
  } catch (e) {
    file = null;
    $('facts-section').hidden = true;
    status(`Cannot play ${f.name}: ${e.message}`, true);
    document.body.dataset.state = 'error';
  }
}

function showFacts() {
  const i = file.info;
  $('facts-section').hidden = false;
  $('file-name').textContent = file.name;
  $('duration').textContent = `${clock(file.frames)} (${i.durationMs} ms)`;
  $('rate').textContent = `${i.sampleRate} Hz`;
  $('channels').textContent = String(i.channels);
  $('frames').textContent = String(file.frames);
  $('version').textContent = `${i.version}${i.canSeek ? ', with seek table' : ', no seek table (no seeks or loops)'}`;
  $('bitrate').textContent = i.inputBitRate ? `${Math.round(i.inputBitRate / 1000)} kbit/s` : '—';
  for (const id of ['loop-start', 'loop-end', 'loop-clear']) $(id).disabled = !i.canSeek;
  updateTimes();
}

function updateTimes() {
  $('playhead').textContent = clock(playhead);
  $('loop-label').textContent = loop ? `loop ${clock(loop.start)} – ${clock(loop.end)} (frames ${loop.start}–${loop.end})` : 'no loop';
  $('play').textContent = player ? 'Pause' : 'Play';
}

// The waveform: per pixel column, the lowest and highest sample of all
// channels; the loop region and the playhead on top.
let waveImage = null;
function draw() {
  const canvas = $('wave');
  const width = canvas.clientWidth || 960;
  canvas.width = width * devicePixelRatio;
  canvas.height = 160 * devicePixelRatio;
  const g = canvas.getContext('2d');
  const w = canvas.width;
  const h = canvas.height;
  g.fillStyle = '#101418';
  g.fillRect(0, 0, w, h);
  const per = Math.max(1, file.frames / w);
  g.fillStyle = '#5fb0ff';
  for (let x = 0; x < w; ++x) {
    const from = Math.floor(x * per);
    const to = Math.min(file.frames, Math.floor((x + 1) * per));
    let lo = 0;
    let hi = 0;
    for (const plane of file.planes) {
      for (let i = from; i < to; ++i) {
        const v = plane[i];
        if (v < lo) lo = v;
        else if (v > hi) hi = v;
      }
    }
    g.fillRect(x, (1 - hi) * h / 2, 1, Math.max(1, (hi - lo) * h / 2));
  }
  waveImage = g.getImageData(0, 0, w, h);
  drawMarks();
}

function drawMarks() {
  if (!file || !waveImage) return;
  const canvas = $('wave');
  const g = canvas.getContext('2d');
  g.putImageData(waveImage, 0, 0);
  const x = (frame) => (frame / file.frames) * canvas.width;
  if (loop) {
    g.fillStyle = 'rgba(255, 200, 60, 0.25)';
    g.fillRect(x(loop.start), 0, x(loop.end) - x(loop.start), canvas.height);
  }
  g.fillStyle = '#ffcc33';
  g.fillRect(Math.min(canvas.width - 2, x(playhead)), 0, 2, canvas.height);
}

function frameAt(event) {
  const r = $('wave').getBoundingClientRect();
  const f = Math.round(((event.clientX - r.left) / r.width) * file.frames);
  return Math.max(0, Math.min(file.frames - 1, f));
}

// A decoder positioned at `from`, looping where a loop is set.
function feederFrom(from) {
  const d = new VelkDecoder();
  d.push(file.bytes);
  d.end();
  if (from > 0 && file.info.canSeek) {
    d.seek(Math.floor((from * 1000) / file.info.sampleRate));
  }
  // Without a seek table (or for the last frames before `from`), decode
  // and drop up to the frame.
  while (d.position < from && !d.ended) d.pull(Math.min(CHUNK_FRAMES, from - d.position));
  if (loop) d.setLoop(loop.start, loop.end, 0);
  return d;
}

function nextChunk(d) {
  const start = d.position;
  const pcm = d.pull(CHUNK_FRAMES);
  if (pcm.length === 0) return null;
  return { planes: toPlanarFloat32(pcm, file.info.channels), start };
}

async function ensureContext() {
  if (!context) {
    context = new AudioContext({ sampleRate: file.info.sampleRate });
    await context.audioWorklet.addModule(new URL('worklet.js', import.meta.url));
  }
  if (context.state === 'suspended') await context.resume();
  return context;
}

async function play() {
  if (!file || player || starting) return;
  // A second play while the first waits for the context would start a
  // player that nothing stops.
  starting = true;
  let ctx;
  try {
    ctx = await ensureContext();
  } finally {
    starting = false;
  }
  const decoder = feederFrom(playhead);
  const node = new AudioWorkletNode(ctx, 'velk-player', {
    numberOfInputs: 0,
    outputChannelCount: [file.info.channels],
    processorOptions: { lowWater: CHUNK_FRAMES * 2 },
  });
  const p = { node, decoder };
  const feed = (count) => {
    for (let i = 0; i < count && player === p && !decoder.ended; ++i) {
      const chunk = nextChunk(decoder);
      if (chunk) node.port.postMessage({ type: 'chunk', ...chunk }, chunk.planes.map((x) => x.buffer));
    }
  };
  node.port.onmessage = (e) => {
    const m = e.data;
    if (m.type === 'need') feed(AHEAD_CHUNKS);
    else if (m.type === 'at') {
      if (m.frame < 0 && decoder.ended && player === p) {
        // Played to the end: back to the start, as a player does.
        playhead = 0;
        stop();
      } else if (m.frame >= 0 && player === p) {
        playhead = m.frame;
        updateTimes();
        drawMarks();
      }
    } else if (m.type === 'stopped') {
      node.disconnect();
    }
  };
  player = p;
  feed(AHEAD_CHUNKS);
  node.connect(ctx.destination);
  updateTimes();
}

// Stops with the worklet's fade-out, from what it holds; the decoder is
// freed at once, whether or not the worklet reports back (its context may
// be closed first). The playhead stays where it was.
async function stop() {
  if (!player) return;
  player.node.port.postMessage({ type: 'stop' });
  player.decoder.close();
  player = null;
  updateTimes();
  drawMarks();
}

async function toggle() {
  if (player) await stop();
  else await play();
}

async function moveTo(frame) {
  if (!file) return;
  const wasPlaying = Boolean(player);
  await stop();
  playhead = Math.max(0, Math.min(file.frames - 1, Math.round(frame)));
  updateTimes();
  drawMarks();
  if (wasPlaying) await play();
}

async function setLoop(start, end) {
  if (!file?.info.canSeek) return;
  loop = start < end ? { start, end } : null;
  if (player) await moveTo(playhead);
  updateTimes();
  drawMarks();
  status(loop ? `Loop set: frames ${loop.start} to ${loop.end}.` : 'Loop cleared.');
}

function wav() {
  const { pcm } = file;
  const { channels, sampleRate } = file.info;
  const header = new DataView(new ArrayBuffer(44));
  const text = (at, s) => [...s].forEach((c, i) => header.setUint8(at + i, c.charCodeAt(0)));
  text(0, 'RIFF');
  header.setUint32(4, 36 + pcm.byteLength, true);
  text(8, 'WAVEfmt ');
  header.setUint32(16, 16, true);
  header.setUint16(20, 1, true);
  header.setUint16(22, channels, true);
  header.setUint32(24, sampleRate, true);
  header.setUint32(28, sampleRate * channels * 2, true);
  header.setUint16(32, channels * 2, true);
  header.setUint16(34, 16, true);
  text(36, 'data');
  header.setUint32(40, pcm.byteLength, true);
  return new Blob([header, pcm], { type: 'audio/wav' });
}

function download() {
  if (!file) return;
  const a = document.createElement('a');
  a.href = URL.createObjectURL(wav());
  a.download = file.name.replace(/\.velka$/i, '') + '.wav';
  a.click();
  setTimeout(() => URL.revokeObjectURL(a.href), 10000);
}

// `passes` passes of the loop [start, end) from the file's start, rendered
// offline through the same worklet. Resolves to the SHA-256 of the 16-bit
// PCM and its frame count.
async function renderLoop(start, end, passes) {
  const d = new VelkDecoder();
  d.push(file.bytes);
  d.end();
  d.setLoop(start, end, passes);
  const chunks = [];
  let frames = 0;
  for (let c = nextChunk(d); c; c = nextChunk(d)) {
    chunks.push(c);
    frames += c.planes[0].length;
  }
  d.close();
  const { channels, sampleRate } = file.info;
  const offline = new OfflineAudioContext(channels, frames, sampleRate);
  await offline.audioWorklet.addModule(new URL('worklet.js', import.meta.url));
  const node = new AudioWorkletNode(offline, 'velk-player', {
    numberOfInputs: 0,
    outputChannelCount: [channels],
    processorOptions: { chunks, lowWater: 0 },
  });
  node.connect(offline.destination);
  const rendered = await offline.startRendering();
  const pcm = new Int16Array(frames * channels);
  for (let c = 0; c < channels; ++c) {
    const plane = rendered.getChannelData(c);
    for (let i = 0; i < frames; ++i) {
      pcm[i * channels + c] = Math.max(-32768, Math.min(32767, Math.round(plane[i] * 32768)));
    }
  }
  return { sha256: await sha256(pcm), frames };
}
// For tests and tools, computed only when asked: the SHA-256 of the open
// file's 16-bit PCM, and renderLoop.
window.velkPlayer = { pcmSha256: () => sha256(file.pcm), renderLoop };

// Wiring: file input, drop, canvas, buttons, keys.
$('file').addEventListener('change', (e) => {
  if (e.target.files[0]) openFile(e.target.files[0]);
});
// A file dropped anywhere on the page opens.
const drop = $('drop');
document.body.addEventListener('dragover', (e) => {
  e.preventDefault();
  drop.classList.add('over');
});
document.body.addEventListener('dragleave', () => drop.classList.remove('over'));
document.body.addEventListener('drop', (e) => {
  e.preventDefault();
  drop.classList.remove('over');
  if (e.dataTransfer.files[0]) openFile(e.dataTransfer.files[0]);
});
const wave = $('wave');
wave.addEventListener('mousedown', (e) => {
  if (file) dragFrom = { x: e.clientX, frame: frameAt(e) };
});
window.addEventListener('mouseup', (e) => {
  if (!dragFrom || !file) return;
  const from = dragFrom;
  dragFrom = null;
  if (Math.abs(e.clientX - from.x) > 3 && file.info.canSeek) {
    const to = frameAt(e);
    setLoop(Math.min(from.frame, to), Math.max(from.frame, to));
  } else {
    moveTo(from.frame);
  }
});
$('play').addEventListener('click', toggle);
$('loop-start').addEventListener('click', () => setLoop(playhead, loop ? loop.end : file.frames));
$('loop-end').addEventListener('click', () => setLoop(loop ? loop.start : 0, playhead));
$('loop-clear').addEventListener('click', () => setLoop(0, 0));
$('download').addEventListener('click', download);
window.addEventListener('resize', () => file && draw());

document.addEventListener('keydown', (e) => {
  // Space on a button or the file input is theirs: a click, or the chooser.
  const onControl = e.target instanceof HTMLButtonElement || e.target instanceof HTMLInputElement;
  if (e.ctrlKey || e.metaKey || e.altKey) return;
  if (e.key === 'o' || e.key === 'O') {
    $('file').click();
    return;
  }
  if (!file) return;
  const second = file.info.sampleRate;
  const actions = {
    ' ': onControl ? null : toggle,
    ArrowLeft: () => moveTo(playhead - (e.shiftKey ? 10 : 1) * second),
    ArrowRight: () => moveTo(playhead + (e.shiftKey ? 10 : 1) * second),
    Home: () => moveTo(0),
    '[': () => setLoop(playhead, loop ? loop.end : file.frames),
    ']': () => setLoop(loop ? loop.start : 0, playhead),
    Backspace: () => setLoop(0, 0),
    d: download,
    D: download,
  };
  const action = actions[e.key];
  if (action) {
    e.preventDefault();
    action();
  }
});

init().then(() => {
  document.body.dataset.state = 'idle';
});
