// Coefficient bitstream of one channel: raw floats, quantiser indices and
// runs of magnitudes.
#include "decoder/coefficients.h"

#include <cstring>

#include "dsp/dsp.h"
#include "format/byte_order.h"
#include "kernels/run_bands.h"
#include "kernels/runs.h"

namespace orv::vlkdec {
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

// At least 57 bits from `pos` on, in the low bits.
inline uint64_t peek(const Stream& s, uint64_t pos) {
  const uint64_t byte = pos >> 3;
  uint64_t v = 0;
  if (byte + 8 <= s.size) {
    v = load_u64(s.base + byte);
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
    if (!get(s, sign_bits, sign)) return false;
    coeffs[k] = signed_value(magnitude, sign, step);
  }
  return true;
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
  alignas(16) float scratch[max_run_length];
  dsp().read_runs(channel, r, tail, pos, s.limit - first * 8, scratch);
  s.pos = pos + first * 8;
}

bool read_channel(float* coeffs, uint32_t n, uint32_t band_count, Stream& s,
                  const uint32_t* band_edges) {
  uint32_t field = 0;
  for (uint32_t i = 0; i < raw_coefficient_count && i < n; ++i) {
    if (!get(s, float29_bits, field)) return false;
    coeffs[i] = decode_float29(field);
  }

  float steps[max_band_count];
  if (band_count > max_band_count)
    band_count = max_band_count;  // setup never exceeds it
  for (uint32_t j = 0; j < band_count; ++j) {
    if (!get(s, quantiser_index_bits, field)) return false;
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
  RunState r{raw_coefficient_count, 0, 0.0f};
  const uint64_t safe = s.size >= 16 ? (uint64_t{s.size} - 16) * 8 : 0;
  if (r.k < n && s.pos + max_run_header_bits <= safe) {
    dsp().read_runs(channel, r, s.base, s.pos, safe, nullptr);
  }
  if (r.k < n && s.pos + max_run_header_bits <= s.limit) {
    read_tail_runs(channel, r, s);
  }
  while (r.k < n) {
    uint32_t flag = 0;
    if (!get(s, run_flag_bits, flag)) return false;
    uint32_t length = run_length_unit;
    if (flag != 0) {
      uint32_t index = 0;
      if (!get(s, run_index_bits, index)) return false;
      length = run_length_unit * run_length_table[index];
    }
    const uint32_t run_end = run_end_for(r.k, length, n);
    uint32_t width = 0;
    if (!get(s, run_width_bits, width)) return false;
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
  Stream s{
      reader.base, reader.end,
      uint64_t{(reader.end + payload_word_bytes - 1) / payload_word_bytes} *
          payload_word_bits,
      uint64_t{reader.next} * 8 - reader.count};
  const bool ok = read_channel(coeffs, n, band_count, s, band_edges);
  const auto next = static_cast<uint32_t>(
      (s.pos + payload_word_bits - 1) / payload_word_bits * payload_word_bytes);
  const uint32_t last_word = next - payload_word_bytes;
  reader.next = next;
  reader.count = next * 8 - static_cast<uint32_t>(s.pos);
  reader.buffer = reader.count == 0 ? 0
                                    : load_u32_within(reader.base + last_word,
                                                      reader.end - last_word) >>
                                          (payload_word_bits - reader.count);
  return ok;
}

}  // namespace orv::vlkdec
