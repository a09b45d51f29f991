// Fuzz target: one channel pair's block decoder on arbitrary payload bytes,
// without the stream around it.
//
// Input layout:
//   bytes 0-1    sample rate, u16 little-endian (0 is taken as 1); it picks
//                the frame length (512, 1024, 2048) and the band layout
//   byte 2       layout: bit 0 = channels in the pair (0: one, 1: two);
//                bit 1 = planar output (the flag of files of more than two
//                channels); bits 2-3 = how many bytes the payload starts
//                past a 4-byte boundary
//   then, up to max_sub_blocks times:
//     2 bytes    L, u16 little-endian: payload bytes of this sub-block
//     L bytes    the payload (fewer when the input ends first)
//
// Each sub-block is decoded as the stream does: the crossfade shift is 0 for
// the first and the decoder's overlap shift after that, and the tail carries
// over. The payload, the output, the work area and the decoder state each
// sit in a heap block of exactly their size, so that any access outside
// them is caught.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "decoder/block_decoder.h"
#include "decoder/synthesis.h"
#include "fuzz_host.h"
#include "fuzz_target.h"

namespace {

using orv::fuzz::check;

constexpr int max_sub_blocks = 16;

struct AlignedBlock {
  explicit AlignedBlock(size_t bytes)
      : data(std::aligned_alloc(16, (bytes + 15) & ~size_t{15})) {
    check(data != nullptr, "out of memory in the fuzz target");
  }
  ~AlignedBlock() { std::free(data); }
  AlignedBlock(const AlignedBlock&) = delete;
  AlignedBlock& operator=(const AlignedBlock&) = delete;
  void* data;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  uint32_t sample_rate = uint32_t{data[0]} | uint32_t{data[1]} << 8;
  if (sample_rate == 0) sample_rate = 1;
  const uint32_t channels = (data[2] & 1) != 0 ? 2 : 1;
  const uint32_t flags =
      orv::vlkdec::decoder_flag_separate_transforms |
      ((data[2] & 2) != 0 ? orv::vlkdec::decoder_flag_planar : 0);
  const size_t misalign = (data[2] >> 2) & 3;
  size_t at = 3;

  const uint32_t state_size =
      orv::vlkdec::block_decoder_state_size(sample_rate, channels);
  AlignedBlock state(state_size);
  std::memset(state.data, 0xA5, state_size);
  orv::vlkdec::BlockDecoder* decoder = orv::vlkdec::setup_block_decoder(
      state.data, sample_rate, channels, flags);
  check(decoder == state.data, "decoder not at the start of its storage");
  check(decoder->overlap_bytes + orv::vlkdec::block_decoder_fixed_bytes <=
            state_size,
        "tail does not fit the decoder's storage");
  check(decoder->band_count <= orv::vlkdec::max_band_count, "too many bands");

  const uint32_t n = decoder->transform_length;
  AlignedBlock out(decoder->block_bytes);
  AlignedBlock coeffs(size_t{decoder->transform_count} * n * sizeof(float));

  for (int k = 0; k < max_sub_blocks && at + 2 <= size; ++k) {
    size_t length = size_t{data[at]} | size_t{data[at + 1]} << 8;
    at += 2;
    if (length > size - at) length = size - at;
    // Exactly the payload, `misalign` bytes into its heap block.
    const size_t storage_bytes = misalign + length;
    auto* storage = static_cast<uint8_t*>(
        std::malloc(storage_bytes != 0 ? storage_bytes : 1));
    check(storage != nullptr, "out of memory in the fuzz target");
    uint8_t* payload = storage + misalign;
    if (length != 0) std::memcpy(payload, data + at, length);
    at += length;

    const uint32_t used = orv::vlkdec::decode_sub_block(
        *decoder, orv::vlkdec::SubBlock{payload, payload + length},
        static_cast<float*>(coeffs.data), static_cast<int16_t*>(out.data),
        decoder->first_block != 0 ? 0 : decoder->overlap_shift);
    decoder->first_block = 0;
    if (length == 0) {
      check(used == 0, "an empty sub-block consumed bytes");
    } else {
      check(used >= 4 && used % 4 == 0,
            "a sub-block's length is not a positive multiple of 4");
    }
    std::free(storage);
  }
  return 0;
}
