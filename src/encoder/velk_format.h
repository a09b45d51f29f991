// The Velk audio file layout as the encoder and the velka tool see it:
// header fields, block framing and the constants of the block bitstream.
#ifndef ORV_ENCODER_VELK_FORMAT_H
#define ORV_ENCODER_VELK_FORMAT_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace orv::encoder {

constexpr uint32_t file_magic = 0x564C4B31;  // "1KLV" in the file
constexpr size_t file_header_bytes = 24;
constexpr uint16_t block_sync = 0x9999;
constexpr size_t block_frame_header_bytes = 4;
constexpr unsigned max_channels = 8;
constexpr unsigned max_format_version = 2;

constexpr unsigned max_band_count = 25;
constexpr unsigned quantiser_count = 96;
constexpr unsigned max_magnitude_bits = 15;
constexpr unsigned float29_mantissa_bits = 23;

// Samples per channel of one transform, chosen by the sample rate.
constexpr uint32_t frame_length_for_rate(uint32_t sample_rate) {
  return sample_rate >= 44100 ? 2048u : sample_rate >= 22050 ? 1024u : 512u;
}
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

// Quantiser band layout for a sample rate: entry j is the start of band j
// in coefficient pairs; the last entry is n / 2. Empty bands never occur:
// the entries are strictly ascending for rates 1..65535.
std::vector<uint32_t> band_edges_for_rate(uint32_t sample_rate);

// Step size of quantiser index i (0..95).
float quantiser_step(unsigned index);

// Run lengths selectable by a run index, in coefficients.
constexpr std::array<uint32_t, 16> run_lengths = {
    16, 24, 32, 40, 48, 64, 72, 80, 88, 96, 104, 112, 120, 128, 256, 512};
// The run length of a run whose flag is 0.
constexpr uint32_t short_run_length = 8;

// 29-bit float with the finest exponent that holds |value|: bits 0-4 the
// exponent e, 5-27 the mantissa m, 28 the sign; value = m * 2^(e - 23).
// Magnitudes beyond the largest (2^23 - 1) saturate.
uint32_t encode_float29(double value);
// The value a decoder gives the 29-bit pattern (exponents above 23 are not
// produced by the encoder and decode to zero here).
float decode_float29(uint32_t bits);

}  // namespace orv::encoder

#endif
