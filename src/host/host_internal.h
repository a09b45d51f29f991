// Internal records of the host library, shared by its source files.
#ifndef ORV_HOST_HOST_INTERNAL_H
#define ORV_HOST_HOST_INTERNAL_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "host/velk_host.h"
#include "host/velk_host_testing.h"

namespace orv::host {

// One register call, copied: the module's array lives only for the call.
struct KeptRegistration {
  std::string interface_name;
  std::vector<RegistrationEntry> entries;  // byte for byte as given
  std::vector<std::string> names;          // our copies of entries[i].name
};

// The stream properties the library itself uses; their tokens are found by
// name in the registration records.
enum StreamToken : uint32_t {
  token_input_bit_rate,
  token_input_sample_rate,
  token_input_sample_width,
  token_input_channels,
  token_output_bit_rate,
  token_output_sample_rate,
  token_output_sample_width,
  token_output_channels,
  token_output_reservoir,
  token_position,
  token_exact_seek,
  token_exact_get_position,
  token_seek_table_lookup,
  token_set_looping_samples,
  token_count,
};

// The registered name of each StreamToken, in enum order.
extern const char* const stream_token_names[token_count];

// Writes a printf-style message into the caller's error buffer, cut to
// error_size; does nothing without a buffer.
void set_error(char* error, size_t error_size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

struct StreamTokens {
  uint64_t value[token_count] = {};
  bool present[token_count] = {};
};

}  // namespace orv::host

struct VelkHost {
  void* module = nullptr;
  TAVO_Main_fn main = nullptr;
  // Filled during registration; never changed afterwards.
  std::deque<orv::host::KeptRegistration> registrations;
  VelkHostFunctions functions{};
  orv::host::StreamTokens tokens;
  // Allocation accounting; streams may run on several threads.
  std::atomic<uint64_t> allocations{0};
  std::atomic<uint64_t> refusals{0};
  std::atomic<uint64_t> frees{0};
  std::atomic<uint64_t> bad_frees{0};
  std::atomic<uint64_t> outstanding_bytes{0};
  std::atomic<int> refuse_allocations{0};
  // Acquires not yet released, for a host from velk_host_acquire (guarded
  // by the cache's lock); 0 for one from velk_host_load.
  uint32_t shared_users = 0;
  std::string shared_path;
};

#endif
