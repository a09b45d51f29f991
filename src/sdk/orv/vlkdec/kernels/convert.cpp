// Portable float to 16-bit conversion and crossfade; the reference for
// every variant.
#include "kernels/convert.h"

#include <cmath>

namespace orv::vlkdec {
namespace {

// 2^31 as a float: the first value the 32-bit conversion cannot hold.
constexpr float int32_limit = 2147483648.0f;

inline int16_t to_sample(float x, float scale) {
  const float product = x * scale;
  if (std::isnan(product)) return -32768;
  if (product >= int32_limit) return 32767;
  if (product < -int32_limit) return -32768;
  // In range: nearbyint rounds under the current mode, as the packed
  // conversion does, and the 32-bit value then saturates to 16 bits.
  const auto whole = static_cast<int32_t>(std::nearbyint(product));
  return static_cast<int16_t>(whole > 32767    ? 32767
                              : whole < -32768 ? -32768
                                               : whole);
}

}  // namespace

void convert_mono_portable(const float* in, float scale, int16_t* out,
                           uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) out[i] = to_sample(in[i], scale);
}

void convert_interleaved_portable(const float* left, const float* right,
                                  float scale, int16_t* out, uint32_t frames) {
  for (uint32_t i = 0; i < frames; ++i) {
    out[2 * i] = to_sample(left[i], scale);
    out[2 * i + 1] = to_sample(right[i], scale);
  }
}

void crossfade_overlap_portable(int16_t* out, const int16_t* tail,
                                uint32_t samples, uint32_t shift) {
  for (uint32_t k = 0; k < samples; ++k) {
    // The difference is taken in full: wrapped to 16 bits, a swing of more
    // than 32767 between tail and new block would flip sign and ramp the
    // wrong way, to a full-scale click. |d| <= 65535 and k is below 2^15
    // for any run the decoder makes, so the product needs no more than 32
    // bits; 64 keeps even a larger run defined. The shift is arithmetic
    // (rounds toward minus infinity).
    const int32_t difference = int32_t{out[k]} - int32_t{tail[k]};
    const int64_t product = int64_t{difference} * k;
    const int64_t blended = int64_t{tail[k]} + (product >> shift);
    out[k] = static_cast<int16_t>(blended > 32767    ? 32767
                                  : blended < -32768 ? -32768
                                                     : blended);
  }
}

}  // namespace orv::vlkdec
