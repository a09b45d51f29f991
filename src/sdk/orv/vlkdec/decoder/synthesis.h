// Decoding of one channel pair's sub-block into 16-bit PCM.
#ifndef ORV_VLKDEC_DECODER_SYNTHESIS_H
#define ORV_VLKDEC_DECODER_SYNTHESIS_H

#include <cstdint>

namespace orv::vlkdec {

// Decodes the sub-block at `start` (payload bytes up to `end`; bytes at and
// after `end` read as zero) into block_bytes of PCM at `out` (16-byte
// aligned), crossfading with and then replacing `tail`. `coeffs` is a
// 16-byte aligned work area of transform_count * n floats. A shift of 0
// means no crossfade (first block). Returns the bytes of payload consumed
// (a multiple of 4, low 29 bits), or 0 when start is not before end, in
// which case nothing is written.
uint32_t decode_sub_block(uint32_t transform_length, float scale,
                          uint32_t transform_count, uint32_t flags,
                          uint32_t transform_table_length,
                          const float* transform_table, int16_t* out,
                          const uint8_t* start, const uint8_t* end,
                          uint32_t band_count, const uint32_t* band_edges,
                          float* coeffs, uint32_t overlap_bytes,
                          uint32_t crossfade_shift, int16_t* tail);

// decode_sub_block for a decoder of the planar layout (or of one channel),
// writing the pair's output straight into frame order: channel c's sample i
// goes to out[i * stride + c], for the n - n/16 samples per channel that
// are not held back. The samples are those decode_sub_block gives; only
// their places differ. `out` needs no alignment.
uint32_t decode_sub_block_frames(
    uint32_t transform_length, float scale, uint32_t transform_count,
    uint32_t transform_table_length, const float* transform_table, int16_t* out,
    uint32_t stride, const uint8_t* start, const uint8_t* end,
    uint32_t band_count, const uint32_t* band_edges, float* coeffs,
    uint32_t overlap_bytes, uint32_t crossfade_shift, int16_t* tail);

// Blends the first bytes / 2 samples of `out` from `tail` into the new
// signal with a linear ramp of 2^shift steps.
void crossfade_overlap(int16_t* out, const int16_t* tail, uint32_t bytes,
                       uint32_t shift);

}  // namespace orv::vlkdec

#endif
