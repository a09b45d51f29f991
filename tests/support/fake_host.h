// A host test double for the stream interface: an allocator that checks
// what the plug-in relies on and what it promises, and a read callback over
// an in-memory file with configurable short reads.
#ifndef ORV_TESTS_SUPPORT_FAKE_HOST_H
#define ORV_TESTS_SUPPORT_FAKE_HOST_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "orv/vlkdec.h"

namespace orv::test {

class FakeHost {
 public:
  struct Read {
    uint32_t asked;
    int32_t offset;
    int32_t result;
  };
  struct Call {
    std::string source_file;
    uint32_t line;
  };

  FakeHost() = default;
  explicit FakeHost(std::vector<uint8_t> contents)
      : file(std::move(contents)) {}
  ~FakeHost();
  FakeHost(const FakeHost&) = delete;
  FakeHost& operator=(const FakeHost&) = delete;

  // The file the read callback serves, and the offset of its next byte.
  std::vector<uint8_t> file;
  size_t position = 0;

  // Reads deliver at most this many bytes (0: no limit)...
  uint32_t max_read = 0;
  // ...or, when not empty, the sizes in turn (cycled), 0 meaning no limit.
  std::vector<uint32_t> read_pattern;
  // The first reads served in full whatever the limits above: open fails
  // on short header and seek-table reads. See open_reads().
  size_t full_reads = 0;
  // When set, replaces the result of each read after the bytes are copied;
  // for host faults such as negative counts or counts above the request.
  std::function<int32_t(uint32_t asked, uint32_t delivered)> result_override;
  // When set, every read first moves the file to this stream's "Position":
  // a host that follows the plug-in's idea of where its input stands, as a
  // "Stream seek position" request relies on.
  ORV_Stream* follow = nullptr;

  // Allocation behaviour.
  bool refuse_allocation = false;
  // Offset of the returned block from a 64-byte boundary: 16 gives memory
  // that is 16-byte but not 32- or 64-byte aligned.
  uint32_t alignment_offset = 16;

  // What happened.
  std::vector<Read> reads;
  std::vector<Call> allocations;
  std::vector<Call> frees;
  uint64_t allocated_bytes = 0;
  // Set when a check fails: wrong offset, a second free, an unknown block,
  // a size that is not a multiple of 64, a guard overwritten.
  std::vector<std::string> faults;

  uint64_t handle() { return reinterpret_cast<uintptr_t>(this); }
  // Opens a stream through the plug-in's entry with this host's callbacks.
  ORV_Stream* open();
  // True while an allocation has not been freed.
  bool block_live() const { return block_ != nullptr; }
  void* block() const { return block_; }

  static void* allocate(uint64_t bytes, uint64_t host_stream,
                        const char* source_file, uint32_t line);
  static void release(void* block, uint64_t host_stream,
                      const char* source_file, uint32_t line);
  static int32_t read(uint64_t host_stream, void* destination, uint32_t bytes,
                      int32_t offset);

 private:
  void free_storage();
  uint8_t* storage_ = nullptr;
  uint8_t* block_ = nullptr;
  uint64_t block_bytes_ = 0;
  size_t read_calls_ = 0;
};

// The reads open makes for `file`: the header and the seek-table chunks.
size_t open_reads(const std::vector<uint8_t>& file);

// Decodes a whole stream with requests cycling through `request_sizes` until
// several calls in a row deliver nothing and read nothing more (a call may
// deliver nothing before the end, after lost sync or at a loop end). Fails
// the current test on host faults.
std::vector<uint8_t> decode_all(FakeHost& host,
                                const std::vector<uint32_t>& request_sizes);
// The same on a stream already open (and left open).
std::vector<uint8_t> drain(ORV_Stream* stream, FakeHost& host,
                           const std::vector<uint32_t>& request_sizes);

}  // namespace orv::test

#endif
