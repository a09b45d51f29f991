// Stream properties on streams opened from hand-built files: the arithmetic
// of the tokens at their edges, and what the seek and loop settings change.
// Every token's answer on real files, and the argument checks, are in
// tests/api/stream_tokens_test.cpp.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "stream_files.h"
#include "support/test_data.h"

namespace orv::test {
namespace {

constexpr uint32_t untouched = 0xA5A5A5A5u;

// A version 2 file of a header and a seek table of the given stretch sizes
// (no blocks), then `extra` zero bytes.
struct TableFile {
  std::vector<uint32_t> table = {0};  // offsets from the data start
  uint32_t data_start = 0;
  uint32_t rate = 44100;
  uint32_t channels = 2;
  uint32_t blocks = 1;
  std::vector<uint8_t> bytes;

  TableFile(const std::vector<uint32_t>& stretches, uint32_t blocks_per_entry,
            uint32_t channel_count = 2, uint32_t sample_rate = 44100,
            uint32_t total_samples = 441000, size_t extra = 0)
      : rate(sample_rate), channels(channel_count), blocks(blocks_per_entry) {
    for (uint32_t size : stretches) table.push_back(table.back() + size);
    data_start = static_cast<uint32_t>(
        vlkdec::data_start_for(static_cast<uint32_t>(stretches.size())));
    HeaderFields h;
    h.channels = static_cast<uint8_t>(channels);
    h.sample_rate = static_cast<uint16_t>(rate);
    h.total_samples = total_samples;
    h.file_size = data_start + table.back();
    h.seek_word = static_cast<uint32_t>(stretches.size()) | blocks << 16;
    bytes = header_bytes(h);
    for (uint32_t size : stretches) put_u16(bytes, size);
    bytes.resize(bytes.size() + extra, 0);
  }

  // "Exact get position" by an independent model: a linear scan for the
  // stretch, then the same rounding steps (fraction in float, milliseconds
  // in double, truncated).
  uint32_t expected_ms(uint32_t r) const {
    if (r == 0) return 0;  // the position is data_start itself
    uint32_t lo = 0;
    while (table[lo + 1] <= r) ++lo;
    const float fraction = static_cast<float>(r - table[lo]) /
                           static_cast<float>(table[lo + 1] - table[lo]);
    const float entries = static_cast<float>(lo) + fraction;
    const uint32_t per_block = rate >= 44100 ? 1920 : rate >= 22050 ? 960 : 480;
    const double bytes_per_entry =
        static_cast<double>(per_block) * blocks * channels * 2;
    const double bytes_per_second = static_cast<double>(rate) * channels * 2;
    return static_cast<uint32_t>(static_cast<double>(entries) *
                                 bytes_per_entry * 1000.0 / bytes_per_second);
  }
};

// A setting's first answer (`untouched` when refused), checking that the
// second slot is left alone.
uint32_t answer(HostStream& s, uint64_t token, uint32_t input) {
  uint32_t result[2] = {untouched, untouched};
  s.set(token, static_cast<int32_t>(input), 0, result);
  EXPECT_EQ(result[1], untouched) << "token " << token;
  return result[0];
}

TEST(StreamProperty, InputBitRate) {
  struct Case {
    uint32_t total_samples, file_size, expected;
  };
  // At 44100 Hz. Truncated, saturated instead of wrapping, and from the
  // frame count for a stream shorter than a millisecond.
  for (const Case& c :
       {Case{441000, 250000, 200000}, Case{133, 1001, 2669333},      // 3 ms
        Case{45, 0xFFFFFFF0u, 0xFFFFFFFFu}, Case{40, 500, 4410000},  // 0.9 ms
        Case{0, 500, 0}, Case{1, 0xFFFFFFFFu, 0xFFFFFFFFu}}) {
    HeaderFields h;
    h.total_samples = c.total_samples;
    h.file_size = c.file_size;
    HostStream s(header_bytes(h));
    EXPECT_EQ(s.query(ORV_TOKEN_INPUT_BIT_RATE), c.expected)
        << c.total_samples << " frames, " << c.file_size << " bytes";
  }
}

TEST(StreamProperty, PercentDone) {
  struct Case {
    uint32_t file_size, position;
    float expected;
  };
  // In single precision; never above 100 for input read past the size the
  // header gives.
  for (const Case& c :
       {Case{3, 1, 1.0f * 100.0f / 3.0f}, Case{3, 0, 0.0f}, Case{0, 1, 0.0f},
        Case{1000, 1000, 100.0f}, Case{1000, 5000, 100.0f}}) {
    HeaderFields h;
    h.file_size = c.file_size;
    HostStream s(header_bytes(h));
    ORV_stream_seek(s.handle, static_cast<int32_t>(c.position));
    float percent = -1.0f;
    ASSERT_EQ(ORV_stream_property(s.handle, ORV_TOKEN_PERCENT_DONE, &percent,
                                  nullptr, nullptr),
              1);
    EXPECT_EQ(percent, c.expected) << c.file_size << " " << c.position;
  }
}

TEST(StreamProperty, SeekTableLookupsAnswerTheEntry) {
  // 4 blocks per entry at 44100 Hz: 7680 frames per entry.
  const TableFile f({1000, 1100, 900, 1200, 800}, 4, 2, 44100, 5 * 7680);
  HostStream s(f.bytes);
  struct Case {
    uint32_t ms, entry;
  };
  // 500 ms = 22050 frames: entry 2. Past the end: the last frame, entry 4,
  // also for a time whose frame number passes 32 bits.
  for (const Case& c :
       {Case{0, 0}, Case{500, 2}, Case{60000, 4}, Case{0xFFFFFFFFu, 4}}) {
    EXPECT_EQ(answer(s, ORV_TOKEN_EXACT_SEEK, c.ms),
              f.data_start + f.table[c.entry])
        << c.ms;
    uint32_t result[2] = {0, 0};
    ASSERT_EQ(s.set(ORV_TOKEN_SEEK_TABLE_LOOKUP, static_cast<int32_t>(c.ms), 0,
                    result),
              1);
    EXPECT_EQ(result[0], f.data_start + f.table[c.entry]);
    EXPECT_EQ(result[1], c.entry * 7680) << c.ms;
  }
  // The first frame of an entry maps to that entry, the one before to the
  // entry before: 15360 frames = 348.3 ms.
  EXPECT_EQ(answer(s, ORV_TOKEN_EXACT_SEEK, 349), f.data_start + 2100);
  EXPECT_EQ(answer(s, ORV_TOKEN_EXACT_SEEK, 348), f.data_start + 1000);
  // The input stays where it is.
  EXPECT_EQ(s.query(ORV_TOKEN_POSITION), f.data_start);
}

TEST(StreamProperty, SampleTokensNeedEntries) {
  // Version 2 without entries; version 0 is in the API tests.
  HostStream s(TableFile({}, 4).bytes);
  for (uint64_t token = 15; token <= 18; ++token) {
    uint32_t result[2] = {untouched, untouched};
    EXPECT_EQ(s.set(token, 0, 0, result), 0) << token;
    EXPECT_EQ(result[0], untouched);
  }
}

TEST(StreamProperty, SetLoopingSamplesAnswers) {
  // One block (1920 frames) per entry of 1000 bytes.
  const TableFile f({1000, 1000, 1000, 1000}, 1, 2, 44100, 4 * 1920);
  HostStream s(f.bytes);
  const uint32_t d = f.data_start;
  struct Case {
    int32_t start, end;
    uint32_t first, second;
  };
  // -2 keeps the start, -1 clears the end, other negative ends keep it and
  // other negative starts clamp to the last frame. The second answer is the
  // entry one entry length past the end, clamped to the last.
  for (const Case& c :
       {Case{-2, -1, 0xFFFFFFFEu, 0xFFFFFFFFu},
        Case{2000, 5000, d + 1000, d + 3000}, Case{0, 7000, d, d + 3000},
        Case{-5, -7, d + 3000, 0xFFFFFFFEu}}) {
    EXPECT_EQ(s.set_loop(c.start, c.end),
              (std::array<uint32_t, 2>{c.first, c.second}))
        << c.start << " " << c.end;
  }
}

std::vector<uint8_t> frames(const std::vector<uint8_t>& pcm, size_t first,
                            size_t end = SIZE_MAX / 4) {
  end = std::min(end * 4, pcm.size());
  return {pcm.begin() + static_cast<ptrdiff_t>(first * 4),
          pcm.begin() + static_cast<ptrdiff_t>(end)};
}

TEST(StreamProperty, LoopSettingsKeepClearAndArm) {
  // Stereo, 3840 frames per entry. The loop start's skip is armed by a seek
  // with -2; what plays shows which loop settings are in force.
  const KnownAnswerFile v = load_known_answer_file("ch2-48000");
  struct Case {
    int32_t start, end;              // "Set Looping Samples" first
    int32_t again_start, again_end;  // then again, if not 0
    uint32_t clear;                  // then "Clear Loop Meta", if not 0
    size_t first, last;              // the frames that play
  };
  for (const Case& c : {
           Case{2000, 5000, -2, -1, 0, 2000, SIZE_MAX / 4},  // end cleared
           Case{100, 3000, -2, -7, 0, 100, 3000},            // both kept
           Case{100, 3000, 0, 0, 1, 0, 3000},                // start cleared
           Case{100, 3000, 0, 0, 2, 100, SIZE_MAX / 4},      // end cleared
           Case{100, 3000, 0, 0, 0xFFFFFFFCu, 100, 3000},    // neither
       }) {
    SCOPED_TRACE(std::to_string(c.start) + " " + std::to_string(c.clear));
    HostStream s(v.file);
    s.set_loop(c.start, c.end);
    if (c.again_start != 0) s.set_loop(c.again_start, c.again_end);
    if (c.clear != 0) {
      ASSERT_EQ(s.set(ORV_TOKEN_CLEAR_LOOP_META, static_cast<int32_t>(c.clear)),
                1);
    }
    EXPECT_EQ(ORV_stream_seek(s.handle, -2), 0);
    EXPECT_EQ(s.drain(), frames(v.pcm, c.first, c.last));
  }
  // Held at a loop end in the middle of the file, new loop settings do not
  // restart the countdown.
  HostStream s(v.file);
  s.set_loop(-2, 3000);
  std::vector<uint8_t> out;
  s.process(100000, &out);
  s.process(100000, &out);
  EXPECT_EQ(out, frames(v.pcm, 0, 3000));
  s.set_loop(100, 7000);
  EXPECT_EQ(s.process(100000), 0u);
}

TEST(StreamProperty, StreamSeekPositionWaitsForBufferedInput) {
  const KnownAnswerFile v = load_known_answer_file("ch2-48000");
  // Nothing buffered: the input moves at once.
  {
    HostStream s(v.file);
    EXPECT_EQ(s.set(ORV_TOKEN_STREAM_SEEK_POSITION, 5000), 1);
    EXPECT_EQ(s.query(ORV_TOKEN_POSITION), 5000u);
  }
  // Compressed bytes buffered: the move waits for them. A position of
  // 2 GiB or more cannot wait beside the deferred word's flag and is
  // refused; with nothing buffered it is taken.
  {
    HostStream s(v.file);
    ASSERT_EQ(s.process(100), 100u);
    const uint32_t position = s.query(ORV_TOKEN_POSITION);
    EXPECT_EQ(s.set(ORV_TOKEN_STREAM_SEEK_POSITION, 7000), 1);
    EXPECT_EQ(s.query(ORV_TOKEN_POSITION), position);
    EXPECT_EQ(s.set(ORV_TOKEN_STREAM_SEEK_POSITION, int32_t(0x80001000u)), 0);
    HostStream fresh(v.file);
    EXPECT_EQ(fresh.set(ORV_TOKEN_STREAM_SEEK_POSITION, int32_t(0x80001000u)),
              1);
    EXPECT_EQ(fresh.query(ORV_TOKEN_POSITION), 0x80001000u);
  }
  // Decoded PCM is kept and handed out before anything from the new
  // position: here the file's last 100 bytes, with the input drained.
  {
    HostStream s(v.file);
    const auto total = static_cast<uint32_t>(v.pcm.size());
    ASSERT_EQ(s.process(total - 100), total - 100);
    EXPECT_EQ(s.set(ORV_TOKEN_STREAM_SEEK_POSITION, 24), 1);
    EXPECT_EQ(s.query(ORV_TOKEN_POSITION), 24u);
    std::vector<uint8_t> out;
    EXPECT_EQ(s.process(100, &out), 100u);
    EXPECT_EQ(out, std::vector<uint8_t>(v.pcm.end() - 100, v.pcm.end()));
  }
}

// ---------------------------------------------------------------------------
// "Exact get position"

uint32_t get_position(HostStream& s, uint32_t position) {
  return answer(s, ORV_TOKEN_EXACT_GET_POSITION, position);
}

TEST(StreamProperty, ExactGetPositionEnds) {
  // 500 bytes after the table, read by a processing call and waiting
  // unparsed: the flagged form (the host's reader position) takes them off.
  const TableFile f({1000, 1000, 1000}, 1, 2, 44100, 3 * 1920, 500);
  HostStream s(f.bytes);
  EXPECT_EQ(s.process(4), 0u);
  EXPECT_EQ(s.query(ORV_TOKEN_OUTPUT_RESERVOIR), 500u);
  const uint32_t start = f.data_start;
  const uint32_t end = start + 3000;
  const uint32_t duration = 3 * 1920 * 1000 / 44100;
  for (uint32_t flag : {0u, 0x80000000u}) {
    SCOPED_TRACE(flag);
    const uint32_t unparsed = flag != 0 ? 500 : 0;
    EXPECT_EQ(get_position(s, flag | 0), 0u);
    EXPECT_EQ(get_position(s, flag | (start + unparsed)), 0u);
    EXPECT_EQ(get_position(s, flag | (end + unparsed)), duration);
    EXPECT_EQ(get_position(s, flag | 0x7FFFFFFFu), duration);
  }
  // Flagged: a position no larger than the unparsed input gives 0.
  EXPECT_EQ(get_position(s, 0x80000000u | 499), 0u);
  EXPECT_EQ(get_position(s, 0x80000000u | 500), 0u);
}

TEST(StreamProperty, ExactGetPositionInterpolatesWithinStretch) {
  // 1 block per entry at 44100 Hz stereo: 1920 frames = 43.537 ms each.
  const TableFile f({1000, 3000, 2000}, 1, 2, 44100, 3 * 1920);
  HostStream s(f.bytes);
  EXPECT_EQ(get_position(s, f.data_start + 1), 0u);  // 0.04 ms
  // Halfway through the second stretch: 1.5 entries = 65.306 ms.
  EXPECT_EQ(get_position(s, f.data_start + 2500), 65u);
  EXPECT_EQ(get_position(s, f.data_start + 1000), 43u);
}

TEST(StreamProperty, ExactGetPositionOfTheReaderIsWhatPlaysNext) {
  // Four blocks of stereo at 48000 Hz decoded and all but 7580 bytes of the
  // fourth handed out: the compressed bytes buffered from block 4 (entry 2,
  // 160 ms) on come off the reader's position, and the 39.5 ms of PCM still
  // buffered off the answer.
  const KnownAnswerFile v = load_known_answer_file("ch2-48000");
  HostStream s(v.file);
  ASSERT_EQ(s.process(3 * 7680 + 100), 3u * 7680 + 100);
  ASSERT_EQ(s.query(ORV_TOKEN_OUTPUT_RESERVOIR), 7580u);
  const uint32_t reader = s.query(ORV_TOKEN_POSITION);
  EXPECT_EQ(get_position(s, 0x80000000u | reader), 160u - 39u);
}

TEST(StreamProperty, ExactGetPositionSearchMatchesLinearScan) {
  // Random tables, large enough for the search's long strides, with empty
  // stretches mixed in; every position in a sample of each table.
  const uint32_t seed = test_seed(61);
  SCOPED_TRACE(seed);
  std::mt19937 rng(seed);
  for (uint32_t count : {1u, 2u, 3u, 17u, 33u, 34u, 35u, 100u, 1000u, 65535u}) {
    SCOPED_TRACE(count);
    std::vector<uint32_t> sizes(count);
    for (uint32_t& size : sizes) {
      size = rng() % 4 == 0 ? 0 : rng() % 65536;
    }
    sizes.back() = sizes.back() == 0 ? 1 : sizes.back();
    const TableFile f(sizes, 3, 2, 48000, 0xFFFFFFFFu);
    HostStream s(f.bytes);
    const uint32_t last = f.table.back();
    for (int i = 0; i < 2000; ++i) {
      const uint32_t r = static_cast<uint32_t>(rng() % last);
      ASSERT_EQ(get_position(s, f.data_start + r), f.expected_ms(r))
          << "r " << r;
    }
    // Every stretch boundary.
    for (uint32_t k = 0; k < count && k < 3000; ++k) {
      const uint32_t r = f.table[k];
      if (r >= last) break;
      ASSERT_EQ(get_position(s, f.data_start + r), f.expected_ms(r))
          << "k " << k;
    }
  }
  // Empty first stretches, met by a position that lands after them.
  const TableFile f({0, 0, 500}, 1, 2, 44100, 3 * 1920);
  HostStream s(f.bytes);
  EXPECT_EQ(get_position(s, f.data_start + 1), f.expected_ms(1));
}

TEST(StreamProperty, ExactGetPositionSaturates) {
  // 65535 blocks per entry at 8000 Hz: each entry lasts 3932 s; the last
  // entries lie beyond 2^32 ms and saturate instead of wrapping.
  const TableFile f(std::vector<uint32_t>(2000, 10), 65535, 1, 8000,
                    0xFFFFFFFFu);
  HostStream s(f.bytes);
  EXPECT_EQ(get_position(s, f.data_start + 19990), 0xFFFFFFFFu);
  EXPECT_EQ(get_position(s, f.data_start + 10), 3932100u);
}

}  // namespace
}  // namespace orv::test
