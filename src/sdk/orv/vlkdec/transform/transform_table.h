// The constant table of trigonometric factors shared by every transform.
#ifndef ORV_VLKDEC_TRANSFORM_TRANSFORM_TABLE_H
#define ORV_VLKDEC_TRANSFORM_TRANSFORM_TABLE_H

#include <cstdint>

namespace orv::vlkdec {

// Length parameter L with which the decoder indexes the table.
constexpr int transform_table_length = 2048;
// Twiddle part: nested levels for the complex FFT, L / 4 floats at 0.
constexpr int twiddle_offset = 0;
constexpr int twiddle_count = transform_table_length / 4;
// Cosine part: c[i] = 0.5 cos(pi i / 2L) (c[0] = cos(pi/4)), L floats.
constexpr int cosine_offset = twiddle_count;
constexpr int cosine_count = transform_table_length;
constexpr int transform_table_floats = twiddle_count + cosine_count;

// Stored ready-made: never computed or written at run time.
extern const float transform_table[transform_table_floats];

}  // namespace orv::vlkdec

#endif
