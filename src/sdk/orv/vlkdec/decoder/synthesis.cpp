// Synthesis of one channel pair's sub-block: coefficients, inverse DCT,
// 16-bit conversion, layout, crossfade and the new tail.
#include "decoder/synthesis.h"

#include <cstddef>
#include <cstring>

#include "decoder/bit_reader.h"
#include "decoder/block_decoder.h"
#include "decoder/coefficients.h"
#include "dsp/dsp.h"

namespace orv::vlkdec {

void crossfade_overlap(int16_t* out, const int16_t* tail, uint32_t bytes,
                       uint32_t shift) {
  dsp().crossfade(out, tail, bytes / 2, shift);
}

namespace {

// Reads the pair's coefficients and transforms them in place, channel after
// channel; a channel whose coefficients run out is silent. Returns the
// bytes of payload consumed (see decode_sub_block).
uint32_t read_and_transform(const BlockDecoder& decoder, SubBlock input,
                            float* coeffs) {
  const uint32_t n = decoder.transform_length;
  BitReader reader = begin_sub_block(input.start, input.end);
  // Channels share the reader: the second starts where the first stopped,
  // even when the first ran out of payload.
  for (uint32_t c = 0; c < decoder.transform_count; ++c) {
    float* channel = coeffs + c * n;
    if (read_channel_coefficients(channel, n, decoder.band_count, reader,
                                  decoder.band_edges)) {
      inverse_dct(static_cast<int>(n), channel,
                  static_cast<int>(decoder.transform_table_length),
                  decoder.transform_table);
    } else {
      std::memset(channel, 0, n * sizeof(float));  // a lost channel is silent
    }
  }
  // The consumed length counts the last, partly read word whole.
  return reader.next & consumed_length_mask;
}

// One channel's n samples: the first `held` crossfaded with `tail` (unless
// the shift is 0), samples [0, n - held) written to out[i * stride], and
// the last `held` kept as the new tail. Converted a stretch at a time
// through a small buffer, so that no block-sized scratch is needed.
void write_channel_strided(const float* in, uint32_t n, float scale,
                           uint32_t held, uint32_t shift, int16_t* tail,
                           int16_t* out, uint32_t stride) {
  constexpr uint32_t stretch = 256;
  int16_t pcm[stretch];
  const uint32_t kept = n - held;
  uint32_t i = 0;
  while (i < kept) {
    // The crossfaded start goes as one stretch, so that its ramp counts
    // from 0; held <= n / 16 <= 128 fits one stretch.
    const uint32_t limit =
        i == 0 && shift != 0 && held < stretch ? held : stretch;
    const uint32_t count = kept - i < limit ? kept - i : limit;
    convert_mono(in + i, scale, pcm, count);
    if (i == 0 && shift != 0) crossfade_overlap(pcm, tail, 2 * count, shift);
    int16_t* to = out + size_t{i} * stride;
    for (uint32_t k = 0; k < count; ++k) to[size_t{k} * stride] = pcm[k];
    i += count;
  }
  convert_mono(in + kept, scale, tail, held);
}

}  // namespace

uint32_t decode_sub_block(BlockDecoder& decoder, SubBlock input, float* coeffs,
                          int16_t* out, uint32_t crossfade_shift) {
  if (input.start >= input.end) return 0;
  const uint32_t consumed = read_and_transform(decoder, input, coeffs);

  const uint32_t n = decoder.transform_length;
  const float scale = decoder.scale;
  const uint32_t overlap_bytes = decoder.overlap_bytes;
  const uint32_t overlap_samples = overlap_bytes / 2;
  const uint32_t shift = crossfade_shift;
  int16_t* tail = decoder.tail;
  if (decoder.transform_count == 1) {
    convert_mono(coeffs, scale, out, n);
    if (shift != 0) crossfade_overlap(out, tail, overlap_bytes, shift);
    std::memcpy(tail, out + n - overlap_samples, overlap_bytes);
  } else if ((decoder.flags & decoder_flag_planar) == 0) {
    convert_interleaved(coeffs, coeffs + n, scale, out, n);
    if (shift != 0) crossfade_overlap(out, tail, overlap_bytes, shift);
    std::memcpy(tail, out + 2 * n - overlap_samples, overlap_bytes);
  } else {
    // Planar: each channel's run is crossfaded with its half of the tail
    // over half as many samples, hence one less shift. Channel 1 is written
    // over channel 0's held-back end, which has been saved by then.
    const uint32_t half = overlap_samples / 2;
    int16_t* second = out + n - half;
    convert_mono(coeffs, scale, out, n);
    if (shift != 0) crossfade_overlap(out, tail, 2 * half, shift - 1);
    std::memcpy(tail, out + n - half, 2 * half);
    convert_mono(coeffs + n, scale, second, n);
    if (shift != 0) crossfade_overlap(second, tail + half, 2 * half, shift - 1);
    std::memcpy(tail + half, second + n - half, 2 * half);
  }

  return consumed;
}

uint32_t decode_sub_block_frames(BlockDecoder& decoder, SubBlock input,
                                 float* coeffs, FrameOrder out,
                                 uint32_t crossfade_shift) {
  if (input.start >= input.end) return 0;
  const uint32_t consumed = read_and_transform(decoder, input, coeffs);
  const uint32_t n = decoder.transform_length;
  const float scale = decoder.scale;
  int16_t* tail = decoder.tail;
  if (decoder.transform_count == 1) {
    // One channel: its run and the whole tail.
    write_channel_strided(coeffs, n, scale, decoder.overlap_bytes / 2,
                          crossfade_shift, tail, out.first, out.stride);
    return consumed;
  }
  // Each channel of a planar pair crossfades with its half of the tail over
  // half as many samples, hence one less shift.
  const uint32_t half = decoder.overlap_bytes / 4;
  const uint32_t shift = crossfade_shift != 0 ? crossfade_shift - 1 : 0;
  write_channel_strided(coeffs, n, scale, half, shift, tail, out.first,
                        out.stride);
  write_channel_strided(coeffs + n, n, scale, half, shift, tail + half,
                        out.first + 1, out.stride);
  return consumed;
}

}  // namespace orv::vlkdec
