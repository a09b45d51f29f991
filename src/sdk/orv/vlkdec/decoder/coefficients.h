// Decoding of one channel's quantised spectrum from a sub-block.
#ifndef ORV_VLKDEC_DECODER_COEFFICIENTS_H
#define ORV_VLKDEC_DECODER_COEFFICIENTS_H

#include <cstdint>

#include "decoder/bit_reader.h"

namespace orv::vlkdec {

constexpr uint32_t quantiser_count = 96;
// Step sizes: entry i is 10^(0.0664 i) rounded to single precision.
extern const float quantiser_table[quantiser_count];
// Run lengths in units of 8 coefficients, chosen by a 4-bit run index.
inline constexpr uint8_t run_length_table[16] = {
    2, 3, 4, 5, 6, 8, 9, 10, 11, 12, 13, 14, 15, 16, 32, 64};

// The value of a 29-bit float field: bits 0-4 exponent e, 5-27 mantissa m,
// 28 sign; m * 2^(e - 23). Exponents 24 to 31 are never written by an
// encoder and decode as a zero of the field's sign.
float decode_float29(uint32_t bits);

// Reads one channel's n coefficients (two raw floats, band_count quantiser
// indices, then runs up to coefficient n - 1) into `coeffs`. band_edges has
// band_count + 1 strictly ascending entries, the first 1 and the last n / 2
// (band j covers coefficients 2 * band_edges[j] up to 2 * band_edges[j+1]).
// Returns false when the payload ends first; the reader then stays where
// the failing field began to need a new word, and `coeffs` is partly
// written.
bool read_channel_coefficients(float* coeffs, uint32_t n, uint32_t band_count,
                               BitReader& reader, const uint32_t* band_edges);

}  // namespace orv::vlkdec

#endif
