#include "decoder/synthesis.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "decoder/block_decoder.h"
#include "decoder/coefficients.h"
#include "support/bit_writer.h"
#include "support/reference_transform.h"
#include "support/sub_block_writer.h"
#include "support/test_data.h"

namespace orv::vlkdec {
namespace {

using test::BitWriter;

// ---- Crossfade ------------------------------------------------------------

std::vector<int16_t> crossfade(int16_t tail_value, int16_t new_value,
                               uint32_t shift) {
  const uint32_t n = 1u << shift;
  std::vector<int16_t> out(n, new_value), tail(n, tail_value);
  crossfade_overlap(out.data(), tail.data(), 2 * n, shift);
  return out;
}

TEST(Synthesis, CrossfadeRampsFromTailTowardsNewBlock) {
  const auto out = crossfade(1000, 2000, 5);
  EXPECT_EQ(out[0], 1000);
  EXPECT_EQ(out[16], 1500);
  EXPECT_EQ(out[31], 1968);
  // The arithmetic shift rounds a negative step toward minus infinity.
  EXPECT_EQ(crossfade(0, -1000, 5)[1], -32);
  // Nothing happens for an empty run.
  std::vector<int16_t> untouched(8, 5), tail(8, 0);
  crossfade_overlap(untouched.data(), tail.data(), 0, 3);
  EXPECT_EQ(untouched, std::vector<int16_t>(8, 5));
}

TEST(Synthesis, CrossfadeTakesFullDifferenceOfLargeSwings) {
  // -20000 to 20000 differs by 40000, which does not fit 16 bits; the fade
  // must still rise steadily between the two levels, not click to the rail.
  for (uint32_t shift = 5; shift <= 8; ++shift) {
    SCOPED_TRACE(shift);
    const uint32_t n = 1u << shift;
    for (int sign : {1, -1}) {
      const auto from = static_cast<int16_t>(-20000 * sign);
      const auto out =
          crossfade(from, static_cast<int16_t>(20000 * sign), shift);
      for (uint32_t k = 0; k < n; ++k) {
        const int32_t expected = from + ((40000 * sign * int32_t(k)) >> shift);
        ASSERT_EQ(out[k], expected) << k;
      }
    }
    // Rail to rail: 65535 apart, the last sample is just short of 32767.
    const auto out = crossfade(-32768, 32767, shift);
    EXPECT_EQ(out[n - 1], -32768 + ((65535 * int32_t(n - 1)) >> shift));
  }
}

// ---- Reference synthesis --------------------------------------------------

// Decoder storage, work area and an output buffer with guard samples on
// both sides, for one pair.
struct Pair {
  static constexpr size_t guard = 16;
  alignas(16) uint8_t storage[block_decoder_state_size(48000, 2)];
  BlockDecoder* d;
  std::vector<float, std::allocator<float>> work_store;
  std::vector<int16_t> out_store;
  float* coeffs;
  int16_t* out;

  Pair(uint32_t rate, uint32_t channels, uint32_t flags)
      : d(setup_block_decoder(storage, rate, channels, flags)),
        work_store(2 * 2048 + 4),
        out_store(2 * 2048 + 2 * guard + 8, 0x5A5A) {
    coeffs = align16(work_store.data());
    out = align16(out_store.data()) + guard;
  }
  template <typename T>
  static T* align16(T* p) {
    auto address = reinterpret_cast<uintptr_t>(p);
    return reinterpret_cast<T*>((address + 15) & ~uintptr_t{15});
  }
  uint32_t decode(const uint8_t* start, const uint8_t* end, bool crossfade) {
    const uint32_t used =
        decode_sub_block(*d, SubBlock{start, end}, coeffs, out,
                         crossfade ? d->overlap_shift : 0);
    return used;
  }
  uint32_t decode(const std::vector<uint8_t>& bytes, bool crossfade) {
    return decode(bytes.data(), bytes.data() + bytes.size(), crossfade);
  }
  bool guards_intact() const {
    const int16_t* first = out - guard;
    for (size_t i = 0; i < guard; ++i) {
      if (first[i] != 0x5A5A) return false;
      if (out[d->block_bytes / 2 + i] != 0x5A5A) return false;
    }
    return true;
  }
  std::vector<int16_t> tail() const {
    return std::vector<int16_t>(d->tail, d->tail + d->overlap_bytes / 2);
  }
};

// One channel's content: raw floats, quantiser indices and quantised
// values, with the coefficients they stand for computed on their own.
struct Channel {
  uint32_t float0, float1;
  std::vector<uint32_t> indices;
  std::vector<int32_t> values;
  std::vector<double> coefficients;
};

double step_of(uint32_t index) {
  return static_cast<float>(std::pow(10.0, 0.0664 * (index > 95 ? 95 : index)));
}

Channel random_channel(std::mt19937& rng, const BlockDecoder& d, int loudness) {
  const uint32_t n = d.transform_length;
  Channel c;
  const uint32_t mantissa0 = rng() & 0x7FFFFF, mantissa1 = rng() & 0x7FFFFF;
  c.float0 = test::float29_bits(20, mantissa0, rng() & 1);
  c.float1 = test::float29_bits(19, mantissa1, rng() & 1);
  c.values.assign(n, 0);
  c.coefficients.assign(n, 0.0);
  c.coefficients[0] = (c.float0 >> 28 ? -1.0 : 1.0) * mantissa0 / 8.0;
  c.coefficients[1] = (c.float1 >> 28 ? -1.0 : 1.0) * mantissa1 / 16.0;
  for (uint32_t j = 0; j < d.band_count; ++j) {
    // Coarser steps in the high bands, and now and then an index above 95.
    uint32_t index = 20 + rng() % 20 + j;
    if (rng() % 16 == 0) index = 96 + rng() % 160;
    c.indices.push_back(index);
  }
  uint32_t band = 0;
  for (uint32_t k = 2; k < n; ++k) {
    while (k >= 2 * d.band_edges[band + 1]) ++band;
    // Sparse above the low bands, with long silent stretches.
    const bool silent = (k / 64) % 5 == 4 || rng() % (1 + k / 128) != 0;
    if (silent) continue;
    const int32_t limit = c.indices[band] > 95 ? 1 : loudness;
    int32_t v = static_cast<int32_t>(rng() % (2 * limit + 1)) - limit;
    if (c.indices[band] > 95 && rng() % 8 != 0) v = 0;
    c.values[k] = v;
    c.coefficients[k] = static_cast<float>(
        static_cast<float>(v) * static_cast<float>(step_of(c.indices[band])));
  }
  return c;
}

// The 16-bit samples of one channel by a double-precision inverse DCT of
// the same coefficients, scaled, rounded half to even and saturated.
std::vector<int16_t> reference_samples(const Channel& c, float scale) {
  const std::vector<float> coefficients(c.coefficients.begin(),
                                        c.coefficients.end());
  const std::vector<double> samples = test::reference_inverse_dct(coefficients);
  std::vector<int16_t> out;
  for (double sample : samples) {
    const double value = std::nearbyint(sample * static_cast<double>(scale));
    out.push_back(static_cast<int16_t>(value > 32767    ? 32767
                                       : value < -32768 ? -32768
                                                        : value));
  }
  return out;
}

std::vector<uint8_t> sub_block(const std::vector<const Channel*>& channels) {
  BitWriter w;
  w.put(3, 2);  // the skip bits carry nothing; set to prove it
  for (const Channel* c : channels) {
    test::put_channel(w, c->float0, c->float1, c->indices, c->values);
  }
  return w.bytes();
}

void expect_close(const int16_t* got, const std::vector<int16_t>& want,
                  size_t count, size_t stride = 1) {
  for (size_t i = 0; i < count; ++i) {
    ASSERT_LE(std::abs(got[i * stride] - want[i]), 1) << "sample " << i;
  }
}

struct Layout {
  uint32_t rate, channels, flags;
};

class SynthesisLayout : public testing::TestWithParam<Layout> {};

// Each frame length and layout against the double-precision reference:
// first block without crossfade, the output's layout, guards, the tail, the
// consumed length, then a second block that fades in from that tail.
TEST_P(SynthesisLayout, MatchesDoublePrecisionReference) {
  const Layout layout = GetParam();
  const uint32_t seed = test::test_seed(1234 + layout.rate + layout.flags);
  SCOPED_TRACE(seed);
  std::mt19937 rng(seed);
  Pair pair(layout.rate, layout.channels, layout.flags);
  const BlockDecoder& d = *pair.d;
  const uint32_t n = d.transform_length;
  const uint32_t v = d.overlap_bytes / 2;

  std::vector<Channel> channels;
  for (uint32_t c = 0; c < layout.channels; ++c) {
    channels.push_back(random_channel(rng, d, 40));
  }
  std::vector<const Channel*> pointers;
  for (const Channel& c : channels) pointers.push_back(&c);
  const auto bytes = sub_block(pointers);
  std::vector<std::vector<int16_t>> want;
  for (const Channel& c : channels)
    want.push_back(reference_samples(c, d.scale));

  ASSERT_EQ(pair.decode(bytes, false), bytes.size());
  ASSERT_TRUE(pair.guards_intact());
  const bool planar = (d.flags & decoder_flag_planar) != 0;
  std::vector<int16_t> expected_tail;
  if (layout.channels == 1) {
    expect_close(pair.out, want[0], n);
  } else if (!planar) {
    expect_close(pair.out, want[0], n, 2);
    expect_close(pair.out + 1, want[1], n, 2);
  } else {
    // Channel 0's last n/16 samples are overwritten by channel 1's run.
    expect_close(pair.out, want[0], n - v / 2);
    expect_close(pair.out + n - v / 2, want[1], n);
  }
  if (planar) {
    for (uint32_t c = 0; c < 2; ++c) {
      const int16_t* tail = pair.d->tail + c * v / 2;
      const std::vector<int16_t> part(want[c].end() - v / 2, want[c].end());
      expect_close(tail, part, v / 2);
    }
  } else {
    const int16_t* last = pair.out + d.block_bytes / 2 - v;
    EXPECT_EQ(std::memcmp(pair.d->tail, last, d.overlap_bytes), 0);
  }

  // Second block: silence, so the output is exactly the faded tail.
  const std::vector<int16_t> old_tail = pair.tail();
  Channel quiet = channels[0];
  quiet.float0 = quiet.float1 = 0;
  std::fill(quiet.values.begin(), quiet.values.end(), 0);
  std::vector<const Channel*> quiet_pointers(layout.channels, &quiet);
  const auto silent = sub_block(quiet_pointers);
  ASSERT_EQ(pair.decode(silent, true), silent.size());
  const uint32_t runs = planar ? 2 : 1;
  const uint32_t run_length = v / runs;
  const uint32_t shift = d.overlap_shift - (planar ? 1 : 0);
  for (uint32_t r = 0; r < runs; ++r) {
    const int16_t* faded = pair.out + r * (n - run_length);
    for (uint32_t k = 0; k < run_length; ++k) {
      const int32_t from = old_tail[r * run_length + k];
      ASSERT_EQ(faded[k], from + ((-from * int32_t(k)) >> shift)) << r << k;
    }
  }
  EXPECT_EQ(pair.tail(), std::vector<int16_t>(v, 0));
  EXPECT_TRUE(pair.guards_intact());
}

INSTANTIATE_TEST_SUITE_P(
    Synthesis, SynthesisLayout,
    testing::Values(Layout{8000, 1, 1}, Layout{22050, 1, 3},
                    Layout{44100, 1, 1}, Layout{16000, 2, 1},
                    Layout{32000, 2, 1}, Layout{48000, 2, 1},
                    Layout{16000, 2, 3}, Layout{22050, 2, 3},
                    Layout{44100, 2, 3}),
    [](const testing::TestParamInfo<Layout>& param) {
      return "Rate" + std::to_string(param.param.rate) + "Channels" +
             std::to_string(param.param.channels) +
             (param.param.flags & 2 ? "Planar" : "");
    });

TEST(Synthesis, EmptySubBlockWritesNothingAndReturnsZero) {
  Pair pair(44100, 2, 1);
  const std::vector<int16_t> tail = pair.tail();
  const std::vector<uint8_t> bytes(8, 0xFF);
  EXPECT_EQ(pair.decode(bytes.data() + 8, bytes.data() + 8, true), 0u);
  EXPECT_EQ(pair.decode(bytes.data() + 8, bytes.data() + 4, true), 0u);
  EXPECT_EQ(pair.out[0], 0x5A5A);
  EXPECT_EQ(pair.tail(), tail);
}

TEST(Synthesis, ConsumedLengthFindsNextPairsSubBlock) {
  std::mt19937 rng(test::test_seed(99));
  Pair first(22050, 2, 3), second(22050, 2, 3);
  const Channel a = random_channel(rng, *first.d, 7);
  const Channel b = random_channel(rng, *first.d, 7);
  auto bytes = sub_block({&a, &b});
  const size_t first_size = bytes.size();
  const auto next = sub_block({&b, &a});
  bytes.insert(bytes.end(), next.begin(), next.end());
  const uint8_t* end = bytes.data() + bytes.size();
  const uint32_t used = first.decode(bytes.data(), end, false);
  EXPECT_EQ(used, first_size);
  EXPECT_EQ(second.decode(bytes.data() + used, end, false), next.size());
  // Channel 0 of the second pair is channel 1 of the first, which starts
  // n / 16 samples before the end of channel 0's run.
  EXPECT_EQ(std::memcmp(second.out, first.out + 1024 - 64, 2 * 960), 0);
}

TEST(Synthesis, ChannelThatRunsOutIsSilenceFadedFromItsTail) {
  std::mt19937 rng(test::test_seed(5));
  Pair pair(44100, 2, 1);
  const Channel loud = random_channel(rng, *pair.d, 30);
  // Prime the tail with a full block, then cut the next payload inside
  // channel 1; channel 1 starts from where channel 0 stopped and fails.
  ASSERT_GT(pair.decode(sub_block({&loud, &loud}), false), 0u);
  const std::vector<int16_t> old_tail = pair.tail();
  BitWriter w;
  w.put(0, 2);
  test::put_channel(w, loud.float0, loud.float1, loud.indices, loud.values);
  const size_t channel0_words = w.word_count();
  test::put_channel(w, loud.float0, loud.float1, loud.indices, loud.values);
  auto bytes = w.bytes();
  bytes.resize(channel0_words * 4 + 8);
  ASSERT_EQ(pair.decode(bytes, true), bytes.size());
  const auto want = reference_samples(loud, pair.d->scale);
  for (uint32_t i = 0; i < 2048; ++i) {
    const int16_t right = pair.out[2 * i + 1];
    if (2 * i + 1 < 256) {
      const int32_t from = old_tail[2 * i + 1];
      ASSERT_EQ(right, from + ((-from * int32_t(2 * i + 1)) >> 8)) << i;
    } else {
      ASSERT_EQ(right, 0) << i;
    }
    if (2 * i >= 256) {
      ASSERT_LE(std::abs(pair.out[2 * i] - want[i]), 1) << i;
    }
  }
  for (uint32_t k = 1; k < 256; k += 2) EXPECT_EQ(pair.tail()[k], 0);
}

TEST(Synthesis, BytesPastPayloadEndReadAsZero) {
  // A payload that ends two bytes into the sub-block's last word, where the
  // channel's last fields lie: the word is still fetched, its two missing
  // bytes read as zero whatever follows the payload, and nothing at or
  // beyond the end is touched (the copy is exactly the payload's size).
  std::mt19937 rng(test::test_seed(11));
  std::vector<uint8_t> bytes;
  size_t bits = 1;  // enter the loop
  while (bits % 32 != 0 && bits % 32 <= 16) {
    Pair probe(16000, 1, 1);
    const Channel c = random_channel(rng, *probe.d, 15);
    BitWriter w;
    w.put(0, 2);
    test::put_channel(w, c.float0, c.float1, c.indices, c.values);
    bits = w.bit_count();
    bytes = w.bytes();
  }
  const size_t size = bytes.size() - 2;
  auto exact = std::make_unique<uint8_t[]>(size);
  std::memcpy(exact.get(), bytes.data(), size);
  std::vector<uint8_t> zeroed = bytes, garbage = bytes;
  zeroed[size] = zeroed[size + 1] = 0;
  garbage[size] = garbage[size + 1] = 0xFF;

  Pair reference(16000, 1, 1), cut(16000, 1, 1), dirty(16000, 1, 1);
  const uint32_t used = reference.decode(zeroed, false);
  EXPECT_EQ(used, bytes.size());
  EXPECT_EQ(cut.decode(exact.get(), exact.get() + size, false), used);
  EXPECT_EQ(dirty.decode(garbage.data(), garbage.data() + size, false), used);
  EXPECT_EQ(std::memcmp(cut.out, reference.out, 1024), 0);
  EXPECT_EQ(std::memcmp(dirty.out, reference.out, 1024), 0);
  EXPECT_EQ(cut.tail(), reference.tail());
  EXPECT_EQ(dirty.tail(), reference.tail());
}

TEST(Synthesis, RandomPayloadsStayInsideTheirBuffers) {
  // Garbage of every small length, in exact-size copies, for each layout:
  // the sanitizer build checks the reads; the consumed length never goes
  // past the last word that starts before the end, and the guards hold.
  const uint32_t seed = test::test_seed(77);
  SCOPED_TRACE(seed);
  std::mt19937 rng(seed);
  const Layout layouts[] = {{8000, 1, 1}, {22050, 2, 1}, {44100, 2, 3}};
  for (const Layout& layout : layouts) {
    Pair pair(layout.rate, layout.channels, layout.flags);
    for (uint32_t size = 1; size < 600; size += 1 + rng() % 7) {
      auto data = std::make_unique<uint8_t[]>(size);
      // Mostly ones make long runs and wide fields; zeros make short ones.
      const uint32_t bias = rng() % 3;
      for (uint32_t i = 0; i < size; ++i) {
        const auto byte = static_cast<uint8_t>(rng());
        data[i] = bias == 0 ? byte : bias == 1 ? byte | 0xF0 : byte & 0x0F;
      }
      const uint32_t used = pair.decode(data.get(), data.get() + size, true);
      ASSERT_GE(used, 4u);
      ASSERT_LE(used, (size + 3) / 4 * 4);
      ASSERT_TRUE(pair.guards_intact());
    }
  }
}

// Frame-order output for multichannel blocks: the samples of the planar
// layout, each at its frame and channel, with the other channels' places
// left alone, over three blocks so that the crossfades and tails count.
TEST(Synthesis, FrameOrderOutputPlacesThePlanarSamples) {
  const uint32_t seed = test::test_seed(78);
  SCOPED_TRACE(seed);
  std::mt19937 rng(seed);
  const Layout layouts[] = {{44100, 2, 3}, {22050, 1, 1}, {8000, 2, 3}};
  for (const Layout& layout : layouts) {
    SCOPED_TRACE(layout.rate);
    Pair planar(layout.rate, layout.channels, layout.flags);
    Pair framed(layout.rate, layout.channels, layout.flags);
    const uint32_t n = planar.d->transform_length;
    const uint32_t kept = n - n / 16;
    constexpr uint32_t stride = 5;
    constexpr uint32_t first = 2;  // the pair's first channel in a frame
    for (int block = 0; block < 3; ++block) {
      const Channel a = random_channel(rng, *planar.d, 300);
      const Channel b = random_channel(rng, *planar.d, 300);
      std::vector<const Channel*> channels{&a};
      if (layout.channels == 2) channels.push_back(&b);
      const std::vector<uint8_t> bytes = sub_block(channels);
      const bool fade = block != 0;
      const uint32_t used = planar.decode(bytes, fade);

      std::vector<int16_t> frames(size_t{kept} * stride, 0x5A5A);
      BlockDecoder& d = *framed.d;
      EXPECT_EQ(decode_sub_block_frames(
                    d, SubBlock{bytes.data(), bytes.data() + bytes.size()},
                    framed.coeffs, FrameOrder{frames.data() + first, stride},
                    fade ? d.overlap_shift : 0),
                used);
      for (uint32_t f = 0; f < kept; ++f) {
        for (uint32_t c = 0; c < stride; ++c) {
          const int16_t got = frames[size_t{f} * stride + c];
          const uint32_t channel = c - first;
          if (c < first || channel >= layout.channels) {
            ASSERT_EQ(got, 0x5A5A) << f << " " << c;
          } else {
            ASSERT_EQ(got, planar.out[channel * kept + f]) << f << " " << c;
          }
        }
      }
      ASSERT_EQ(framed.tail(), planar.tail());
    }
  }
}

}  // namespace
}  // namespace orv::vlkdec
