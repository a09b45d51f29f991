#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/fake_host.h"
#include "support/test_data.h"

namespace orv::test {
namespace {

using Vector = KnownAnswerFile;

// First differing byte, for a readable failure.
std::string first_difference(const std::vector<uint8_t>& got,
                             const std::vector<uint8_t>& want) {
  if (got.size() != want.size()) {
    return "size " + std::to_string(got.size()) + " vs " +
           std::to_string(want.size());
  }
  for (size_t i = 0; i < got.size(); ++i) {
    if (got[i] != want[i]) return "byte " + std::to_string(i);
  }
  return "";
}

TEST(KnownAnswerFiles, DecodeBitForBitWhateverTheRequestSizes) {
  const std::vector<std::vector<uint32_t>> request_patterns = {
      {4096}, {1}, {3}, {7, 1, 4093, 2, 65536, 15}};
  for (const char* name : known_answer_names) {
    const Vector v = load_known_answer_file(name);
    ASSERT_FALSE(v.file.empty()) << name;
    for (const auto& pattern : request_patterns) {
      if (pattern.front() == 1 && v.pcm.size() > 200000) continue;
      FakeHost host(v.file);
      const auto got = decode_all(host, pattern);
      EXPECT_EQ(first_difference(got, v.pcm), "")
          << name << " requests " << pattern.front();
    }
  }
}

TEST(KnownAnswerFiles, DecodeBitForBitWhateverTheReadSizes) {
  const std::vector<std::vector<uint32_t>> read_patterns = {
      {1}, {5}, {4000}, {17, 1, 300, 2, 9000}};
  for (const char* name : known_answer_names) {
    const Vector v = load_known_answer_file(name);
    for (const auto& pattern : read_patterns) {
      FakeHost host(v.file);
      host.read_pattern = pattern;
      host.full_reads = open_reads(v.file);
      const auto got = decode_all(host, {4096});
      EXPECT_EQ(first_difference(got, v.pcm), "")
          << name << " reads " << pattern.front();
    }
  }
}

TEST(KnownAnswerFiles, AHugeBlockBoundInTheHeaderChangesNothing) {
  for (const char* name : known_answer_names) {
    Vector v = load_known_answer_file(name);
    for (size_t i = 12; i < 16; ++i) v.file[i] = i == 12 ? 0xF0 : 0xFF;
    for (uint32_t max_read : {0u, 1000u}) {
      FakeHost host(v.file);
      host.max_read = max_read;
      host.full_reads = open_reads(v.file);
      EXPECT_EQ(first_difference(decode_all(host, {4096}), v.pcm), "") << name;
    }
  }
}

TEST(KnownAnswerFiles, HostReadFaultsChangeNothing) {
  // A result above the count asked is taken as the count asked.
  const Vector v = load_known_answer_file("damage-garbage-between");
  FakeHost host(v.file);
  host.result_override = [](uint32_t, uint32_t delivered) {
    return delivered == 0 ? -1 : static_cast<int32_t>(delivered);
  };
  EXPECT_EQ(first_difference(decode_all(host, {4096}), v.pcm), "");
}

}  // namespace
}  // namespace orv::test
