// What the plug-in promises whatever the file and the host do: one
// allocation per stream, freed exactly once; output that does not depend
// on what the allocated memory held; processing calls that always return.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "encoder/velk_encoder.h"
#include "plugin_api.h"
#include "stream_files.h"
#include "support/fake_host.h"
#include "support/test_data.h"

namespace orv::test {
namespace {

std::vector<uint8_t> vector_file(const std::string& name) {
  return read_file(data_path("vectors/files/" + name + ".VELKA"));
}

// Runs `work` on its own thread and fails if it has not finished within
// `limit`. A stuck call cannot be stopped, so the test program is ended.
void finishes_within(std::chrono::seconds limit, const char* what,
                     const std::function<void()>& work) {
  std::packaged_task<void()> task(work);
  std::future<void> done = task.get_future();
  std::thread worker(std::move(task));
  if (done.wait_for(limit) != std::future_status::ready) {
    std::fprintf(stderr, "%s did not finish within %lld s\n", what,
                 static_cast<long long>(limit.count()));
    std::fflush(stderr);
    std::abort();
  }
  worker.join();
}

// A host whose reads are served by a function and whose allocations are
// filled with a chosen pattern.
struct ScriptedHost {
  std::function<uint32_t(uint8_t*, uint32_t)> serve;
  std::function<uint8_t(size_t)> fill = [](size_t) { return uint8_t{0}; };
  int allocations = 0;
  int frees = 0;
  void* block = nullptr;
  uint64_t delivered = 0;

  static ScriptedHost& of(uint64_t handle) {
    return *reinterpret_cast<ScriptedHost*>(static_cast<uintptr_t>(handle));
  }
  static void* allocate(uint64_t bytes, uint64_t handle, const char*,
                        uint32_t) {
    ScriptedHost& host = of(handle);
    ++host.allocations;
    auto* block = static_cast<uint8_t*>(std::aligned_alloc(16, bytes));
    for (size_t i = 0; i < bytes; ++i) block[i] = host.fill(i);
    host.block = block;
    return block;
  }
  static void release(void* block, uint64_t handle, const char*, uint32_t) {
    ScriptedHost& host = of(handle);
    ++host.frees;
    EXPECT_EQ(block, host.block);
    std::free(block);
    host.block = nullptr;
  }
  static int32_t read(uint64_t handle, void* destination, uint32_t bytes,
                      int32_t) {
    ScriptedHost& host = of(handle);
    const uint32_t n = host.serve(static_cast<uint8_t*>(destination), bytes);
    host.delivered += n;
    return static_cast<int32_t>(n);
  }
  ORV_Stream* open() {
    return ORV_stream_open(&allocate, &release,
                           reinterpret_cast<uintptr_t>(this), &read);
  }
};

// Serves `file`, then whatever `after` delivers.
std::function<uint32_t(uint8_t*, uint32_t)> file_then(
    std::vector<uint8_t> file,
    std::function<uint32_t(uint8_t*, uint32_t)> after) {
  auto position = std::make_shared<size_t>(0);
  return [file = std::move(file), after = std::move(after), position](
             uint8_t* destination, uint32_t bytes) -> uint32_t {
    if (*position < file.size()) {
      const size_t n = std::min<size_t>(bytes, file.size() - *position);
      std::memcpy(destination, file.data() + *position, n);
      *position += n;
      return static_cast<uint32_t>(n);
    }
    return after(destination, bytes);
  };
}

// Endless pseudo-random bytes, in reads of at most `chunk` bytes; with
// `sync_heavy` every fourth byte is 0x99, so that sync words and candidate
// blocks turn up all the time.
std::function<uint32_t(uint8_t*, uint32_t)> endless_garbage(uint32_t chunk,
                                                            bool sync_heavy) {
  auto state = std::make_shared<uint64_t>(0x2545F4914F6CDD1Du);
  return [state, chunk, sync_heavy](uint8_t* destination, uint32_t bytes) {
    const uint32_t n = bytes < chunk ? bytes : chunk;
    for (uint32_t i = 0; i < n; ++i) {
      *state = *state * 6364136223846793005u + 1442695040888963407u;
      destination[i] = sync_heavy && (*state >> 60) < 4
                           ? 0x99
                           : static_cast<uint8_t>(*state >> 56);
    }
    return n;
  };
}

// The header and seek table of `file`: what open reads.
std::vector<uint8_t> head_of(const std::vector<uint8_t>& file) {
  const auto offsets = block_offsets(file);
  return {file.begin(), file.begin() + static_cast<long>(offsets.front())};
}

TEST(Hardening, EveryOpenAllocatesOnceAndEveryCloseFreesIt) {
  for (const char* name : known_answer_names) {
    FakeHost host(vector_file(name));
    ORV_Stream* stream = host.open();
    ASSERT_NE(stream, nullptr) << name;
    EXPECT_EQ(host.allocations.size(), 1u) << name;
    drain(stream, host, {5000, 1, 65536});
    EXPECT_EQ(host.allocations.size(), 1u) << name;
    EXPECT_TRUE(host.frees.empty()) << name;
    ORV_stream_close(stream);
    EXPECT_EQ(host.frees.size(), 1u) << name;
    EXPECT_FALSE(host.block_live()) << name;
    EXPECT_TRUE(host.faults.empty()) << name;
  }
  // Opens that fail: a bad header allocates nothing, a short seek table
  // frees what it allocated, a refused allocation has nothing to free.
  std::vector<uint8_t> file = vector_file("ch2-48000");
  FakeHost bad_magic(file);
  bad_magic.file[0] ^= 1;
  EXPECT_EQ(bad_magic.open(), nullptr);
  EXPECT_TRUE(bad_magic.allocations.empty());
  FakeHost short_table(
      std::vector<uint8_t>(file.begin(), file.begin() + 24 + 3));
  EXPECT_EQ(short_table.open(), nullptr);
  EXPECT_EQ(short_table.allocations.size(), 1u);
  EXPECT_EQ(short_table.frees.size(), 1u);
  FakeHost refusing(file);
  refusing.refuse_allocation = true;
  EXPECT_EQ(refusing.open(), nullptr);
  EXPECT_EQ(refusing.allocations.size(), 1u);
  EXPECT_TRUE(refusing.frees.empty());
  ORV_startup();
}

// Decodes `file` in full with the allocation filled by `fill`.
std::vector<uint8_t> decode_with_fill(const std::vector<uint8_t>& file,
                                      std::function<uint8_t(size_t)> fill) {
  ScriptedHost host;
  host.serve = file_then(file, [](uint8_t*, uint32_t) { return 0u; });
  host.fill = std::move(fill);
  ORV_Stream* stream = host.open();
  EXPECT_NE(stream, nullptr);
  if (stream == nullptr) return {};
  std::vector<uint8_t> output;
  std::vector<uint8_t> chunk(6000);
  for (int idle = 0; idle < 8;) {
    const uint32_t got = ORV_stream_process(
        stream, chunk.data(), static_cast<uint32_t>(chunk.size()));
    output.insert(output.end(), chunk.begin(), chunk.begin() + got);
    idle = got == 0 ? idle + 1 : 0;
  }
  ORV_stream_close(stream);
  EXPECT_EQ(host.frees, 1);
  return output;
}

// A six-channel file whose first block holds only the first pair's first
// word: the other pairs' sub-blocks start at the payload end, so they
// write nothing, and their decoders start on an unwritten tail.
std::vector<uint8_t> file_with_empty_sub_blocks() {
  const uint32_t channels = 6;
  const uint32_t rate = 16000;
  const auto pcm = test_music(channels, rate, 480 * 6);
  const auto file =
      encoder::encode_to_memory(pcm.data(), 480 * 6, channels, rate, {});
  const auto offsets = block_offsets(file);
  std::vector<uint8_t> cut(file.begin(),
                           file.begin() + static_cast<long>(offsets[0]));
  append(cut, frame(4));
  std::copy(file.begin() + static_cast<long>(offsets[0]) + 4,
            file.begin() + static_cast<long>(offsets[0]) + 8, cut.end() - 4);
  cut.insert(cut.end(), file.begin() + static_cast<long>(offsets[1]),
             file.end());
  return cut;
}

TEST(Hardening, OutputDoesNotDependOnWhatTheAllocationHeld) {
  std::vector<std::pair<std::string, std::vector<uint8_t>>> files;
  for (const char* name : known_answer_names)
    files.emplace_back(name, vector_file(name));
  files.emplace_back("empty sub-blocks", file_with_empty_sub_blocks());
  for (const auto& [name, file] : files) {
    const auto zeros = decode_with_fill(file, [](size_t) { return 0; });
    EXPECT_FALSE(zeros.empty()) << name;
    // All ones: every float read from it is a NaN, every count huge.
    const auto ones = decode_with_fill(file, [](size_t) { return 0xFF; });
    uint64_t state = 99;
    const auto garbage = decode_with_fill(file, [&state](size_t) {
      state = state * 6364136223846793005u + 1442695040888963407u;
      return static_cast<uint8_t>(state >> 56);
    });
    EXPECT_TRUE(ones == zeros) << name;
    EXPECT_TRUE(garbage == zeros) << name;
  }
}

// Calls process `calls` times on a stream over `serve`, each call under the
// watchdog, and returns the bytes delivered.
uint64_t run_hostile(const char* what,
                     std::function<uint32_t(uint8_t*, uint32_t)> serve,
                     int calls, uint32_t request) {
  ScriptedHost host;
  host.serve = std::move(serve);
  ORV_Stream* stream = host.open();
  EXPECT_NE(stream, nullptr) << what;
  if (stream == nullptr) return 0;
  uint64_t delivered = 0;
  std::vector<uint8_t> chunk(request);
  for (int i = 0; i < calls; ++i) {
    finishes_within(std::chrono::seconds(30), what, [&] {
      delivered += ORV_stream_process(stream, chunk.data(), request);
    });
  }
  ORV_stream_close(stream);
  EXPECT_EQ(host.allocations, 1) << what;
  EXPECT_EQ(host.frees, 1) << what;
  return delivered;
}

TEST(Hardening, EveryProcessingCallReturnsOnEndlessGarbage) {
  const auto head = head_of(vector_file("ch2-48000"));
  for (const bool sync_heavy : {false, true}) {
    for (const uint32_t chunk : {1u << 20, 1u, 4093u}) {
      const std::string what = "endless garbage in reads of " +
                               std::to_string(chunk) +
                               (sync_heavy ? ", full of sync bytes" : "");
      run_hostile(what.c_str(),
                  file_then(head, endless_garbage(chunk, sync_heavy)), 3,
                  65536);
    }
  }
}

TEST(Hardening, EveryProcessingCallReturnsWhenTheHostDeliversNothing) {
  const auto head = head_of(vector_file("ch6-16000"));
  EXPECT_EQ(run_hostile("a host that delivers nothing",
                        file_then(head, [](uint8_t*, uint32_t) { return 0u; }),
                        50, 4096),
            0u);
  // The same after seeks, which read forward to a seek-table boundary.
  ScriptedHost host;
  host.serve = file_then(head, [](uint8_t*, uint32_t) { return 0u; });
  ORV_Stream* stream = host.open();
  ASSERT_NE(stream, nullptr);
  std::vector<uint8_t> chunk(4096);
  for (const int32_t position : {-1, 0, 100000, -2, 7, -1}) {
    ORV_stream_seek(stream, position);
    finishes_within(std::chrono::seconds(30), "a seek on an empty input", [&] {
      EXPECT_EQ(ORV_stream_process(stream, chunk.data(), 4096), 0u);
    });
  }
  ORV_stream_close(stream);
  EXPECT_EQ(host.frees, 1);
}

TEST(Hardening, OneByteAtATimeDecodesAsAWholeRead) {
  for (const char* name :
       {"ch1-32000", "ch6-16000", "damage-garbage-between"}) {
    const auto file = vector_file(name);
    const auto whole =
        decode_with_fill(file, [](size_t) { return uint8_t{0}; });
    EXPECT_FALSE(whole.empty()) << name;
    FakeHost host(file);
    host.max_read = 1;
    host.full_reads = open_reads(file);
    std::vector<uint8_t> trickled;
    finishes_within(std::chrono::seconds(120), name,
                    [&] { trickled = decode_all(host, {65536}); });
    EXPECT_TRUE(trickled == whole) << name;
  }
}

// A seek into the last stretch discards up to the header's file size. With
// a file size near 4 GiB and the smallest input buffer (8 bytes), reading
// on after the host has said that nothing more comes took 537 million
// reads in one processing call.
TEST(Hardening, ASeekToAFalseFileSizeEndsWithTheInput) {
  HeaderFields h;
  h.channels = 1;
  h.max_block_size = 0;  // input buffer of 8 bytes
  h.file_size = 0xFFFFFF00u;
  h.seek_word = 2 | 1u << 16;
  auto file = header_bytes(h);
  put_u16(file, 10);
  put_u16(file, 10);
  ScriptedHost host;
  uint64_t reads = 0;
  host.serve = file_then(file, [&reads](uint8_t*, uint32_t) {
    ++reads;
    return 0u;
  });
  ORV_Stream* stream = host.open();
  ASSERT_NE(stream, nullptr);
  ORV_stream_seek(stream, 24 + 4 + 15);  // in the last stretch
  ORV_stream_seek(stream, -1);           // realign from there
  std::vector<uint8_t> chunk(4096);
  finishes_within(std::chrono::seconds(30), "a discard to a false file size",
                  [&] { ORV_stream_process(stream, chunk.data(), 4096); });
  EXPECT_LT(reads, 10u);
  uint32_t position = 0;
  ASSERT_EQ(ORV_stream_property(stream, ORV_TOKEN_POSITION, &position, nullptr,
                                nullptr),
            1);
  EXPECT_EQ(position, h.file_size);
  ORV_stream_close(stream);
}

}  // namespace
}  // namespace orv::test
