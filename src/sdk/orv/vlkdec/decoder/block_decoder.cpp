// Setup of one channel pair's decoder from the sample rate.
#include "decoder/block_decoder.h"

#include <cmath>
#include <cstring>

#include "transform/transform_table.h"

namespace orv::vlkdec {
namespace {

uint32_t overlap_shift_for(uint32_t overlap_samples) {
  switch (overlap_samples) {
    case 32:
      return 5;
    case 64:
      return 6;
    case 128:
      return 7;
    case 256:
      return 8;
    default:
      return 0;
  }
}

}  // namespace

BlockDecoder* setup_block_decoder(void* storage, uint32_t sample_rate,
                                  uint32_t channels, uint32_t flags) {
  const uint32_t n = frame_length_for_rate(sample_rate);
  const BandEdges bands = band_edges_for_rate(sample_rate);

  auto* decoder = static_cast<BlockDecoder*>(storage);
  std::memset(decoder, 0, sizeof(BlockDecoder));
  decoder->transform_table = transform_table;
  decoder->transform_table_length =
      static_cast<uint32_t>(orv::vlkdec::transform_table_length);
  decoder->flags = channels == 1 ? flags & ~decoder_flag_planar : flags;
  decoder->block_bytes = bytes_per_sample * n * channels;
  decoder->overlap_bytes = decoder->block_bytes / 16;
  decoder->state_size =
      block_decoder_state_size_for_overlap(decoder->overlap_bytes);
  decoder->transform_length = n;
  decoder->transform_count = channels;
  decoder->band_count = bands.count;
  decoder->overlap_shift = overlap_shift_for(decoder->overlap_bytes / 2);
  decoder->scale = 2.0f / std::sqrt(static_cast<float>(n));

  std::memcpy(decoder->band_edges, bands.edges, sizeof bands.edges);
  decoder->first_block = 1;

  // The tail sits right after the fixed fields. Cleared so that a pair whose
  // first sub-block is empty crossfades its next block from silence rather
  // than from whatever the storage held.
  decoder->tail = reinterpret_cast<int16_t*>(static_cast<uint8_t*>(storage) +
                                             block_decoder_fixed_bytes);
  std::memset(decoder->tail, 0, decoder->overlap_bytes);
  return decoder;
}

}  // namespace orv::vlkdec
