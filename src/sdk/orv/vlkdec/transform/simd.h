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

// The AVX2 variants (transform_avx2.cpp) exist where the build compiles
// that file with -mavx2 and says so with ORV_TRANSFORM_HAVE_AVX2; they run
// only on processors that report AVX2 (cpu_features.h).
#if ORV_TRANSFORM_SSE2 && defined(ORV_TRANSFORM_HAVE_AVX2)
#define ORV_TRANSFORM_AVX2 1
#else
#define ORV_TRANSFORM_AVX2 0
#endif

#endif
