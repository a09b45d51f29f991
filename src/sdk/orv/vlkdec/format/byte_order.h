// Little-endian loads and stores. Every multi-byte value in a file is
// little-endian, whatever the byte order of the machine reading it.
#ifndef ORV_VLKDEC_FORMAT_BYTE_ORDER_H
#define ORV_VLKDEC_FORMAT_BYTE_ORDER_H

#include <cstdint>

namespace orv::vlkdec {

constexpr uint32_t load_u16(const uint8_t* bytes) {
  return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8;
}

constexpr uint32_t load_u32(const uint8_t* bytes) {
  return load_u16(bytes) | load_u16(bytes + 2) << 16;
}

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
