// The file format as the encoder uses it: the format layer's names in the
// encoder's namespace, and band edges as a list.
#ifndef ORV_ENCODER_VELK_FORMAT_H
#define ORV_ENCODER_VELK_FORMAT_H

#include <cstdint>
#include <vector>

#include "format/bands.h"
#include "format/coding.h"
#include "format/file_header.h"
#include "format/frame.h"

namespace orv::encoder {

using vlkdec::block_frame_header_bytes;
using vlkdec::block_sync;
using vlkdec::decode_float29;
using vlkdec::encode_float29;
using vlkdec::file_header_bytes;
using vlkdec::FileHeader;
using vlkdec::frame_length_for_rate;
using vlkdec::hop_for_frame_length;
using vlkdec::max_band_count;
using vlkdec::max_channels;
using vlkdec::max_magnitude_bits;
using vlkdec::parse_file_header;
using vlkdec::quantiser_count;
using vlkdec::write_file_header;
constexpr unsigned max_format_version = vlkdec::max_file_version;

// Quantiser band layout for a sample rate: entry j is the start of band j
// in coefficient pairs; the last entry is n / 2.
inline std::vector<uint32_t> band_edges_for_rate(uint32_t sample_rate) {
  const vlkdec::BandEdges bands = vlkdec::band_edges_for_rate(sample_rate);
  return {bands.edges, bands.edges + bands.count + 1};
}

// Step size of quantiser index i (0..95).
inline float quantiser_step(unsigned index) {
  return vlkdec::quantiser_table[index];
}

}  // namespace orv::encoder

#endif
