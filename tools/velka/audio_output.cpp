#include "audio_output.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "batch.h"

namespace velka {
namespace {

// The rates Opus encodes; others are resampled to the highest.
constexpr uint32_t opus_rates[] = {8000, 12000, 16000, 24000, 48000};
constexpr uint32_t opus_resampled_rate = 48000;

// Speaker bits of a WAVE_FORMAT_EXTENSIBLE channel mask, and libsndfile's
// name for each.
struct Speaker {
  uint32_t bit;
  int sndfile_position;
};
constexpr Speaker front_left{0x1, SF_CHANNEL_MAP_LEFT};
constexpr Speaker front_right{0x2, SF_CHANNEL_MAP_RIGHT};
constexpr Speaker front_center{0x4, SF_CHANNEL_MAP_CENTER};
constexpr Speaker low_frequency{0x8, SF_CHANNEL_MAP_LFE};
constexpr Speaker back_left{0x10, SF_CHANNEL_MAP_REAR_LEFT};
constexpr Speaker back_right{0x20, SF_CHANNEL_MAP_REAR_RIGHT};
constexpr Speaker back_center{0x100, SF_CHANNEL_MAP_REAR_CENTER};
constexpr Speaker side_left{0x200, SF_CHANNEL_MAP_SIDE_LEFT};
constexpr Speaker side_right{0x400, SF_CHANNEL_MAP_SIDE_RIGHT};

// The default layouts, by channel count (see default_channel_mask); each
// in the order of its bits, as WAVE_FORMAT_EXTENSIBLE requires.
const std::vector<Speaker>& default_layout(uint32_t channels) {
  static const std::vector<Speaker> layouts[] = {
      {},
      {},
      {},
      {front_left, front_right, front_center},
      {front_left, front_right, back_left, back_right},
      {front_left, front_right, front_center, back_left, back_right},
      {front_left, front_right, front_center, low_frequency, back_left,
       back_right},
      {front_left, front_right, front_center, low_frequency, back_center,
       side_left, side_right},
      {front_left, front_right, front_center, low_frequency, back_left,
       back_right, side_left, side_right},
  };
  return layouts[channels < std::size(layouts) ? channels : 0];
}

// A WAV header for velka's own writing to a stream, which cannot seek back
// to fill in sizes: the exact data size when the length is known, else a
// placeholder that common pipe readers take as "read to the end" without
// warning (all ones reads as a promise of 4 GB that the stream then
// breaks). Three or more channels get the extensible form with the
// default channel mask.
std::vector<uint8_t> stream_wav_header(uint32_t channels, uint32_t sample_rate,
                                       uint64_t frames) {
  constexpr uint32_t unknown_data_size = 0x7FFFF000u;
  const uint32_t mask = default_channel_mask(channels);
  const uint32_t format_bytes = mask != 0 ? 40 : 16;
  const uint32_t ahead = 4 + 8 + format_bytes + 8;  // RIFF size before data
  const uint64_t data = frames * 2 * channels;
  const uint32_t data_size =
      frames != unknown_length && data <= UINT32_MAX - ahead
          ? static_cast<uint32_t>(data)
          : unknown_data_size;
  std::vector<uint8_t> h;
  const auto put = [&](uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) h.push_back(value >> (8 * i) & 0xFF);
  };
  const auto tag = [&](const char* four) { h.insert(h.end(), four, four + 4); };
  tag("RIFF");
  put(ahead + data_size, 4);
  tag("WAVE");
  tag("fmt ");
  put(format_bytes, 4);
  put(mask != 0 ? 0xFFFE : 1, 2);  // WAVE_FORMAT_EXTENSIBLE, or integer PCM
  put(channels, 2);
  put(sample_rate, 4);
  put(sample_rate * channels * 2, 4);
  put(channels * 2, 2);
  put(16, 2);
  if (mask != 0) {
    put(22, 2);  // the extension's size
    put(16, 2);  // valid bits
    put(mask, 4);
    // The integer PCM sub-format GUID.
    static constexpr uint8_t pcm_guid[16] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00,
                                             0x10, 0x00, 0x80, 0x00, 0x00, 0xAA,
                                             0x00, 0x38, 0x9B, 0x71};
    h.insert(h.end(), std::begin(pcm_guid), std::end(pcm_guid));
  }
  tag("data");
  put(data_size, 4);
  return h;
}

// How libsndfile is told a lossy output's bit rate: a bit-rate mode, and a
// "compression level" from 0 (most bits) to 1 (fewest), which each codec
// maps to bits in its own way. `refused` says why the rate cannot be had.
struct LossySetting {
  bool given = false;
  bool constant = false;  // a constant bit rate rather than the codec's
  double compression = 0;
  std::string refused;
};

std::string kbps_range(double low, double high) {
  char text[64];
  std::snprintf(text, sizeof text, "%g to %g kbit/s", low, high);
  return text;
}

LossySetting lossy_setting(const OutputFormat& format, uint32_t channels,
                           uint32_t sample_rate, double kbps) {
  LossySetting s;
  if (kbps <= 0) return s;
  s.given = true;
  const int codec = format.sndfile_format & SF_FORMAT_SUBMASK;
  if (codec == SF_FORMAT_MPEG_LAYER_III) {
    // A constant rate between the MPEG version's bounds, chosen linearly by
    // the compression level; the half keeps the rate from rounding down.
    const double top = sample_rate >= 32000   ? 320
                       : sample_rate >= 16000 ? 160
                                              : 64;
    const double bottom = sample_rate >= 32000 ? 32 : 8;
    if (kbps < bottom || kbps > top) {
      s.refused = "MP3 at " + std::to_string(sample_rate) + " Hz takes " +
                  kbps_range(bottom, top);
    }
    s.constant = true;
    s.compression = std::clamp((top - kbps - 0.5) / (top - bottom), 0.0, 1.0);
  } else if (codec == SF_FORMAT_OPUS) {
    // A target of 6 to 256 kbit/s per channel, linear in the level.
    const double per_channel = kbps / channels;
    if (per_channel < 6 || per_channel > 256) {
      s.refused = "Opus takes " + kbps_range(6.0 * channels, 256.0 * channels) +
                  " for " + std::to_string(channels) + " channel" +
                  (channels == 1 ? "" : "s");
    }
    s.compression =
        std::clamp(1.0 - (per_channel * 1000 - 6000 + 0.5) / 250000, 0.0, 1.0);
  } else if (codec == SF_FORMAT_VORBIS) {
    // Vorbis takes a quality, not a rate: the quality (0 to 10, the level's
    // complement) whose nominal rate is nearest. The rates are those of
    // stereo at 44.1 kHz, per channel.
    constexpr double per_channel[] = {32, 40,  48,  56,  64, 80,
                                      96, 112, 128, 160, 250};
    const double wanted = kbps / channels;
    if (wanted < per_channel[0] || wanted > per_channel[10]) {
      s.refused =
          "Ogg Vorbis takes " +
          kbps_range(per_channel[0] * channels, per_channel[10] * channels) +
          " for " + std::to_string(channels) + " channel" +
          (channels == 1 ? "" : "s");
    }
    size_t best = 0;
    for (size_t q = 1; q < std::size(per_channel); ++q) {
      if (std::fabs(per_channel[q] - wanted) <
          std::fabs(per_channel[best] - wanted)) {
        best = q;
      }
    }
    s.compression = 1.0 - static_cast<double>(best) / 10.0;
  } else {
    s.refused = std::string("the ") + format.name +
                " output has no bit rate to choose (it is lossless)";
  }
  return s;
}

// libsndfile's message without its "System error : " lead and full stop.
std::string sndfile_reason(const char* message) {
  std::string reason = message;
  const std::string lead = "System error : ";
  if (reason.rfind(lead, 0) == 0) reason.erase(0, lead.size());
  if (!reason.empty() && reason.back() == '.') reason.pop_back();
  return reason;
}

bool is_opus(const OutputFormat& format) {
  return (format.sndfile_format & SF_FORMAT_SUBMASK) == SF_FORMAT_OPUS;
}

}  // namespace

uint32_t default_channel_mask(uint32_t channels) {
  uint32_t mask = 0;
  for (const Speaker& s : default_layout(channels)) mask |= s.bit;
  return mask;
}

const std::vector<OutputFormat>& output_formats() {
  static const std::vector<OutputFormat> formats = {
      {"wav", "wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, true},
      {"flac", "flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, true},
      {"aiff", "aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_16, true},
      {"ogg", "ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, false},
      {"opus", "opus", SF_FORMAT_OGG | SF_FORMAT_OPUS, false},
      {"mp3", "mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, false},
      {"raw", "raw", 0, true},
  };
  return formats;
}

const OutputFormat* format_named(const std::string& name) {
  for (const OutputFormat& f : output_formats()) {
    if (name == f.name) return &f;
  }
  return nullptr;
}

const OutputFormat* format_for_name(const std::string& path) {
  std::string extension = extension_of(path);
  if (extension == "aif") extension = "aiff";
  if (extension == "oga") extension = "ogg";
  for (const OutputFormat& f : output_formats()) {
    if (extension == f.extension) return &f;
  }
  return nullptr;
}

uint32_t output_rate(const OutputFormat& format, uint32_t sample_rate) {
  if (is_opus(format) && std::find(std::begin(opus_rates), std::end(opus_rates),
                                   sample_rate) == std::end(opus_rates)) {
    return opus_resampled_rate;
  }
  return sample_rate;
}

std::string why_format_refuses(const OutputFormat& format,
                               const AudioParams& params) {
  if (format.sndfile_format == 0) return {};
  const std::string held = std::to_string(params.channels) + " channel" +
                           (params.channels == 1 ? "" : "s") + " at " +
                           std::to_string(params.sample_rate) + " Hz";
  const uint32_t rate = output_rate(format, params.sample_rate);
  SF_INFO info{};
  info.channels = static_cast<int>(params.channels);
  info.samplerate = static_cast<int>(rate);
  info.format = format.sndfile_format;
  if (sf_format_check(&info) == 0) {
    return std::string("the ") + format.name + " output cannot hold " + held;
  }
  return lossy_setting(format, params.channels, rate, params.bitrate_kbps)
      .refused;
}

AudioWriter::AudioWriter(SafeOutput& out, const OutputFormat& format,
                         const AudioParams& params)
    : out_(out), channels_(params.channels) {
  if (format.sndfile_format == 0) return;
  const int container = format.sndfile_format & SF_FORMAT_TYPEMASK;
  if (!out.is_seekable() && container == SF_FORMAT_WAV) {
    // libsndfile writes no WAV to a pipe: it would seek back for the sizes.
    // The header goes out with the first samples, in one write: readers
    // that guess a pipe's format from its first read need more than it.
    pending_ =
        stream_wav_header(params.channels, params.sample_rate, params.frames);
    if (params.frames != unknown_length) stated_ = params.frames;
    return;
  }
  const uint32_t mask = default_channel_mask(params.channels);
  const uint32_t rate = output_rate(format, params.sample_rate);
  SF_INFO info{};
  info.samplerate = static_cast<int>(rate);
  info.channels = static_cast<int>(params.channels);
  info.format = format.sndfile_format;
  if (container == SF_FORMAT_WAV && mask != 0) {
    info.format = SF_FORMAT_WAVEX | (format.sndfile_format & SF_FORMAT_SUBMASK);
  }
  sound_ = sf_open_fd(out.fd(), SFM_WRITE, &info, SF_FALSE);
  if (sound_ == nullptr) {
    out_.fail_write(sndfile_reason(sf_strerror(nullptr)));
    throw FileFailure(out_.error());
  }
  if (info.format != format.sndfile_format) {
    std::vector<int> positions;
    for (const Speaker& s : default_layout(params.channels)) {
      positions.push_back(s.sndfile_position);
    }
    sf_command(sound_, SFC_SET_CHANNEL_MAP_INFO, positions.data(),
               static_cast<int>(positions.size() * sizeof(int)));
  }
  const LossySetting lossy =
      lossy_setting(format, params.channels, rate, params.bitrate_kbps);
  if (lossy.given) {
    int mode = SF_BITRATE_MODE_CONSTANT;
    if (lossy.constant) {
      sf_command(sound_, SFC_SET_BITRATE_MODE, &mode, sizeof mode);
    }
    double level = lossy.compression;
    sf_command(sound_, SFC_SET_COMPRESSION_LEVEL, &level, sizeof level);
  }
  if (rate != params.sample_rate) {
    // Opus headers keep the rate the audio had; players may return to it.
    int original = static_cast<int>(params.sample_rate);
    sf_command(sound_, SFC_SET_ORIGINAL_SAMPLERATE, &original, sizeof original);
    try {
      resampler_ = std::make_unique<Resampler>(params.channels,
                                               params.sample_rate, rate);
    } catch (const std::runtime_error& e) {
      throw FileFailure(e.what());
    }
  }
}

AudioWriter::~AudioWriter() {
  if (sound_ != nullptr) sf_close(sound_);
}

void AudioWriter::write_bytes(const void* data, size_t bytes) {
  if (!out_.write(data, bytes)) throw FileFailure(out_.error(), true);
}

void AudioWriter::write_float(const std::vector<float>& samples) {
  const auto count = static_cast<sf_count_t>(samples.size());
  if (sf_write_float(sound_, samples.data(), count) != count) {
    out_.fail_write(sndfile_reason(sf_strerror(sound_)));
    throw FileFailure(out_.error(), true);
  }
}

void AudioWriter::write(const int16_t* samples, size_t frames) {
  written_ += frames;
  if (resampler_ != nullptr) {
    write_float(resampler_->convert(samples, frames));
    return;
  }
  write_pcm(samples, frames);
}

void AudioWriter::write_pcm(const int16_t* samples, size_t frames) {
  const size_t count = frames * channels_;
  if (sound_ != nullptr) {
    const auto wrote =
        sf_write_short(sound_, samples, static_cast<sf_count_t>(count));
    if (wrote != static_cast<sf_count_t>(count)) {
      out_.fail_write(sndfile_reason(sf_strerror(sound_)));
      throw FileFailure(out_.error(), true);
    }
    return;
  }
  const size_t ahead = pending_.size();
  bytes_.resize(ahead + count * 2);
  std::copy(pending_.begin(), pending_.end(), bytes_.begin());
  pending_.clear();
  uint8_t* at = bytes_.data() + ahead;
  for (size_t i = 0; i < count; ++i) {
    const auto v = static_cast<uint16_t>(samples[i]);
    at[2 * i] = static_cast<uint8_t>(v);
    at[2 * i + 1] = static_cast<uint8_t>(v >> 8);
  }
  write_bytes(bytes_.data(), bytes_.size());
}

uint64_t AudioWriter::finish() {
  uint64_t filled = 0;
  if (stated_ != unknown_length && written_ < stated_) {
    const std::vector<int16_t> silence(size_t{4096} * channels_);
    for (filled = 0; written_ + filled < stated_;) {
      const size_t frames = static_cast<size_t>(
          std::min<uint64_t>(stated_ - written_ - filled, 4096));
      write_pcm(silence.data(), frames);
      filled += frames;
    }
  }
  if (!pending_.empty()) write_bytes(pending_.data(), pending_.size());
  pending_.clear();
  if (sound_ == nullptr) return filled;
  if (resampler_ != nullptr) write_float(resampler_->flush());
  const int error = sf_error(sound_);
  const int closed = sf_close(sound_);
  sound_ = nullptr;
  if (error != SF_ERR_NO_ERROR || closed != 0) {
    out_.fail_write(
        sndfile_reason(sf_error_number(error != 0 ? error : closed)));
    throw FileFailure(out_.error(), true);
  }
  return filled;
}

}  // namespace velka
