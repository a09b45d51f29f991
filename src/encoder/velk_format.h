// The Velk audio file layout as the encoder and the velka tool see it:
// header fields, block framing and the constants of the block bitstream.
#ifndef ORV_ENCODER_VELK_FORMAT_H
#define ORV_ENCODER_VELK_FORMAT_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "decoder/block_decoder.h"
#include "decoder/coefficients.h"
#include "stream.h"

namespace orv::encoder {

// The encoder writes what the decoder reads, so the layout's constants and
// tables are the decoder's own.
using vlkdec::block_frame_header_bytes;
using vlkdec::block_sync;
using vlkdec::file_header_bytes;
using vlkdec::file_magic;
using vlkdec::frame_length_for_rate;
using vlkdec::max_band_count;
using vlkdec::max_channels;
using vlkdec::quantiser_count;
constexpr unsigned max_format_version = vlkdec::max_file_version;

constexpr unsigned max_magnitude_bits = 15;

// New frames per block: the frame length less the held-back overlap.
constexpr uint32_t hop_for_frame_length(uint32_t n) { return n - n / 16; }

// Header fields, with the seek word split.
struct FileHeader {
  uint8_t version = 2;
  uint8_t channels = 0;
  uint16_t sample_rate = 0;
  uint32_t total_samples = 0;
  uint32_t max_block_size = 0;
  uint32_t file_size = 0;
  uint32_t seek_entry_count = 0;
  uint32_t blocks_per_seek_entry = 0;  // 0 for versions 0 and 1
};

// Little-endian serialisation of the 24 header bytes.
std::array<uint8_t, file_header_bytes> write_file_header(const FileHeader& h);
// Parses the 24 bytes; nothing when the magic is wrong or the version is
// above 2. Other fields are returned as stored, unchecked.
std::optional<FileHeader> read_file_header(const uint8_t* bytes, size_t size);

// Quantiser band layout for a sample rate, as the decoder sets it up: entry
// j is the start of band j in coefficient pairs; the last entry is n / 2.
// Empty bands never occur: the entries are strictly ascending for rates
// 1..65535.
std::vector<uint32_t> band_edges_for_rate(uint32_t sample_rate);

// Step size of quantiser index i (0..95): the decoder's table entry.
inline float quantiser_step(unsigned index) {
  return vlkdec::quantiser_table[index];
}

// 29-bit float with the finest exponent that holds |value|: bits 0-4 the
// exponent e, 5-27 the mantissa m, 28 the sign; value = m * 2^(e - 23).
// Magnitudes beyond the largest (2^23 - 1) saturate.
uint32_t encode_float29(double value);
// The value the decoder gives a 29-bit pattern.
using vlkdec::decode_float29;

}  // namespace orv::encoder

#endif
