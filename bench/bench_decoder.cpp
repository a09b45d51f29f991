// Speed of one channel pair's sub-block decode at 44.1 kHz stereo (frame
// length 2048).
//
// BM_ReadCoefficients reads both channels of every block of encoder-made
// music, at the encoder's default quality and at 128 kbit/s, once with each
// variant of the reader the processor offers, and reports time per
// coefficient. Setting ORV_BENCH_VELKA to a colon-separated list of mono or
// stereo .velka files (any rate) adds those files as further inputs.
//
// The other benchmarks use one synthetic sub-block of about 150 kbit/s,
// dense with larger values in the low bands and sparse, small values above:
// BM_DecodeSubBlock is the whole decode_sub_block call; the other three
// split it into coefficient reading, the two inverse DCTs, and conversion
// with interleave, crossfade and the new tail. Times are per sub-block.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "decoder/block_decoder.h"
#include "decoder/coefficients.h"
#include "decoder/synthesis.h"
#include "dsp/cpu_features.h"
#include "dsp/dsp.h"
#include "encoder/velk_encoder.h"
#include "format/block_frame.h"
#include "format/file_header.h"
#include "format/seek_table.h"
#include "kernels/convert.h"
#include "support/bit_writer.h"
#include "support/sub_block_writer.h"
#include "transform/dct.h"

namespace {

using namespace orv::vlkdec;

constexpr uint32_t rate = 44100;
constexpr uint32_t n = 2048;
// 150 kbit/s over 44100 / 1920 delivered frames per block.
constexpr double target_bytes = 150000.0 / 8.0 * 1920.0 / 44100.0;

struct Fixture {
  alignas(16) uint8_t storage[block_decoder_state_size(rate, 2)];
  alignas(16) float coeffs[2 * n];
  alignas(16) float decoded[2 * n];  // coefficients as read, for the DCTs
  alignas(16) int16_t out[2 * n];
  BlockDecoder* d;
  std::vector<uint8_t> payload;

  Fixture() : d(setup_block_decoder(storage, rate, 2, 1)) {
    // Scale the density until the sub-block is within 2% of the target.
    double density = 1.0;
    for (int attempt = 0; attempt < 60; ++attempt) {
      payload = build(density);
      const double ratio = static_cast<double>(payload.size()) / target_bytes;
      if (ratio > 0.98 && ratio < 1.02) break;
      density /= ratio;
    }
  }

  // Magnitudes fall off with frequency; the chance of a nonzero value
  // falls with it, scaled by `density`.
  std::vector<uint8_t> build(double density) const {
    std::mt19937 rng(2024);
    orv::test::BitWriter w;
    w.put(0, 2);
    for (int channel = 0; channel < 2; ++channel) {
      std::vector<uint32_t> indices;
      for (uint32_t j = 0; j < d->band_count; ++j) indices.push_back(30 + j);
      std::vector<int32_t> values(n, 0);
      for (uint32_t k = 2; k < n; ++k) {
        const double place = static_cast<double>(k) / n;
        const double chance = density * (0.9 - 0.85 * place) * (1.0 - place);
        if (std::uniform_real_distribution<double>(0, 1)(rng) >= chance) {
          continue;
        }
        const auto limit =
            static_cast<int32_t>(1 + 60.0 * (1.0 - place) * (1.0 - place));
        values[k] = static_cast<int32_t>(rng() % (2 * limit + 1)) - limit;
      }
      orv::test::put_channel(
          w, orv::test::float29_bits(16, rng() & 0x7FFFFF, false),
          orv::test::float29_bits(16, rng() & 0x7FFFFF, true), indices, values);
    }
    return w.bytes();
  }

  uint32_t decode() {
    return decode_sub_block(
        *d, SubBlock{payload.data(), payload.data() + payload.size()}, coeffs,
        out, d->overlap_shift);
  }

  bool read_both() {
    BitReader reader =
        begin_sub_block(payload.data(), payload.data() + payload.size());
    const bool left = read_channel_coefficients(coeffs, n, d->band_count,
                                                reader, d->band_edges);
    const bool right = read_channel_coefficients(coeffs + n, n, d->band_count,
                                                 reader, d->band_edges);
    return left && right;
  }
};

Fixture& fixture() {
  static Fixture* f = new Fixture;
  return *f;
}

void set_counters(benchmark::State& state) {
  state.SetItemsProcessed(state.iterations());
  state.counters["payload_bytes"] =
      static_cast<double>(fixture().payload.size());
  state.counters["kbit_per_s"] = static_cast<double>(fixture().payload.size()) *
                                 8.0 * 44100.0 / 1920.0 / 1000.0;
}

void BM_DecodeSubBlock(benchmark::State& state) {
  Fixture& f = fixture();
  for (auto _ : state) {
    benchmark::DoNotOptimize(f.decode());
    benchmark::ClobberMemory();
  }
  set_counters(state);
}
BENCHMARK(BM_DecodeSubBlock);

// Music-like stereo signal, deterministic: a few voices playing changing
// notes of a scale, each with many decaying, slightly inharmonic partials and
// its own pan; a kick and a noisy hi-hat on the beat; a low noise floor.
// Its spectra fill the bands the way recorded music does, so the encoder
// chooses run widths and zero runs of a realistic mix.
std::vector<int16_t> music(size_t frames) {
  constexpr double pi = 3.14159265358979323846;
  constexpr double scale[8] = {0, 2, 4, 5, 7, 9, 11, 12};
  std::vector<int16_t> pcm(2 * frames);
  uint32_t noise = 0x2468ACEu;
  auto random = [&noise] {
    noise = noise * 1664525u + 1013904223u;
    return static_cast<double>(noise >> 8) / 16777216.0 * 2.0 - 1.0;
  };
  constexpr int voices = 4;
  double phase[voices][24] = {};
  double hat_state = 0;
  const double note_seconds = 0.3;
  for (size_t f = 0; f < frames; ++f) {
    const double t = static_cast<double>(f) / rate;
    const auto note = static_cast<uint32_t>(t / note_seconds);
    const double since_note = t - note * note_seconds;
    double left = 0, right = 0;
    for (int v = 0; v < voices; ++v) {
      // A fixed pseudo-random melody per voice.
      const uint32_t step = (note * 2654435761u + v * 40503u) >> 13;
      const double semitones = 12.0 * (v % 3) + scale[step % 8] - 9.0;
      const double base = 220.0 * std::pow(2.0, semitones / 12.0);
      const double envelope =
          std::exp(-since_note * (2.0 + v)) * std::min(1.0, since_note * 200.0);
      double voice = 0;
      for (int h = 1; h <= 24; ++h) {
        const double freq = base * h * (1.0 + 0.0004 * h * h);
        if (freq > 18000.0) break;
        phase[v][h - 1] += 2 * pi * freq / rate;
        voice += std::sin(phase[v][h - 1]) / std::pow(h, 1.1);
      }
      const double pan = 0.2 + 0.2 * v;
      left += 2400.0 * envelope * voice * (1.0 - pan);
      right += 2400.0 * envelope * voice * pan;
    }
    const double beat = std::fmod(t, 2 * note_seconds);
    const double kick =
        9000.0 * std::exp(-beat * 30.0) *
        std::sin(2 * pi * (50.0 + 120.0 * std::exp(-beat * 40.0)) * beat);
    const double white = random();
    hat_state = 0.4 * hat_state + white;
    const double hat = 1500.0 * std::exp(-std::fmod(t, note_seconds) * 60.0) *
                       (white - 0.6 * hat_state);
    const double floor = 60.0 * random();
    left += kick + hat + floor;
    right += kick + 0.7 * hat + 60.0 * random();
    auto clip = [](double x) {
      return static_cast<int16_t>(
          std::lround(std::max(-32768.0, std::min(32767.0, x))));
    };
    pcm[2 * f] = clip(left);
    pcm[2 * f + 1] = clip(right);
  }
  return pcm;
}

// Every block payload of a mono or stereo file (one sub-block each).
struct Corpus {
  std::vector<std::vector<uint8_t>> payloads;
  uint64_t bytes = 0;
  uint32_t rate = 44100;
  uint32_t channels = 2;
};

Corpus blocks_of(const std::vector<uint8_t>& file) {
  Corpus corpus;
  const auto header = orv::vlkdec::parse_file_header(file.data(), file.size());
  if (!header) return corpus;
  corpus.channels = header->channels;
  corpus.rate = header->sample_rate;
  if (corpus.channels == 0 || corpus.channels > 2 || corpus.rate == 0) {
    return corpus;  // several sub-blocks per block: not measured here
  }
  size_t at = orv::vlkdec::data_start_for(*header);
  while (at <= file.size()) {
    const auto size =
        orv::vlkdec::read_block_frame(file.data() + at, file.size() - at);
    const size_t payload = at + orv::vlkdec::block_frame_header_bytes;
    if (!size || payload + *size > file.size() || *size == 0) break;
    corpus.payloads.emplace_back(file.begin() + payload,
                                 file.begin() + payload + *size);
    corpus.bytes += *size;
    at = payload + *size;
  }
  return corpus;
}

Corpus encoded_music(double kbps) {
  const size_t frames = rate * 8;
  const auto pcm = music(frames);
  orv::encoder::EncoderOptions options;
  options.bitrate_kbps = kbps;
  options.seek_table = false;
  return blocks_of(
      orv::encoder::encode_to_memory(pcm.data(), frames, 2, rate, options));
}

// Reads every channel of every payload; the result keeps the work alive.
uint32_t read_corpus(const Corpus& corpus, const BlockDecoder& d,
                     float* coeffs) {
  const uint32_t length = d.transform_length;
  uint32_t ok = 0;
  for (const auto& payload : corpus.payloads) {
    BitReader reader =
        begin_sub_block(payload.data(), payload.data() + payload.size());
    for (uint32_t channel = 0; channel < d.transform_count; ++channel) {
      ok += read_channel_coefficients(coeffs + channel * length, length,
                                      d.band_count, reader, d.band_edges);
    }
  }
  return ok;
}

void BM_ReadCoefficients(benchmark::State& state, const Corpus* corpus,
                         uint32_t features) {
  Fixture& f = fixture();
  if ((cpu_features() & features) != features) {
    state.SkipWithError("the processor lacks this variant's features");
    return;
  }
  // A decoder set up for the corpus's layout (the fixture's is stereo
  // 44.1 kHz); its coefficient area is the fixture's, which is large enough.
  alignas(16) static uint8_t storage[block_decoder_state_size(rate, 2)];
  const BlockDecoder& d =
      *setup_block_decoder(storage, corpus->rate, corpus->channels, 1);
  restrict_cpu_features(features);
  const uint32_t expected =
      d.transform_count * static_cast<uint32_t>(corpus->payloads.size());
  for (auto _ : state) {
    if (read_corpus(*corpus, d, f.coeffs) != expected) {
      state.SkipWithError("a payload does not decode");
      break;
    }
    benchmark::ClobberMemory();
  }
  restrict_cpu_features(~0u);
  const double coefficients = static_cast<double>(d.transform_count) *
                              d.transform_length *
                              static_cast<double>(corpus->payloads.size());
  // Shown in seconds with a prefix: "1.23ns" is 1.23 ns per coefficient.
  state.counters["per_coef"] = benchmark::Counter(
      coefficients, benchmark::Counter::kIsIterationInvariantRate |
                        benchmark::Counter::kInvert);
  state.counters["kbit_per_s"] = static_cast<double>(corpus->bytes) * 8.0 /
                                 static_cast<double>(corpus->payloads.size()) *
                                 corpus->rate /
                                 (d.transform_length * 15.0 / 16.0) / 1000.0;
}

// Registers the corpus with every reader variant.
void register_reader(const std::string& name, const Corpus* corpus) {
  benchmark::RegisterBenchmark(
      ("BM_ReadCoefficients/" + name + "/portable").c_str(),
      BM_ReadCoefficients, corpus, 0u);
  benchmark::RegisterBenchmark(
      ("BM_ReadCoefficients/" + name + "/sse2").c_str(), BM_ReadCoefficients,
      corpus, static_cast<uint32_t>(cpu_sse2));
  benchmark::RegisterBenchmark(
      ("BM_ReadCoefficients/" + name + "/bmi2").c_str(), BM_ReadCoefficients,
      corpus, static_cast<uint32_t>(cpu_bmi2));
}

void BM_InverseDcts(benchmark::State& state) {
  Fixture& f = fixture();
  if (!f.read_both()) state.SkipWithError("sub-block does not decode");
  std::memcpy(f.decoded, f.coeffs, sizeof(f.decoded));
  for (auto _ : state) {
    // The copy back (16 KB) keeps the input from growing without bound.
    std::memcpy(f.coeffs, f.decoded, sizeof(f.coeffs));
    inverse_dct(n, f.coeffs, static_cast<int>(f.d->transform_table_length),
                f.d->transform_table);
    inverse_dct(n, f.coeffs + n, static_cast<int>(f.d->transform_table_length),
                f.d->transform_table);
    benchmark::ClobberMemory();
  }
  set_counters(state);
}
BENCHMARK(BM_InverseDcts);

void BM_ConvertAndCrossfade(benchmark::State& state) {
  Fixture& f = fixture();
  f.decode();  // the coefficient area now holds real DCT output
  const uint32_t overlap = f.d->overlap_bytes;
  for (auto _ : state) {
    convert_interleaved(f.coeffs, f.coeffs + n, f.d->scale, f.out, n);
    crossfade_overlap(f.out, f.d->tail, overlap, f.d->overlap_shift);
    std::memcpy(f.d->tail, f.out + 2 * n - overlap / 2, overlap);
    benchmark::ClobberMemory();
  }
  set_counters(state);
}
BENCHMARK(BM_ConvertAndCrossfade);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  // The quality the encoder uses by default, and 64 kbit/s per channel.
  std::vector<std::pair<std::string, std::unique_ptr<Corpus>>> corpora;
  corpora.emplace_back("default", std::make_unique<Corpus>(encoded_music(0.0)));
  corpora.emplace_back("128k", std::make_unique<Corpus>(encoded_music(128.0)));
  if (const char* list = std::getenv("ORV_BENCH_VELKA")) {
    std::string paths = list;
    for (size_t from = 0; from <= paths.size();) {
      size_t to = paths.find(':', from);
      if (to == std::string::npos) to = paths.size();
      const std::string path = paths.substr(from, to - from);
      from = to + 1;
      if (path.empty()) continue;
      std::ifstream in(path, std::ios::binary);
      const std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)),
                                      std::istreambuf_iterator<char>());
      auto corpus = std::make_unique<Corpus>(blocks_of(file));
      if (corpus->payloads.empty()) {
        std::fprintf(stderr, "%s: no blocks read\n", path.c_str());
        return 1;
      }
      const size_t slash = path.find_last_of('/');
      corpora.emplace_back(
          path.substr(slash == std::string::npos ? 0 : slash + 1),
          std::move(corpus));
    }
  }
  for (const auto& [name, corpus] : corpora)
    register_reader(name, corpus.get());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
