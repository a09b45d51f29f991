// Writer of bitstreams in the decoder's word order: 32-bit little-endian
// words, each filled from its least significant bit. Header-only, so that
// benchmarks, which do not link the test support library, can use it too.
#ifndef ORV_TESTS_SUPPORT_BIT_WRITER_H
#define ORV_TESTS_SUPPORT_BIT_WRITER_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace orv::test {

class BitWriter {
 public:
  // Appends the low `width` bits (0..32) of `value`, least significant
  // first; a field that crosses a word boundary continues in the next word.
  void put(uint32_t value, uint32_t width) {
    for (uint32_t i = 0; i < width; ++i) {
      const size_t word = bits_ / 32;
      if (word == words_.size()) words_.push_back(0);
      words_[word] |= ((value >> i) & 1u) << (bits_ % 32);
      ++bits_;
    }
  }
  // Appends zero bits up to the next word boundary.
  void align_to_word() { bits_ = word_count() * 32; }

  size_t bit_count() const { return bits_; }
  // Words written so far, a partly filled last word counting whole.
  size_t word_count() const { return words_.size(); }
  // The stream as little-endian bytes, word_count() * 4 of them.
  std::vector<uint8_t> bytes() const {
    std::vector<uint8_t> out;
    out.reserve(words_.size() * 4);
    for (uint32_t word : words_) {
      for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<uint8_t>(word >> (8 * i)));
      }
    }
    return out;
  }

 private:
  std::vector<uint32_t> words_;
  size_t bits_ = 0;
};

}  // namespace orv::test

#endif
