// The x86-64 processor's features, from cpuid and the operating system's
// saved register state.
#include <cpuid.h>

#include "x86/x86.h"

namespace orv::vlkdec {

X86Features probe_x86_features() {
  X86Features found{true, false, false};
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  // A processor that lacks leaf 1 or 7 (the first x86-64 processors have
  // no leaf 7) has neither AVX2 nor BMI2, but still SSE2.
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return found;
  const bool osxsave = (ecx & bit_OSXSAVE) != 0;
  const bool avx = (ecx & bit_AVX) != 0;
  if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) return found;
  // The BMI2 builds may also use BMI1's instructions, which every such
  // processor has; a system that hides BMI1 gets the portable code.
  found.bmi2 = (ebx & bit_BMI2) != 0 && (ebx & bit_BMI) != 0;
  if (osxsave && avx && (ebx & bit_AVX2) != 0) {
    // The YMM registers are usable only if the system saves them (XCR0
    // bits 1 and 2).
    uint32_t xcr0_low = 0, xcr0_high = 0;
    __asm__ volatile("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
    found.avx2 = (xcr0_low & 6u) == 6u;
  }
  return found;
}

}  // namespace orv::vlkdec
