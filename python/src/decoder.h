// One Velk audio file open for decoding from Python: a stream of the host
// library over a path, a buffer or a Python file-like object, with reads
// into numpy arrays, sample-exact seeks and loops.
//
// Decoding runs with the GIL released. A file-like object's read and seek
// are called back from inside the host library, and only they take the GIL
// again; a Python exception they raise is kept and raised as VelkError once
// the call is back in Python (an interrupt or exit as it is). One decoder
// may be used from several threads: its mutex is taken with the GIL
// released, so a thread waiting for it never holds up a callback of the
// thread decoding.
#ifndef VELK_PYTHON_DECODER_H
#define VELK_PYTHON_DECODER_H

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/velk_host.h"

namespace velk_python {

namespace py = pybind11;

// A failure the package reports as velk.VelkError; what() names the file.
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The Python type of VelkError, set when the module is initialised.
extern py::handle velk_error_type;

// Loads the plug-in module at `path` for the whole process (once; later
// calls return at once). Throws Error when it cannot be loaded.
void load_plugin(const std::string& path);

class Decoder {
 public:
  enum class Kind { path, buffer, file };

  // `input` is a str path, an object with the buffer protocol (C-contiguous
  // bytes) or a file-like object with read and seek; `name` names it in
  // messages.
  Decoder(Kind kind, py::object input, std::string name);
  ~Decoder();
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;

  const std::string& name() const { return name_; }
  uint32_t sample_rate() const { return sample_rate_; }
  uint32_t channels() const { return channels_; }
  uint32_t frames() const { return header_.total_samples; }
  const VelkHostFileHeader& header() const { return header_; }
  const VelkHostStreamInfo& info() const { return info_; }
  bool seekable() const { return header_.seek_entry_count != 0; }

  // Decodes up to `frames` frames into the rows of `out` (C-contiguous,
  // frames x channels, int16, int32, float32 or float64) from the current
  // position; returns the frames delivered, fewer only at the end (the
  // header's length, or what a damaged or cut file holds).
  size_t read(py::array out, size_t frames);
  // Moves to sample frame `frame` (at most frames()): through the plug-in's
  // exact seek where the file has a seek table, else by decoding from the
  // start; the frames before the target are decoded and dropped. What
  // follows is what a whole decode gives from `frame` on.
  void seek(uint64_t frame);
  uint64_t tell();
  // Plays [start, end) `passes` times in all (0: without end) once playback
  // reaches `end`; every pass starts exactly at `start`. Needs a seek table.
  void set_loop(uint32_t start, uint32_t end, uint32_t passes);
  bool looping() const { return looping_; }
  uint32_t loop_passes() const { return loop_passes_; }
  // Closes the stream (and a file opened by path); later calls raise.
  void close();
  bool closed() const { return stream_ == nullptr; }

 private:
  void open_stream();
  // Closes the stream and opens a fresh one on the same input, with the
  // loop (if any) set again.
  void reopen();
  VelkHostStream* live_stream();
  // Pulls up to `frames` frames of int16 into `pcm`, cut at the header's
  // length; returns whole frames.
  size_t pull(int16_t* pcm, size_t frames);
  uint32_t ms_of(uint64_t frame) const;
  // The first frame of the seek entry that holds time `ms` (0 when the
  // plug-in has no answer).
  uint64_t entry_first_frame(uint32_t ms);
  // Pulls and drops frames until the stream's timeline reaches `frame`.
  void discard_until(uint64_t frame);
  // Raises the file-like object's exception, if one was kept, as VelkError
  // (KeyboardInterrupt, SystemExit and other non-Exceptions unchanged).
  void raise_pending(const char* doing);

  static size_t read_buffer(void* context, void* destination, size_t bytes);
  static int seek_buffer(void* context, uint64_t position);
  static size_t read_file(void* context, void* destination, size_t bytes);
  static int seek_file(void* context, uint64_t position);

  Kind kind_;
  std::string name_;
  py::object input_;
  // A buffer input, held for the decoder's life (released even when the
  // constructor fails, which runs no destructor).
  struct View {
    Py_buffer buffer{};
    bool held = false;
    View() = default;
    View(const View&) = delete;
    View& operator=(const View&) = delete;
    ~View() {
      if (held) PyBuffer_Release(&buffer);
    }
  } view_;
  uint64_t buffer_position_ = 0;
  // A file-like input: its readinto (or read) and seek.
  py::object file_read_;
  py::object file_seek_;
  bool file_readinto_ = false;
  std::optional<py::error_already_set> pending_;

  std::mutex mutex_;
  VelkHostStream* stream_ = nullptr;
  VelkHostFileHeader header_{};
  VelkHostStreamInfo info_{};
  uint32_t sample_rate_ = 0;
  uint32_t channels_ = 0;
  bool looping_ = false;
  uint32_t loop_passes_ = 0;
  uint32_t loop_start_ = 0;
  uint32_t loop_end_ = 0;
  uint32_t loop_landing_ = 0;  // where the host's jump back lands
  std::vector<int16_t> scratch_;
  uint64_t block_frames_ = 0;  // frames per block, found at the first seek
};

// Encodes interleaved 16-bit PCM (frames x channels, C-contiguous) to a
// whole Velk audio file. bitrate_kbps 0 uses `quality`.
py::bytes encode(py::array_t<int16_t, py::array::c_style> pcm,
                 uint32_t sample_rate, int quality, double bitrate_kbps);

}  // namespace velk_python

#endif
