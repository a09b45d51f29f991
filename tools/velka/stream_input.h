// Input that is not a regular file (standard input, a named pipe) as a
// byte source for the host library. The plug-in reads forward only, so a
// pipe is enough to decode from start to end; only seeks and loops need a
// file they can jump in.
#ifndef ORV_TOOLS_VELKA_STREAM_INPUT_H
#define ORV_TOOLS_VELKA_STREAM_INPUT_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "host/velk_host.h"

namespace velka {

class StreamInput {
 public:
  // Reads `fd`, closed at the end when `owned`. A descriptor that can seek
  // (standard input redirected from a file) is moved about as asked; one
  // that cannot keeps its first bytes, so that the header can be read again
  // from the start, and moves forwards by reading.
  StreamInput(int fd, bool owned);
  StreamInput(const StreamInput&) = delete;
  StreamInput& operator=(const StreamInput&) = delete;
  ~StreamInput();

  // The source for velk_host_stream_open_source; valid while this lives.
  VelkHostSource source();
  bool seekable() const { return seekable_; }

 private:
  static size_t read(void* context, void* destination, size_t bytes);
  static int seek(void* context, uint64_t position);

  int fd_;
  bool owned_;
  bool seekable_;
  VelkHostSource fd_source_;  // the descriptor itself, as the host reads files
  // Bytes [0, head_.size()) of the input, while no byte after them has been
  // read: the header and seek table, which the host and the plug-in each
  // read from the start.
  std::vector<uint8_t> head_;
  uint64_t position_ = 0;  // of the next byte to deliver
  uint64_t taken_ = 0;     // bytes read from the descriptor
};

}  // namespace velka

#endif
