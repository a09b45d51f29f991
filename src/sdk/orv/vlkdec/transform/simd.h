// Whether the transforms use their SSE2 paths. SSE2 is part of the x86-64
// baseline, so no run-time check is needed; ORV_DISABLE_SIMD builds the
// portable paths only. Both give the same bits: the vector code performs,
// for every element, the same single-precision operations in the same order
// as the scalar code, only several elements at a time.
#ifndef ORV_VLKDEC_TRANSFORM_SIMD_H
#define ORV_VLKDEC_TRANSFORM_SIMD_H

#if (defined(__x86_64__) || defined(_M_X64)) && !defined(ORV_DISABLE_SIMD)
#define ORV_TRANSFORM_SSE2 1
#else
#define ORV_TRANSFORM_SSE2 0
#endif

#endif
