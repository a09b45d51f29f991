// Force-included into the cross tests when they are built for WebAssembly:
// the libc++ of Debian's Emscripten 3.1.6 predates std::bit_cast, which the
// tests use; the compiler's builtin does the same.
#ifndef ORV_WEB_TEST_COMPAT_H
#define ORV_WEB_TEST_COMPAT_H

#include <bit>

#ifndef __cpp_lib_bit_cast
namespace std {
template <class To, class From>
constexpr To bit_cast(const From& from) noexcept {
  return __builtin_bit_cast(To, from);
}
}  // namespace std
#endif

#endif
