// Fuzz target: one channel pair's block decoder on arbitrary payload bytes,
// without the stream around it. Input layout: block_input.h.
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

#include "block_input.h"
#include "decoder/block_decoder.h"
#include "decoder/synthesis.h"
#include "fuzz_host.h"
#include "fuzz_target.h"

namespace {

using orv::fuzz::check;

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
  const auto input = orv::fuzz::parse_block_input(data, size);
  if (!input) return 0;

  const uint32_t state_size = orv::vlkdec::block_decoder_state_size(
      input->sample_rate, input->channels);
  AlignedBlock state(state_size);
  std::memset(state.data, 0xA5, state_size);
  orv::vlkdec::BlockDecoder* decoder = orv::vlkdec::setup_block_decoder(
      state.data, input->sample_rate, input->channels, input->flags);
  check(decoder == state.data, "decoder not at the start of its storage");
  check(decoder->overlap_bytes + orv::vlkdec::block_decoder_fixed_bytes <=
            state_size,
        "tail does not fit the decoder's storage");
  check(decoder->band_count <= orv::vlkdec::max_band_count, "too many bands");

  const uint32_t n = decoder->transform_length;
  AlignedBlock out(decoder->block_bytes);
  AlignedBlock coeffs(size_t{decoder->transform_count} * n * sizeof(float));

  for (const orv::fuzz::SubBlockBytes& sub : input->sub_blocks) {
    const size_t length = sub.length;
    // Exactly the payload, `misalign` bytes into its heap block.
    const size_t storage_bytes = input->misalign + length;
    auto* storage = static_cast<uint8_t*>(
        std::malloc(storage_bytes != 0 ? storage_bytes : 1));
    check(storage != nullptr, "out of memory in the fuzz target");
    uint8_t* payload = storage + input->misalign;
    if (length != 0) std::memcpy(payload, sub.bytes, length);

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
