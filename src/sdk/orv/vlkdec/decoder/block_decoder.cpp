// Setup of one channel pair's decoder from the sample rate.
#include "decoder/block_decoder.h"

#include <cmath>
#include <cstring>

#include "transform/transform_table.h"

namespace orv::vlkdec {
namespace {

// Start frequencies in Hz of the quantiser bands.
constexpr uint32_t critical_frequencies[max_band_count] = {
    0,    100,  200,  300,  400,  510,   630,  770,  920,
    1080, 1270, 1480, 1720, 2000, 2320,  2700, 3150, 3700,
    4400, 5300, 6400, 7700, 9500, 12000, 15500};

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
  // Bands below the Nyquist frequency; 64 bits so that no rate wraps.
  const auto half = static_cast<uint32_t>((uint64_t{sample_rate} + 1) / 2);
  uint32_t band_count = 0;
  while (band_count < max_band_count &&
         critical_frequencies[band_count] < half) {
    ++band_count;
  }

  auto* decoder = static_cast<BlockDecoder*>(storage);
  std::memset(decoder, 0, sizeof(BlockDecoder));
  decoder->transform_table = transform_table;
  decoder->transform_table_length =
      static_cast<uint32_t>(orv::vlkdec::transform_table_length);
  decoder->flags = channels == 1 ? flags & ~decoder_flag_planar : flags;
  decoder->block_bytes = 2 * n * channels;
  decoder->overlap_bytes = decoder->block_bytes / 16;
  decoder->state_size = (decoder->overlap_bytes + 191) & ~15u;
  decoder->transform_length = n;
  decoder->transform_count = channels;
  decoder->band_count = band_count;
  decoder->overlap_shift = overlap_shift_for(decoder->overlap_bytes / 2);
  decoder->scale = 2.0f / std::sqrt(static_cast<float>(n));

  // half > critical_frequencies[j] >= 0 for every j < band_count, so the
  // division is safe; edges of 0 become 1 so that band 0 starts at
  // coefficient 2, after the two raw floats.
  for (uint32_t j = 0; j < band_count; ++j) {
    const uint32_t edge = critical_frequencies[j] * (n / 2) / half;
    decoder->band_edges[j] = edge == 0 ? 1 : edge;
  }
  decoder->band_edges[band_count] = n / 2;
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
