// Every stream token through the loaded module on real files: the answers
// against the file header, and the argument checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "format/file_header.h"
#include "format/seek_table.h"
#include "support/plugin_module.h"
#include "support/test_data.h"

namespace {

using orv::test::MemoryInput;
using orv::test::ModuleStream;
using orv::test::PluginModule;

struct Header {
  uint32_t version, channels, rate, total, file_size, entries, blocks;
  uint32_t data_start() const {
    return static_cast<uint32_t>(orv::vlkdec::data_start_for(entries));
  }
  uint32_t duration_ms() const {
    return static_cast<uint32_t>(uint64_t{total} * 1000 / rate);
  }
};

Header parse(const std::vector<uint8_t>& file) {
  const auto f = orv::vlkdec::parse_file_header(file.data(), file.size());
  if (!f) return Header{};
  return Header{f->version,
                f->channels,
                f->sample_rate,
                f->total_samples,
                f->file_size,
                f->seek_entry_count,
                f->blocks_per_seek_entry};
}

std::vector<uint8_t> vector_file(const std::string& name) {
  return orv::test::read_file(
      orv::test::data_path("vectors/files/" + name + ".VELKA"));
}

TEST(StreamTokens, QueriesMatchTheHeader) {
  PluginModule module;
  ASSERT_TRUE(module.loaded());
  for (const char* name : orv::test::known_answer_names) {
    SCOPED_TRACE(name);
    MemoryInput input(vector_file(name));
    const Header h = parse(input.file);
    ModuleStream stream(module, input);
    ASSERT_TRUE(stream);
    EXPECT_EQ(
        stream.query(module.token("ORV stream", "Input bit rate")),
        static_cast<uint32_t>(uint64_t{h.file_size} * 8000 / h.duration_ms()));
    EXPECT_EQ(stream.query(module.token("ORV stream", "Input sample rate")),
              h.rate);
    EXPECT_EQ(stream.query(module.token("ORV stream", "Input sample width")),
              16u);
    EXPECT_EQ(stream.query(module.token("ORV stream", "Input channels")),
              h.channels);
    EXPECT_EQ(stream.query(module.token("ORV stream", "Output bit rate")),
              h.rate * h.channels * 16);
    EXPECT_EQ(stream.query(module.token("ORV stream", "Output sample rate")),
              h.rate);
    EXPECT_EQ(stream.query(module.token("ORV stream", "Output sample width")),
              16u);
    EXPECT_EQ(stream.query(module.token("ORV stream", "Output channels")),
              h.channels);
    EXPECT_EQ(stream.query(module.token("ORV stream", "Output reservoir")), 0u);
    EXPECT_EQ(stream.query(module.token("ORV stream", "Position")),
              h.data_start());
    // Right after open, the position is already past the header.
    float percent = -1.0f;
    ASSERT_EQ(stream.set(module.token("ORV stream", "Percent done"), nullptr,
                         nullptr),
              0);
    ASSERT_EQ(
        module.stream_property(stream.handle(), 13, &percent, nullptr, nullptr),
        1);
    EXPECT_EQ(percent, static_cast<float>(h.data_start()) * 100.0f /
                           static_cast<float>(h.file_size));
  }
}

TEST(StreamTokens, ReservoirPositionAndPercentFollowDecoding) {
  PluginModule module;
  ASSERT_TRUE(module.loaded());
  MemoryInput input(vector_file("ch2-48000"));
  const Header h = parse(input.file);
  ModuleStream stream(module, input);
  ASSERT_TRUE(stream);
  // One block of stereo at 48000 Hz is 7680 bytes; take 1000 of them.
  std::vector<uint8_t> pcm(1000);
  ASSERT_EQ(module.stream_process(stream.handle(), pcm.data(), 1000), 1000u);
  EXPECT_EQ(stream.query(ORV_TOKEN_OUTPUT_RESERVOIR), 6680u);
  const uint32_t position = stream.query(ORV_TOKEN_POSITION);
  EXPECT_GT(position, h.data_start());
  EXPECT_EQ(position, input.position);
  // All of the block handed out: the reservoir is the unparsed input.
  ASSERT_EQ(module.stream_process(stream.handle(), pcm.data(), 1000), 1000u);
  std::vector<uint8_t> rest(5680);
  ASSERT_EQ(module.stream_process(stream.handle(), rest.data(), 5680), 5680u);
  const uint32_t unparsed = stream.query(ORV_TOKEN_OUTPUT_RESERVOIR);
  EXPECT_GT(unparsed, 0u);
  EXPECT_LT(unparsed, stream.query(ORV_TOKEN_POSITION));
  // The end of the file: percent done is 100.
  stream.read_all(65536);
  float percent = 0.0f;
  ASSERT_EQ(module.stream_property(stream.handle(), ORV_TOKEN_PERCENT_DONE,
                                   &percent, nullptr, nullptr),
            1);
  EXPECT_EQ(percent, 100.0f);
  // After a seek to byte 0 the percentage is 0.
  input.seek_input(0);
  EXPECT_EQ(stream.seek(0), 0);
  ASSERT_EQ(module.stream_property(stream.handle(), ORV_TOKEN_PERCENT_DONE,
                                   &percent, nullptr, nullptr),
            1);
  EXPECT_EQ(percent, 0.0f);
}

TEST(StreamTokens, ArgumentChecks) {
  PluginModule module;
  ASSERT_TRUE(module.loaded());
  MemoryInput input(vector_file("ch2-48000"));
  ModuleStream stream(module, input);
  ASSERT_TRUE(stream);
  uint32_t value = 0xA5A5A5A5u;
  uint32_t word = 0;
  uint32_t result[2] = {7, 7};
  for (uint64_t token = 3; token <= 13; ++token) {
    SCOPED_TRACE(token);
    EXPECT_EQ(
        module.stream_property(stream.handle(), token, &value, &word, nullptr),
        0);
    EXPECT_EQ(
        module.stream_property(stream.handle(), token, &value, nullptr, result),
        0);
    EXPECT_EQ(module.stream_property(stream.handle(), token, nullptr, nullptr,
                                     nullptr),
              0);
  }
  for (uint64_t token : {uint64_t{0}, uint64_t{1}, uint64_t{2}, uint64_t{20},
                         uint64_t{0xFFFFFF9C}, uint64_t{1} << 32 | 3}) {
    SCOPED_TRACE(token);
    EXPECT_EQ(module.stream_property(stream.handle(), token, &value, nullptr,
                                     nullptr),
              0);
    EXPECT_EQ(stream.set(token, &word, result), 0);
  }
  // Settings check only what they use.
  for (uint64_t token = 14; token <= 19; ++token) {
    SCOPED_TRACE(token);
    EXPECT_EQ(stream.set(token, nullptr, result), 0);
  }
  for (uint64_t token = 15; token <= 18; ++token) {
    EXPECT_EQ(stream.set(token, &word, nullptr), 0) << token;
  }
  EXPECT_EQ(value, 0xA5A5A5A5u);
  EXPECT_EQ(result[0], 7u);
  EXPECT_EQ(result[1], 7u);
  // A value slot is ignored by settings.
  word = 0;
  EXPECT_EQ(module.stream_property(stream.handle(), ORV_TOKEN_CLEAR_LOOP_META,
                                   &value, &word, nullptr),
            1);
  EXPECT_EQ(value, 0xA5A5A5A5u);
}

TEST(StreamTokens, SeekTableTokens) {
  PluginModule module;
  ASSERT_TRUE(module.loaded());
  MemoryInput input(vector_file("ch2-48000"));
  const Header h = parse(input.file);
  ASSERT_EQ(h.version, 2u);
  ModuleStream stream(module, input);
  ASSERT_TRUE(stream);
  // Cumulative offsets of the file's own table.
  std::vector<uint32_t> table = {0};
  for (uint32_t i = 0; i < h.entries; ++i) {
    table.push_back(table.back() +
                    orv::vlkdec::read_seek_entry(
                        input.file.data() + orv::vlkdec::file_header_bytes, i));
  }
  const uint32_t per_entry = h.blocks * 1920;
  uint32_t result[2];
  uint32_t ms = 0;
  ASSERT_EQ(stream.set(ORV_TOKEN_EXACT_SEEK, &ms, result), 1);
  EXPECT_EQ(result[0], h.data_start());
  for (ms = 0; ms <= h.duration_ms() + 100; ms += 7) {
    SCOPED_TRACE(ms);
    uint32_t sample = static_cast<uint32_t>(uint64_t{ms} * h.rate / 1000);
    if (sample > h.total) sample = h.total - 1;
    const uint32_t index = std::min(sample / per_entry, h.entries - 1);
    ASSERT_EQ(stream.set(ORV_TOKEN_SEEK_TABLE_LOOKUP, &ms, result), 1);
    EXPECT_EQ(result[0], h.data_start() + table[index]);
    EXPECT_EQ(result[1], index * per_entry);
    // "Exact get position" of an entry's start gives that entry's time.
    uint32_t position = result[0];
    uint32_t back = 0;
    ASSERT_EQ(stream.set(ORV_TOKEN_EXACT_GET_POSITION, &position, &back), 1);
    EXPECT_EQ(back, index == 0
                        ? 0
                        : static_cast<uint32_t>(static_cast<double>(index) *
                                                per_entry * 1000.0 / h.rate));
  }
  uint32_t end_position = h.data_start() + table.back();
  ASSERT_EQ(stream.set(ORV_TOKEN_EXACT_GET_POSITION, &end_position, result), 1);
  EXPECT_EQ(result[0], h.duration_ms());
}

TEST(StreamTokens, VersionZeroFileRefusesSampleTokens) {
  PluginModule module;
  ASSERT_TRUE(module.loaded());
  MemoryInput input(vector_file("version-0"));
  ModuleStream stream(module, input);
  ASSERT_TRUE(stream);
  const int32_t words[2] = {0, 100};
  uint32_t result[2] = {7, 7};
  for (uint64_t token = 15; token <= 18; ++token) {
    EXPECT_EQ(stream.set(token, words, result), 0) << token;
  }
  EXPECT_EQ(result[0], 7u);
  // The stream still plays from the start.
  EXPECT_GT(stream.read_frames(1000, 4096).size(), 0u);
}

}  // namespace
