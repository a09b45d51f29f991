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

// Field widths. The payload is read as 32-bit little-endian words, least
// significant bit first. Each pair's sub-block starts with 2 unused bits;
// each channel's data then holds two 29-bit floats, an 8-bit quantiser
// index per band, and runs, each a 1-bit flag, a 4-bit run index when the
// flag is set, a 4-bit magnitude width w, and per coefficient a w-bit
// magnitude with a sign bit after every magnitude that is not 0.
constexpr unsigned payload_word_bits = 32;
constexpr unsigned payload_word_bytes = payload_word_bits / 8;
constexpr unsigned sub_block_skip_bits = 2;
constexpr unsigned float29_bits = 29;
constexpr unsigned quantiser_index_bits = 8;
constexpr unsigned run_flag_bits = 1;
constexpr unsigned run_index_bits = 4;
constexpr unsigned run_width_bits = 4;
constexpr unsigned sign_bits = 1;
// The widest magnitude a 4-bit width field gives.
constexpr unsigned max_magnitude_bits = (1u << run_width_bits) - 1;
// A run's header: the flag, the run index when the flag is set, the width.
constexpr unsigned max_run_header_bits =
    run_flag_bits + run_index_bits + run_width_bits;

// Coefficients 0 and 1 of a channel are the two 29-bit floats, stored as
// they are; the runs cover the coefficients from this one on.
constexpr uint32_t raw_coefficient_count = 2;
// Runs are counted in units of 8 coefficients: a run whose flag is 0 is
// one unit long; a run index selects a length from run_length_table.
constexpr uint32_t run_length_unit = 8;
inline constexpr uint8_t run_length_table[1u << run_index_bits] = {
    2, 3, 4, 5, 6, 8, 9, 10, 11, 12, 13, 14, 15, 16, 32, 64};
// The longest run, in coefficients: the table ascends.
constexpr uint32_t max_run_length =
    run_length_unit * run_length_table[(1u << run_index_bits) - 1];

// The value of a 29-bit float field: bits 0-4 exponent e, 5-27 mantissa m,
// 28 sign; m * 2^(e - 23). Exponents 24 to 31 are never written by an
// encoder and decode as a zero of the field's sign.
float decode_float29(uint32_t bits);
// The 29-bit float with the finest exponent that holds |value|, rounded to
// the nearest mantissa. Magnitudes beyond the largest (2^23 - 1) saturate.
uint32_t encode_float29(double value);

}  // namespace orv::vlkdec

#endif
