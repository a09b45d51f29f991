// Writes a bitstream as 32-bit little-endian words, least significant bit
// first: a field's first bit is the lowest bit of its value, and a field
// that does not fit the current word continues in the next.
#ifndef ORV_ENCODER_BIT_WRITER_H
#define ORV_ENCODER_BIT_WRITER_H

#include <cassert>
#include <cstdint>
#include <vector>

namespace orv::encoder {

class BitWriter {
 public:
  explicit BitWriter(std::vector<uint8_t>& out) : out_(out) {}

  // Appends the low `bits` (0..32) bits of value.
  void put(uint32_t value, unsigned bits) {
    assert(bits <= 32);
    if (bits == 0) return;
    const uint64_t v = bits == 32 ? value : value & ((1u << bits) - 1u);
    buffer_ |= v << count_;
    count_ += bits;
    bits_written_ += bits;
    while (count_ >= 32) {
      emit_word(static_cast<uint32_t>(buffer_));
      buffer_ >>= 32;
      count_ -= 32;
    }
  }

  // Pads with zero bits to the next word boundary.
  void align_to_word() {
    if (count_ > 0) {
      emit_word(static_cast<uint32_t>(buffer_));
      bits_written_ += 32 - count_;
      buffer_ = 0;
      count_ = 0;
    }
  }

  uint64_t bits_written() const { return bits_written_; }

 private:
  void emit_word(uint32_t w) {
    out_.push_back(static_cast<uint8_t>(w));
    out_.push_back(static_cast<uint8_t>(w >> 8));
    out_.push_back(static_cast<uint8_t>(w >> 16));
    out_.push_back(static_cast<uint8_t>(w >> 24));
  }

  std::vector<uint8_t>& out_;
  uint64_t buffer_ = 0;  // pending bits in the low `count_` bits
  unsigned count_ = 0;   // 0..31 between calls
  uint64_t bits_written_ = 0;
};

}  // namespace orv::encoder

#endif
