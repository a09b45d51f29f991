#include "format/coding.h"

#include <cmath>

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

constexpr unsigned float29_mantissa_bits = 23;

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

}  // namespace orv::vlkdec
