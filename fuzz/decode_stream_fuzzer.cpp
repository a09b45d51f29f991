// Fuzz target: open a stream on the input as a file and decode it to the end.
//
// Input layout:
//   byte 0       control: bits 0-3 = L, the length of the read schedule;
//                bit 4 = the schedule applies to open's reads too (otherwise
//                the header and seek table come in full and only later
//                reads are cut); bits 5-7 = the pattern of process requests
//                (see request_size below)
//   bytes 1..L   read schedule, one byte per read, cycled
//                (read_limit_from_byte: 0 = in full, else at most a few
//                bytes up to about 12 KiB)
//   the rest     the file
// An input shorter than one byte is ignored.
//
// The file is decoded with the read schedule and the requests the control
// byte picks, then with the same schedule and large requests: the host may
// ask for any amount, so both must give the same bytes. (Read sizes are
// not compared: in damaged stretches the search for block sync settles on
// the first block it can confirm, which depends on how much is buffered;
// fuzz/findings/decode_stream-read-size-resync shows a case.)
//
// Work is bounded: at most max_calls process calls and max_output bytes of
// PCM per decode. A decode ends at a fixed point: a call that delivers
// nothing, reads nothing and leaves the stream's fields as they were; the
// next call would do exactly the same.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_host.h"
#include "fuzz_target.h"
#include "plugin_api.h"
#include "stream.h"

namespace {

using orv::fuzz::check;
using orv::fuzz::FuzzHost;

constexpr uint32_t max_calls = 20000;
constexpr size_t max_output = size_t{8} << 20;
constexpr uint32_t large_request = 1u << 20;

struct Input {
  const uint8_t* schedule;
  size_t schedule_size;
  bool short_open_reads;
  unsigned request_pattern;
  const uint8_t* file;
  size_t file_size;
};

uint32_t request_size(const Input& in, unsigned pattern, uint32_t call) {
  switch (pattern) {
    case 0:
      return 65536;
    case 1:
      return 1;  // one byte: splits every sample
    case 2:
      return 3;  // odd: splits samples and frames
    case 3:
      return 4096;
    case 4:
      return 7680;  // one stereo block at 44100 Hz
    case 5:
      return call % 2 == 0 ? 0 : 5000;  // empty requests in between
    case 6: {
      // Sizes from the schedule bytes, so they vary call to call.
      if (in.schedule_size == 0) return 777;
      return uint32_t{in.schedule[call % in.schedule_size]} * 61 + 1;
    }
    default:
      return large_request;
  }
}

struct Decoded {
  std::vector<uint8_t> pcm;
  bool complete = false;  // ended at a fixed point, not at a bound
};

Decoded decode(const Input& in, unsigned pattern, bool short_reads) {
  FuzzHost host(in.file, in.file_size);
  if (short_reads && in.short_open_reads) {
    host.set_schedule(in.schedule, in.schedule_size);
  }
  ORV_Stream* stream = host.open(&ORV_stream_open);
  Decoded result;
  std::vector<uint8_t>& output = result.pcm;
  if (stream == nullptr) {
    check(host.allocations() == host.frees() + host.refusals(),
          "failed open kept its block");
    if (host.refusals() != 0) {
      const char* error = ORV_error();
      check(error != nullptr && std::strcmp(error, "Out of memory") == 0,
            "a refused allocation left no \"Out of memory\"");
    }
    result.complete = true;
    return result;
  }
  check(host.allocations() == 1, "open without its one allocation");
  if (short_reads && !in.short_open_reads) {
    host.set_schedule(in.schedule, in.schedule_size);
  }

  const auto* fields = orv::vlkdec::from_handle(stream);
  std::vector<uint8_t> chunk;
  for (uint32_t call = 0; call < max_calls && output.size() < max_output;
       ++call) {
    const uint32_t asked = request_size(in, pattern, call);
    // Exactly the bytes asked for, so that a write past them is caught.
    chunk.resize(asked);
    const uint64_t delivered_before = host.delivered();
    orv::vlkdec::DecodeStream before;
    std::memcpy(&before, fields, sizeof before);
    const uint32_t got = ORV_stream_process(stream, chunk.data(), asked);
    check(got <= asked, "process wrote more than asked");
    output.insert(output.end(), chunk.begin(), chunk.begin() + got);
    if (asked != 0 && got == 0 && host.delivered() == delivered_before &&
        std::memcmp(&before, fields, sizeof before) == 0) {
      // Stuck for good: that is only right once the file is used up.
      check(host.position() >= in.file_size,
            "decoding stopped for good before the end of the file");
      result.complete = true;
      break;
    }
  }

  // Every query must answer on an open stream, whatever state it is in.
  for (uint64_t token = 3; token <= 13; ++token) {
    uint32_t value = 0;
    check(ORV_stream_property(stream, token, &value, nullptr, nullptr) == 1,
          "a query token went unanswered");
  }
  check(ORV_stream_close(stream) == 0, "close did not return 0");
  check(host.frees() == 1 && !host.block_live(), "close did not free");
  return result;
}

// The bounds can cut two decodes at different points: compare what both
// delivered, and the lengths when both ran to the end.
void same_bytes(const Decoded& a, const Decoded& b, const char* what) {
  const size_t common =
      a.pcm.size() < b.pcm.size() ? a.pcm.size() : b.pcm.size();
  check(common == 0 || std::memcmp(a.pcm.data(), b.pcm.data(), common) == 0,
        what);
  check(!a.complete || !b.complete || a.pcm.size() == b.pcm.size(), what);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  Input in{};
  const size_t schedule_size = data[0] & 0x0F;
  if (size < 1 + schedule_size) return 0;
  in.schedule = data + 1;
  in.schedule_size = schedule_size;
  in.short_open_reads = (data[0] & 0x10) != 0;
  in.request_pattern = data[0] >> 5;
  in.file = data + 1 + schedule_size;
  in.file_size = size - 1 - schedule_size;

  const Decoded chosen = decode(in, in.request_pattern, true);
  const Decoded large = in.request_pattern == 7 ? chosen : decode(in, 7, true);
  same_bytes(chosen, large,
             "output depends on the sizes of the process requests");
  return 0;
}
