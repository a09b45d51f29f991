// Stream properties on hand-built streams: the arithmetic of every token,
// the argument checks, and defined answers for corrupt seek tables.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "sdk/orv/vlkdec/plugin_api.h"
#include "sdk/orv/vlkdec/stream.h"
#include "support/test_data.h"

namespace {

using orv::vlkdec::DecodeStream;

constexpr uint32_t untouched = 0xA5A5A5A5u;

// A stream as open would leave it, without a file: 2 channels at 44100 Hz,
// version 2 with `blocks` blocks per entry and the given stretch sizes.
struct TestStream {
  DecodeStream s{};
  std::vector<uint32_t> table;

  TestStream(const std::vector<uint32_t>& stretch_sizes, uint32_t blocks,
             uint32_t channels = 2, uint32_t rate = 44100,
             uint32_t total_samples = 441000) {
    table.push_back(0);
    for (uint32_t size : stretch_sizes) table.push_back(table.back() + size);
    s.header.version = 2;
    s.header.channels = static_cast<uint8_t>(channels);
    s.header.sample_rate = static_cast<uint16_t>(rate);
    s.header.total_samples = total_samples;
    s.header.seek_entry_count = static_cast<uint32_t>(stretch_sizes.size());
    s.seek_table = table.data();
    s.header.blocks_per_seek_entry = blocks;
    s.data_start = 24 + 2 * s.header.seek_entry_count;
    s.file_size = s.data_start + table.back();
    s.header.file_size = s.file_size;
    s.duration_ms = static_cast<uint32_t>(uint64_t{total_samples} * 1000 /
                                          (rate == 0 ? 1 : rate));
    s.file_position = s.data_start;
    s.loop_end_remaining = -1;
  }
  ORV_Stream* handle() { return orv::vlkdec::to_handle(&s); }

  // A query; returns `untouched` when refused.
  uint32_t query(uint64_t token) {
    uint32_t value = untouched;
    if (ORV_stream_property(handle(), token, &value, nullptr, nullptr) != 1) {
      EXPECT_EQ(value, untouched) << "refused query wrote its slot";
      return untouched;
    }
    return value;
  }
  // A setting with one input word; result[] gets up to two answers.
  int32_t set(uint64_t token, uint32_t input, uint32_t* result) {
    return ORV_stream_property(handle(), token, nullptr, &input, result);
  }
  int32_t set2(uint64_t token, int32_t first, int32_t second,
               uint32_t* result) {
    const int32_t input[2] = {first, second};
    return ORV_stream_property(handle(), token, nullptr, input, result);
  }
  float percent() {
    float value = -1.0f;
    EXPECT_EQ(ORV_stream_property(handle(), ORV_TOKEN_PERCENT_DONE, &value,
                                  nullptr, nullptr),
              1);
    return value;
  }
};

std::vector<uint32_t> uniform_stretches(uint32_t count, uint32_t size) {
  return std::vector<uint32_t>(count, size);
}

TEST(StreamProperty, QueriesAnswerFromTheHeader) {
  TestStream t(uniform_stretches(10, 1000), 4, 6, 48000);
  EXPECT_EQ(t.query(ORV_TOKEN_INPUT_SAMPLE_RATE), 48000u);
  EXPECT_EQ(t.query(ORV_TOKEN_OUTPUT_SAMPLE_RATE), 48000u);
  EXPECT_EQ(t.query(ORV_TOKEN_INPUT_SAMPLE_WIDTH), 16u);
  EXPECT_EQ(t.query(ORV_TOKEN_OUTPUT_SAMPLE_WIDTH), 16u);
  EXPECT_EQ(t.query(ORV_TOKEN_INPUT_CHANNELS), 6u);
  EXPECT_EQ(t.query(ORV_TOKEN_OUTPUT_CHANNELS), 6u);
  EXPECT_EQ(t.query(ORV_TOKEN_OUTPUT_BIT_RATE), 48000u * 6 * 16);
  t.s.file_position = 12345;
  EXPECT_EQ(t.query(ORV_TOKEN_POSITION), 12345u);
  // The largest header values still fit.
  t.s.header.sample_rate = 65535;
  t.s.header.channels = 255;
  EXPECT_EQ(t.query(ORV_TOKEN_OUTPUT_BIT_RATE), 65535u * 255 * 16);
}

TEST(StreamProperty, QueryArgumentChecksRefuseWithoutWriting) {
  TestStream t(uniform_stretches(4, 500), 1);
  uint32_t value = untouched;
  uint32_t word = 0;
  for (uint64_t token = 3; token <= 13; ++token) {
    SCOPED_TRACE(token);
    EXPECT_EQ(ORV_stream_property(t.handle(), token, nullptr, nullptr, nullptr),
              0);
    EXPECT_EQ(ORV_stream_property(t.handle(), token, &value, &word, nullptr),
              0);
    EXPECT_EQ(ORV_stream_property(t.handle(), token, &value, nullptr, &word),
              0);
    EXPECT_EQ(value, untouched);
    EXPECT_EQ(word, 0u);
  }
  for (uint64_t token : {uint64_t{0}, uint64_t{2}, uint64_t{20},
                         uint64_t{0x100000003}, ~uint64_t{0}}) {
    SCOPED_TRACE(token);
    EXPECT_EQ(t.query(token), untouched);
    EXPECT_EQ(t.set(token, 1, &word), 0);
  }
  EXPECT_EQ(ORV_stream_property(nullptr, ORV_TOKEN_POSITION, &value, nullptr,
                                nullptr),
            0);
  EXPECT_EQ(value, untouched);
}

TEST(StreamProperty, InputBitRate) {
  TestStream t(uniform_stretches(10, 1000), 4, 2, 44100, 441000);
  t.s.file_size = 250000;  // 10 s
  EXPECT_EQ(t.query(ORV_TOKEN_INPUT_BIT_RATE), 200000u);
  t.s.duration_ms = 3;
  t.s.file_size = 1001;  // truncated: 1001 * 8000 / 3 = 2669333.33
  EXPECT_EQ(t.query(ORV_TOKEN_INPUT_BIT_RATE), 2669333u);
  // Too large for 32 bits: saturates rather than wrapping.
  t.s.duration_ms = 1;
  t.s.file_size = 0xFFFFFFF0u;
  EXPECT_EQ(t.query(ORV_TOKEN_INPUT_BIT_RATE), 0xFFFFFFFFu);
}

TEST(StreamProperty, InputBitRateOfStreamShorterThanOneMillisecond) {
  // 40 frames at 44100 Hz: 0.907 ms, duration_ms 0. The rate comes from the
  // duration in frames: 500 bytes * 8 * 44100 / 40.
  TestStream t(uniform_stretches(1, 400), 1, 1, 44100, 40);
  t.s.file_size = 500;
  ASSERT_EQ(t.s.duration_ms, 0u);
  EXPECT_EQ(t.query(ORV_TOKEN_INPUT_BIT_RATE), 4410000u);
  // No frames at all: no rate.
  t.s.header.total_samples = 0;
  EXPECT_EQ(t.query(ORV_TOKEN_INPUT_BIT_RATE), 0u);
  // One frame of a huge file saturates.
  t.s.header.total_samples = 1;
  t.s.file_size = 0xFFFFFFFFu;
  EXPECT_EQ(t.query(ORV_TOKEN_INPUT_BIT_RATE), 0xFFFFFFFFu);
}

TEST(StreamProperty, OutputReservoirPrefersPcmThenCompressedBytes) {
  TestStream t(uniform_stretches(4, 500), 1);
  t.s.pcm_bytes = 7680;
  t.s.pcm_read_offset = 680;
  t.s.in_bytes = 3000;
  t.s.in_read_offset = 1000;
  EXPECT_EQ(t.query(ORV_TOKEN_OUTPUT_RESERVOIR), 7000u);
  t.s.pcm_read_offset = 7680;
  EXPECT_EQ(t.query(ORV_TOKEN_OUTPUT_RESERVOIR), 2000u);
  t.s.pcm_bytes = t.s.pcm_read_offset = 0;
  t.s.in_read_offset = 3000;
  EXPECT_EQ(t.query(ORV_TOKEN_OUTPUT_RESERVOIR), 0u);
}

TEST(StreamProperty, PercentDone) {
  TestStream t(uniform_stretches(4, 500), 1);
  t.s.file_size = 3;
  t.s.file_position = 1;
  // In single precision: 1.0f * 100.0f / 3.0f.
  const float expected = 1.0f * 100.0f / 3.0f;
  EXPECT_EQ(t.percent(), expected);
  t.s.file_position = 0;
  EXPECT_EQ(t.percent(), 0.0f);
  t.s.file_position = 1;
  t.s.file_size = 0;
  EXPECT_EQ(t.percent(), 0.0f);
  // Reading past the size the header gives never reports more than 100.
  t.s.file_size = 1000;
  t.s.file_position = 1000;
  EXPECT_EQ(t.percent(), 100.0f);
  t.s.file_position = 5000;
  EXPECT_EQ(t.percent(), 100.0f);
}

TEST(StreamProperty, ExactSeekGivesEntryAndArmsSkip) {
  // 4 blocks per entry at 44100 Hz: 7680 frames per entry.
  TestStream t({1000, 1100, 900, 1200, 800}, 4, 2, 44100, 5 * 7680);
  uint32_t result[2] = {untouched, untouched};
  ASSERT_EQ(t.set(ORV_TOKEN_EXACT_SEEK, 0, result), 1);
  EXPECT_EQ(result[0], t.s.data_start);
  EXPECT_EQ(t.s.skip_samples, 0u);
  // 500 ms = 22050 frames: entry 2 (from 15360), offset 6690.
  ASSERT_EQ(t.set(ORV_TOKEN_EXACT_SEEK, 500, result), 1);
  EXPECT_EQ(result[0], t.s.data_start + 2100);
  EXPECT_EQ(t.s.skip_samples, 6690u);
  EXPECT_EQ(result[1], untouched);
  // Past the end: frame total - 1 = 38399, entry 4 at 30720.
  ASSERT_EQ(t.set(ORV_TOKEN_EXACT_SEEK, 60000, result), 1);
  EXPECT_EQ(result[0], t.s.data_start + 4200);
  EXPECT_EQ(t.s.skip_samples, 38399u - 30720u);
  // A time whose frame number passes 32 bits lands on the last frame too,
  // not on a wrapped frame near the start.
  ASSERT_EQ(t.set(ORV_TOKEN_EXACT_SEEK, 0xFFFFFFFFu, result), 1);
  EXPECT_EQ(result[0], t.s.data_start + 4200);
  EXPECT_EQ(t.s.skip_samples, 38399u - 30720u);
  // Nothing but skip_samples changed.
  EXPECT_EQ(t.s.seek_pending, 0u);
  EXPECT_EQ(t.s.file_position, t.s.data_start);
}

TEST(StreamProperty, SeekTableTokensNeedTableAndArguments) {
  for (int variant = 0; variant < 2; ++variant) {
    SCOPED_TRACE(variant);
    // No entries, or a version 0/1 file without blocks per entry.
    TestStream t(
        variant == 0 ? std::vector<uint32_t>{} : uniform_stretches(3, 500),
        variant == 0 ? 4 : 0);
    t.s.skip_samples = 17;
    uint32_t result[2] = {untouched, untouched};
    for (uint64_t token = 15; token <= 18; ++token) {
      EXPECT_EQ(t.set2(token, 0, 0, result), 0) << token;
    }
    EXPECT_EQ(result[0], untouched);
    EXPECT_EQ(result[1], untouched);
    EXPECT_EQ(t.s.skip_samples, 17u);
  }
  TestStream t(uniform_stretches(3, 500), 1);
  uint32_t word = 0;
  uint32_t result[2] = {untouched, untouched};
  for (uint64_t token = 15; token <= 18; ++token) {
    SCOPED_TRACE(token);
    EXPECT_EQ(ORV_stream_property(t.handle(), token, nullptr, nullptr, result),
              0);
    EXPECT_EQ(ORV_stream_property(t.handle(), token, nullptr, &word, nullptr),
              0);
  }
  EXPECT_EQ(ORV_stream_property(t.handle(), ORV_TOKEN_STREAM_SEEK_POSITION,
                                &word, nullptr, nullptr),
            0);
  EXPECT_EQ(ORV_stream_property(t.handle(), ORV_TOKEN_CLEAR_LOOP_META, &word,
                                nullptr, nullptr),
            0);
  EXPECT_EQ(result[0], untouched);
  EXPECT_EQ(t.s.seek_pending, 0u);
}

TEST(StreamProperty, SeekTableLookupLeavesStreamAlone) {
  // 22050 Hz: 960 frames per block, 2 blocks per entry: 1920 per entry.
  TestStream t({300, 310, 320, 330}, 2, 1, 22050, 4 * 1920);
  uint32_t result[2] = {untouched, untouched};
  // 100 ms = 2205 frames: entry 1.
  ASSERT_EQ(t.set(ORV_TOKEN_SEEK_TABLE_LOOKUP, 100, result), 1);
  EXPECT_EQ(result[0], t.s.data_start + 300);
  EXPECT_EQ(result[1], 1920u);
  EXPECT_EQ(t.s.skip_samples, 0u);
  // The first frame of an entry maps to that entry, the one before to the
  // entry before (3840 frames = 174.14 ms; 174 ms = 3836 frames).
  ASSERT_EQ(t.set(ORV_TOKEN_SEEK_TABLE_LOOKUP, 175, result), 1);
  EXPECT_EQ(result[1], 3840u);
  ASSERT_EQ(t.set(ORV_TOKEN_SEEK_TABLE_LOOKUP, 174, result), 1);
  EXPECT_EQ(result[1], 1920u);
}

TEST(StreamProperty, EntryPositionPast4GiBSaturates) {
  // Offsets that no file can hold (the table is set by hand): data_start +
  // offset passes 2^32, and the answer saturates instead of wrapping to an
  // early position.
  TestStream t({100, 100}, 1, 2, 44100, 100000);
  t.table[1] = 0xFFFFFFF0u;
  t.table[2] = 0xFFFFFFFFu;
  uint32_t result[2] = {untouched, untouched};
  ASSERT_EQ(t.set(ORV_TOKEN_SEEK_TABLE_LOOKUP, 1000, result), 1);
  EXPECT_EQ(result[0], 0xFFFFFFFFu);
  EXPECT_EQ(result[1], 1920u);
}

TEST(StreamProperty, SetLoopingSamples) {
  TestStream t({1000, 1000, 1000, 1000}, 1, 2, 44100, 4 * 1920);
  uint32_t result[2] = {untouched, untouched};
  t.s.loop_start_skip = 33;
  t.s.loop_end_offset = 77;
  t.s.loop_end_sample = 88;
  t.s.loop_end_remaining = 5;
  // -2, -1: start kept, end cleared.
  ASSERT_EQ(t.set2(ORV_TOKEN_SET_LOOPING_SAMPLES, -2, -1, result), 1);
  EXPECT_EQ(result[0], 0xFFFFFFFEu);
  EXPECT_EQ(result[1], 0xFFFFFFFFu);
  EXPECT_EQ(t.s.loop_start_skip, 33u);
  EXPECT_EQ(t.s.loop_end_offset, 0u);
  EXPECT_EQ(t.s.loop_end_sample, 0u);
  // Start 2000 (entry 1, offset 80), end 5000 (entry 2, offset 1160); the
  // second answer is the entry one entry length past the end.
  ASSERT_EQ(t.set2(ORV_TOKEN_SET_LOOPING_SAMPLES, 2000, 5000, result), 1);
  EXPECT_EQ(result[0], t.s.data_start + 1000);
  EXPECT_EQ(t.s.loop_start_skip, 80u);
  EXPECT_EQ(t.s.loop_end_offset, t.s.data_start + 2000);
  EXPECT_EQ(t.s.loop_end_sample, 1160u);
  EXPECT_EQ(result[1], t.s.data_start + 3000);
  EXPECT_EQ(t.s.loop_end_remaining, 5);
  // An end in the last entry answers the last entry again (clamped).
  ASSERT_EQ(t.set2(ORV_TOKEN_SET_LOOPING_SAMPLES, 0, 7000, result), 1);
  EXPECT_EQ(result[0], t.s.data_start);
  EXPECT_EQ(t.s.loop_start_skip, 0u);
  EXPECT_EQ(result[1], t.s.data_start + 3000);
  // Another negative end keeps the loop end; a negative start clamps to
  // the last frame.
  ASSERT_EQ(t.set2(ORV_TOKEN_SET_LOOPING_SAMPLES, -5, -7, result), 1);
  EXPECT_EQ(result[0], t.s.data_start + 3000);
  EXPECT_EQ(t.s.loop_start_skip, 4 * 1920u - 1 - 3 * 1920u);
  EXPECT_EQ(result[1], 0xFFFFFFFEu);
  EXPECT_EQ(t.s.loop_end_offset, t.s.data_start + 3000);
  EXPECT_EQ(t.s.loop_end_sample, 7000u - 3 * 1920u);
  EXPECT_EQ(t.s.loop_end_remaining, 5);
}

TEST(StreamProperty, ClearLoopMeta) {
  TestStream t(uniform_stretches(2, 100), 1);
  auto arm = [&t] {
    t.s.loop_start_skip = 1;
    t.s.loop_end_offset = 2;
    t.s.loop_end_sample = 3;
  };
  arm();
  ASSERT_EQ(t.set(ORV_TOKEN_CLEAR_LOOP_META, 1, nullptr), 1);
  EXPECT_EQ(t.s.loop_start_skip, 0u);
  EXPECT_EQ(t.s.loop_end_offset, 2u);
  arm();
  ASSERT_EQ(t.set(ORV_TOKEN_CLEAR_LOOP_META, 2, nullptr), 1);
  EXPECT_EQ(t.s.loop_start_skip, 1u);
  EXPECT_EQ(t.s.loop_end_offset, 0u);
  EXPECT_EQ(t.s.loop_end_sample, 0u);
  arm();
  ASSERT_EQ(t.set(ORV_TOKEN_CLEAR_LOOP_META, 0xFFFFFFFCu, nullptr), 1);
  EXPECT_EQ(t.s.loop_start_skip, 1u);
  EXPECT_EQ(t.s.loop_end_sample, 3u);
}

TEST(StreamProperty, StreamSeekPositionWaitsForBufferedInput) {
  TestStream t(uniform_stretches(2, 100), 1);
  t.s.pcm_bytes = 400;
  ASSERT_EQ(t.set(ORV_TOKEN_STREAM_SEEK_POSITION, 5000, nullptr), 1);
  EXPECT_EQ(t.s.file_position, 5000u);
  EXPECT_EQ(t.s.seek_pending, 1u);
  EXPECT_EQ(t.s.deferred_seek, 0u);
  EXPECT_EQ(t.s.pcm_bytes, 400u);  // buffered PCM is kept

  t.s.seek_pending = 0;
  t.s.in_bytes = 900;
  t.s.in_read_offset = 300;
  ASSERT_EQ(t.set(ORV_TOKEN_STREAM_SEEK_POSITION, 7000, nullptr), 1);
  EXPECT_EQ(t.s.file_position, 5000u);
  EXPECT_EQ(t.s.seek_pending, 0u);
  EXPECT_EQ(t.s.deferred_seek, 0x80000000u | 7000u);
  EXPECT_EQ(t.s.in_bytes, 900u);

  // A position of 2 GiB or more cannot be held in the deferred word beside
  // its flag: refused rather than truncated. With the input drained it is
  // taken at once.
  t.s.deferred_seek = 0;
  EXPECT_EQ(t.set(ORV_TOKEN_STREAM_SEEK_POSITION, 0x80001000u, nullptr), 0);
  EXPECT_EQ(t.s.file_position, 5000u);
  EXPECT_EQ(t.s.seek_pending, 0u);
  EXPECT_EQ(t.s.deferred_seek, 0u);
  t.s.in_read_offset = t.s.in_bytes;
  ASSERT_EQ(t.set(ORV_TOKEN_STREAM_SEEK_POSITION, 0x80001000u, nullptr), 1);
  EXPECT_EQ(t.s.file_position, 0x80001000u);
  EXPECT_EQ(t.s.seek_pending, 1u);
}

// ---------------------------------------------------------------------------
// "Exact get position"

uint32_t exact_get_position(TestStream& t, uint32_t position) {
  uint32_t result[2] = {untouched, untouched};
  EXPECT_EQ(t.set(ORV_TOKEN_EXACT_GET_POSITION, position, result), 1);
  EXPECT_EQ(result[1], untouched);
  return result[0];
}

// Independent model: linear scan for the stretch, then the same rounding
// steps (fraction in float, milliseconds in double, truncated).
uint32_t expected_ms(const TestStream& t, uint32_t r) {
  if (r == 0) return 0;  // the position is data_start itself
  uint32_t lo = 0;
  while (t.table[lo + 1] <= r) ++lo;
  const float fraction = static_cast<float>(r - t.table[lo]) /
                         static_cast<float>(t.table[lo + 1] - t.table[lo]);
  const float entries = static_cast<float>(lo) + fraction;
  const uint32_t per_block = t.s.header.sample_rate >= 44100   ? 1920
                             : t.s.header.sample_rate >= 22050 ? 960
                                                               : 480;
  const double bytes_per_entry = static_cast<double>(per_block) *
                                 t.s.header.blocks_per_seek_entry *
                                 t.s.header.channels * 2;
  const double bytes_per_second =
      static_cast<double>(t.s.header.sample_rate) * t.s.header.channels * 2;
  return static_cast<uint32_t>(static_cast<double>(entries) * bytes_per_entry *
                               1000.0 / bytes_per_second);
}

TEST(StreamProperty, ExactGetPositionEnds) {
  TestStream t({1000, 1000, 1000}, 1, 2, 44100, 3 * 1920);
  const uint32_t start = t.s.data_start;
  const uint32_t end = start + 3000;
  t.s.in_bytes = 500;  // unparsed input, for the flagged form
  for (uint32_t flag : {0u, 0x80000000u}) {
    SCOPED_TRACE(flag);
    const uint32_t unparsed = flag != 0 ? 500 : 0;
    EXPECT_EQ(exact_get_position(t, flag | 0), 0u);
    EXPECT_EQ(exact_get_position(t, flag | (start + unparsed)), 0u);
    EXPECT_EQ(exact_get_position(t, flag | (end + unparsed)), t.s.duration_ms);
    EXPECT_EQ(exact_get_position(t, flag | 0x7FFFFFFFu), t.s.duration_ms);
  }
  // Flagged: a position no larger than the unparsed input gives 0.
  EXPECT_EQ(exact_get_position(t, 0x80000000u | 499), 0u);
  EXPECT_EQ(exact_get_position(t, 0x80000000u | 500), 0u);
}

TEST(StreamProperty, ExactGetPositionInterpolatesWithinStretch) {
  // 1 block per entry at 44100 Hz stereo: 1920 frames = 43.537 ms each.
  TestStream t({1000, 3000, 2000}, 1, 2, 44100, 3 * 1920);
  const uint32_t start = t.s.data_start;
  EXPECT_EQ(exact_get_position(t, start + 1), 0u);  // 0.04 ms
  // Halfway through the second stretch: 1.5 entries = 65.306 ms.
  EXPECT_EQ(exact_get_position(t, start + 2500), 65u);
  EXPECT_EQ(exact_get_position(t, start + 1000), 43u);
  // Flagged: 1000 unparsed bytes are taken off the position, and 0.5 s of
  // buffered stereo PCM (88200 bytes, 500 ms) off the answer when larger.
  t.s.in_bytes = 1500;
  t.s.in_read_offset = 500;
  t.s.pcm_bytes = 4 * 441;  // 10 ms
  EXPECT_EQ(exact_get_position(t, 0x80000000u | (start + 3500)), 65u - 10u);
  t.s.pcm_bytes = 88200;
  EXPECT_EQ(exact_get_position(t, 0x80000000u | (start + 3500)), 0u);
}

TEST(StreamProperty, ExactGetPositionSearchMatchesLinearScan) {
  // Random tables, large enough for the search's long strides, with empty
  // stretches mixed in; every position in a sample of each table.
  const uint32_t seed = orv::test::test_seed(61);
  SCOPED_TRACE(seed);
  std::mt19937 rng(seed);
  for (uint32_t count : {1u, 2u, 3u, 17u, 33u, 34u, 35u, 100u, 1000u, 65535u}) {
    SCOPED_TRACE(count);
    std::vector<uint32_t> sizes(count);
    for (uint32_t& size : sizes) {
      size = rng() % 4 == 0 ? 0 : rng() % 65536;
    }
    sizes.back() = sizes.back() == 0 ? 1 : sizes.back();
    TestStream t(sizes, 3, 2, 48000, 0xFFFFFFFFu);
    const uint32_t last = t.table.back();
    for (int i = 0; i < 2000; ++i) {
      const uint32_t r = static_cast<uint32_t>(rng() % last);
      ASSERT_EQ(exact_get_position(t, t.s.data_start + r), expected_ms(t, r))
          << "r " << r;
    }
    // Every stretch boundary.
    for (uint32_t k = 0; k < count && k < 3000; ++k) {
      const uint32_t r = t.table[k];
      if (r >= last) break;
      ASSERT_EQ(exact_get_position(t, t.s.data_start + r), expected_ms(t, r))
          << "k " << k;
    }
  }
}

TEST(StreamProperty, ExactGetPositionOnCorruptTablesIsDefined) {
  // Tables that decrease (as offsets that wrapped 32 bits would) or start
  // above 0 cannot come from a file; the answers are still bounded and
  // computed without reading outside the table.
  const uint32_t seed = orv::test::test_seed(62);
  SCOPED_TRACE(seed);
  std::mt19937 rng(seed);
  for (int round = 0; round < 200; ++round) {
    const uint32_t count = 1 + rng() % 80;
    TestStream t(std::vector<uint32_t>(count, 1), 1 + rng() % 8, 2, 44100,
                 0xFFFFFFFFu);
    for (uint32_t& offset : t.table) offset = static_cast<uint32_t>(rng());
    t.table.back() = 0xFFFFFF00u;  // most positions lie inside the table
    // Exactly count + 1 offsets: the sanitizer build sees any overread.
    t.table.shrink_to_fit();
    t.s.seek_table = t.table.data();
    for (int i = 0; i < 50; ++i) {
      const uint32_t position = static_cast<uint32_t>(rng()) & 0x7FFFFFFFu;
      const uint32_t ms = exact_get_position(t, position);
      // At most count entries' worth of time.
      EXPECT_LE(ms, static_cast<uint32_t>(static_cast<double>(count) *
                                              t.s.header.blocks_per_seek_entry *
                                              1920 * 1000.0 / 44100 +
                                          1));
    }
  }
  // An empty first stretch, met by a position that lands on it.
  TestStream t({0, 0, 500}, 1, 2, 44100, 3 * 1920);
  EXPECT_EQ(exact_get_position(t, t.s.data_start + 1), expected_ms(t, 1));
}

TEST(StreamProperty, ExactGetPositionSaturates) {
  // 65535 blocks per entry at 8000 Hz: each entry lasts 3932 s; the last
  // entries lie beyond 2^32 ms and saturate instead of wrapping.
  TestStream t(uniform_stretches(2000, 10), 65535, 1, 8000, 0xFFFFFFFFu);
  EXPECT_EQ(exact_get_position(t, t.s.data_start + 19990), 0xFFFFFFFFu);
  EXPECT_EQ(exact_get_position(t, t.s.data_start + 10), 3932100u);
  // A rate of 0 (refused by open) still answers without dividing by zero.
  t.s.header.sample_rate = 0;
  EXPECT_EQ(exact_get_position(t, t.s.data_start + 10), 0u);
}

}  // namespace
