// The JavaScript host of the plug-in's WebAssembly module: the same
// protocol as the C host (examples/c/velk_decode.c) and the host library
// (src/host/), over the module's memory and function table.
//
// - TAVO_Main is the one plug-in function called by its export name. The
//   broker's register and unregister functions are JavaScript functions
//   entered in the module's function table; register copies every record
//   it is handed (kind, name, value, type) before the call returns.
// - Every other function is found by its registered name and called
//   through the table index that its record's `value` holds; properties'
//   tokens come from their records the same way.
// - The allocate and free callbacks hand out 64-byte aligned blocks of the
//   module's own memory (its exported malloc), and the read callback copies
//   bytes from JavaScript into the plug-in's destination. `host_stream` is
//   a number naming the JavaScript stream that the callbacks serve.
//
// On wasm32 pointers are 4 bytes; the record keeps its 32-byte layout with
// `name` at 8 (4 bytes, then 4 bytes of padding), the 64-bit `value` at
// 16, `type` at 24. A function's `value` is its table index.
import createVlkdecModule from '../dist/vlkdec.js';

const ENTRY_FUNCTION = 0;
const ENTRY_PROPERTY = 1;
const RECORD_BYTES = 32;
// The most one stream may take from the module's memory.
const MAX_STREAM_BLOCK = 256 * 1024 * 1024;

export class VelkError extends Error {
  constructor(message) {
    super(message);
    this.name = 'VelkError';
  }
}

class ModuleHost {
  constructor(module) {
    this.module = module;
    this.records = [];
    this.streams = new Map(); // host_stream number -> stream callbacks
    this.blocks = new Map(); // aligned address -> {raw, stream}
    this.nextStream = 1;
    const m = module;
    // Signatures: i = i32 (pointers, 32-bit words), j = i64 (BigInt).
    this.register = m.addFunction(
      (handle, iface, count, entries) =>
        this.record(iface, count, entries),
      'iiiii');
    this.unregister = m.addFunction(() => {
      this.records = [];
      return 1;
    }, 'iiiii');
    this.allocate = m.addFunction(
      (bytes, hostStream) => this.allocateBlock(bytes, hostStream), 'ijjii');
    this.release = m.addFunction(
      (block, hostStream) => this.freeBlock(block, hostStream), 'vijii');
    this.read = m.addFunction(
      (hostStream, destination, bytes, offset) => {
        const s = this.streams.get(Number(hostStream));
        return s ? s.read(destination, bytes >>> 0, offset) : 0;
      },
      'ijiii');
    m._TAVO_Main(0, 1, 0, this.register, this.unregister);

    const codec = 'ORV codec';
    const stream = 'ORV stream';
    this.fn = {
      startup: this.functionNamed(codec, 'ORV_startup'),
      error: this.functionNamed(codec, 'ORV_error'),
      open: this.functionNamed(stream, 'ORV_stream_open'),
      process: this.functionNamed(stream, 'ORV_stream_process'),
      property: this.functionNamed(stream, 'ORV_stream_property'),
      seek: this.functionNamed(stream, 'ORV_stream_seek'),
      close: this.functionNamed(stream, 'ORV_stream_close'),
    };
    this.token = {};
    for (const r of this.records) {
      if (r.kind === ENTRY_PROPERTY && r.iface === stream) {
        this.token[r.name] = r.value;
      }
    }
    this.fn.startup();
    // Property slots: value, new_value (two words) and result (two words).
    this.slots = this.malloc(32);
  }

  // The broker's register function: copies the records while they live.
  record(ifacePtr, count, entries) {
    const iface = this.module.UTF8ToString(ifacePtr);
    const view = new DataView(this.module.HEAPU8.buffer);
    for (let i = 0; i < count; ++i) {
      const at = entries + i * RECORD_BYTES;
      this.records.push({
        iface,
        kind: view.getUint32(at, true),
        name: this.module.UTF8ToString(view.getUint32(at + 8, true)),
        value: view.getBigUint64(at + 16, true),
        type: view.getUint32(at + 24, true),
      });
    }
    return 1;
  }

  entry(iface, name) {
    return this.records.find((r) => r.iface === iface && r.name === name);
  }

  functionNamed(iface, name) {
    const r = this.entry(iface, name);
    if (!r || r.kind !== ENTRY_FUNCTION) {
      throw new VelkError(`the plug-in does not register ${name}`);
    }
    return this.module.getWasmTableEntry(Number(r.value));
  }

  malloc(bytes) {
    const p = this.module._malloc(bytes);
    if (p === 0) throw new VelkError('out of memory');
    return p;
  }

  allocateBlock(bytes, hostStream) {
    const s = this.streams.get(Number(hostStream));
    if (!s || bytes > BigInt(MAX_STREAM_BLOCK)) return 0;
    const raw = this.module._malloc(Number(bytes) + 64);
    if (raw === 0) return 0;
    const block = (raw + 63) & ~63;
    this.blocks.set(block, { raw, stream: s, bytes: Number(bytes) });
    s.block = block;
    s.blockBytes = Number(bytes);
    return block;
  }

  freeBlock(block, hostStream) {
    const b = this.blocks.get(block);
    // Never free what was not handed out, nor another stream's block.
    if (!b || b.stream !== this.streams.get(Number(hostStream))) return;
    this.blocks.delete(block);
    b.stream.block = 0;
    this.module._free(b.raw);
  }

  // Opens a plug-in stream whose callbacks go to `client` (read, and the
  // block it is given). Returns the plug-in's stream pointer or 0.
  openStream(client) {
    const id = this.nextStream++;
    this.streams.set(id, client);
    const stream = this.fn.open(this.allocate, this.release, BigInt(id),
        this.read);
    if (stream === 0) this.streams.delete(id);
    else client.hostStream = id;
    return stream;
  }

  closeStream(client, stream) {
    this.fn.close(stream);
    if (client.block) this.freeBlock(client.block, BigInt(client.hostStream));
    this.streams.delete(client.hostStream);
  }

  pluginError() {
    const p = this.fn.error();
    return p ? this.module.UTF8ToString(p) : null;
  }

  // A query (one 32-bit word out) by its registered name; null when the
  // property is not registered or not answered.
  query(stream, name) {
    const token = this.token[name];
    if (token === undefined) return null;
    const ok = this.fn.property(stream, token, this.slots, 0, 0);
    return ok === 1 ? this.module.HEAPU32[this.slots >>> 2] : null;
  }

  // A setting by its registered name: `input` words in, two words out;
  // null when refused.
  setting(stream, name, input) {
    const token = this.token[name];
    if (token === undefined) return null;
    const words = this.module.HEAPU32;
    const at = (this.slots >>> 2) + 2;
    words[at] = input[0] >>> 0;
    words[at + 1] = (input[1] ?? 0) >>> 0;
    words[at + 2] = 0;
    words[at + 3] = 0;
    const ok = this.fn.property(stream, token, 0, this.slots + 8,
        this.slots + 16);
    if (ok !== 1) return null;
    const out = this.module.HEAPU32;
    return [out[at + 2], out[at + 3]];
  }
}

let loading = null;

// Loads the module once (per realm: window, worker, Node process) and
// registers its interfaces. Resolves to the host.
export function loadHost() {
  if (!loading) {
    loading = createVlkdecModule().then((m) => new ModuleHost(m));
  }
  return loading;
}
