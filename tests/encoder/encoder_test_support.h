// Helpers of the encoder tests: test signals, and decoding a whole file
// block by block through the block decoder.
#ifndef ORV_TESTS_ENCODER_ENCODER_TEST_SUPPORT_H
#define ORV_TESTS_ENCODER_ENCODER_TEST_SUPPORT_H

#include <cstdint>
#include <string>
#include <vector>

#include "format/file_header.h"

namespace orv::test {

enum class Signal {
  chord_vibrato,    // three voices with harmonics, vibrato and swells
  noise_bursts,     // a soft tone under short bursts of white noise
  chirp,            // a sweep from 40 Hz to near the band limit
  full_scale_clip,  // a sine driven far past full scale, clipped
  silence,
};

const char* signal_name(Signal s);

// `frames` interleaved frames; channel c gets `kinds[c % kinds.size()]`,
// with its pitch and phase varied by channel.
std::vector<int16_t> make_signal(const std::vector<Signal>& kinds,
                                 unsigned channels, unsigned sample_rate,
                                 size_t frames, uint32_t seed);

struct DecodedFile {
  vlkdec::FileHeader header;
  std::vector<int16_t> pcm;  // interleaved frames, every delivered frame
  std::vector<uint32_t> block_offsets;  // file offset of each block
  // Set when a block's sub-blocks did not use its payload exactly.
  std::string error;
};

// Decodes every block with setup_block_decoder / decode_sub_block per
// channel pair, chaining the crossfade as the stream engine does.
DecodedFile decode_file(const std::vector<uint8_t>& file);

// SNR in dB of channel c of `decoded` against `input`, over the input's
// frames; +inf when they match exactly.
double channel_snr_db(const std::vector<int16_t>& input,
                      const std::vector<int16_t>& decoded, unsigned channels,
                      unsigned c);

}  // namespace orv::test

#endif
