// The test oracle for the coefficient reader: reads a sub-block's bitstream
// one field at a time, fetching each 32-bit word when a field first needs
// it, in the plainest form. The decoder's own reader fetches wider loads
// and must leave the same position and values (coefficients_equivalence
// tests).
#ifndef ORV_TESTS_SUPPORT_FIELD_READER_H
#define ORV_TESTS_SUPPORT_FIELD_READER_H

#include <cassert>
#include <cstdint>

#include "decoder/bit_reader.h"

namespace orv::vlkdec {

// Reads a `width`-bit field (1..29) into `value`. Returns false, leaving the
// reader as it was, when the field needs a word that does not start before
// the payload end; the bytes of the last word at and after the end read as
// zero.
inline bool read_bits(BitReader& reader, uint32_t width, uint32_t& value) {
  assert(width >= 1 && width <= 29);
  const uint32_t mask = (1u << width) - 1;
  if (reader.count >= width) {
    value = reader.buffer & mask;
    reader.buffer >>= width;  // width < 32
    reader.count -= width;
    return true;
  }
  if (reader.next >= reader.end) return false;
  const uint32_t word =
      load_u32_within(reader.base + reader.next, reader.end - reader.next);
  reader.next += 4;
  // count < width <= 29, so both shifts stay below 32.
  const uint32_t taken = width - reader.count;
  value = (reader.buffer | word << reader.count) & mask;
  reader.buffer = word >> taken;
  reader.count += 32 - width;
  return true;
}

}  // namespace orv::vlkdec

#endif
