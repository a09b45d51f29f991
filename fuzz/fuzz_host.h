// A host for the stream fuzz targets: an allocator that hands out exactly the
// bytes asked for (so that AddressSanitizer's redzones sit right at both
// ends of the stream's block) and a read callback over an in-memory file
// whose read sizes follow a fuzz-chosen schedule. Every promise the plug-in
// makes to its host is checked here, and a broken one aborts, which the
// fuzzing engine reports as a finding.
#ifndef ORV_FUZZ_FUZZ_HOST_H
#define ORV_FUZZ_FUZZ_HOST_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "orv/vlkdec.h"

namespace orv::fuzz {

[[noreturn]] inline void fail(const char* what) {
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}

inline void check(bool condition, const char* what) {
  if (!condition) fail(what);
}

// Read sizes coded as one byte each: 0 delivers all that was asked, 1-127
// at most that many bytes, 128-255 at most (b - 127) * 97 bytes.
inline uint32_t read_limit_from_byte(uint8_t b) {
  return b < 128 ? b : (uint32_t{b} - 127) * 97;
}

class FuzzHost {
 public:
  // Larger allocations are refused.
  static constexpr uint64_t max_block_bytes = uint64_t{32} << 20;

  enum class Source {
    file,     // the file's bytes from `position` on
    zeros,    // the host always delivers 0 bytes
    garbage,  // pseudo-random bytes, up to garbage_budget in all, then 0
  };

  FuzzHost(const uint8_t* file, size_t size) : file_(file), size_(size) {}
  FuzzHost(const FuzzHost&) = delete;
  FuzzHost& operator=(const FuzzHost&) = delete;
  ~FuzzHost() {
    // A stream left open by a target is a target bug, not a finding.
    std::free(block_);
  }

  uint64_t handle() { return reinterpret_cast<uintptr_t>(this); }

  ORV_Stream* open(ORV_Stream* (*open_fn)(ORV_AllocateCallback,
                                          ORV_FreeCallback, uint64_t,
                                          ORV_ReadCallback)) {
    return open_fn(&FuzzHost::allocate, &FuzzHost::release, handle(),
                   &FuzzHost::read);
  }

  // The read-size schedule, cycled; empty = every read in full.
  void set_schedule(const uint8_t* bytes, size_t count) {
    schedule_ = bytes;
    schedule_size_ = count;
  }
  void set_source(Source source) { source_ = source; }
  void set_garbage_budget(uint64_t bytes) { garbage_budget_ = bytes; }
  // The host moves its own input, as it does for a seek.
  void move_to(size_t position) { position_ = position; }

  size_t position() const { return position_; }
  uint64_t delivered() const { return delivered_; }
  int allocations() const { return allocations_; }
  int frees() const { return frees_; }
  int refusals() const { return refusals_; }
  bool block_live() const { return block_ != nullptr; }

  static void* allocate(uint64_t bytes, uint64_t host_stream,
                        const char* source_file, uint32_t line) {
    FuzzHost& host = of(host_stream);
    check(source_file != nullptr && line != 0, "allocation without call site");
    check(bytes != 0 && bytes % 64 == 0, "allocation not a multiple of 64");
    check(bytes <= (uint64_t{1} << 32), "allocation beyond 4 GiB");
    check(host.allocations_ == 0, "more than one allocation per stream");
    ++host.allocations_;
    // A host with a memory limit: headers can ask for up to 4 GiB.
    if (bytes > max_block_bytes) {
      ++host.refusals_;
      return nullptr;
    }
    // Exactly `bytes`, 16-byte aligned: what the plug-in may rely on and
    // no more. Filled with a pattern, not zeros.
    void* block = std::aligned_alloc(16, bytes);
    if (block == nullptr) return nullptr;
    std::memset(block, 0xA5, bytes);
    host.block_ = block;
    return block;
  }

  static void release(void* block, uint64_t host_stream,
                      const char* source_file, uint32_t line) {
    FuzzHost& host = of(host_stream);
    check(source_file != nullptr && line != 0, "free without call site");
    check(block != nullptr && block == host.block_,
          "free of a block not allocated or already freed");
    ++host.frees_;
    std::free(block);
    host.block_ = nullptr;
  }

  static int32_t read(uint64_t host_stream, void* destination, uint32_t bytes,
                      int32_t offset) {
    FuzzHost& host = of(host_stream);
    const uint64_t call = host.read_calls_++;
    check(call != 0 || offset == 0, "first read not at offset 0");
    check(call == 0 || offset == -1, "later read not at offset -1");
    check(host.block_ != nullptr || call == 0,
          "read after the stream's block was freed");
    if (offset == 0) host.position_ = 0;

    uint32_t n = bytes;
    if (host.schedule_size_ != 0) {
      const uint32_t limit = read_limit_from_byte(
          host.schedule_[host.schedule_index_++ % host.schedule_size_]);
      if (limit != 0 && limit < n) n = limit;
    }
    switch (host.source_) {
      case Source::file: {
        const size_t left =
            host.position_ < host.size_ ? host.size_ - host.position_ : 0;
        if (n > left) n = static_cast<uint32_t>(left);
        if (n != 0) {
          std::memcpy(destination, host.file_ + host.position_, n);
        }
        break;
      }
      case Source::zeros:
        n = 0;
        break;
      case Source::garbage: {
        if (n > host.garbage_budget_) {
          n = static_cast<uint32_t>(host.garbage_budget_);
        }
        host.garbage_budget_ -= n;
        auto* out = static_cast<uint8_t*>(destination);
        for (uint32_t i = 0; i < n; ++i) {
          host.lcg_ = host.lcg_ * 6364136223846793005u + 1442695040888963407u;
          out[i] = static_cast<uint8_t>(host.lcg_ >> 56);
        }
        break;
      }
    }
    // Touch the whole destination the plug-in offered, so that a buffer
    // smaller than the count it asked for is caught even on short reads.
    if (bytes != 0) {
      auto* end = static_cast<volatile uint8_t*>(destination) + bytes - 1;
      *end = *end;
    }
    host.position_ += n;
    host.delivered_ += n;
    return static_cast<int32_t>(n);
  }

 private:
  static FuzzHost& of(uint64_t host_stream) {
    return *reinterpret_cast<FuzzHost*>(static_cast<uintptr_t>(host_stream));
  }

  const uint8_t* file_;
  size_t size_;
  size_t position_ = 0;
  const uint8_t* schedule_ = nullptr;
  size_t schedule_size_ = 0;
  size_t schedule_index_ = 0;
  Source source_ = Source::file;
  uint64_t garbage_budget_ = 0;
  uint64_t lcg_ = 0x9E3779B97F4A7C15u;
  uint64_t read_calls_ = 0;
  uint64_t delivered_ = 0;
  void* block_ = nullptr;
  int allocations_ = 0;
  int frees_ = 0;
  int refusals_ = 0;
};

}  // namespace orv::fuzz

#endif
