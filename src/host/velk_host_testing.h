/*
 * Counters and switches of the host library that exist for tests: how the
 * plug-in allocates and reads. Not part of the installed API; the static
 * library has them, the shared library does not export them.
 */
#ifndef ORV_HOST_VELK_HOST_TESTING_H
#define ORV_HOST_VELK_HOST_TESTING_H

#include <stdint.h>

#include "host/velk_host.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Allocation accounting over every stream of this host. */
typedef struct VelkHostAllocationStats {
  uint64_t allocations;       /* allocate callbacks answered with a block */
  uint64_t refusals;          /* allocate callbacks answered with null */
  uint64_t frees;             /* free callbacks */
  uint64_t bad_frees;         /* frees of a block this host did not hand out */
  uint64_t outstanding_bytes; /* allocated and not yet freed */
} VelkHostAllocationStats;
void velk_host_allocation_stats(
    const VelkHost* host, VelkHostAllocationStats* out) VELK_HOST_NOEXCEPT;
/* While non-zero, allocate callbacks are answered with null. */
void velk_host_refuse_allocations(VelkHost* host,
                                  int refuse) VELK_HOST_NOEXCEPT;

/* Read-callback accounting, to check how the plug-in reads. */
typedef struct VelkHostReadStats {
  uint64_t calls;
  uint64_t header_reads;   /* offset 0 */
  uint64_t continue_reads; /* offset -1 */
  uint64_t other_offsets;  /* anything else: refused with 0 */
  uint64_t bytes_asked;
  uint64_t bytes_delivered;
} VelkHostReadStats;
void velk_host_stream_read_stats(const VelkHostStream* stream,
                                 VelkHostReadStats* out) VELK_HOST_NOEXCEPT;

#ifdef __cplusplus
} /* extern "C" */

namespace orv::host::testing {

inline VelkHostAllocationStats allocation_stats(const VelkHost* host) {
  VelkHostAllocationStats stats{};
  velk_host_allocation_stats(host, &stats);
  return stats;
}
inline VelkHostReadStats read_stats(const VelkHostStream* stream) {
  VelkHostReadStats stats{};
  velk_host_stream_read_stats(stream, &stats);
  return stats;
}

}  // namespace orv::host::testing
#endif

#endif /* ORV_HOST_VELK_HOST_TESTING_H */
