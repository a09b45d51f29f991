// Whole-stream decode through ORV_stream_process in 4096-byte requests, on
// encoder-made music: stereo 44.1 kHz, mono 22.05 kHz, 6 channels 48 kHz.
// Counters: x_realtime (seconds of audio per second of CPU), time per output
// sample, and the stream's block size.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "encoder/velk_encoder.h"
#include "plugin_api.h"
#include "stream.h"

namespace {

struct MemoryHost {
  const std::vector<uint8_t>* file;
  size_t position = 0;
  void* block = nullptr;
  uint64_t block_bytes = 0;
};

void* allocate(uint64_t bytes, uint64_t host_stream, const char*, uint32_t) {
  auto& host = *reinterpret_cast<MemoryHost*>(host_stream);
  host.block = std::aligned_alloc(64, bytes);
  host.block_bytes = bytes;
  return host.block;
}

void release(void* block, uint64_t, const char*, uint32_t) { std::free(block); }

int32_t read(uint64_t host_stream, void* destination, uint32_t bytes,
             int32_t offset) {
  auto& host = *reinterpret_cast<MemoryHost*>(host_stream);
  if (offset == 0) host.position = 0;
  const size_t left = host.file->size() - host.position;
  const size_t n = bytes < left ? bytes : left;
  std::memcpy(destination, host.file->data() + host.position, n);
  host.position += n;
  return static_cast<int32_t>(n);
}

// Music-like test signal: a few partials per channel with slow vibrato and
// a little noise, so that the spectra are neither empty nor white.
std::vector<int16_t> music(unsigned channels, unsigned rate, size_t frames) {
  std::vector<int16_t> pcm(frames * channels);
  uint32_t noise = 12345;
  const double pi = 3.14159265358979323846;
  for (size_t f = 0; f < frames; ++f) {
    const double t = static_cast<double>(f) / rate;
    for (unsigned c = 0; c < channels; ++c) {
      const double base =
          196.0 * (1 + 0.25 * c) * (1 + 0.01 * std::sin(2 * pi * 5 * t));
      double v = 0;
      for (int h = 1; h <= 6; ++h) {
        v += 5000.0 / h * std::sin(2 * pi * base * h * t + c);
      }
      noise = noise * 1664525u + 1013904223u;
      v += (static_cast<double>(noise >> 16) - 32768.0) * 0.02;
      pcm[f * channels + c] = static_cast<int16_t>(std::lround(v));
    }
  }
  return pcm;
}

void decode_stream(benchmark::State& state, unsigned channels, unsigned rate) {
  const size_t frames = size_t{rate} * 10;
  const auto pcm = music(channels, rate, frames);
  const auto file =
      orv::encoder::encode_to_memory(pcm.data(), frames, channels, rate);
  std::vector<uint8_t> out(4096);
  uint64_t output_bytes = 0;
  uint64_t block_bytes = 0;
  for (auto _ : state) {
    MemoryHost host{&file};
    ORV_Stream* stream = ORV_stream_open(
        &allocate, &release, reinterpret_cast<uintptr_t>(&host), &read);
    if (stream == nullptr) {
      state.SkipWithError("open failed");
      return;
    }
    output_bytes = 0;
    while (const uint32_t got = ORV_stream_process(stream, out.data(), 4096)) {
      output_bytes += got;
      benchmark::DoNotOptimize(out.data());
    }
    block_bytes = host.block_bytes;
    ORV_stream_close(stream);
  }
  const double samples = static_cast<double>(output_bytes) / 2;
  const double seconds = samples / channels / rate;
  state.counters["x_realtime"] = benchmark::Counter(
      seconds, benchmark::Counter::kIsIterationInvariantRate);
  state.counters["per_sample"] = benchmark::Counter(
      samples, benchmark::Counter::kIsIterationInvariantRate |
                   benchmark::Counter::kInvert);
  state.counters["block_bytes"] = static_cast<double>(block_bytes);
  state.counters["file_bytes"] = static_cast<double>(file.size());
}

void BM_stereo_44100(benchmark::State& state) {
  decode_stream(state, 2, 44100);
}
void BM_mono_22050(benchmark::State& state) { decode_stream(state, 1, 22050); }
void BM_six_channels_48000(benchmark::State& state) {
  decode_stream(state, 6, 48000);
}

BENCHMARK(BM_stereo_44100)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_mono_22050)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_six_channels_48000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
