// 64-byte aligned blocks for test hosts on every target: the C library's
// aligned_alloc where there is one, _aligned_malloc on Windows (whose
// blocks must go back through _aligned_free).
#ifndef ORV_TESTS_SUPPORT_ALIGNED_MEMORY_H
#define ORV_TESTS_SUPPORT_ALIGNED_MEMORY_H

#include <cstddef>
#include <cstdlib>
#ifdef _WIN32
#include <malloc.h>
#endif

namespace orv::test {

// `bytes` must be a multiple of `alignment`.
inline void* aligned_allocate(size_t alignment, size_t bytes) {
#ifdef _WIN32
  return _aligned_malloc(bytes, alignment);
#else
  return std::aligned_alloc(alignment, bytes);
#endif
}

inline void aligned_release(void* block) {
#ifdef _WIN32
  _aligned_free(block);
#else
  std::free(block);
#endif
}

}  // namespace orv::test

#endif
