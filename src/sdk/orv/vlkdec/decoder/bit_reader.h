// Where a sub-block's bitstream stands: 32-bit little-endian words, least
// significant bit first. The coefficient reader (coefficients.h) takes and
// leaves the position in this form.
#ifndef ORV_VLKDEC_DECODER_BIT_READER_H
#define ORV_VLKDEC_DECODER_BIT_READER_H

#include <cassert>
#include <cstdint>

#include "format/byte_order.h"
#include "format/coding.h"

namespace orv::vlkdec {

// Positions are byte offsets from `base`, so that a reader whose last word
// reaches past the payload end never forms a pointer beyond it.
struct BitReader {
  uint32_t buffer;  // unconsumed bits in the low `count` bits, zero above
  uint32_t count;   // 0..32
  uint32_t next;    // offset of the next word to fetch
  uint32_t end;     // offset of the payload end
  const uint8_t* base;
};

// Sets up the reader at the start of a sub-block: the first word is fetched
// and its two low bits, which carry nothing, are dropped. The caller
// guarantees that `start` lies before `end`. The bytes at and after the
// payload end read as zero, so that a last word that reaches past the end
// never touches memory beyond it and never depends on what lies there.
inline BitReader begin_sub_block(const uint8_t* start, const uint8_t* end) {
  const auto size = static_cast<uint32_t>(end - start);
  assert(size > 0);
  return BitReader{load_u32_within(start, size) >> sub_block_skip_bits,
                   payload_word_bits - sub_block_skip_bits, payload_word_bytes,
                   size, start};
}

}  // namespace orv::vlkdec

#endif
