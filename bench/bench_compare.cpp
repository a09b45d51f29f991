// Whole-file decode speed of the plug-in beside libmpg123, libvorbisfile,
// libopusfile and libFLAC on the same music, in the same run. Made and run
// by scripts/bench-compare.sh, which encodes the inputs:
//
//   bench_compare --data=DIR [Google Benchmark options]
//
// DIR holds, for each of stereo_44100, mono_22050 and six_48000, the files
// CONFIG-default.velka, CONFIG-128.velka, CONFIG.mp3, CONFIG.ogg,
// CONFIG.opus and CONFIG.flac; a missing file leaves its row out.
//
// Every decode reads its file from memory and hands out 16-bit interleaved
// PCM in 4096-byte requests where the library decodes on request (libFLAC
// pushes whole frames, which its callback interleaves into 16 bits). One
// iteration opens, decodes the whole file and closes. After the runs a table
// gives, from the best CPU time over the repetitions, nanoseconds per output
// sample (one channel's value), times real time, and our speed over each
// peer's (the ratio of the times for the same seconds of music).
#include <FLAC/stream_decoder.h>
#include <benchmark/benchmark.h>
#include <mpg123.h>
#include <opusfile.h>
#include <vorbis/vorbisfile.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "plugin_api.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t request_bytes = 4096;

// What one whole decode gave: the frames (samples per channel) delivered.
struct Decoded {
  bool ok = false;
  uint64_t frames = 0;
  unsigned channels = 0;
  unsigned rate = 0;
};

// Read position over a file held in memory.
struct Memory {
  const Bytes* file;
  size_t position = 0;

  size_t read(void* destination, size_t bytes) {
    const size_t n = std::min(bytes, file->size() - position);
    std::memcpy(destination, file->data() + position, n);
    position += n;
    return n;
  }
  long seek(long offset, int whence) {
    long base = 0;
    if (whence == SEEK_CUR) base = static_cast<long>(position);
    if (whence == SEEK_END) base = static_cast<long>(file->size());
    const long target = base + offset;
    if (target < 0 || target > static_cast<long>(file->size())) return -1;
    position = static_cast<size_t>(target);
    return target;
  }
};

// --- The plug-in, through its C interface ---------------------------------

struct PluginHost {
  Memory memory;
};

// Calls of the host's allocator, to show that processing makes none.
uint64_t plugin_allocations = 0;

void* plugin_allocate(uint64_t bytes, uint64_t, const char*, uint32_t) {
  ++plugin_allocations;
  return std::aligned_alloc(64, (bytes + 63) & ~uint64_t{63});
}

void plugin_free(void* block, uint64_t, const char*, uint32_t) {
  std::free(block);
}

int32_t plugin_read(uint64_t host_stream, void* destination, uint32_t bytes,
                    int32_t offset) {
  auto& host = *reinterpret_cast<PluginHost*>(host_stream);
  if (offset >= 0) host.memory.position = static_cast<size_t>(offset);
  return static_cast<int32_t>(host.memory.read(destination, bytes));
}

Decoded decode_velka(const Bytes& file) {
  Decoded result;
  if (file.size() < 24) return result;
  PluginHost host{{&file}};
  ORV_Stream* stream =
      ORV_stream_open(&plugin_allocate, &plugin_free,
                      reinterpret_cast<uintptr_t>(&host), &plugin_read);
  if (stream == nullptr) return result;
  alignas(16) uint8_t out[request_bytes];
  uint64_t bytes = 0;
  while (const uint32_t got = ORV_stream_process(stream, out, request_bytes)) {
    bytes += got;
    benchmark::DoNotOptimize(out);
  }
  ORV_stream_close(stream);
  result.channels = file[5];
  result.rate = file[6] | unsigned{file[7]} << 8;
  result.frames = bytes / (2 * result.channels);
  result.ok = bytes > 0;
  return result;
}

// Stack depth of one processing call, by painting: the probe fills an area
// below its caller's frame with a pattern, the call made next from the same
// frame uses the same memory, and a second probe (same function, same
// area) counts how far down the pattern was overwritten. It slightly
// undercounts: memory a frame reserves but never writes is not seen.
constexpr size_t probe_bytes = 256 * 1024;
constexpr uint8_t probe_pattern = 0xA5;

__attribute__((noinline)) size_t stack_probe(bool paint) {
  auto* area = static_cast<volatile uint8_t*>(__builtin_alloca(probe_bytes));
  if (paint) {
    for (size_t i = 0; i < probe_bytes; ++i) area[i] = probe_pattern;
    return 0;
  }
  size_t untouched = 0;
  while (untouched < probe_bytes && area[untouched] == probe_pattern) {
    ++untouched;
  }
  return probe_bytes - untouched;
}

struct Footprint {
  size_t stack_bytes = 0;    // deepest processing call
  uint64_t allocations = 0;  // host allocator calls while processing
  uint64_t calls = 0;
};

__attribute__((noinline)) Footprint measure_footprint(const Bytes& file) {
  Footprint f;
  PluginHost host{{&file}};
  ORV_Stream* stream =
      ORV_stream_open(&plugin_allocate, &plugin_free,
                      reinterpret_cast<uintptr_t>(&host), &plugin_read);
  if (stream == nullptr) return f;
  const uint64_t allocations_before = plugin_allocations;
  alignas(16) uint8_t out[request_bytes];
  for (;;) {
    stack_probe(true);
    const uint32_t got = ORV_stream_process(stream, out, request_bytes);
    f.stack_bytes = std::max(f.stack_bytes, stack_probe(false));
    ++f.calls;
    if (got == 0) break;
  }
  f.allocations = plugin_allocations - allocations_before;
  ORV_stream_close(stream);
  return f;
}

// --- libmpg123 ------------------------------------------------------------

mpg123_ssize_t mpg123_memory_read(void* handle, void* destination,
                                  size_t bytes) {
  return static_cast<mpg123_ssize_t>(
      static_cast<Memory*>(handle)->read(destination, bytes));
}

off_t mpg123_memory_seek(void* handle, off_t offset, int whence) {
  return static_cast<Memory*>(handle)->seek(static_cast<long>(offset), whence);
}

Decoded decode_mp3(const Bytes& file) {
  Decoded result;
  int error = MPG123_OK;
  mpg123_handle* handle = mpg123_new(nullptr, &error);
  if (handle == nullptr) return result;
  mpg123_param(handle, MPG123_ADD_FLAGS, MPG123_QUIET, 0.0);
  Memory memory{&file};
  long rate = 0;
  int channels = 0;
  int encoding = 0;
  if (mpg123_replace_reader_handle(handle, &mpg123_memory_read,
                                   &mpg123_memory_seek, nullptr) == MPG123_OK &&
      mpg123_open_handle(handle, &memory) == MPG123_OK &&
      mpg123_getformat(handle, &rate, &channels, &encoding) == MPG123_OK) {
    mpg123_format_none(handle);
    mpg123_format(handle, rate, channels, MPG123_ENC_SIGNED_16);
    alignas(16) uint8_t out[request_bytes];
    uint64_t bytes = 0;
    for (;;) {
      size_t done = 0;
      const int status = mpg123_read(handle, out, request_bytes, &done);
      bytes += done;
      benchmark::DoNotOptimize(out);
      if (status != MPG123_OK && status != MPG123_NEW_FORMAT) break;
    }
    result.channels = static_cast<unsigned>(channels);
    result.rate = static_cast<unsigned>(rate);
    result.frames = bytes / (2 * result.channels);
    result.ok = bytes > 0;
    mpg123_close(handle);
  }
  mpg123_delete(handle);
  return result;
}

// --- libvorbisfile --------------------------------------------------------

size_t vorbis_memory_read(void* destination, size_t size, size_t count,
                          void* handle) {
  if (size == 0) return 0;
  return static_cast<Memory*>(handle)->read(destination, size * count) / size;
}

int vorbis_memory_seek(void* handle, ogg_int64_t offset, int whence) {
  return static_cast<Memory*>(handle)->seek(static_cast<long>(offset), whence) <
                 0
             ? -1
             : 0;
}

long vorbis_memory_tell(void* handle) {
  return static_cast<long>(static_cast<Memory*>(handle)->position);
}

Decoded decode_vorbis(const Bytes& file) {
  Decoded result;
  Memory memory{&file};
  OggVorbis_File vf;
  const ov_callbacks callbacks{&vorbis_memory_read, &vorbis_memory_seek,
                               nullptr, &vorbis_memory_tell};
  if (ov_open_callbacks(&memory, &vf, nullptr, 0, callbacks) != 0) {
    return result;
  }
  const vorbis_info* info = ov_info(&vf, -1);
  alignas(16) char out[request_bytes];
  uint64_t bytes = 0;
  int section = 0;
  for (;;) {
    const long got = ov_read(&vf, out, request_bytes, 0, 2, 1, &section);
    if (got <= 0) break;
    bytes += static_cast<uint64_t>(got);
    benchmark::DoNotOptimize(out);
  }
  result.channels = static_cast<unsigned>(info->channels);
  result.rate = static_cast<unsigned>(info->rate);
  result.frames = bytes / (2 * result.channels);
  result.ok = bytes > 0;
  ov_clear(&vf);
  return result;
}

// --- libopusfile ----------------------------------------------------------

Decoded decode_opus(const Bytes& file) {
  Decoded result;
  int error = 0;
  OggOpusFile* of = op_open_memory(file.data(), file.size(), &error);
  if (of == nullptr) return result;
  const int channels = op_channel_count(of, -1);
  alignas(16) opus_int16 out[request_bytes / 2];
  uint64_t frames = 0;
  for (;;) {
    const int got = op_read(of, out, request_bytes / 2, nullptr);
    if (got <= 0) break;
    frames += static_cast<uint64_t>(got);
    benchmark::DoNotOptimize(out);
  }
  op_free(of);
  result.channels = static_cast<unsigned>(channels);
  result.rate = 48000;  // the library always decodes at 48 kHz
  result.frames = frames;
  result.ok = frames > 0;
  return result;
}

// --- libFLAC --------------------------------------------------------------

struct FlacClient {
  Memory memory;
  std::vector<int16_t> pcm;
  uint64_t frames = 0;
  unsigned channels = 0;
  unsigned rate = 0;
};

FLAC__StreamDecoderReadStatus flac_read(const FLAC__StreamDecoder*,
                                        FLAC__byte buffer[], size_t* bytes,
                                        void* client) {
  auto& c = *static_cast<FlacClient*>(client);
  *bytes = c.memory.read(buffer, *bytes);
  return *bytes == 0 ? FLAC__STREAM_DECODER_READ_STATUS_END_OF_STREAM
                     : FLAC__STREAM_DECODER_READ_STATUS_CONTINUE;
}

FLAC__StreamDecoderWriteStatus flac_write(const FLAC__StreamDecoder*,
                                          const FLAC__Frame* frame,
                                          const FLAC__int32* const channel[],
                                          void* client) {
  auto& c = *static_cast<FlacClient*>(client);
  const unsigned channels = frame->header.channels;
  const unsigned block = frame->header.blocksize;
  c.pcm.resize(size_t{block} * channels);
  int16_t* out = c.pcm.data();
  for (unsigned i = 0; i < block; ++i) {
    for (unsigned ch = 0; ch < channels; ++ch) {
      *out++ = static_cast<int16_t>(channel[ch][i]);
    }
  }
  benchmark::DoNotOptimize(c.pcm.data());
  c.frames += block;
  c.channels = channels;
  c.rate = frame->header.sample_rate;
  return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
}

void flac_error(const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus,
                void*) {}

Decoded decode_flac(const Bytes& file) {
  Decoded result;
  FLAC__StreamDecoder* decoder = FLAC__stream_decoder_new();
  if (decoder == nullptr) return result;
  FlacClient client{{&file}, {}, 0, 0, 0};
  client.pcm.reserve(65536);
  if (FLAC__stream_decoder_init_stream(decoder, &flac_read, nullptr, nullptr,
                                       nullptr, nullptr, &flac_write, nullptr,
                                       &flac_error, &client) ==
          FLAC__STREAM_DECODER_INIT_STATUS_OK &&
      FLAC__stream_decoder_process_until_end_of_stream(decoder)) {
    result.channels = client.channels;
    result.rate = client.rate;
    result.frames = client.frames;
    result.ok = client.frames > 0;
  }
  FLAC__stream_decoder_finish(decoder);
  FLAC__stream_decoder_delete(decoder);
  return result;
}

// --- Benchmarks and the table ---------------------------------------------

using DecodeFunction = Decoded (*)(const Bytes&);

struct Codec {
  const char* name;       // row label
  const char* file_tail;  // appended to the configuration's name
  DecodeFunction decode;
  bool ours;
};

constexpr Codec codecs[] = {
    {"velka default", "-default.velka", &decode_velka, true},
    {"velka 128k", "-128.velka", &decode_velka, true},
    {"mpg123 (MP3)", ".mp3", &decode_mp3, false},
    {"vorbisfile q4", ".ogg", &decode_vorbis, false},
    {"opusfile", ".opus", &decode_opus, false},
    {"libFLAC", ".flac", &decode_flac, false},
};

constexpr const char* configs[] = {"stereo_44100", "mono_22050", "six_48000"};

struct Entry {
  std::string config;
  const Codec* codec;
  Bytes file;
  Decoded decoded;
};

bool load(const std::string& path, Bytes& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes.assign(std::istreambuf_iterator<char>(in),
               std::istreambuf_iterator<char>());
  return !bytes.empty();
}

void run_decode(benchmark::State& state, const Entry* entry) {
  for (auto _ : state) {
    const Decoded d = entry->codec->decode(entry->file);
    if (!d.ok) {
      state.SkipWithError("decode failed");
      return;
    }
  }
  const double samples =
      static_cast<double>(entry->decoded.frames) * entry->decoded.channels;
  const double seconds = static_cast<double>(entry->decoded.frames) /
                         static_cast<double>(entry->decoded.rate);
  state.counters["x_realtime"] = benchmark::Counter(
      seconds, benchmark::Counter::kIsIterationInvariantRate);
  state.counters["per_sample"] = benchmark::Counter(
      samples, benchmark::Counter::kIsIterationInvariantRate |
                   benchmark::Counter::kInvert);
}

// Console output as usual; keeps each benchmark's best CPU time per
// iteration over its repetitions for the table.
class TableReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
      const double s = run.GetAdjustedCPUTime() /
                       benchmark::GetTimeUnitMultiplier(run.time_unit);
      auto [it, inserted] =
          best_seconds_.try_emplace(run.run_name.function_name, s);
      if (!inserted) it->second = std::min(it->second, s);
    }
  }

  double best(const std::string& name) const {
    const auto it = best_seconds_.find(name);
    return it == best_seconds_.end() ? 0.0 : it->second;
  }

 private:
  std::map<std::string, double> best_seconds_;
};

std::string bench_name(const Entry& e) {
  return e.config + "/" + e.codec->name;
}

void print_table(const std::vector<Entry>& entries,
                 const TableReporter& reporter) {
  std::printf(
      "\nWhole-file decode, best CPU time of the repetitions\n"
      "%-13s %-14s %6s %8s %9s %10s %12s %12s\n",
      "input", "decoder", "kbit/s", "seconds", "ns/sample", "x realtime",
      "default:peer", "128k:peer");
  for (const char* config : configs) {
    double ours_default = 0.0;
    double ours_128 = 0.0;
    for (const Entry& e : entries) {
      if (e.config != config || !e.codec->ours) continue;
      const double t = reporter.best(bench_name(e));
      if (t <= 0.0) continue;
      const double s = static_cast<double>(e.decoded.frames) / e.decoded.rate;
      // Speeds per second of music, so that peers with other rates (Opus
      // decodes at 48 kHz) compare on the same footing.
      if (std::strcmp(e.codec->file_tail, "-default.velka") == 0) {
        ours_default = t / s;
      } else {
        ours_128 = t / s;
      }
    }
    for (const Entry& e : entries) {
      if (e.config != config) continue;
      const double t = reporter.best(bench_name(e));
      if (t <= 0.0) continue;
      const double s = static_cast<double>(e.decoded.frames) / e.decoded.rate;
      const double samples =
          static_cast<double>(e.decoded.frames) * e.decoded.channels;
      const double kbps = static_cast<double>(e.file.size()) * 8 / 1000 / s;
      char vs_default[16] = "";
      char vs_128[16] = "";
      if (!e.codec->ours) {
        if (ours_default > 0.0) {
          std::snprintf(vs_default, sizeof vs_default, "%.2f",
                        (t / s) / ours_default);
        }
        if (ours_128 > 0.0) {
          std::snprintf(vs_128, sizeof vs_128, "%.2f", (t / s) / ours_128);
        }
      }
      std::printf("%-13s %-14s %6.0f %8.2f %9.2f %10.0f %12s %12s\n", config,
                  e.codec->name, kbps, s, t * 1e9 / samples, s / t, vs_default,
                  vs_128);
    }
  }
  std::printf(
      "default:peer and 128k:peer: our speed over the peer's at the default "
      "quality and at 64 kbit/s per channel.\n");
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  std::string data;
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) {
    if (std::strncmp(argv[i], "--data=", 7) == 0) {
      data = argv[i] + 7;
    } else {
      args.push_back(argv[i]);
    }
  }
  // --profile=FILE decodes FILE through the plug-in ten times and nothing
  // else, for a profiler.
  for (char* arg : args) {
    if (std::strncmp(arg, "--profile=", 10) != 0) continue;
    Bytes file;
    if (!load(arg + 10, file)) return 1;
    for (int i = 0; i < 10; ++i) {
      if (!decode_velka(file).ok) return 1;
    }
    return 0;
  }
  if (data.empty()) {
    std::fprintf(stderr,
                 "usage: bench_compare --data=DIR [benchmark options]\n"
                 "       bench_compare --profile=FILE.velka\n"
                 "(scripts/bench-compare.sh makes DIR and runs this)\n");
    return 2;
  }
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;

  // Every file is decoded once before timing: to count its output and to
  // leave out a file that a library cannot read.
  std::vector<Entry> entries;
  entries.reserve(std::size(configs) * std::size(codecs));
  for (const char* config : configs) {
    for (const Codec& codec : codecs) {
      Entry e{config, &codec, {}, {}};
      const std::string path = data + "/" + config + codec.file_tail;
      if (!load(path, e.file)) continue;
      e.decoded = codec.decode(e.file);
      if (!e.decoded.ok || e.decoded.channels == 0 || e.decoded.rate == 0) {
        std::fprintf(stderr, "%s: cannot be decoded, left out\n", path.c_str());
        continue;
      }
      entries.push_back(std::move(e));
    }
  }
  if (entries.empty()) {
    std::fprintf(stderr, "no input files in %s\n", data.c_str());
    return 1;
  }
  for (const Entry& e : entries) {
    benchmark::RegisterBenchmark(bench_name(e).c_str(), &run_decode, &e)
        ->Unit(benchmark::kMillisecond);
  }

  for (const Entry& e : entries) {
    if (!e.codec->ours) continue;
    const Footprint f = measure_footprint(e.file);
    std::printf(
        "%s/%s: %llu processing calls, deepest %.1f KiB of stack, %llu "
        "allocations\n",
        e.config.c_str(), e.codec->name,
        static_cast<unsigned long long>(f.calls), f.stack_bytes / 1024.0,
        static_cast<unsigned long long>(f.allocations));
  }
  std::fflush(stdout);

  TableReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  print_table(entries, reporter);
  return 0;
}
