#include "encoder/bit_writer.h"

#include <gtest/gtest.h>

#include <vector>

namespace orv::encoder {
namespace {

TEST(BitWriter, PacksLeastSignificantBitFirstAcrossWords) {
  std::vector<uint8_t> out;
  BitWriter w(out);
  w.put(0x3, 2);
  w.put(0x1FFFFFFF, 29);  // straddles the first word boundary
  w.put(0x5, 3);
  w.align_to_word();
  ASSERT_EQ(out.size(), 8u);
  EXPECT_EQ(out[0], 0xFF);
  // Bits 2..30 hold the 29-bit field; the 3-bit field 0b101 takes bit 31
  // and continues in the next word's bits 0 and 1.
  EXPECT_EQ(out[3], 0xFF);
  EXPECT_EQ(out[4], 0x02);
  EXPECT_EQ(w.bits_written(), 64u);
}

}  // namespace
}  // namespace orv::encoder
