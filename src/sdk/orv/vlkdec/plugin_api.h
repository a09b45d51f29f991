// The functions the plug-in registers with the host's broker. They have
// hidden visibility: hosts reach them only through TAVO_Main's records.
// Tests inside the project may call them directly.
#ifndef ORV_VLKDEC_PLUGIN_API_H
#define ORV_VLKDEC_PLUGIN_API_H

#include <cstdint>
#include <type_traits>

#include "orv/vlkdec.h"

extern "C" {
int32_t PROVIDER_property(uint64_t token, void* value, const void* new_value,
                          void* result) noexcept;
int32_t ORV_startup() noexcept;
const char* ORV_error() noexcept;
int32_t ORV_shutdown() noexcept;

ORV_Stream* ORV_stream_open(ORV_AllocateCallback allocate_callback,
                            ORV_FreeCallback free_callback,
                            uint64_t host_stream,
                            ORV_ReadCallback read_callback) noexcept;
uint32_t ORV_stream_process(ORV_Stream* stream, void* destination,
                            uint32_t bytes) noexcept;
int32_t ORV_stream_property(ORV_Stream* stream, uint64_t token, void* value,
                            const void* new_value, void* result) noexcept;
int32_t ORV_stream_seek(ORV_Stream* stream, int32_t position) noexcept;
int32_t ORV_stream_close(ORV_Stream* stream) noexcept;
}

// Hosts call these through the header's function types: signatures and
// calling convention must agree on every target the module is built for.
static_assert(
    std::is_convertible_v<decltype(&PROVIDER_property), PROVIDER_property_fn>);
static_assert(std::is_convertible_v<decltype(&ORV_startup), ORV_startup_fn>);
static_assert(std::is_convertible_v<decltype(&ORV_error), ORV_error_fn>);
static_assert(std::is_convertible_v<decltype(&ORV_shutdown), ORV_shutdown_fn>);
static_assert(
    std::is_convertible_v<decltype(&ORV_stream_open), ORV_stream_open_fn>);
static_assert(std::is_convertible_v<decltype(&ORV_stream_process),
                                    ORV_stream_process_fn>);
static_assert(std::is_convertible_v<decltype(&ORV_stream_property),
                                    ORV_stream_property_fn>);
static_assert(
    std::is_convertible_v<decltype(&ORV_stream_seek), ORV_stream_seek_fn>);
static_assert(
    std::is_convertible_v<decltype(&ORV_stream_close), ORV_stream_close_fn>);

namespace orv::vlkdec {
// Stores "Out of memory" as the process-wide last-error text. The only
// writer of that text besides ORV_startup.
void report_out_of_memory() noexcept;
}  // namespace orv::vlkdec

#endif
