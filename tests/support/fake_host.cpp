#include "fake_host.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "plugin_api.h"
#include "support/aligned_memory.h"

namespace orv::test {
namespace {

constexpr uint8_t guard_byte = 0xA7;
constexpr uint32_t guard_bytes = 64;

FakeHost& host_of(uint64_t host_stream) {
  return *reinterpret_cast<FakeHost*>(static_cast<uintptr_t>(host_stream));
}

}  // namespace

FakeHost::~FakeHost() { free_storage(); }

void FakeHost::free_storage() {
  aligned_release(storage_);
  storage_ = nullptr;
  block_ = nullptr;
}

ORV_Stream* FakeHost::open() {
  return ORV_stream_open(&FakeHost::allocate, &FakeHost::release, handle(),
                         &FakeHost::read);
}

void* FakeHost::allocate(uint64_t bytes, uint64_t host_stream,
                         const char* source_file, uint32_t line) {
  FakeHost& host = host_of(host_stream);
  host.allocations.push_back({source_file ? source_file : "", line});
  if (bytes % 64 != 0) host.faults.push_back("allocation not a multiple of 64");
  if (host.block_ != nullptr) host.faults.push_back("second allocation");
  if (host.refuse_allocation || host.block_ != nullptr) return nullptr;
  // The block sits `alignment_offset` bytes past a 64-byte boundary and is
  // followed by guard bytes, checked when it is freed.
  const uint64_t total =
      (host.alignment_offset + bytes + guard_bytes + 63) & ~uint64_t{63};
  host.storage_ = static_cast<uint8_t*>(aligned_allocate(64, total));
  host.block_ = host.storage_ + host.alignment_offset;
  host.block_bytes_ = bytes;
  host.allocated_bytes = bytes;
  std::memset(host.block_, 0xCD, bytes);  // stale contents, not zeros
  std::memset(host.block_ + bytes, guard_byte, guard_bytes);
  return host.block_;
}

void FakeHost::release(void* block, uint64_t host_stream,
                       const char* source_file, uint32_t line) {
  FakeHost& host = host_of(host_stream);
  host.frees.push_back({source_file ? source_file : "", line});
  if (block == nullptr || block != host.block_) {
    host.faults.push_back("free of a block not allocated or already freed");
    return;
  }
  for (uint32_t i = 0; i < guard_bytes; ++i) {
    if (host.block_[host.block_bytes_ + i] != guard_byte) {
      host.faults.push_back("guard after the block overwritten");
      break;
    }
  }
  host.free_storage();
}

int32_t FakeHost::read(uint64_t host_stream, void* destination, uint32_t bytes,
                       int32_t offset) {
  FakeHost& host = host_of(host_stream);
  const size_t call = host.read_calls_++;
  if (call == 0 && offset != 0) host.faults.push_back("first read not at 0");
  if (call != 0 && offset != -1) host.faults.push_back("later read not at -1");
  if (offset == 0) host.position = 0;
  uint32_t position = 0;
  if (host.follow != nullptr &&
      ORV_stream_property(host.follow, ORV_TOKEN_POSITION, &position, nullptr,
                          nullptr) == 1) {
    host.position = position;
  }
  uint32_t limit = host.max_read;
  if (call < host.full_reads) {
    limit = 0;
  } else if (!host.read_pattern.empty()) {
    limit = host.read_pattern[call % host.read_pattern.size()];
  }
  const size_t left =
      host.position < host.file.size() ? host.file.size() - host.position : 0;
  size_t n = std::min<size_t>(bytes, left);
  if (limit != 0) n = std::min<size_t>(n, limit);
  if (n != 0) {
    std::memcpy(destination, host.file.data() + host.position, n);
    host.position += n;
  }
  int32_t result = static_cast<int32_t>(n);
  if (host.result_override) {
    result = host.result_override(bytes, static_cast<uint32_t>(n));
  }
  host.reads.push_back({bytes, offset, result});
  return result;
}

size_t open_reads(const std::vector<uint8_t>& file) {
  if (file.size() < 24) return 1;
  const uint32_t word = uint32_t{file[20]} | uint32_t{file[21]} << 8 |
                        uint32_t{file[22]} << 16 | uint32_t{file[23]} << 24;
  const uint32_t entries = file[4] == 2 ? (word & 0xFFFF) : word;
  return 1 + (size_t{entries} + 127) / 128;
}

std::vector<uint8_t> drain(ORV_Stream* stream, FakeHost& host,
                           const std::vector<uint32_t>& request_sizes) {
  std::vector<uint8_t> output;
  std::vector<uint8_t> chunk;
  size_t request = 0;
  int idle_calls = 0;
  for (size_t calls = 0; idle_calls < 64 && calls < 10'000'000; ++calls) {
    const size_t position_before = host.position;
    const uint32_t asked = request_sizes[request++ % request_sizes.size()];
    chunk.assign(asked, 0);
    const uint32_t got = ORV_stream_process(stream, chunk.data(), asked);
    EXPECT_LE(got, asked);
    output.insert(output.end(), chunk.begin(),
                  chunk.begin() + std::min(got, asked));
    idle_calls =
        (got == 0 && host.position == position_before) ? idle_calls + 1 : 0;
  }
  return output;
}

std::vector<uint8_t> decode_all(FakeHost& host,
                                const std::vector<uint32_t>& request_sizes) {
  ORV_Stream* stream = host.open();
  EXPECT_NE(stream, nullptr);
  if (stream == nullptr) return {};
  auto output = drain(stream, host, request_sizes);
  EXPECT_EQ(ORV_stream_close(stream), 0);
  EXPECT_FALSE(host.block_live());
  EXPECT_TRUE(host.faults.empty()) << host.faults.front();
  return output;
}

}  // namespace orv::test
