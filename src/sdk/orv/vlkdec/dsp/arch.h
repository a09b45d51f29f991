// Which processor-specific variants this build has. The one place that
// names the architecture: everything else tests ORV_ARCH_X86 and
// ORV_ARCH_WASM_SIMD.
//
// x86-64: the variants in x86/ (SSE2, part of the baseline and so always
// used; AVX2 and BMI2, used where the processor reports them).
// WebAssembly built with 128-bit SIMD: the variants in wasm/. Other
// processors, and builds with ORV_DISABLE_SIMD, run the portable code,
// which gives the same bits.
#ifndef ORV_VLKDEC_DSP_ARCH_H
#define ORV_VLKDEC_DSP_ARCH_H

#if (defined(__x86_64__) || defined(_M_X64)) && !defined(ORV_DISABLE_SIMD)
#define ORV_ARCH_X86 1
#else
#define ORV_ARCH_X86 0
#endif

#if defined(__wasm_simd128__) && !defined(ORV_DISABLE_SIMD)
#define ORV_ARCH_WASM_SIMD 1
#else
#define ORV_ARCH_WASM_SIMD 0
#endif

#endif
