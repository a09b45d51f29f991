#include "safe_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

namespace velka {
namespace {

// The temporaries a signal handler must remove. A handler may only make
// async-signal-safe calls, so the paths sit in fixed buffers and a slot is
// published by a lock-free state word: free, being filled, or armed.
constexpr size_t max_temp_path = 4096;
enum SlotState : int { slot_free, slot_filling, slot_armed };
struct TempSlot {
  std::atomic<int> state;
  char path[max_temp_path];
};
TempSlot temp_slots[max_open_outputs];
static_assert(std::atomic<int>::is_always_lock_free);

mode_t file_mode = 0644;

extern "C" void remove_temporaries_and_die(int signal_number) {
  for (TempSlot& slot : temp_slots) {
    if (slot.state.load() == slot_armed) unlink(slot.path);
  }
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

int claim_slot(const std::string& path) {
  if (path.size() >= max_temp_path) return -1;
  for (unsigned i = 0; i < max_open_outputs; ++i) {
    int expected = slot_free;
    if (temp_slots[i].state.compare_exchange_strong(expected, slot_filling)) {
      std::memcpy(temp_slots[i].path, path.c_str(), path.size() + 1);
      temp_slots[i].state.store(slot_armed);
      return static_cast<int>(i);
    }
  }
  return -1;
}

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

}  // namespace

void prepare_safe_outputs() {
  // Reading the umask means setting it; done once, before threads start.
  const mode_t mask = umask(0);
  umask(mask);
  file_mode = 0666 & ~mask;
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    std::signal(signal_number, remove_temporaries_and_die);
  }
}

bool SafeOutput::open(const std::string& path, bool overwrite) {
  abandon();
  path_ = path;
  overwrite_ = overwrite;
  refused_existing_ = false;
  error_.clear();
  if (path == standard_output_name) {
    standard_output_ = true;
    fd_ = STDOUT_FILENO;
    return true;
  }
  if (!overwrite && exists(path)) {
    refused_existing_ = true;
    error_ = "'" + path + "' exists (--force overwrites it)";
    return false;
  }
  std::string temp = path + ".partial-XXXXXX";
  slot_ = claim_slot(temp);
  if (slot_ < 0) {
    error_ = "cannot create '" + path + "': name too long";
    return false;
  }
  // mkstemp fills in the X's in the slot itself, so the handler always
  // holds the name that exists.
  char* name = temp_slots[slot_].path;
  fd_ = mkstemp(name);
  if (fd_ < 0) {
    error_ = "cannot create '" + path + "': " + std::strerror(errno);
    release_slot();
    return false;
  }
  temp_ = name;
  return true;
}

bool SafeOutput::fail_write(const std::string& reason) {
  if (error_.empty()) error_ = "cannot write '" + path_ + "': " + reason;
  return false;
}

bool SafeOutput::write(const void* data, size_t bytes) {
  const auto* at = static_cast<const char*>(data);
  while (bytes > 0) {
    const ssize_t n = ::write(fd_, at, bytes);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return fail_write(n < 0 ? std::strerror(errno) : "no progress");
    at += n;
    bytes -= static_cast<size_t>(n);
  }
  return true;
}

bool SafeOutput::commit() {
  if (!error_.empty() || fd_ < 0) return false;
  if (standard_output_) {
    fd_ = -1;
    return true;
  }
  // Flushed before the rename, so the name never points at lost data.
  if (fsync(fd_) != 0 || fchmod(fd_, file_mode) != 0) {
    fail_write(std::strerror(errno));
    abandon();
    return false;
  }
  const int closed = ::close(fd_);
  fd_ = -1;
  if (closed != 0) {
    fail_write(std::strerror(errno));
    abandon();
    return false;
  }
  int renamed = -1;
  if (overwrite_) {
    renamed = std::rename(temp_.c_str(), path_.c_str());
  } else {
    // Refuse a destination that appeared while the temporary was written
    // (another run, or two inputs of one batch with the same name).
    renamed = renameat2(AT_FDCWD, temp_.c_str(), AT_FDCWD, path_.c_str(),
                        RENAME_NOREPLACE);
    if (renamed != 0 && errno == EINVAL) {  // a file system without it
      renamed = exists(path_) ? (errno = EEXIST, -1)
                              : std::rename(temp_.c_str(), path_.c_str());
    }
  }
  if (renamed != 0) {
    if (errno == EEXIST) {
      refused_existing_ = true;
      error_ = "'" + path_ + "' exists (--force overwrites it)";
    } else {
      error_ = "cannot create '" + path_ + "': " + std::strerror(errno);
    }
    abandon();
    return false;
  }
  temp_.clear();
  release_slot();
  return true;
}

void SafeOutput::abandon() {
  if (standard_output_) {
    fd_ = -1;
    standard_output_ = false;
    return;
  }
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!temp_.empty()) unlink(temp_.c_str());
  temp_.clear();
  release_slot();
}

void SafeOutput::release_slot() {
  if (slot_ >= 0) temp_slots[slot_].state.store(slot_free);
  slot_ = -1;
}

}  // namespace velka
