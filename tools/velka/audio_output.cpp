#include "audio_output.h"

#include <algorithm>
#include <cstring>

#include "batch.h"

namespace velka {
namespace {

// The rates Opus encodes; it has no resampler of its own.
constexpr uint32_t opus_rates[] = {8000, 12000, 16000, 24000, 48000};

// A WAV header for a stream whose length is not known when it starts. The
// data size is the placeholder that common pipe readers take as "read to
// the end" without warning (all ones reads as a promise of 4 GB that the
// stream then breaks).
std::vector<uint8_t> streaming_wav_header(uint32_t channels,
                                          uint32_t sample_rate) {
  constexpr uint32_t unknown_data_size = 0x7FFFF000u;
  std::vector<uint8_t> h(44);
  const auto put = [&](size_t at, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
      h[at + static_cast<size_t>(i)] = static_cast<uint8_t>(value >> (8 * i));
    }
  };
  const auto tag = [&](size_t at, const char* four) {
    std::memcpy(h.data() + at, four, 4);
  };
  tag(0, "RIFF");
  put(4, unknown_data_size + 36, 4);
  tag(8, "WAVE");
  tag(12, "fmt ");
  put(16, 16, 4);
  put(20, 1, 2);  // integer PCM
  put(22, channels, 2);
  put(24, sample_rate, 4);
  put(28, sample_rate * channels * 2, 4);
  put(32, channels * 2, 2);
  put(34, 16, 2);
  tag(36, "data");
  put(40, unknown_data_size, 4);
  return h;
}

// libsndfile's message without its "System error : " lead and full stop.
std::string sndfile_reason(const char* message) {
  std::string reason = message;
  const std::string lead = "System error : ";
  if (reason.rfind(lead, 0) == 0) reason.erase(0, lead.size());
  if (!reason.empty() && reason.back() == '.') reason.pop_back();
  return reason;
}

}  // namespace

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

std::string why_format_refuses(const OutputFormat& format, uint32_t channels,
                               uint32_t sample_rate) {
  if (format.sndfile_format == 0) return {};
  const std::string held = std::to_string(channels) + " channel" +
                           (channels == 1 ? "" : "s") + " at " +
                           std::to_string(sample_rate) + " Hz";
  if ((format.sndfile_format & SF_FORMAT_SUBMASK) == SF_FORMAT_OPUS &&
      std::find(std::begin(opus_rates), std::end(opus_rates), sample_rate) ==
          std::end(opus_rates)) {
    return "Opus takes only 8, 12, 16, 24 or 48 kHz and this is " + held +
           " (velka does not resample; choose another format)";
  }
  SF_INFO info{};
  info.channels = static_cast<int>(channels);
  info.samplerate = static_cast<int>(sample_rate);
  info.format = format.sndfile_format;
  if (sf_format_check(&info) == 0) {
    return std::string("the ") + format.name + " output cannot hold " + held;
  }
  return {};
}

AudioWriter::AudioWriter(SafeOutput& out, const OutputFormat& format,
                         uint32_t channels, uint32_t sample_rate)
    : out_(out), channels_(channels) {
  if (format.sndfile_format == 0) return;
  if (!out.is_seekable() &&
      (format.sndfile_format & SF_FORMAT_TYPEMASK) == SF_FORMAT_WAV) {
    // libsndfile writes no WAV to a pipe: it would seek back for the sizes.
    // The header goes out with the first samples, in one write: readers
    // that guess a pipe's format from its first read need more than it.
    pending_ = streaming_wav_header(channels, sample_rate);
    return;
  }
  SF_INFO info{};
  info.samplerate = static_cast<int>(sample_rate);
  info.channels = static_cast<int>(channels);
  info.format = format.sndfile_format;
  sound_ = sf_open_fd(out.fd(), SFM_WRITE, &info, SF_FALSE);
  if (sound_ == nullptr) {
    out_.fail_write(sndfile_reason(sf_strerror(nullptr)));
    throw FileFailure(out_.error());
  }
}

AudioWriter::~AudioWriter() {
  if (sound_ != nullptr) sf_close(sound_);
}

void AudioWriter::write_bytes(const void* data, size_t bytes) {
  if (!out_.write(data, bytes)) throw FileFailure(out_.error(), true);
}

void AudioWriter::write(const int16_t* samples, size_t frames) {
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

void AudioWriter::finish() {
  if (!pending_.empty()) write_bytes(pending_.data(), pending_.size());
  pending_.clear();
  if (sound_ == nullptr) return;
  const int error = sf_error(sound_);
  const int closed = sf_close(sound_);
  sound_ = nullptr;
  if (error != SF_ERR_NO_ERROR || closed != 0) {
    out_.fail_write(
        sndfile_reason(sf_error_number(error != 0 ? error : closed)));
    throw FileFailure(out_.error(), true);
  }
}

}  // namespace velka
