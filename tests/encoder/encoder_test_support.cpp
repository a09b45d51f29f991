#include "encoder_test_support.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <numbers>
#include <random>

#include "decoder/block_decoder.h"
#include "decoder/synthesis.h"
#include "format/block_frame.h"
#include "format/frame.h"
#include "format/seek_table.h"

namespace orv::test {

namespace {

constexpr double two_pi = 2.0 * std::numbers::pi;

int16_t clip16(double v) {
  return static_cast<int16_t>(std::clamp(std::lround(v), -32768L, 32767L));
}

double chord_sample(double t, unsigned c, double rate) {
  const double f0 = 196.0 * (1.0 + 0.19 * c);
  const double swell = 0.55 + 0.45 * std::sin(two_pi * 1.3 * t + c);
  double v = 0.0;
  for (double ratio : {1.0, 1.25, 1.5}) {
    for (int h = 1; h <= 4; ++h) {
      const double f = f0 * ratio * h;
      if (f >= 0.45 * rate) break;
      // A 0.6 % vibrato at 5.5 Hz: the frequency deviation integrates to
      // this phase term.
      const double phase =
          two_pi * f * t - f * 0.006 / 5.5 * std::cos(two_pi * 5.5 * t);
      v += std::sin(phase + c) / (h * 1.6);
    }
  }
  return 4200.0 * swell * v;
}

}  // namespace

const char* signal_name(Signal s) {
  switch (s) {
    case Signal::chord_vibrato:
      return "chord";
    case Signal::noise_bursts:
      return "bursts";
    case Signal::chirp:
      return "chirp";
    case Signal::full_scale_clip:
      return "clip";
    case Signal::silence:
      return "silence";
  }
  return "?";
}

std::vector<int16_t> make_signal(const std::vector<Signal>& kinds,
                                 unsigned channels, unsigned sample_rate,
                                 size_t frames, uint32_t seed) {
  std::vector<int16_t> pcm(frames * channels);
  const double rate = sample_rate;
  const double seconds = static_cast<double>(frames) / rate;
  for (unsigned c = 0; c < channels; ++c) {
    std::mt19937 rng(seed + c);
    std::normal_distribution<double> noise(0.0, 1.0);
    const Signal kind = kinds[c % kinds.size()];
    double chirp_phase = 0.0;
    for (size_t i = 0; i < frames; ++i) {
      const double t = static_cast<double>(i) / rate;
      double v = 0.0;
      switch (kind) {
        case Signal::chord_vibrato:
          v = chord_sample(t, c, rate);
          break;
        case Signal::noise_bursts: {
          v = 1600.0 * std::sin(two_pi * 330.0 * (1 + 0.1 * c) * t);
          const double since = std::fmod(t + 0.03 * c, 0.25);
          if (since < 0.06) v += 9000.0 * std::exp(-since * 40.0) * noise(rng);
          break;
        }
        case Signal::chirp: {
          const double f = 40.0 + (0.45 * rate - 40.0) * t / seconds;
          chirp_phase += two_pi * f / rate;
          v = 12000.0 * std::sin(chirp_phase + c);
          break;
        }
        case Signal::full_scale_clip:
          v = 1.8 * 32767.0 * std::sin(two_pi * 110.0 * (c + 1) * t);
          break;
        case Signal::silence:
          break;
      }
      pcm[i * channels + c] = clip16(v);
    }
  }
  return pcm;
}

DecodedFile decode_file(const std::vector<uint8_t>& file) {
  DecodedFile out;
  const auto header = vlkdec::parse_file_header(file.data(), file.size());
  if (!header) {
    out.error = "bad header";
    return out;
  }
  out.header = *header;
  const unsigned channels = header->channels;
  const unsigned pairs = (channels + 1) / 2;
  const uint32_t flags = channels > 2 ? 3u : 1u;
  const uint32_t n = vlkdec::frame_length_for_rate(header->sample_rate);

  // 16-byte aligned storage per pair: decoder state, coefficients, output.
  struct alignas(16) Chunk {
    uint8_t bytes[16];
  };
  std::vector<std::vector<Chunk>> state(pairs), coeffs(pairs), pcm(pairs);
  std::vector<vlkdec::BlockDecoder*> decoders(pairs);
  std::vector<unsigned> pair_channels(pairs);
  for (unsigned p = 0; p < pairs; ++p) {
    pair_channels[p] = std::min(2u, channels - 2 * p);
    state[p].resize(vlkdec::block_decoder_state_size(header->sample_rate,
                                                     pair_channels[p]) /
                        16 +
                    1);
    coeffs[p].resize(n * pair_channels[p] * 4 / 16);
    pcm[p].resize(n * pair_channels[p] * 2 / 16);
    decoders[p] = vlkdec::setup_block_decoder(
        state[p].data(), header->sample_rate, pair_channels[p], flags);
  }

  size_t pos = vlkdec::data_start_for(*header);
  while (pos + vlkdec::block_frame_header_bytes <= file.size()) {
    const auto size =
        vlkdec::read_block_frame(file.data() + pos, file.size() - pos);
    const size_t payload = pos + vlkdec::block_frame_header_bytes;
    if (!size || payload + *size > file.size()) {
      out.error = "bad frame at offset " + std::to_string(pos);
      return out;
    }
    out.block_offsets.push_back(static_cast<uint32_t>(pos));
    const uint8_t* start = file.data() + payload;
    const uint8_t* end = start + *size;
    const size_t first_frame = out.pcm.size() / channels;
    uint32_t hop = 0;
    for (unsigned p = 0; p < pairs; ++p) {
      vlkdec::BlockDecoder& d = *decoders[p];
      auto* samples = reinterpret_cast<int16_t*>(pcm[p].data());
      const uint32_t used = vlkdec::decode_sub_block(
          d, vlkdec::SubBlock{start, end},
          reinterpret_cast<float*>(coeffs[p].data()), samples,
          d.first_block ? 0 : d.overlap_shift);
      d.first_block = 0;
      if (used == 0 || start + used > end) {
        out.error =
            "sub-block overruns the payload at offset " + std::to_string(pos);
        return out;
      }
      start += used;
      hop = (d.block_bytes - d.overlap_bytes) / (2 * d.transform_count);
      out.pcm.resize((first_frame + hop) * channels);
      for (uint32_t i = 0; i < hop; ++i) {
        for (unsigned k = 0; k < pair_channels[p]; ++k) {
          // Planar pairs hold channel 1 from n - n/16 on; interleaved pairs
          // hold frames.
          const int16_t s = (d.flags & vlkdec::decoder_flag_planar)
                                ? samples[k * hop + i]
                                : samples[i * pair_channels[p] + k];
          out.pcm[(first_frame + i) * channels + 2 * p + k] = s;
        }
      }
    }
    if (start != end) {
      out.error = "payload not used exactly at offset " + std::to_string(pos);
      return out;
    }
    pos = payload + *size;
  }
  if (pos != file.size()) out.error = "trailing bytes";
  return out;
}

double channel_snr_db(const std::vector<int16_t>& input,
                      const std::vector<int16_t>& decoded, unsigned channels,
                      unsigned c) {
  double signal = 0.0, error = 0.0;
  const size_t frames = input.size() / channels;
  for (size_t i = 0; i < frames && i * channels + c < decoded.size(); ++i) {
    const double x = input[i * channels + c];
    const double d = decoded[i * channels + c] - x;
    signal += x * x;
    error += d * d;
  }
  if (error == 0.0) return std::numeric_limits<double>::infinity();
  return 10.0 * std::log10(signal / error);
}

}  // namespace orv::test
