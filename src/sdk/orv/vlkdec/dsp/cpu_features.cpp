#include "dsp/cpu_features.h"

#include <atomic>

#include "dsp/arch.h"
#if ORV_ARCH_X86
#include "x86/x86.h"
#endif

namespace orv::vlkdec {
namespace {

// Bit 31 marks the word as filled in; zero means "not asked yet".
constexpr uint32_t known = 1u << 31;
std::atomic<uint32_t> cached_features{0};
std::atomic<uint32_t> allowed_features{~0u};

uint32_t probe() {
#if ORV_ARCH_X86
  const X86Features found = probe_x86_features();
  return (found.sse2 ? cpu_sse2 : 0u) | (found.avx2 ? cpu_avx2 : 0u) |
         (found.bmi2 ? cpu_bmi2 : 0u);
#elif ORV_ARCH_WASM_SIMD
  // The module could not have loaded without it.
  return cpu_wasm_simd128;
#else
  return 0;
#endif
}

}  // namespace

uint32_t cpu_features() {
  uint32_t features = cached_features.load(std::memory_order_relaxed);
  if (features == 0) {
    features = probe() | known;
    cached_features.store(features, std::memory_order_relaxed);
  }
  return features & allowed_features.load(std::memory_order_relaxed) &
         cpu_feature_mask;
}

void restrict_cpu_features(uint32_t mask) {
  allowed_features.store(mask, std::memory_order_relaxed);
}

}  // namespace orv::vlkdec
