#include "transform/cpu_features.h"

#include <atomic>

#include "transform/simd.h"

#if ORV_TRANSFORM_SSE2 && defined(__GNUC__)
#include <cpuid.h>
#define ORV_HAVE_CPUID 1
#else
#define ORV_HAVE_CPUID 0
#endif

namespace orv::vlkdec {
namespace {

// Bit 31 marks the word as filled in; zero means "not asked yet".
constexpr uint32_t known = 1u << 31;
std::atomic<uint32_t> cached_features{0};
std::atomic<uint32_t> allowed_features{~0u};

uint32_t probe() {
  uint32_t found = 0;
#if ORV_HAVE_CPUID
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return 0;
  const bool osxsave = (ecx & bit_OSXSAVE) != 0;
  const bool avx = (ecx & bit_AVX) != 0;
  if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) return 0;
  // The BMI2 builds may also use BMI1's instructions, which every such
  // processor has; a system that hides BMI1 gets the portable code.
  if ((ebx & bit_BMI2) != 0 && (ebx & bit_BMI) != 0) found |= cpu_bmi2;
  if (osxsave && avx && (ebx & bit_AVX2) != 0) {
    // The YMM registers are usable only if the system saves them (XCR0
    // bits 1 and 2).
    uint32_t xcr0_low = 0, xcr0_high = 0;
    __asm__ volatile("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
    if ((xcr0_low & 6u) == 6u) found |= cpu_avx2;
  }
#endif
  return found;
}

}  // namespace

uint32_t cpu_features() {
  uint32_t features = cached_features.load(std::memory_order_relaxed);
  if (features == 0) {
    features = probe() | known;
    cached_features.store(features, std::memory_order_relaxed);
  }
  return features & allowed_features.load(std::memory_order_relaxed) & ~known;
}

void restrict_cpu_features(uint32_t mask) {
  allowed_features.store(mask, std::memory_order_relaxed);
}

}  // namespace orv::vlkdec
