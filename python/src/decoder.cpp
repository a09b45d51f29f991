#include "decoder.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "encoder/velk_encoder.h"

namespace velk_python {

py::handle velk_error_type;

namespace {

std::mutex plugin_mutex;
VelkHost* plugin = nullptr;

// Frames decoded per pull when the samples are converted on the way.
constexpr size_t chunk_frames = 8192;

// The host's seeks and loops locate samples through a seek table whose
// entries have a known number of blocks, which only version 2 headers give.
std::string why_no_seek_table(const VelkHostFileHeader& header) {
  if (header.seek_entry_count == 0) return "it has no seek table";
  return "its seek table does not say how many blocks an entry holds "
         "(format version " +
         std::to_string(header.version) + ")";
}

// 16-bit samples to the caller's type: floats are sample / 32768 and 32-bit
// integers sample * 65536, as 16-bit files read as other types elsewhere.
template <typename T>
void convert(const int16_t* in, T* out, size_t samples) {
  for (size_t i = 0; i < samples; ++i) {
    if constexpr (std::is_floating_point_v<T>) {
      out[i] = static_cast<T>(in[i]) * static_cast<T>(1.0 / 32768.0);
    } else {
      out[i] = static_cast<T>(in[i]) * static_cast<T>(65536);
    }
  }
}

}  // namespace

void load_plugin(const std::string& path) {
  std::lock_guard lock(plugin_mutex);
  if (plugin != nullptr) return;
  char error[512];
  // The process-wide module: a GStreamer element or another host in the
  // same process shares it. Held until the process ends.
  plugin = velk_host_acquire(path.c_str(), error, sizeof error);
  if (plugin == nullptr) throw Error(error);
}

Decoder::Decoder(Kind kind, py::object input, std::string name)
    : kind_(kind), name_(std::move(name)), input_(std::move(input)) {
  if (plugin == nullptr) throw Error("the Velk plug-in module is not loaded");
  if (kind_ == Kind::buffer) {
    if (PyObject_GetBuffer(input_.ptr(), &view_.buffer, PyBUF_SIMPLE) != 0) {
      throw py::error_already_set();
    }
    view_.held = true;
  } else if (kind_ == Kind::file) {
    file_readinto_ = py::hasattr(input_, "readinto");
    file_read_ = input_.attr(file_readinto_ ? "readinto" : "read");
    file_seek_ = input_.attr("seek");
  }
  {
    py::gil_scoped_release release;
    std::lock_guard lock(mutex_);
    open_stream();
  }
  if (stream_ == nullptr) raise_pending("reading");
}

Decoder::~Decoder() {
  // Called with the GIL held; a file-like object is called back from here
  // no more (closing reads nothing).
  velk_host_stream_close(stream_);
}

void Decoder::open_stream() {
  char error[512] = "";
  if (kind_ == Kind::path) {
    stream_ = velk_host_stream_open(plugin, name_.c_str(), error, sizeof error);
  } else {
    const VelkHostSource source =
        kind_ == Kind::buffer ? VelkHostSource{this, read_buffer, seek_buffer}
                              : VelkHostSource{this, read_file, seek_file};
    buffer_position_ = 0;
    stream_ = velk_host_stream_open_source(plugin, &source, name_.c_str(),
                                           error, sizeof error);
  }
  // A file-like object's exception explains the failure better than the
  // host can; the caller raises it.
  if (stream_ == nullptr) {
    if (pending_) return;
    throw Error(error);
  }
  header_ = *velk_host_stream_header(stream_);
  velk_host_stream_info(stream_, &info_);
  VelkHostOutputFormat format{};
  const bool playable = velk_host_stream_output_format(stream_, &format) == 1;
  channels_ = format.channels;
  sample_rate_ = format.sample_rate;
  if (!playable) {
    velk_host_stream_close(std::exchange(stream_, nullptr));
    throw Error("'" + name_ + "' declares " + std::to_string(channels_) +
                " channels at " + std::to_string(sample_rate_) +
                " Hz, which cannot be played");
  }
  scratch_.resize(chunk_frames * channels_);
}

VelkHostStream* Decoder::live_stream() {
  if (stream_ == nullptr) throw Error("'" + name_ + "' is closed");
  return stream_;
}

size_t Decoder::pull(int16_t* pcm, size_t frames) {
  VelkHostStream* s = stream_;
  const size_t frame_bytes = size_t{2} * channels_;
  size_t done = 0;
  while (done < frames && !velk_host_stream_ended(s)) {
    const uint64_t at = velk_host_stream_timeline_frame(s);
    // Frames past the header's length are the last block's padding.
    uint64_t left = at < header_.total_samples ? header_.total_samples - at : 0;
    if (looping_ && at < loop_end_) {
      // Each pull stops at the loop end, so that the jump back starts one.
      left = loop_end_ - at;
    } else if (looping_) {
      // The jump lands on the loop start moved back to the skip's step:
      // the frames up to the exact start (fewer than the step, at most 8)
      // are pulled and dropped.
      if (loop_start_ > loop_landing_) {
        int16_t dropped[64];
        const size_t drop = std::min<size_t>(loop_start_ - loop_landing_,
                                             std::size(dropped) / channels_);
        if (velk_host_stream_pull(s, dropped, drop * frame_bytes) <
            drop * frame_bytes) {
          break;
        }
        continue;
      }
      left = loop_end_ - loop_start_;
    }
    const size_t ask =
        static_cast<size_t>(std::min<uint64_t>(frames - done, left));
    if (ask == 0) break;
    const size_t got =
        velk_host_stream_pull(s, pcm + done * channels_, ask * frame_bytes);
    done += got / frame_bytes;  // a cut frame at the very end is dropped
    if (got < ask * frame_bytes) break;
  }
  return done;
}

size_t Decoder::read(py::array out, size_t frames) {
  const py::dtype type = out.dtype();
  const char code = type.kind() == 'f'     ? (type.itemsize() == 4 ? 'f' : 'd')
                    : type.itemsize() == 2 ? 'h'
                                           : 'i';
  if (out.ndim() != 2 || (out.flags() & py::array::c_style) == 0 ||
      !out.writeable() || static_cast<size_t>(out.shape(1)) != channels_ ||
      static_cast<size_t>(out.shape(0)) < frames ||
      !(type.kind() == 'f' || type.kind() == 'i') ||
      (type.kind() == 'f' && type.itemsize() != 4 && type.itemsize() != 8) ||
      (type.kind() == 'i' && type.itemsize() != 2 && type.itemsize() != 4)) {
    throw py::value_error("read needs a writable C-contiguous frames x " +
                          std::to_string(channels_) +
                          " array of int16, int32, float32 or float64");
  }
  void* data = out.mutable_data();
  size_t done = 0;
  {
    py::gil_scoped_release release;
    std::lock_guard lock(mutex_);
    live_stream();
    if (code == 'h') {
      done = pull(static_cast<int16_t*>(data), frames);
    } else {
      while (done < frames) {
        const size_t ask = std::min(frames - done, chunk_frames);
        const size_t got = pull(scratch_.data(), ask);
        const size_t offset = done * channels_;
        const size_t samples = got * channels_;
        switch (code) {
          case 'f':
            convert(scratch_.data(), static_cast<float*>(data) + offset,
                    samples);
            break;
          case 'd':
            convert(scratch_.data(), static_cast<double*>(data) + offset,
                    samples);
            break;
          default:
            convert(scratch_.data(), static_cast<int32_t*>(data) + offset,
                    samples);
        }
        done += got;
        if (got < ask) break;
      }
    }
  }
  raise_pending("reading");
  return done;
}

void Decoder::discard_until(uint64_t frame) {
  VelkHostStream* s = stream_;
  while (velk_host_stream_timeline_frame(s) < frame) {
    const uint64_t want = frame - velk_host_stream_timeline_frame(s);
    const size_t ask =
        static_cast<size_t>(std::min<uint64_t>(want, chunk_frames));
    if (pull(scratch_.data(), ask) < ask) break;
  }
}

uint32_t Decoder::ms_of(uint64_t frame) const {
  return static_cast<uint32_t>(std::min<uint64_t>(
      frame * 1000 / std::max<uint32_t>(header_.sample_rate, 1), UINT32_MAX));
}

uint64_t Decoder::entry_first_frame(uint32_t ms) {
  uint32_t result[2] = {0, 0};
  if (velk_host_stream_property_by_name(stream_, "Seek table lookup", nullptr,
                                        &ms, result) != 1) {
    return 0;
  }
  return result[1];
}

void Decoder::reopen() {
  const uint32_t passes_done =
      looping_ ? velk_host_stream_loop_passes_done(stream_) : 0;
  velk_host_stream_close(std::exchange(stream_, nullptr));
  open_stream();
  if (stream_ == nullptr || !looping_) return;
  // The loop goes on with the passes it has left (one: it ends at its end).
  const uint32_t passes =
      loop_passes_ == 0
          ? 0
          : std::max(loop_passes_ - std::min(passes_done, loop_passes_), 1u);
  VelkHostLoop loop{};
  velk_host_stream_set_loop(stream_, loop_start_, loop_end_, passes, &loop);
}

void Decoder::seek(uint64_t frame) {
  {
    py::gil_scoped_release release;
    std::lock_guard lock(mutex_);
    VelkHostStream* s = live_stream();
    frame = std::min<uint64_t>(frame, header_.total_samples);
    // The host converts milliseconds with the header's rate and lands on
    // the target moved back to the skip's step; the few frames up to the
    // exact target are decoded and dropped below.
    uint32_t ms = ms_of(frame);
    // The first block after a seek is crossfaded with whatever block was
    // decoded last, not with the one before it. So where the target lies in
    // the first block of its seek entry, decoding starts one entry earlier,
    // and in the first entry from a fresh stream; what follows is then the
    // whole decode's.
    bool restart = !seekable() || header_.blocks_per_seek_entry == 0;
    if (!restart) {
      const uint64_t first = entry_first_frame(ms);
      if (first == 0) {
        restart = true;
      } else {
        if (block_frames_ == 0) {
          block_frames_ = (first - entry_first_frame(ms_of(first - 1))) /
                          header_.blocks_per_seek_entry;
        }
        if (frame - first < block_frames_) ms = ms_of(first - 1);
      }
    }
    VelkHostSeek where{};
    if (!restart && velk_host_stream_seek_ms(s, ms, &where) == 0) {
      // The file-like object's seek failed (raised below), and nothing has
      // moved; else the plug-in has no seek table to offer.
      restart = !pending_;
    }
    if (restart) reopen();
    if (stream_ != nullptr && !pending_) discard_until(frame);
  }
  raise_pending("seeking in");
}

uint64_t Decoder::tell() {
  py::gil_scoped_release release;
  std::lock_guard lock(mutex_);
  return velk_host_stream_timeline_frame(live_stream());
}

void Decoder::set_loop(uint32_t start, uint32_t end, uint32_t passes) {
  py::gil_scoped_release release;
  std::lock_guard lock(mutex_);
  VelkHostStream* s = live_stream();
  if (start >= end || end > header_.total_samples) {
    throw py::value_error("the loop needs 0 <= start < end <= " +
                          std::to_string(header_.total_samples));
  }
  VelkHostLoop loop{};
  if (velk_host_stream_set_loop(s, start, end, passes, &loop) == 0) {
    throw Error("cannot loop '" + name_ + "': " + why_no_seek_table(header_));
  }
  looping_ = true;
  loop_passes_ = passes;
  loop_start_ = start;
  loop_end_ = end;
  loop_landing_ = std::min(loop.start_sample, start);
}

void Decoder::close() {
  VelkHostStream* s = nullptr;
  {
    py::gil_scoped_release release;
    std::lock_guard lock(mutex_);
    s = std::exchange(stream_, nullptr);
  }
  velk_host_stream_close(s);
}

void Decoder::raise_pending(const char* doing) {
  if (!pending_) return;
  py::error_already_set error = std::move(*pending_);
  pending_.reset();
  // An interrupt or exit is no I/O error: it goes on unchanged.
  if (!error.matches(PyExc_Exception)) throw error;
  std::string reason = py::str(error.type().attr("__name__"));
  const std::string text = py::str(error.value());
  if (!text.empty()) reason += ": " + text;
  const std::string message =
      "I/O error " + std::string(doing) + " '" + name_ + "': " + reason;
  py::raise_from(error, velk_error_type.ptr(), message.c_str());
  throw py::error_already_set();
}

size_t Decoder::read_buffer(void* context, void* destination, size_t bytes) {
  auto* d = static_cast<Decoder*>(context);
  const auto size = static_cast<uint64_t>(d->view_.buffer.len);
  const uint64_t from = std::min(d->buffer_position_, size);
  const size_t n = static_cast<size_t>(std::min<uint64_t>(bytes, size - from));
  std::memcpy(destination, static_cast<const char*>(d->view_.buffer.buf) + from,
              n);
  d->buffer_position_ = from + n;
  return n;
}

int Decoder::seek_buffer(void* context, uint64_t position) {
  auto* d = static_cast<Decoder*>(context);
  if (position > static_cast<uint64_t>(d->view_.buffer.len)) return 0;
  d->buffer_position_ = position;
  return 1;
}

size_t Decoder::read_file(void* context, void* destination, size_t bytes) {
  auto* d = static_cast<Decoder*>(context);
  py::gil_scoped_acquire acquire;
  if (d->pending_) return 0;  // nothing more after a failure
  auto* out = static_cast<char*>(destination);
  size_t done = 0;
  try {
    while (done < bytes) {
      const size_t want = bytes - done;
      size_t got = 0;
      if (d->file_readinto_) {
        const py::object n = d->file_read_(py::memoryview::from_memory(
            out + done, static_cast<py::ssize_t>(want)));
        got = n.is_none() ? 0 : n.cast<size_t>();
      } else {
        const py::object data = d->file_read_(want);
        py::buffer_info view = py::buffer(data).request();
        got = static_cast<size_t>(view.size * view.itemsize);
        std::memcpy(out + done, view.ptr, std::min(got, want));
      }
      if (got == 0) break;
      done += std::min(got, want);
    }
  } catch (py::error_already_set& e) {
    d->pending_ = std::move(e);
    return 0;
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_TypeError, e.what());
    d->pending_.emplace();
    return 0;
  }
  return done;
}

int Decoder::seek_file(void* context, uint64_t position) {
  auto* d = static_cast<Decoder*>(context);
  py::gil_scoped_acquire acquire;
  if (d->pending_) return 0;
  try {
    d->file_seek_(position);
  } catch (py::error_already_set& e) {
    d->pending_ = std::move(e);
    return 0;
  }
  return 1;
}

py::bytes encode(py::array_t<int16_t, py::array::c_style> pcm,
                 uint32_t sample_rate, int quality, double bitrate_kbps) {
  if (pcm.ndim() != 2) throw py::value_error("encode needs frames x channels");
  const auto frames = static_cast<size_t>(pcm.shape(0));
  const auto channels = static_cast<unsigned>(pcm.shape(1));
  orv::encoder::EncoderOptions options;
  options.quality = quality;
  options.bitrate_kbps = bitrate_kbps;
  std::vector<uint8_t> file;
  try {
    py::gil_scoped_release release;
    file = orv::encoder::encode_to_memory(pcm.data(), frames, channels,
                                          sample_rate, options);
  } catch (const orv::encoder::EncodeError& e) {
    throw Error(e.what());
  }
  return py::bytes(reinterpret_cast<const char*>(file.data()), file.size());
}

}  // namespace velk_python
