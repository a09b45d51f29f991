#include "encoder/velk_format.h"

#include <cmath>

namespace orv::encoder {

namespace {

constexpr std::array<uint32_t, max_band_count> critical_frequencies = {
    0,    100,  200,  300,  400,  510,  630,  770,  920,
    1080, 1270, 1480, 1720, 2000, 2320, 2700, 3150, 3700,
    4400, 5300, 6400, 7700, 9500, 12000, 15500};

void put_u16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void put_u32(uint8_t* p, uint32_t v) {
  put_u16(p, v);
  put_u16(p + 2, v >> 16);
}
uint32_t get_u16(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8;
}
uint32_t get_u32(const uint8_t* p) { return get_u16(p) | get_u16(p + 2) << 16; }

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
  if (size < file_header_bytes || get_u32(bytes) != file_magic ||
      bytes[4] > max_format_version) {
    return std::nullopt;
  }
  FileHeader h;
  h.version = bytes[4];
  h.channels = bytes[5];
  h.sample_rate = static_cast<uint16_t>(get_u16(bytes + 6));
  h.total_samples = get_u32(bytes + 8);
  h.max_block_size = get_u32(bytes + 12);
  h.file_size = get_u32(bytes + 16);
  const uint32_t seek_word = get_u32(bytes + 20);
  if (h.version == 2) {
    h.seek_entry_count = seek_word & 0xFFFFu;
    h.blocks_per_seek_entry = seek_word >> 16;
  } else {
    h.seek_entry_count = seek_word;
    h.blocks_per_seek_entry = 0;
  }
  return h;
}

std::vector<uint32_t> band_edges_for_rate(uint32_t sample_rate) {
  const uint32_t n = frame_length_for_rate(sample_rate);
  const uint32_t half = (sample_rate + 1) / 2;
  std::vector<uint32_t> edges;
  for (uint32_t f : critical_frequencies) {
    if (f >= half) break;
    // Same integer arithmetic as the decoder: truncating, 0 becomes 1.
    const uint32_t e = (f * (n / 2)) / half;
    edges.push_back(e == 0 ? 1 : e);
  }
  edges.push_back(n / 2);
  return edges;
}

float quantiser_step(unsigned index) {
  return static_cast<float>(std::pow(10.0, 0.0664 * index));
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

float decode_float29(uint32_t bits) {
  const uint32_t exponent = bits & 31u;
  const uint32_t mantissa = (bits >> 5) & ((1u << float29_mantissa_bits) - 1);
  if (exponent > float29_mantissa_bits) return 0.0f;
  const float power = std::ldexp(1.0f, static_cast<int>(exponent) - 23);
  const float v = static_cast<float>(mantissa) * power;
  return (bits >> 28 & 1u) ? -v : v;
}

}  // namespace orv::encoder
