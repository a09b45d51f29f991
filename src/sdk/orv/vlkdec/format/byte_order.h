// Little-endian loads and stores. Every multi-byte value in a file is
// little-endian, whatever the byte order of the machine reading it.
#ifndef ORV_VLKDEC_FORMAT_BYTE_ORDER_H
#define ORV_VLKDEC_FORMAT_BYTE_ORDER_H

#include <cstdint>
#include <cstring>

namespace orv::vlkdec {

constexpr uint32_t load_u16(const uint8_t* bytes) {
  return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8;
}

constexpr uint32_t load_u32(const uint8_t* bytes) {
  return static_cast<uint32_t>(bytes[0]) |
         static_cast<uint32_t>(bytes[1]) << 8 |
         static_cast<uint32_t>(bytes[2]) << 16 |
         static_cast<uint32_t>(bytes[3]) << 24;
}

// The 32-bit word at `bytes`, of which only the first `available` bytes
// may be read; the bytes from `available` on read as zero, so that a word
// cut by the end of the data never touches memory beyond it.
constexpr uint32_t load_u32_within(const uint8_t* bytes, uint32_t available) {
  if (available >= 4) return load_u32(bytes);
  uint32_t word = 0;
  for (uint32_t i = 0; i < available; ++i) {
    word |= static_cast<uint32_t>(bytes[i]) << (8 * i);
  }
  return word;
}

// Eight bytes in one load: the byte-by-byte form is not always merged into
// one, and the bit readers load at every refill. Internal linkage: the run
// reader (kernels/runs_loop.h) is built once per instruction set, and the
// linker could otherwise pick one unit's copy for all of them.
namespace {
inline uint64_t load_u64(const uint8_t* bytes) {
  uint64_t value = 0;
  std::memcpy(&value, bytes, sizeof value);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  value = __builtin_bswap64(value);
#endif
  return value;
}
}  // namespace

// Stores the low 16 bits of `value`.
constexpr void store_u16(uint8_t* bytes, uint32_t value) {
  bytes[0] = static_cast<uint8_t>(value);
  bytes[1] = static_cast<uint8_t>(value >> 8);
}

constexpr void store_u32(uint8_t* bytes, uint32_t value) {
  store_u16(bytes, value);
  store_u16(bytes + 2, value >> 16);
}

}  // namespace orv::vlkdec

#endif
