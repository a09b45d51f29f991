// Speed of one channel pair's sub-block decode at 44.1 kHz stereo (frame
// length 2048), for a sub-block of music-like density: about 150 kbit/s,
// dense with larger values in the low bands and sparse, small values above.
// BM_DecodeSubBlock is the whole decode_sub_block call; the other three
// split it into coefficient reading (both channels), the two inverse DCTs,
// and conversion with interleave, crossfade and the new tail. Times are
// per sub-block.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "sdk/orv/vlkdec/decoder/block_decoder.h"
#include "sdk/orv/vlkdec/decoder/coefficients.h"
#include "sdk/orv/vlkdec/decoder/convert.h"
#include "sdk/orv/vlkdec/decoder/synthesis.h"
#include "sdk/orv/vlkdec/transform/dct.h"
#include "support/bit_writer.h"
#include "support/sub_block_writer.h"

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
        const auto limit = static_cast<int32_t>(1 + 60.0 * (1.0 - place) *
                                                        (1.0 - place));
        values[k] = static_cast<int32_t>(rng() % (2 * limit + 1)) - limit;
      }
      orv::test::put_channel(w, orv::test::float29_bits(16, rng() & 0x7FFFFF, false),
                             orv::test::float29_bits(16, rng() & 0x7FFFFF, true),
                             indices, values);
    }
    return w.bytes();
  }

  uint32_t decode() {
    return decode_sub_block(d->transform_length, d->scale, d->transform_count,
                            d->flags, d->transform_table_length,
                            d->transform_table, out, payload.data(),
                            payload.data() + payload.size(), d->band_count,
                            d->band_edges, coeffs, d->overlap_bytes,
                            d->overlap_shift, d->tail);
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

void BM_ReadCoefficients(benchmark::State& state) {
  Fixture& f = fixture();
  for (auto _ : state) {
    benchmark::DoNotOptimize(f.read_both());
    benchmark::ClobberMemory();
  }
  set_counters(state);
}
BENCHMARK(BM_ReadCoefficients);

void BM_InverseDcts(benchmark::State& state) {
  Fixture& f = fixture();
  if (!f.read_both()) state.SkipWithError("sub-block does not decode");
  std::memcpy(f.decoded, f.coeffs, sizeof(f.decoded));
  for (auto _ : state) {
    // The copy back (16 KB) keeps the input from growing without bound.
    std::memcpy(f.coeffs, f.decoded, sizeof(f.coeffs));
    inverse_dct(n, f.coeffs, static_cast<int>(f.d->transform_table_length),
                f.d->transform_table);
    inverse_dct(n, f.coeffs + n,
                static_cast<int>(f.d->transform_table_length),
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

BENCHMARK_MAIN();
