// Coefficient bitstream of one channel: raw floats, quantiser indices and
// runs of magnitudes.
#include "decoder/coefficients.h"

#include <cstring>

#include "decoder/coefficients_bands.h"
#include "decoder/coefficients_parts.h"
#include "transform/cpu_features.h"

namespace orv::vlkdec {

// 10^(0.0664 i) evaluated in double precision and rounded to single; kept
// as exact hex literals because nothing may be computed at load time.
alignas(64) const float quantiser_table[quantiser_count] = {
    0x1p+0f,         0x1.2a4a76p+0f,  0x1.5b9172p+0f,  0x1.94fc68p+0f,   // 0
    0x1.d7e39ep+0f,  0x1.12ec1cp+1f,  0x1.4056dp+1f,   0x1.75423cp+1f,   // 4
    0x1.b2ebacp+1f,  0x1.fac4d8p+1f,  0x1.273e46p+2f,  0x1.58045ep+2f,   // 8
    0x1.90d926p+2f,  0x1.d3115ep+2f,  0x1.101d0ap+3f,  0x1.3d10f4p+3f,   // 12
    0x1.7171f6p+3f,  0x1.ae7a1ep+3f,  0x1.f5975ep+3f,  0x1.243a0cp+4f,   // 16
    0x1.548094p+4f,  0x1.8cc0b6p+4f,  0x1.ce4bbcp+4f,  0x1.0d555p+5f,    // 20
    0x1.39d3a8p+5f,  0x1.6dabaap+5f,  0x1.aa143p+5f,   0x1.f0777p+5f,    // 24
    0x1.213db8p+6f,  0x1.5105fap+6f,  0x1.88b2fep+6f,  0x1.c99294p+6f,   // 28
    0x1.0a94dcp+7f,  0x1.369ed4p+7f,  0x1.69ef3cp+7f,  0x1.a5b9c2p+7f,   // 32
    0x1.eb64e8p+7f,  0x1.1e4932p+8f,  0x1.4d947ap+8f,  0x1.84afdep+8f,   // 36
    0x1.c4e5c8p+8f,  0x1.07db9cp+9f,  0x1.337262p+9f,  0x1.663c94p+9f,   // 40
    0x1.a16ab8p+9f,  0x1.e65fa6p+9f,  0x1.1b5c68p+10f, 0x1.4a2bfcp+10f,  // 44
    0x1.80b73ep+10f, 0x1.c04536p+10f, 0x1.05297ap+11f, 0x1.304e3ep+11f,  // 48
    0x1.629398p+11f, 0x1.9d26f4p+11f, 0x1.e16784p+11f, 0x1.187744p+12f,  // 52
    0x1.46cc68p+12f, 0x1.7cc9p+12f,   0x1.bbb0bep+12f, 0x1.027e66p+13f,  // 56
    0x1.2d3252p+13f, 0x1.5ef43p+13f,  0x1.98ee56p+13f, 0x1.dc7c62p+13f,  // 60
    0x1.1599b2p+14f, 0x1.4375a8p+14f, 0x1.78e50ap+14f, 0x1.b7284p+14f,   // 64
    0x1.ffb498p+14f, 0x1.2a1e88p+15f, 0x1.5b5e4p+15f,  0x1.94c0c2p+15f,  // 68
    0x1.d79e1cp+15f, 0x1.12c39ep+16f, 0x1.4027a2p+16f, 0x1.750b42p+16f,  // 72
    0x1.b2ab9ep+16f, 0x1.fa7a34p+16f, 0x1.2712cap+17f, 0x1.57d1b2p+17f,  // 76
    0x1.909e1cp+17f, 0x1.d2cc94p+17f, 0x1.0ff4f6p+18f, 0x1.3ce242p+18f,  // 80
    0x1.713b8cp+18f, 0x1.ae3ab8p+18f, 0x1.f54d7ep+18f, 0x1.240f02p+19f,  // 84
    0x1.544e6cp+19f, 0x1.8c8646p+19f, 0x1.ce07a6p+19f, 0x1.0d2da6p+20f,  // 88
    0x1.39a56ep+20f, 0x1.6d75cep+20f, 0x1.a9d56ep+20f, 0x1.f02e5p+20f,   // 92
};

namespace {

// 2^(e - 23) for the exponents 0..23 of a 29-bit float.
constexpr float float29_scale[24] = {
    0x1p-23f, 0x1p-22f, 0x1p-21f, 0x1p-20f, 0x1p-19f, 0x1p-18f,
    0x1p-17f, 0x1p-16f, 0x1p-15f, 0x1p-14f, 0x1p-13f, 0x1p-12f,
    0x1p-11f, 0x1p-10f, 0x1p-9f,  0x1p-8f,  0x1p-7f,  0x1p-6f,
    0x1p-5f,  0x1p-4f,  0x1p-3f,  0x1p-2f,  0x1p-1f,  0x1p0f};

constexpr uint32_t max_quantiser_index = quantiser_count - 1;
constexpr uint32_t max_bands = 25;

}  // namespace

float decode_float29(uint32_t bits) {
  const uint32_t exponent = bits & 31u;
  const uint32_t mantissa = (bits >> 5) & 0x7FFFFFu;
  // An exponent beyond the table is corrupt data: give silence rather than
  // a value the encoder can never have meant.
  const float magnitude =
      exponent < 24 ? static_cast<float>(mantissa) * float29_scale[exponent]
                    : 0.0f;
  return (bits >> 28) & 1u ? -magnitude : magnitude;
}

namespace {

// The channel's bitstream as a bit position from the sub-block's start.
// Words are fetched whole and only while their first byte lies before the
// end, so a field fits exactly when it ends within `limit`, the bits of
// those words; bytes at and after the end read as zero.
struct Stream {
  const uint8_t* base;
  uint32_t size;   // bytes up to the payload end
  uint64_t limit;  // 32 * the words that can be fetched
  uint64_t pos;    // next unread bit
};

// Eight bytes as a little-endian number: one load (the byte-by-byte form
// is not always merged into one).
inline uint64_t load_le64(const uint8_t* p) {
  uint64_t v = 0;
  std::memcpy(&v, p, sizeof v);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  v = __builtin_bswap64(v);
#endif
  return v;
}

// At least 57 bits from `pos` on, in the low bits.
inline uint64_t peek(const Stream& s, uint64_t pos) {
  const uint64_t byte = pos >> 3;
  uint64_t v = 0;
  if (byte + 8 <= s.size) {
    v = load_le64(s.base + byte);
  } else {
    for (uint64_t i = byte; i < s.size; ++i)
      v |= uint64_t{s.base[i]} << (8 * (i - byte));
  }
  return v >> (pos & 7);
}

// A `width`-bit field (1..29), or false with the position unchanged when
// it reaches past the fetchable words.
inline bool get(Stream& s, uint32_t width, uint32_t& value) {
  if (s.pos + width > s.limit) return false;
  value = static_cast<uint32_t>(peek(s, s.pos)) & ((1u << width) - 1);
  s.pos += width;
  return true;
}

// magnitude * step, negated when `sign` (0 or 1) is 1. The negation flips
// the sign bit directly: the same bits as -value, without a branch that
// random signs would mispredict half the time.
inline float signed_value(uint32_t magnitude, uint32_t sign, float step) {
  const float value = static_cast<float>(magnitude) * step;
  uint32_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  bits ^= sign << 31;
  float result = 0.0f;
  std::memcpy(&result, &bits, sizeof result);
  return result;
}

// Coefficients [k, end) of a run of `width`-bit magnitudes, each followed by
// a sign bit when not zero, with every field checked against the end.
bool read_magnitudes_checked(Stream& s, float* coeffs, uint32_t k, uint32_t end,
                             uint32_t width, float step) {
  for (; k < end; ++k) {
    uint32_t magnitude = 0;
    if (!get(s, width, magnitude)) return false;
    if (magnitude == 0) {
      coeffs[k] = 0.0f;
      continue;
    }
    uint32_t sign = 0;
    if (!get(s, 1, sign)) return false;
    coeffs[k] = signed_value(magnitude, sign, step);
  }
  return true;
}

// The run reader for this processor.
inline void read_runs(const ChannelLayout& channel, RunState& r,
                      const uint8_t* base, uint64_t& pos, uint64_t safe,
                      float* scratch) {
#if ORV_READER_BMI2
  if ((cpu_features() & cpu_bmi2) != 0) {
    read_runs_bmi2(channel, r, base, pos, safe, scratch);
    return;
  }
#endif
  read_runs_portable(channel, r, base, pos, safe, scratch);
}

// Bytes of the payload's end that read_tail_runs copies at most.
constexpr uint32_t tail_copy_bytes = 128;

// The runs from s.pos on, read unchecked from a zero-padded copy of the
// rest of the payload while each run ends by the last fetchable bit: runs
// that certainly do, and runs that turn out to (parsed aside with a check
// every eight coefficients). Loads reach at most 32 bytes past the last
// fetchable bit; the copy has 64 bytes of padding beyond the words.
void read_tail_runs(const ChannelLayout& channel, RunState& r, Stream& s) {
  const uint64_t first = s.pos >> 3;
  // Too long only after a run that did not fit before the margin.
  if (first > s.size || s.size - first > tail_copy_bytes) return;
  alignas(16) uint8_t tail[tail_copy_bytes + 4 + 64] = {};
  std::memcpy(tail, s.base + first, s.size - first);
  uint64_t pos = s.pos - first * 8;
  alignas(16) float scratch[8u * run_length_table[15]];
  read_runs(channel, r, tail, pos, s.limit - first * 8, scratch);
  s.pos = pos + first * 8;
}

bool read_channel(float* coeffs, uint32_t n, uint32_t band_count, Stream& s,
                  const uint32_t* band_edges) {
  uint32_t field = 0;
  for (uint32_t i = 0; i < 2 && i < n; ++i) {
    if (!get(s, 29, field)) return false;
    coeffs[i] = decode_float29(field);
  }

  float steps[max_bands];
  if (band_count > max_bands) band_count = max_bands;  // setup never exceeds it
  for (uint32_t j = 0; j < band_count; ++j) {
    if (!get(s, 8, field)) return false;
    steps[j] =
        quantiser_table[field < max_quantiser_index ? field
                                                    : max_quantiser_index];
  }

  // Runs that end at least 16 bytes before the payload end go through the
  // unchecked reader in place. The rest of the payload, when short, is
  // copied into a zero-padded buffer, where the unchecked reader can go on
  // up to the last fetchable bit: the bytes after the end read as zero, as
  // they do field by field, and the payload is never read past its end.
  // The first run that may not fit is left unread, and it and the rest are
  // read field by field.
  const ChannelLayout channel{coeffs, n, band_count, band_edges, steps};
  RunState r{2, 0, 0.0f};
  const uint64_t safe = s.size >= 16 ? (uint64_t{s.size} - 16) * 8 : 0;
  if (r.k < n && s.pos + 9 <= safe) {
    read_runs(channel, r, s.base, s.pos, safe, nullptr);
  }
  if (r.k < n && s.pos + 9 <= s.limit) read_tail_runs(channel, r, s);
  while (r.k < n) {
    uint32_t flag = 0;
    if (!get(s, 1, flag)) return false;
    uint32_t length = 8;
    if (flag != 0) {
      uint32_t index = 0;
      if (!get(s, 4, index)) return false;
      length = 8u * run_length_table[index];
    }
    const uint32_t run_end = run_end_for(r.k, length, n);
    uint32_t width = 0;
    if (!get(s, 4, width)) return false;
    if (width == 0) {
      skip_zeros(channel, r, run_end);
      continue;
    }
    if (!for_each_stretch(
            channel, r, run_end, [&](uint32_t from, uint32_t end, float step) {
              return read_magnitudes_checked(s, coeffs, from, end, width, step);
            })) {
      return false;
    }
  }
  return true;
}

}  // namespace

// The reader's word-wise state and the bit position are interchangeable:
// the reader fetches a word only when a field needs it, so `next` is always
// the words covering the position, and `buffer` their unread bits.
bool read_channel_coefficients(float* coeffs, uint32_t n, uint32_t band_count,
                               BitReader& reader, const uint32_t* band_edges) {
  Stream s{reader.base, reader.end, uint64_t{(reader.end + 3) / 4} * 32,
           uint64_t{reader.next} * 8 - reader.count};
  const bool ok = read_channel(coeffs, n, band_count, s, band_edges);
  const auto next = static_cast<uint32_t>((s.pos + 31) / 32 * 4);
  reader.next = next;
  reader.count = next * 8 - static_cast<uint32_t>(s.pos);
  reader.buffer = reader.count == 0 ? 0
                                    : load_le32(reader.base + next - 4,
                                                reader.end - (next - 4)) >>
                                          (32 - reader.count);
  return ok;
}

}  // namespace orv::vlkdec
