// Fuzz target: any sequence of host calls on a stream over a damaged file.
//
// Input layout:
//   byte 0       which seed file (modulo the number of seed files; the set is
//                fuzz/seeds/, built into the target)
//   byte 1       bits 0-3 = M, the number of edits; bits 4-7 = truncation
//                (0: none, t: keep t/16 of the file)
//   M x 3 bytes  edits: u16 little-endian offset (modulo the file size),
//                then a byte XORed into the file there
//   then operations, up to max_operations, each an opcode byte and its
//   arguments (an operation cut short by the end of the input is dropped):
//     0 process   u16 v: request v bytes, or (v - 0xF000) * 256 bytes when
//                 v >= 0xF000 (at most about 1 MiB)
//     1 seek      i32 position, 1 byte: bit 0 set and position >= 0: the host
//                 first moves its input to that position, as a real host does
//     2 property  1 byte token (see token_from_byte), 1 byte: bits 0-2 say
//                 which of value, new_value, result are non-null, then two
//                 u32 input words
//     3 exact     u32 milliseconds: "Exact seek"; when answered, the host
//                 moves its input to the position and posts it with
//                 ORV_stream_seek (a sample-exact seek as hosts make it)
//     4 input     1 byte: how the host reads from now on: bits 0-1 = source
//                 (0, 3: the file; 1: always 0 bytes; 2: pseudo-random
//                 garbage, at most 64 KiB, then 0 bytes); bits 2-7 = at most
//                 that many bytes per read, 0 = all that was asked
//     5 loop      two i32 words: "Set Looping Samples"; then, when answered
//                 with a start position, the host jumps there and arms the
//                 loop start with ORV_stream_seek(-2), as on a loop
//     other opcodes are taken modulo 6.
//
// Every call must return within the bounds below; property calls that
// return 0 must leave their answer slots untouched. Work is bounded by the
// number of operations and by max_total_output bytes of requests.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_host.h"
#include "fuzz_seed_files.h"
#include "fuzz_target.h"
#include "plugin_api.h"

namespace {

using orv::fuzz::check;
using orv::fuzz::FuzzHost;

constexpr int max_operations = 200;
constexpr size_t max_total_output = size_t{16} << 20;
constexpr uint32_t sentinel = 0xC3C3C3C3u;

class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool has(size_t n) const { return size_ - at_ >= n; }
  uint8_t u8() { return data_[at_++]; }
  uint16_t u16() {
    const uint16_t v = static_cast<uint16_t>(data_[at_] | data_[at_ + 1] << 8);
    at_ += 2;
    return v;
  }
  uint32_t u32() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= uint32_t{data_[at_ + i]} << (8 * i);
    at_ += 4;
    return v;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

// Mostly the registered tokens and their neighbours; a few above 32 bits,
// which must not alias a registered token.
uint64_t token_from_byte(uint8_t b) {
  if (b < 240) return b % 24;
  return (uint64_t{1} << 32) + (b - 240) % 24;
}

struct Session {
  FuzzHost& host;
  ORV_Stream* stream;
  std::vector<uint8_t> buffer;
  size_t total_output = 0;

  void process(uint32_t bytes) {
    if (total_output >= max_total_output) bytes = bytes < 4096 ? bytes : 4096;
    total_output += bytes;
    buffer.resize(bytes);  // exactly the request: writes past it are caught
    const uint32_t got = ORV_stream_process(stream, buffer.data(), bytes);
    check(got <= bytes, "process wrote more than asked");
  }

  int32_t property(uint64_t token, uint8_t pointers, uint32_t word0,
                   uint32_t word1, uint32_t* result_out = nullptr) {
    uint32_t value[2] = {sentinel, sentinel};
    const uint32_t new_value[2] = {word0, word1};
    uint32_t result[2] = {sentinel, sentinel};
    const int32_t handled = ORV_stream_property(
        stream, token, (pointers & 1) != 0 ? value : nullptr,
        (pointers & 2) != 0 ? new_value : nullptr,
        (pointers & 4) != 0 ? result : nullptr);
    check(handled == 0 || handled == 1, "property returned neither 0 nor 1");
    check(value[1] == sentinel, "a query wrote more than one word");
    if (handled == 0) {
      check(value[0] == sentinel && result[0] == sentinel &&
                result[1] == sentinel,
            "a refused property wrote an answer");
    }
    if (result_out != nullptr) {
      result_out[0] = result[0];
      result_out[1] = result[1];
    }
    return handled;
  }

  void seek(int32_t position) {
    check(ORV_stream_seek(stream, position) == 0, "seek did not return 0");
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2 || orv::fuzz::seed_file_count == 0) return 0;
  Reader in(data, size);
  const auto& seed =
      orv::fuzz::seed_files[in.u8() % orv::fuzz::seed_file_count];
  std::vector<uint8_t> file(seed.data, seed.data + seed.size);
  const uint8_t edit_byte = in.u8();
  for (unsigned i = 0; i < (edit_byte & 0x0Fu) && in.has(3); ++i) {
    const uint16_t offset = in.u16();
    const uint8_t mask = in.u8();
    if (!file.empty()) file[offset % file.size()] ^= mask;
  }
  if ((edit_byte >> 4) != 0) file.resize(file.size() * (edit_byte >> 4) / 16);

  FuzzHost host(file.data(), file.size());
  ORV_Stream* stream = host.open(&ORV_stream_open);
  if (stream == nullptr) {
    check(host.allocations() == host.frees() + host.refusals(),
          "failed open kept its block");
    return 0;
  }
  Session session{host, stream, {}};
  uint8_t read_schedule = 0;

  for (int op = 0; op < max_operations && in.has(1); ++op) {
    switch (in.u8() % 6) {
      case 0: {
        if (!in.has(2)) break;
        const uint16_t v = in.u16();
        session.process(v < 0xF000 ? v : (uint32_t{v} - 0xF000) << 8);
        break;
      }
      case 1: {
        if (!in.has(5)) break;
        const auto position = static_cast<int32_t>(in.u32());
        const uint8_t action = in.u8();
        if ((action & 1) != 0 && position >= 0) {
          host.move_to(static_cast<uint32_t>(position));
        }
        session.seek(position);
        break;
      }
      case 2: {
        if (!in.has(10)) break;
        const uint64_t token = token_from_byte(in.u8());
        const uint8_t pointers = in.u8();
        const uint32_t word0 = in.u32();
        const uint32_t word1 = in.u32();
        session.property(token, pointers, word0, word1);
        break;
      }
      case 3: {
        if (!in.has(4)) break;
        uint32_t answer[2];
        if (session.property(ORV_TOKEN_EXACT_SEEK, 6, in.u32(), 0, answer) ==
            1) {
          host.move_to(answer[0]);
          session.seek(static_cast<int32_t>(answer[0]));
        }
        break;
      }
      case 4: {
        if (!in.has(1)) break;
        const uint8_t mode = in.u8();
        switch (mode & 3) {
          case 0:
          case 3:
            host.set_source(FuzzHost::Source::file);
            break;
          case 1:
            host.set_source(FuzzHost::Source::zeros);
            break;
          case 2:
            host.set_source(FuzzHost::Source::garbage);
            host.set_garbage_budget(65536);
            break;
        }
        // One byte of schedule: the same limit for every read from now on.
        read_schedule = static_cast<uint8_t>(mode >> 2);
        host.set_schedule(&read_schedule, read_schedule != 0 ? 1 : 0);
        break;
      }
      case 5: {
        if (!in.has(8)) break;
        const uint32_t start = in.u32();
        const uint32_t end = in.u32();
        uint32_t answer[2];
        if (session.property(ORV_TOKEN_SET_LOOPING_SAMPLES, 6, start, end,
                             answer) == 1 &&
            static_cast<int32_t>(answer[0]) >= 0) {
          host.move_to(answer[0]);
          session.seek(static_cast<int32_t>(answer[0]));
          session.seek(-2);
        }
        break;
      }
    }
  }
  // Whatever happened, the stream still answers and closes.
  session.process(65536);
  for (uint64_t token = 3; token <= 13; ++token) {
    uint32_t value = 0;
    check(ORV_stream_property(stream, token, &value, nullptr, nullptr) == 1,
          "a query token went unanswered");
  }
  check(ORV_stream_close(stream) == 0, "close did not return 0");
  check(host.allocations() == 1 && host.frees() == 1,
        "the stream's block was not freed exactly once");
  return 0;
}
