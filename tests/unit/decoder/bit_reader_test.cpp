#include "decoder/bit_reader.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <vector>

#include "support/bit_writer.h"
#include "support/field_reader.h"
#include "support/test_data.h"

namespace orv::vlkdec {
namespace {

using test::BitWriter;

// A heap copy of exactly `size` bytes, so that the sanitizer catches any
// read at or beyond the payload end.
std::unique_ptr<uint8_t[]> exact_copy(const std::vector<uint8_t>& bytes,
                                      size_t size) {
  auto copy = std::make_unique<uint8_t[]>(size);
  for (size_t i = 0; i < size; ++i) copy[i] = bytes[i];
  return copy;
}

BitReader reader_at(const uint8_t* data, uint32_t size) {
  return BitReader{0, 0, 0, size, data};
}

TEST(BitReader, RoundTripsRandomFieldsAcrossWordBoundaries) {
  const uint32_t seed = test::test_seed(31);
  SCOPED_TRACE(seed);
  std::mt19937 rng(seed);
  std::vector<std::pair<uint32_t, uint32_t>> fields;
  BitWriter writer;
  for (int i = 0; i < 2000; ++i) {
    const uint32_t width = 1 + rng() % 29;
    const uint32_t value = rng() & ((1u << width) - 1);
    fields.emplace_back(width, value);
    writer.put(value, width);
  }
  const auto bytes = writer.bytes();
  auto data = exact_copy(bytes, bytes.size());
  BitReader reader = reader_at(data.get(), static_cast<uint32_t>(bytes.size()));
  for (const auto& [width, value] : fields) {
    uint32_t got = 0;
    ASSERT_TRUE(read_bits(reader, width, got));
    ASSERT_EQ(got, value);
    ASSERT_EQ(reader.buffer >> reader.count, 0u);  // nothing above the count
  }
  EXPECT_EQ(reader.next, bytes.size());
}

TEST(BitReader, FieldStraddlingWordsTakesHighBitsFromNextWord) {
  BitWriter writer;
  writer.put(0, 30);
  writer.put(0b101101, 6);  // 2 bits in word 0, 4 in word 1
  const auto bytes = writer.bytes();
  BitReader reader = reader_at(bytes.data(), 8);
  uint32_t value = 0;
  ASSERT_TRUE(read_bits(reader, 29, value));
  ASSERT_TRUE(read_bits(reader, 1, value));
  ASSERT_TRUE(read_bits(reader, 6, value));
  EXPECT_EQ(value, 0b101101u);
  EXPECT_EQ(reader.count, 28u);
  EXPECT_EQ(reader.next, 8u);
}

TEST(BitReader, FailsWhenNextWordStartsAtPayloadEndAndKeepsState) {
  const std::vector<uint8_t> bytes = {0xFF, 0xFF, 0xFF, 0xFF};
  BitReader reader = reader_at(bytes.data(), 4);
  uint32_t value = 0;
  ASSERT_TRUE(read_bits(reader, 20, value));
  const BitReader before = reader;
  EXPECT_FALSE(read_bits(reader, 13, value));  // 12 buffered, needs a word
  EXPECT_EQ(reader.buffer, before.buffer);
  EXPECT_EQ(reader.count, before.count);
  EXPECT_EQ(reader.next, before.next);
  ASSERT_TRUE(read_bits(reader, 12, value));  // the buffered bits still read
  EXPECT_EQ(value, 0xFFFu);
  EXPECT_FALSE(read_bits(reader, 1, value));
}

TEST(BitReader, LastWordReachingPastEndReadsZeroBeyondIt) {
  // The word at offset 4 starts before the end (6) and is fetched; its two
  // bytes beyond the end must read as zero whatever lies there.
  const std::vector<uint8_t> bytes = {0, 0, 0, 0, 0xAB, 0xCD, 0xFF, 0xFF};
  auto data = exact_copy(bytes, 6);
  BitReader reader = reader_at(data.get(), 6);
  uint32_t value = 0;
  ASSERT_TRUE(read_bits(reader, 29, value));
  ASSERT_TRUE(read_bits(reader, 29, value));  // 3 + 26 bits of word 1
  EXPECT_EQ(value, 0xCDABu << 3 & ((1u << 29) - 1));
  ASSERT_TRUE(read_bits(reader, 6, value));
  EXPECT_EQ(value, 0u);
  EXPECT_EQ(reader.next, 8u);
  EXPECT_FALSE(read_bits(reader, 1, value));
}

TEST(BitReader, SubBlockStartDropsTwoBitsAndLoadsUnalignedWords) {
  std::vector<uint8_t> bytes = {0x55, 0xF1, 0x23, 0x45, 0x67, 0x89};
  // Start one byte in: an address with no word alignment.
  BitReader reader = begin_sub_block(bytes.data() + 1, bytes.data() + 6);
  EXPECT_EQ(reader.count, 30u);
  EXPECT_EQ(reader.buffer, 0x674523F1u >> 2);
  EXPECT_EQ(reader.next, 4u);
  uint32_t value = 0;
  ASSERT_TRUE(read_bits(reader, 29, value));
  ASSERT_TRUE(read_bits(reader, 9, value));  // 1 bit, then 8 of a 1-byte word
  EXPECT_EQ(value, (0x89u << 1) | (0x674523F1u >> 31));
  EXPECT_EQ(reader.next, 8u);
}

}  // namespace
}  // namespace orv::vlkdec
