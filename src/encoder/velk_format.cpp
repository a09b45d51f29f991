#include "encoder/velk_format.h"

#include <cmath>

namespace orv::encoder {

namespace {

constexpr unsigned float29_mantissa_bits = 23;

void put_u16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void put_u32(uint8_t* p, uint32_t v) {
  put_u16(p, v);
  put_u16(p + 2, v >> 16);
}

}  // namespace

std::array<uint8_t, file_header_bytes> write_file_header(const FileHeader& h) {
  std::array<uint8_t, file_header_bytes> out{};
  put_u32(&out[0], file_magic);
  out[4] = h.version;
  out[5] = h.channels;
  put_u16(&out[6], h.sample_rate);
  put_u32(&out[8], h.total_samples);
  put_u32(&out[12], h.max_block_size);
  put_u32(&out[16], h.file_size);
  uint32_t seek_word = h.seek_entry_count;
  if (h.version == 2) {
    seek_word = (h.seek_entry_count & 0xFFFFu) |
                (h.blocks_per_seek_entry & 0xFFFFu) << 16;
  }
  put_u32(&out[20], seek_word);
  return out;
}

std::optional<FileHeader> read_file_header(const uint8_t* bytes, size_t size) {
  if (size < file_header_bytes) return std::nullopt;
  const vlkdec::FileHeader stored = vlkdec::parse_file_header(bytes);
  if (stored.magic != file_magic || stored.version > max_format_version) {
    return std::nullopt;
  }
  FileHeader h;
  h.version = stored.version;
  h.channels = stored.channels;
  h.sample_rate = stored.sample_rate;
  h.total_samples = stored.total_samples;
  h.max_block_size = stored.max_block_size;
  h.file_size = stored.file_size;
  if (h.version == 2) {
    h.seek_entry_count = stored.seek_word & 0xFFFFu;
    h.blocks_per_seek_entry = stored.seek_word >> 16;
  } else {
    h.seek_entry_count = stored.seek_word;
    h.blocks_per_seek_entry = 0;
  }
  return h;
}

std::vector<uint32_t> band_edges_for_rate(uint32_t sample_rate) {
  // The decoder's own setup, on a mono decoder's storage at the largest
  // frame length.
  alignas(16) uint8_t storage[vlkdec::block_decoder_state_size(65535, 1)];
  const vlkdec::BlockDecoder* decoder = vlkdec::setup_block_decoder(
      storage, sample_rate, 1, vlkdec::decoder_flag_separate_transforms);
  return {decoder->band_edges, decoder->band_edges + decoder->band_count + 1};
}

uint32_t encode_float29(double value) {
  const uint32_t sign = std::signbit(value) ? 1u : 0u;
  const double magnitude = std::fabs(value);
  constexpr uint64_t mantissa_max = (1u << float29_mantissa_bits) - 1;
  uint32_t exponent = 0;
  uint64_t mantissa = 0;
  for (exponent = 0; exponent <= float29_mantissa_bits; ++exponent) {
    const double scaled = std::ldexp(
        magnitude, static_cast<int>(float29_mantissa_bits - exponent));
    if (std::isnan(scaled)) break;
    const double rounded = std::nearbyint(scaled);
    if (rounded <= static_cast<double>(mantissa_max)) {
      mantissa = static_cast<uint64_t>(rounded);
      break;
    }
  }
  if (exponent > float29_mantissa_bits) {
    exponent = float29_mantissa_bits;
    mantissa = mantissa_max;
  }
  return sign << 28 | static_cast<uint32_t>(mantissa) << 5 | exponent;
}

}  // namespace orv::encoder
