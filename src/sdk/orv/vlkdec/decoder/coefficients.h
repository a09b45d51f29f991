// Decoding of one channel's quantised spectrum from a sub-block.
#ifndef ORV_VLKDEC_DECODER_COEFFICIENTS_H
#define ORV_VLKDEC_DECODER_COEFFICIENTS_H

#include <cstdint>

#include "decoder/bit_reader.h"
#include "format/bands.h"
#include "format/coding.h"

namespace orv::vlkdec {

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
