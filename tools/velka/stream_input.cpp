#include "stream_input.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace velka {
namespace {

// The most kept for reading again: a header and a long seek table.
constexpr size_t most_kept = 256 * 1024;

}  // namespace

StreamInput::StreamInput(int fd, bool owned)
    : fd_(fd), owned_(owned), fd_source_(velk_host_fd_source(&fd_)) {
  struct stat st;
  seekable_ =
      fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && lseek(fd, 0, SEEK_CUR) >= 0;
}

StreamInput::~StreamInput() {
  if (owned_) ::close(fd_);
}

VelkHostSource StreamInput::source() {
  if (seekable_) return fd_source_;
  return VelkHostSource{this, &StreamInput::read, &StreamInput::seek};
}

size_t StreamInput::read(void* context, void* destination, size_t bytes) {
  auto* in = static_cast<StreamInput*>(context);
  auto* out = static_cast<uint8_t*>(destination);
  size_t done = 0;
  if (in->position_ < in->head_.size()) {
    const size_t kept =
        std::min<uint64_t>(in->head_.size() - in->position_, bytes);
    std::memcpy(out, in->head_.data() + in->position_, kept);
    done = kept;
    in->position_ += kept;
  }
  if (done == bytes) return done;
  const size_t got =
      in->fd_source_.read(in->fd_source_.context, out + done, bytes - done);
  // Kept while the kept bytes still run on from the start without a gap.
  if (in->taken_ == in->head_.size() && in->head_.size() < most_kept) {
    const size_t keep = std::min(got, most_kept - in->head_.size());
    in->head_.insert(in->head_.end(), out + done, out + done + keep);
  }
  in->taken_ += got;
  in->position_ += got;
  return done + got;
}

int StreamInput::seek(void* context, uint64_t position) {
  auto* in = static_cast<StreamInput*>(context);
  // Back into the kept bytes, or forwards by reading and dropping.
  const bool kept_whole = in->taken_ == in->head_.size();
  if (position <= in->head_.size() && kept_whole) {
    in->position_ = position;
    return 1;
  }
  if (position < in->taken_) return 0;
  uint8_t sink[4096];
  while (in->position_ < position) {
    const size_t ask =
        std::min<uint64_t>(position - in->position_, sizeof sink);
    if (read(context, sink, ask) < ask) break;
  }
  in->position_ = position;
  return 1;
}

}  // namespace velka
