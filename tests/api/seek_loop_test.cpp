// Sample-exact seeks, deferred seeks and loops through the loaded module on
// encoder-made files, each checked against a whole decode of the same file.
//
// After a jump, the first block decoded is crossfaded with the tail of the
// last block decoded before it, so its first frame-length/16 frames differ
// from a whole decode; everything after them must match exactly. Mono and
// stereo skips move in steps of 16 bytes of output (8 mono frames, 4 stereo
// frames); files of more than two channels are trimmed to the frame.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "encoder/velk_encoder.h"
#include "format/file_header.h"
#include "format/seek_table.h"
#include "support/plugin_module.h"
#include "support/test_data.h"

namespace {

using orv::test::MemoryInput;
using orv::test::ModuleStream;
using orv::test::PluginModule;

struct Case {
  const char* name;
  unsigned channels;
  unsigned sample_rate;
  uint32_t frames;
  unsigned blocks_per_entry;
};

const Case cases[] = {
    {"mono-44100", 1, 44100, 100000, 2},   {"stereo-22050", 2, 22050, 60000, 3},
    {"stereo-48000", 2, 48000, 120000, 0},  // the encoder's own stretch
    {"six-32000", 6, 32000, 70000, 2},     {"six-16000", 6, 16000, 40000, 5},
};

uint32_t frame_length(unsigned rate) {
  return rate >= 44100 ? 2048 : rate >= 22050 ? 1024 : 512;
}
uint32_t overlap_frames(unsigned rate) { return frame_length(rate) / 16; }

// Tones and a little noise, different in every channel.
std::vector<int16_t> signal(const Case& c) {
  std::vector<int16_t> pcm(size_t{c.frames} * c.channels);
  uint32_t noise = 12345;
  const double pi = 3.14159265358979323846;
  for (uint32_t i = 0; i < c.frames; ++i) {
    const double t = static_cast<double>(i) / c.sample_rate;
    for (unsigned ch = 0; ch < c.channels; ++ch) {
      noise = noise * 1664525u + 1013904223u;
      const double f = 110.0 * (ch + 2);
      const double v =
          0.4 * std::sin(2 * pi * f * t) +
          0.2 * std::sin(2 * pi * 2.7 * f * t + ch) +
          0.02 * (static_cast<double>(noise >> 8) / 16777216.0 - 0.5);
      pcm[size_t{i} * c.channels + ch] =
          static_cast<int16_t>(std::lround(v * 20000.0));
    }
  }
  return pcm;
}

// A file made once per case, and its whole decode.
struct Encoded {
  std::vector<uint8_t> file;
  std::vector<int16_t> full;  // interleaved
  uint32_t full_frames = 0;
  uint32_t duration_ms = 0;
};

const Encoded& encoded(const PluginModule& module, const Case& c) {
  static std::map<std::string, Encoded> made;
  auto found = made.find(c.name);
  if (found != made.end()) return found->second;
  orv::encoder::EncoderOptions options;
  options.blocks_per_seek_entry = c.blocks_per_entry;
  const std::vector<int16_t> pcm = signal(c);
  Encoded e;
  e.file = orv::encoder::encode_to_memory(pcm.data(), c.frames, c.channels,
                                          c.sample_rate, options);
  MemoryInput input(e.file);
  {
    ModuleStream stream(module, input);
    EXPECT_TRUE(stream);
    if (stream) e.full = stream.read_all(65536);
  }
  e.full_frames = static_cast<uint32_t>(e.full.size() / c.channels);
  e.duration_ms =
      static_cast<uint32_t>(uint64_t{c.frames} * 1000 / c.sample_rate);
  return made.emplace(c.name, std::move(e)).first->second;
}

// Frames of `got` from `from` on equal those of `want` from `want_from` on,
// for `count` frames; reports the first difference.
::testing::AssertionResult same_frames(const std::vector<int16_t>& got,
                                       size_t from,
                                       const std::vector<int16_t>& want,
                                       size_t want_from, size_t count,
                                       unsigned channels) {
  if ((from + count) * channels > got.size() ||
      (want_from + count) * channels > want.size()) {
    return ::testing::AssertionFailure()
           << "too short: " << got.size() / channels << " and "
           << want.size() / channels << " frames";
  }
  for (size_t i = 0; i < count * channels; ++i) {
    if (got[from * channels + i] != want[want_from * channels + i]) {
      return ::testing::AssertionFailure()
             << "frame " << from + i / channels << " channel " << i % channels
             << ": " << got[from * channels + i] << " vs "
             << want[want_from * channels + i] << " (frame "
             << want_from + i / channels << " of the whole decode)";
    }
  }
  return ::testing::AssertionSuccess();
}

// The first frame a skip of `offset` frames from `first` delivers.
uint32_t skip_landing(uint32_t first, uint32_t offset, unsigned channels) {
  if (channels > 2) return first + offset;
  const uint32_t step = 8 / channels;  // 16 bytes of output
  return first + offset / step * step;
}

struct Lookup {
  uint32_t position;
  uint32_t first_sample;
};

Lookup table_lookup(ModuleStream& stream, uint32_t ms) {
  uint32_t result[2] = {0, 0};
  EXPECT_EQ(stream.set(ORV_TOKEN_SEEK_TABLE_LOOKUP, &ms, result), 1);
  return {result[0], result[1]};
}

uint32_t ms_to_sample(const Case& c, uint32_t ms) {
  const uint32_t sample =
      static_cast<uint32_t>(uint64_t{ms} * c.sample_rate / 1000);
  return sample > c.frames ? c.frames - 1 : sample;
}

class SeekTest : public ::testing::TestWithParam<Case> {
 protected:
  PluginModule module;
};

TEST_P(SeekTest, ExactSeekDeliversWholeDecodeFromTarget) {
  const Case& c = GetParam();
  ASSERT_TRUE(module.loaded());
  const Encoded& e = encoded(module, c);
  ASSERT_GT(e.full_frames, c.frames);
  const uint32_t seed = orv::test::test_seed(6);
  SCOPED_TRACE(seed);
  std::mt19937 rng(seed);

  MemoryInput input(e.file);
  ModuleStream stream(module, input);
  ASSERT_TRUE(stream);
  const uint32_t overlap = overlap_frames(c.sample_rate);
  std::vector<uint32_t> targets = {0, 1, e.duration_ms, e.duration_ms + 500,
                                   0xFFFFFFFFu};
  for (int i = 0; i < 40; ++i) targets.push_back(rng() % (e.duration_ms + 1));
  for (uint32_t ms : targets) {
    SCOPED_TRACE(ms);
    // Leave decoded PCM and compressed input buffered, split mid-sample.
    stream.read_frames(rng() % 5000, 1 + rng() % 9000);
    const uint32_t sample = ms_to_sample(c, ms);
    const Lookup entry = table_lookup(stream, ms);
    ASSERT_LE(entry.first_sample, sample);
    const uint32_t position = stream.exact_seek(ms);
    ASSERT_EQ(position, entry.position);
    const uint32_t start = skip_landing(
        entry.first_sample, sample - entry.first_sample, c.channels);
    const std::vector<int16_t> out = stream.read_frames(3000, 4093);
    const size_t expected_frames =
        std::min<size_t>(3000, e.full_frames - start);
    ASSERT_EQ(out.size(), expected_frames * c.channels);
    const size_t inexact = entry.first_sample + overlap > start
                               ? entry.first_sample + overlap - start
                               : 0;
    if (inexact < expected_frames) {
      EXPECT_TRUE(same_frames(out, inexact, e.full, start + inexact,
                              expected_frames - inexact, c.channels));
    }
  }
}

TEST_P(SeekTest, LookupAndGetPositionAgreeWithSeekTable) {
  const Case& c = GetParam();
  ASSERT_TRUE(module.loaded());
  const Encoded& e = encoded(module, c);
  MemoryInput input(e.file);
  ModuleStream stream(module, input);
  ASSERT_TRUE(stream);
  const auto header =
      orv::vlkdec::parse_file_header(e.file.data(), e.file.size());
  ASSERT_TRUE(header);
  const uint32_t count = header->seek_entry_count;
  const uint32_t blocks = header->blocks_per_seek_entry;
  ASSERT_GT(count, 1u);
  const auto data_start =
      static_cast<uint32_t>(orv::vlkdec::data_start_for(count));
  const uint32_t per_entry = blocks * (frame_length(c.sample_rate) * 15 / 16);
  uint32_t offset = 0;
  for (uint32_t i = 0; i < count; ++i) {
    SCOPED_TRACE(i);
    // The first millisecond at or after the entry's first frame.
    const uint32_t ms = static_cast<uint32_t>(
        (uint64_t{i} * per_entry * 1000 + c.sample_rate - 1) / c.sample_rate);
    const Lookup entry = table_lookup(stream, ms);
    EXPECT_EQ(entry.position, data_start + offset);
    EXPECT_EQ(entry.first_sample, i * per_entry);
    if (ms > 0) {
      // One millisecond earlier is the entry before.
      EXPECT_EQ(table_lookup(stream, ms - 1).first_sample, (i - 1) * per_entry);
    }
    uint32_t position = data_start + offset;
    uint32_t answer = 0;
    ASSERT_EQ(stream.set(ORV_TOKEN_EXACT_GET_POSITION, &position, &answer), 1);
    EXPECT_EQ(answer, static_cast<uint32_t>(static_cast<double>(i) * per_entry *
                                            1000.0 / c.sample_rate));
    offset += orv::vlkdec::read_seek_entry(
        e.file.data() + orv::vlkdec::file_header_bytes, i);
  }
}

TEST_P(SeekTest, DeferredStreamSeekJumpsAfterBufferedBlocks) {
  const Case& c = GetParam();
  ASSERT_TRUE(module.loaded());
  const Encoded& e = encoded(module, c);
  const uint32_t overlap = overlap_frames(c.sample_rate);
  const uint32_t hop = frame_length(c.sample_rate) * 15 / 16;
  MemoryInput input(e.file);
  ModuleStream stream(module, input);
  ASSERT_TRUE(stream);
  input.follow_module = &module;
  input.follow_stream = stream.handle();

  // Half a block handed out: the rest of its PCM and the following block's
  // bytes are buffered, so the seek waits for them.
  std::vector<int16_t> out = stream.read_frames(hop / 2, 1000);
  ASSERT_GT(stream.query(ORV_TOKEN_OUTPUT_RESERVOIR), 0u);
  const Lookup target = table_lookup(stream, e.duration_ms * 2 / 3);
  ASSERT_GT(target.first_sample, 2 * hop);
  EXPECT_EQ(
      stream.set(ORV_TOKEN_STREAM_SEEK_POSITION, &target.position, nullptr), 1);
  const std::vector<int16_t> rest = stream.read_all(7777);
  out.insert(out.end(), rest.begin(), rest.end());

  // out = whole decode up to a block end X, the crossfaded start of the
  // target's first block, then the whole decode from there to the end.
  const size_t frames = out.size() / c.channels;
  const size_t after = e.full_frames - target.first_sample;
  ASSERT_GT(frames, after);
  const size_t jump = frames - after;
  EXPECT_EQ(jump % hop, 0u);
  EXPECT_GE(jump, hop / 2);
  EXPECT_LT(jump, target.first_sample);
  EXPECT_TRUE(same_frames(out, 0, e.full, 0, jump, c.channels));
  EXPECT_TRUE(same_frames(out, jump + overlap, e.full,
                          target.first_sample + overlap, after - overlap,
                          c.channels));
}

// ---------------------------------------------------------------------------
// Loops

struct LoopRun {
  std::vector<std::vector<int16_t>> passes;
};

// Reads until a call delivers nothing right after a short one, which is
// where the loop end holds the stream. (The call that decodes the block
// holding the loop end returns before handing out its output, so a first
// empty call may just mean the end lies in the first block.)
std::vector<int16_t> read_to_loop_end(const PluginModule& module,
                                      ModuleStream& stream) {
  std::vector<int16_t> pass;
  std::vector<uint8_t> chunk(5000);
  bool short_before = false;
  for (int calls = 0; calls < 100000; ++calls) {
    const uint32_t got =
        module.stream_process(stream.handle(), chunk.data(), 5000);
    if (got == 0 && short_before) break;
    short_before = got < 5000;
    if (got == 0) continue;
    const size_t at = pass.size();
    pass.resize(at + got / 2);
    std::memcpy(pass.data() + at, chunk.data(), got / 2 * 2);
  }
  return pass;
}

// Plays the loop `passes` times: jump to the loop start (move the input,
// seek to the byte position, arm the loop-start skip), then read to the
// loop end.
LoopRun play_loop(const PluginModule& module, const Encoded& e, uint32_t start,
                  uint32_t end, int passes) {
  LoopRun run;
  MemoryInput input(e.file);
  ModuleStream stream(module, input);
  EXPECT_TRUE(stream);
  if (!stream) return run;
  const int32_t words[2] = {static_cast<int32_t>(start),
                            static_cast<int32_t>(end)};
  uint32_t result[2] = {0, 0};
  EXPECT_EQ(stream.set(ORV_TOKEN_SET_LOOPING_SAMPLES, words, result), 1);
  const uint32_t loop_start_position = result[0];
  for (int p = 0; p < passes; ++p) {
    input.seek_input(loop_start_position);
    EXPECT_EQ(stream.seek(static_cast<int32_t>(loop_start_position)), 0);
    EXPECT_EQ(stream.seek(-2), 0);
    run.passes.push_back(read_to_loop_end(module, stream));
  }
  return run;
}

// Frames per seek entry, from the file's header.
uint32_t entry_frames(const Case& c, const Encoded& e) {
  const uint32_t blocks = uint32_t{e.file[22]} | uint32_t{e.file[23]} << 8;
  return blocks * (frame_length(c.sample_rate) * 15 / 16);
}

// A pass of `frames` frames from `landing` on: whole-decode frames from
// the end of the crossfade with the block before the jump, which starts at
// the entry's first frame `entry_first`.
::testing::AssertionResult is_span(const std::vector<int16_t>& pass,
                                   const Encoded& e, const Case& c,
                                   uint32_t entry_first, uint32_t landing,
                                   uint32_t end) {
  const size_t span = end - landing;
  if (pass.size() != span * c.channels) {
    return ::testing::AssertionFailure()
           << pass.size() / c.channels << " frames instead of " << span;
  }
  const uint32_t overlap = overlap_frames(c.sample_rate);
  const size_t inexact =
      entry_first + overlap > landing ? entry_first + overlap - landing : 0;
  if (inexact >= span) return ::testing::AssertionSuccess();
  return same_frames(pass, inexact, e.full, landing + inexact, span - inexact,
                     c.channels);
}

class LoopTest : public ::testing::TestWithParam<Case> {
 protected:
  PluginModule module;
};

TEST_P(LoopTest, EveryPassIsTheSpan) {
  const Case& c = GetParam();
  ASSERT_TRUE(module.loaded());
  const Encoded& e = encoded(module, c);
  const uint32_t overlap = overlap_frames(c.sample_rate);
  MemoryInput probe_input(e.file);
  ModuleStream probe(module, probe_input);
  ASSERT_TRUE(probe);
  // Starts at, just after and well inside an entry; ends in later entries.
  const uint32_t third = c.frames / 3;
  const struct {
    uint32_t start_delta;
    uint32_t length;
  } loops[] = {{0, third + 123},
               {1, third},
               {7, third + 5},
               {130, third},
               {1001, third}};
  for (const auto& loop : loops) {
    const Lookup start_entry = table_lookup(
        probe, static_cast<uint32_t>(uint64_t{third} * 1000 / c.sample_rate));
    const uint32_t start_delta = loop.start_delta;
    const uint32_t start = start_entry.first_sample + start_delta;
    const uint32_t end = start + loop.length;
    SCOPED_TRACE(start);
    SCOPED_TRACE(end);
    const LoopRun run = play_loop(module, e, start, end, 3);
    ASSERT_EQ(run.passes.size(), 3u);
    const uint32_t landing =
        skip_landing(start_entry.first_sample, start_delta, c.channels);
    const size_t span = end - landing;
    const size_t inexact = start_entry.first_sample + overlap > landing
                               ? start_entry.first_sample + overlap - landing
                               : 0;
    for (size_t p = 0; p < run.passes.size(); ++p) {
      SCOPED_TRACE(p);
      ASSERT_EQ(run.passes[p].size(), span * c.channels);
      if (inexact < span) {
        EXPECT_TRUE(same_frames(run.passes[p], inexact, e.full,
                                landing + inexact, span - inexact, c.channels));
      }
      // Every jump after the first comes from the same loop end, so the
      // crossfades match too.
      if (p >= 2) {
        EXPECT_TRUE(run.passes[p] == run.passes[1]);
      }
    }
  }
}

// The loop end's countdown runs from the first block of the end's entry;
// the frames a skip drops inside that entry count toward it, so a loop
// within one entry, or one entered by an exact seek, is exactly its span.
TEST_P(LoopTest, LoopWithinOneEntryIsTheSpan) {
  const Case& c = GetParam();
  ASSERT_TRUE(module.loaded());
  const Encoded& e = encoded(module, c);
  MemoryInput probe_input(e.file);
  ModuleStream probe(module, probe_input);
  ASSERT_TRUE(probe);
  const uint32_t per_entry = entry_frames(c, e);
  const uint32_t hop = frame_length(c.sample_rate) * 15 / 16;
  ASSERT_GT(per_entry, hop);
  const Lookup entry = table_lookup(
      probe,
      static_cast<uint32_t>(uint64_t{c.frames / 2} * 1000 / c.sample_rate));
  ASSERT_LT(entry.first_sample + per_entry, c.frames);
  // In the first block; from the first block into a later one; both
  // beyond the first block; at the entry's first frame.
  const struct {
    uint32_t start_delta;
    uint32_t end_delta;
  } loops[] = {{100, 300},
               {13, hop + 77},
               {hop + 9, per_entry - 5},
               {0, per_entry - 1},
               {per_entry - 300, per_entry - 2}};
  for (const auto& loop : loops) {
    const uint32_t start = entry.first_sample + loop.start_delta;
    const uint32_t end = entry.first_sample + loop.end_delta;
    SCOPED_TRACE(start);
    SCOPED_TRACE(end);
    const LoopRun run = play_loop(module, e, start, end, 3);
    ASSERT_EQ(run.passes.size(), 3u);
    const uint32_t landing =
        skip_landing(entry.first_sample, loop.start_delta, c.channels);
    for (size_t p = 0; p < run.passes.size(); ++p) {
      SCOPED_TRACE(p);
      EXPECT_TRUE(
          is_span(run.passes[p], e, c, entry.first_sample, landing, end));
    }
    EXPECT_TRUE(run.passes[2] == run.passes[1]);
  }
}

TEST_P(LoopTest, ExactSeekIntoTheEndEntryStopsAtTheEnd) {
  const Case& c = GetParam();
  ASSERT_TRUE(module.loaded());
  const Encoded& e = encoded(module, c);
  const uint32_t per_entry = entry_frames(c, e);
  MemoryInput input(e.file);
  ModuleStream stream(module, input);
  ASSERT_TRUE(stream);
  const Lookup entry = table_lookup(
      stream,
      static_cast<uint32_t>(uint64_t{c.frames / 2} * 1000 / c.sample_rate));
  ASSERT_GT(entry.first_sample, per_entry);
  const uint32_t end = entry.first_sample + per_entry * 3 / 4;
  const int32_t words[2] = {static_cast<int32_t>(entry.first_sample / 3),
                            static_cast<int32_t>(end)};
  uint32_t result[2] = {0, 0};
  ASSERT_EQ(stream.set(ORV_TOKEN_SET_LOOPING_SAMPLES, words, result), 1);
  // Targets from the entry's first frame to just before the end.
  for (const uint32_t offset :
       {0u, 5u, 333u, per_entry / 2 + 1, per_entry * 3 / 4 - 40}) {
    const uint32_t ms = static_cast<uint32_t>(
        (uint64_t{entry.first_sample + offset} * 1000 + c.sample_rate - 1) /
        c.sample_rate);
    const uint32_t target = ms_to_sample(c, ms);
    ASSERT_GE(target, entry.first_sample);
    if (target >= end) continue;
    SCOPED_TRACE(target);
    ASSERT_EQ(stream.exact_seek(ms), entry.position);
    const uint32_t landing = skip_landing(
        entry.first_sample, target - entry.first_sample, c.channels);
    EXPECT_TRUE(is_span(read_to_loop_end(module, stream), e, c,
                        entry.first_sample, landing, end));
  }
}

std::string case_name(const ::testing::TestParamInfo<Case>& info) {
  std::string name = info.param.name;
  std::replace(name.begin(), name.end(), '-', '_');
  return name;
}

INSTANTIATE_TEST_SUITE_P(Files, SeekTest, ::testing::ValuesIn(cases),
                         case_name);
INSTANTIATE_TEST_SUITE_P(Files, LoopTest, ::testing::ValuesIn(cases),
                         case_name);

}  // namespace
