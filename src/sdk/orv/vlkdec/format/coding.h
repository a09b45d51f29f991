// The value coding of a block's channel data: quantiser steps, run lengths
// and the 29-bit float of the two unquantised coefficients.
#ifndef ORV_VLKDEC_FORMAT_CODING_H
#define ORV_VLKDEC_FORMAT_CODING_H

#include <cstdint>

namespace orv::vlkdec {

constexpr uint32_t quantiser_count = 96;
constexpr uint32_t max_quantiser_index = quantiser_count - 1;
// Step sizes: entry i is 10^(0.0664 i) rounded to single precision. A
// stored index above max_quantiser_index selects the last entry.
extern const float quantiser_table[quantiser_count];
// Run lengths in units of 8 coefficients, chosen by a 4-bit run index.
inline constexpr uint8_t run_length_table[16] = {
    2, 3, 4, 5, 6, 8, 9, 10, 11, 12, 13, 14, 15, 16, 32, 64};
// A run's magnitude width is a 4-bit field.
constexpr unsigned max_magnitude_bits = 15;

// Field widths. Each pair's sub-block starts with 2 unused bits; each
// channel's data then holds two 29-bit floats, an 8-bit quantiser index per
// band, and runs, each a 1-bit flag, a 4-bit run index when the flag is set,
// and a 4-bit magnitude width.
constexpr unsigned sub_block_skip_bits = 2;
constexpr unsigned float29_bits = 29;
constexpr unsigned quantiser_index_bits = 8;
constexpr unsigned run_index_bits = 4;
constexpr unsigned run_width_bits = 4;

// The value of a 29-bit float field: bits 0-4 exponent e, 5-27 mantissa m,
// 28 sign; m * 2^(e - 23). Exponents 24 to 31 are never written by an
// encoder and decode as a zero of the field's sign.
float decode_float29(uint32_t bits);
// The 29-bit float with the finest exponent that holds |value|, rounded to
// the nearest mantissa. Magnitudes beyond the largest (2^23 - 1) saturate.
uint32_t encode_float29(double value);

}  // namespace orv::vlkdec

#endif
