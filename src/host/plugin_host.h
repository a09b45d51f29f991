// C++ wrapper over the host library's C core: owning handles that close
// themselves, and errors reported as exceptions.
#ifndef ORV_HOST_PLUGIN_HOST_H
#define ORV_HOST_PLUGIN_HOST_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "host/velk_host.h"

namespace orv::host {

// A failure to load the plug-in or to open a stream; what() is one line.
class HostError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Stream;

// The plug-in module a client uses when given no path of its own
// (velk_host_default_plugin_path).
inline std::string default_plugin_path() {
  std::string path(velk_host_default_plugin_path(nullptr, 0), '\0');
  velk_host_default_plugin_path(path.data(), path.size() + 1);
  return path;
}

// One loaded plug-in module. Streams opened from it must be closed before
// it is destroyed.
class Plugin {
 public:
  explicit Plugin(const std::string& path) {
    char error[512];
    host_ = velk_host_load(path.c_str(), error, sizeof error);
    if (host_ == nullptr) throw HostError(error);
  }
  Plugin(Plugin&& other) noexcept
      : host_(std::exchange(other.host_, nullptr)) {}
  Plugin& operator=(Plugin&& other) noexcept {
    std::swap(host_, other.host_);
    return *this;
  }
  Plugin(const Plugin&) = delete;
  Plugin& operator=(const Plugin&) = delete;
  ~Plugin() { velk_host_unload(host_); }

  VelkHost* get() const { return host_; }
  const VelkHostFunctions& functions() const {
    return *velk_host_functions(host_);
  }
  std::vector<VelkHostRegistration> registrations() const {
    std::vector<VelkHostRegistration> calls(
        velk_host_registration_count(host_));
    for (size_t i = 0; i < calls.size(); ++i) {
      velk_host_registration(host_, i, &calls[i]);
    }
    return calls;
  }
  const RegistrationEntry* find(const char* interface_name,
                                const char* entry_name) const {
    return velk_host_find_entry(host_, interface_name, entry_name);
  }
  // A provider property that answers with a pointer to text; empty when
  // not answered.
  std::string provider_text(const char* name) const {
    const char* text = nullptr;
    if (velk_host_provider_property(host_, name, &text, nullptr, nullptr) !=
            1 ||
        text == nullptr) {
      return {};
    }
    return text;
  }

  Stream open(const std::string& path);
  // A stream reading through `source`, whose context must outlive it;
  // `name` names the input in error texts.
  Stream open(const VelkHostSource& source, const std::string& name);

 private:
  VelkHost* host_ = nullptr;
};

// One decode stream on one file.
class Stream {
 public:
  Stream(VelkHost* host, const std::string& path) {
    char error[512];
    stream_ = velk_host_stream_open(host, path.c_str(), error, sizeof error);
    if (stream_ == nullptr) throw HostError(error);
  }
  Stream(VelkHost* host, const VelkHostSource& source,
         const std::string& name) {
    char error[512];
    stream_ = velk_host_stream_open_source(host, &source, name.c_str(), error,
                                           sizeof error);
    if (stream_ == nullptr) throw HostError(error);
  }
  Stream(Stream&& other) noexcept
      : stream_(std::exchange(other.stream_, nullptr)) {}
  Stream& operator=(Stream&& other) noexcept {
    std::swap(stream_, other.stream_);
    return *this;
  }
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;
  ~Stream() { velk_host_stream_close(stream_); }

  VelkHostStream* get() const { return stream_; }
  const VelkHostFileHeader& header() const {
    return *velk_host_stream_header(stream_);
  }
  VelkHostStreamInfo info() {
    VelkHostStreamInfo info{};
    velk_host_stream_info(stream_, &info);
    return info;
  }
  // The PCM the stream delivers; playable() tells whether it can be played.
  struct OutputFormat : VelkHostOutputFormat {
    bool playable;
  };
  OutputFormat output_format() {
    OutputFormat format{};
    format.playable = velk_host_stream_output_format(stream_, &format) == 1;
    return format;
  }
  size_t pull(void* destination, size_t bytes) {
    return velk_host_stream_pull(stream_, destination, bytes);
  }
  bool ended() const { return velk_host_stream_ended(stream_) != 0; }
  uint64_t timeline_frame() const {
    return velk_host_stream_timeline_frame(stream_);
  }
  // Pulls until the end, `chunk_bytes` per pull; at most `max_bytes`.
  std::vector<uint8_t> pull_all(size_t chunk_bytes = 65536,
                                size_t max_bytes = SIZE_MAX) {
    std::vector<uint8_t> pcm;
    while (!ended() && pcm.size() < max_bytes) {
      const size_t ask = std::min(chunk_bytes, max_bytes - pcm.size());
      const size_t old_size = pcm.size();
      pcm.resize(old_size + ask);
      pcm.resize(old_size + pull(pcm.data() + old_size, ask));
    }
    return pcm;
  }
  bool seek_ms(uint32_t ms, VelkHostSeek* out = nullptr) {
    return velk_host_stream_seek_ms(stream_, ms, out) == 1;
  }
  bool set_loop(uint32_t start_sample, uint32_t end_sample, uint32_t passes,
                VelkHostLoop* out = nullptr) {
    return velk_host_stream_set_loop(stream_, start_sample, end_sample, passes,
                                     out) == 1;
  }
  uint32_t loop_passes_done() const {
    return velk_host_stream_loop_passes_done(stream_);
  }
  VelkHostDamage damage() const {
    VelkHostDamage damage{};
    velk_host_stream_damage(stream_, &damage);
    return damage;
  }
  // One query by registered name; false when not answered.
  bool query(const char* name, uint32_t& value) {
    return velk_host_stream_property_by_name(stream_, name, &value, nullptr,
                                             nullptr) == 1;
  }

 private:
  VelkHostStream* stream_ = nullptr;
};

inline Stream Plugin::open(const std::string& path) {
  return Stream(host_, path);
}
inline Stream Plugin::open(const VelkHostSource& source,
                           const std::string& name) {
  return Stream(host_, source, name);
}

}  // namespace orv::host

#endif
