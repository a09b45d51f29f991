// Builds sub-blocks of the block payload bitstream for tests and
// benchmarks. Header-only, like the bit writer it sits on.
#ifndef ORV_TESTS_SUPPORT_SUB_BLOCK_WRITER_H
#define ORV_TESTS_SUPPORT_SUB_BLOCK_WRITER_H

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "support/bit_writer.h"

namespace orv::test {

constexpr uint8_t run_lengths_in_eights[16] = {2,  3,  4,  5,  6,  8,  9,  10,
                                               11, 12, 13, 14, 15, 16, 32, 64};

// The 29 bits of a raw float: exponent 0..31, 23-bit mantissa, sign.
inline uint32_t float29_bits(uint32_t exponent, uint32_t mantissa,
                             bool negative) {
  return (exponent & 31u) | (mantissa & 0x7FFFFFu) << 5 |
         (negative ? 1u : 0u) << 28;
}

// One run as written: index -1 writes the short form (flag 0, 8 long),
// otherwise flag 1 and the 4-bit index. With width > 0 every value is
// written as a magnitude, then a sign bit when it is not zero.
struct RunSpec {
  int index = -1;
  uint32_t width = 0;
  std::vector<int32_t> values;
};

inline void put_run(BitWriter& w, const RunSpec& run) {
  if (run.index < 0) {
    w.put(0, 1);
  } else {
    w.put(1, 1);
    w.put(static_cast<uint32_t>(run.index), 4);
  }
  w.put(run.width, 4);
  if (run.width == 0) return;
  for (int32_t v : run.values) {
    w.put(static_cast<uint32_t>(std::abs(v)), run.width);
    if (v != 0) w.put(v < 0 ? 1 : 0, 1);
  }
}

inline uint32_t bits_for(uint32_t magnitude) {
  uint32_t bits = 0;
  while (magnitude >> bits) ++bits;
  return bits;
}

// Writes one channel: the raw floats, the quantiser indices, then
// `values[2..n)` (quantised integers, |v| < 2^15) as runs: the longest run
// of zeros that fits where the values are zero, otherwise a run of 8 at the
// width its largest magnitude needs.
inline void put_channel(BitWriter& w, uint32_t float0, uint32_t float1,
                        const std::vector<uint32_t>& quantiser_indices,
                        const std::vector<int32_t>& values) {
  const auto n = static_cast<uint32_t>(values.size());
  w.put(float0, 29);
  w.put(float1, 29);
  for (uint32_t q : quantiser_indices) w.put(q, 8);
  uint32_t k = 2;
  while (k < n) {
    bool zero_run = false;
    for (int index = 15; index >= 0 && !zero_run; --index) {
      const uint32_t length = 8u * run_lengths_in_eights[index];
      const uint32_t stop = k + length < n ? k + length : n;
      if (k + length > n && index > 0 &&
          k + 8u * run_lengths_in_eights[index - 1] >= n) {
        continue;  // a shorter run reaches the end as well
      }
      bool all_zero = true;
      for (uint32_t i = k; i < stop && all_zero; ++i) all_zero = values[i] == 0;
      if (all_zero) {
        put_run(w, RunSpec{index, 0, {}});
        k = stop;
        zero_run = true;
      }
    }
    if (zero_run) continue;
    const uint32_t stop = k + 8 < n ? k + 8 : n;
    RunSpec run{-1, 0, {}};
    for (uint32_t i = k; i < stop; ++i) {
      run.values.push_back(values[i]);
      const uint32_t bits =
          bits_for(static_cast<uint32_t>(std::abs(values[i])));
      if (bits > run.width) run.width = bits;
    }
    put_run(w, run);
    k = stop;
  }
}

}  // namespace orv::test

#endif
