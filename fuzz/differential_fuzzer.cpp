// Fuzz target: every processor variant against the portable code on the
// same input. Any difference in any bit is a finding: the variants exist
// only to be faster, never to give other output.
//
// Input layout: block_input.h, shared with the block_decoder target so that
// its corpus serves here too; the misalignment bits are ignored here.
//
// For every feature word the processor allows, the sub-blocks are decoded
// in turn by a fresh decoder, as the stream does (the tail carries over),
// and the payload bytes used, the PCM and the tail after each sub-block
// are compared with the portable run's. Then each payload is taken as raw
// floats (every bit pattern, NaN and infinity included) and put through
// the inverse DCT and the FFT of the largest length it fills; there the
// results must match bit for bit, except that any NaN matches any NaN.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "block_input.h"
#include "decoder/block_decoder.h"
#include "decoder/synthesis.h"
#include "dsp/cpu_features.h"
#include "dsp/dsp.h"
#include "fuzz_host.h"
#include "fuzz_target.h"
#include "transform/dct.h"
#include "transform/fft.h"
#include "transform/transform_table.h"

namespace {

using namespace orv::vlkdec;
using orv::fuzz::BlockInput;
using orv::fuzz::check;
using orv::fuzz::SubBlockBytes;

// What one variant made of the input, byte for byte.
std::vector<uint8_t> decode_all(const BlockInput& input) {
  const uint32_t state_size =
      block_decoder_state_size(input.sample_rate, input.channels);
  alignas(16) static uint8_t state[block_decoder_state_size(48000, 2)];
  check(state_size <= sizeof state, "decoder state larger than expected");
  std::memset(state, 0xA5, sizeof state);
  BlockDecoder* decoder = setup_block_decoder(state, input.sample_rate,
                                              input.channels, input.flags);
  const uint32_t n = decoder->transform_length;
  std::vector<float> coeffs(size_t{decoder->transform_count} * n + 4);
  std::vector<int16_t> out(decoder->block_bytes / 2 + 8);
  std::vector<uint8_t> record;
  for (const SubBlockBytes& sub : input.sub_blocks) {
    // The decoder reads whole words and takes bytes past the end as zero;
    // a copy of exactly the payload lets the sanitizer see any overread.
    std::vector<uint8_t> payload(sub.bytes, sub.bytes + sub.length);
    const uint32_t used = decode_sub_block(
        *decoder, SubBlock{payload.data(), payload.data() + payload.size()},
        coeffs.data(), out.data(),
        decoder->first_block != 0 ? 0 : decoder->overlap_shift);
    decoder->first_block = 0;
    const auto* pcm = reinterpret_cast<const uint8_t*>(out.data());
    const auto* tail = reinterpret_cast<const uint8_t*>(decoder->tail);
    record.insert(record.end(), reinterpret_cast<const uint8_t*>(&used),
                  reinterpret_cast<const uint8_t*>(&used) + sizeof used);
    record.insert(record.end(), pcm, pcm + decoder->block_bytes);
    record.insert(record.end(), tail, tail + decoder->overlap_bytes);
  }
  return record;
}

bool same_floats(const std::vector<float>& a, const std::vector<float>& b) {
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::isnan(a[i]) || std::isnan(b[i])) {
      if (!(std::isnan(a[i]) && std::isnan(b[i]))) return false;
    } else if (std::memcmp(&a[i], &b[i], sizeof(float)) != 0) {
      return false;
    }
  }
  return true;
}

// The payload's bytes as floats, cut to the largest power of two up to
// 2048 that they fill, through one transform under the current features.
std::vector<float> transform(const SubBlockBytes& sub, bool dct) {
  size_t n = 2048;
  while (n > sub.length / sizeof(float)) n /= 2;
  if (n < (dct ? 2u : 4u)) return {};
  std::vector<float> a(n);
  std::memcpy(a.data(), sub.bytes, n * sizeof(float));
  if (dct) {
    inverse_dct(static_cast<int>(n), a.data(), transform_table_length,
                transform_table);
  } else {
    complex_fft_forward(static_cast<int>(n), a.data(), twiddle_count,
                        transform_table + twiddle_offset);
  }
  return a;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto input = orv::fuzz::parse_block_input(data, size);
  if (!input) return 0;
  const std::vector<SubBlockBytes>& sub_blocks = input->sub_blocks;

  restrict_cpu_features(0);
  const std::vector<uint8_t> portable = decode_all(*input);
  std::vector<std::vector<float>> portable_transforms;
  for (const SubBlockBytes& sub : sub_blocks) {
    portable_transforms.push_back(transform(sub, true));
    portable_transforms.push_back(transform(sub, false));
  }

  restrict_cpu_features(~0u);
  const uint32_t available = cpu_features();
  std::vector<const Dsp*> tried = {&portable_dsp()};
  for (uint32_t word = 1; word <= cpu_feature_mask; ++word) {
    // Each table of variants the processor can run, once.
    if ((word & ~available) != 0) continue;
    const Dsp& table = dsp_for_features(word);
    bool seen = false;
    for (const Dsp* other : tried) {
      seen = seen || std::memcmp(other, &table, sizeof table) == 0;
    }
    if (seen) continue;
    tried.push_back(&table);
    restrict_cpu_features(word);
    check(decode_all(*input) == portable,
          "a variant decodes a sub-block to other bits than the portable "
          "code");
    for (size_t i = 0; i < sub_blocks.size(); ++i) {
      check(same_floats(transform(sub_blocks[i], true),
                        portable_transforms[2 * i]),
            "a variant's inverse DCT differs from the portable one");
      check(same_floats(transform(sub_blocks[i], false),
                        portable_transforms[2 * i + 1]),
            "a variant's FFT differs from the portable one");
    }
  }
  restrict_cpu_features(~0u);
  return 0;
}
