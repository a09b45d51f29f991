// The process-wide last-error text.
//
// Streams may be opened on several threads at once, and the library takes
// no locks. The only text ever stored is "Out of memory", so the buffer is
// constant and one atomic word says whether it is set: writers and readers
// never touch the same plain memory, and no data race is possible.
#include <atomic>

#include "plugin_api.h"

namespace orv::vlkdec {
namespace {

constexpr char out_of_memory_text[256] = "Out of memory";
constinit std::atomic<uint32_t> error_set{0};
// A lock-free word needs no runtime support and no lock behind the scenes.
static_assert(std::atomic<uint32_t>::is_always_lock_free);

}  // namespace

void report_out_of_memory() noexcept {
  error_set.store(1, std::memory_order_release);
}

}  // namespace orv::vlkdec

extern "C" {

int32_t ORV_startup() noexcept {
  orv::vlkdec::error_set.store(0, std::memory_order_release);
  return 0;
}

const char* ORV_error() noexcept {
  return orv::vlkdec::error_set.load(std::memory_order_acquire) != 0
             ? orv::vlkdec::out_of_memory_text
             : nullptr;
}

int32_t ORV_shutdown() noexcept { return 0; }

}  // extern "C"
