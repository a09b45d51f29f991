#include "safe_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
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

// What the interrupt line tells.
std::atomic<const char*> batch_command{nullptr};
std::atomic<size_t> batch_files{0};
std::atomic<size_t> files_finished{0};
bool progress_on_terminal = false;
static_assert(std::atomic<size_t>::is_always_lock_free);

// Appends `text` or `number` at `at` in a fixed buffer; a signal handler
// has no printf.
size_t put_text(char* line, size_t at, size_t size, const char* text) {
  while (*text != '\0' && at + 1 < size) line[at++] = *text++;
  return at;
}
size_t put_number(char* line, size_t at, size_t size, size_t number) {
  char digits[24];
  size_t n = 0;
  do {
    digits[n++] = static_cast<char>('0' + number % 10);
    number /= 10;
  } while (number != 0);
  while (n > 0 && at + 1 < size) line[at++] = digits[--n];
  return at;
}

extern "C" void remove_temporaries_and_die(int signal_number) {
  size_t removed = 0;
  for (TempSlot& slot : temp_slots) {
    if (slot.state.load() == slot_armed && unlink(slot.path) == 0) ++removed;
  }
  // One line: which run stopped, how far it had come, what was removed.
  char line[256];
  size_t at = 0;
  if (progress_on_terminal) at = put_text(line, at, sizeof line, "\r\033[K");
  at = put_text(line, at, sizeof line, "velka");
  if (const char* command = batch_command.load(); command != nullptr) {
    at = put_text(line, at, sizeof line, " ");
    at = put_text(line, at, sizeof line, command);
  }
  at = put_text(line, at, sizeof line, ": interrupted");
  if (const size_t files = batch_files.load(); files > 1) {
    at = put_text(line, at, sizeof line, " after ");
    at = put_number(line, at, sizeof line, files_finished.load());
    at = put_text(line, at, sizeof line, " of ");
    at = put_number(line, at, sizeof line, files);
    at = put_text(line, at, sizeof line, " files");
  }
  if (removed > 0) {
    at = put_text(line, at, sizeof line, "; ");
    at = put_number(line, at, sizeof line, removed);
    at = put_text(line, at, sizeof line,
                  removed == 1 ? " unfinished output removed"
                               : " unfinished outputs removed");
  }
  at = put_text(line, at, sizeof line, "\n");
  ssize_t ignored = write(STDERR_FILENO, line, at);
  (void)ignored;
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
  progress_on_terminal = isatty(STDERR_FILENO) == 1;
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    std::signal(signal_number, remove_temporaries_and_die);
  }
}

void note_batch_started(const char* command, size_t files) {
  files_finished.store(0);
  batch_files.store(files);
  batch_command.store(command);
}

void note_file_finished() { files_finished.fetch_add(1); }

bool SafeOutput::refuse(const std::string& message) {
  refused_existing_ = true;
  error_ = message;
  return false;
}

bool SafeOutput::open(const std::string& path, bool overwrite) {
  abandon();
  path_ = path;
  overwrite_ = overwrite;
  refused_existing_ = false;
  seekable_ = true;
  error_.clear();
  if (path == standard_output_name) {
    // Treated as a stream even when redirected to a file: the file may be
    // opened for appending, and formats that seek back would then write
    // their sizes over what was there before.
    standard_output_ = true;
    direct_ = true;
    seekable_ = false;
    fd_ = STDOUT_FILENO;
    return true;
  }
  struct stat link;
  if (lstat(path.c_str(), &link) == 0) {
    struct stat target;
    if (stat(path.c_str(), &target) != 0) {
      return refuse("'" + path + "' is a symbolic link to nothing");
    }
    if (S_ISDIR(target.st_mode)) return refuse("'" + path + "' is a directory");
    if (S_ISFIFO(target.st_mode) || S_ISCHR(target.st_mode)) {
      return open_direct(path);
    }
    if (!S_ISREG(target.st_mode)) {
      const char* what = S_ISBLK(target.st_mode)    ? "a block device"
                         : S_ISSOCK(target.st_mode) ? "a socket"
                                                    : "not a regular file";
      return refuse("'" + path + "' is " + what +
                    "; velka writes only files, pipes and character devices");
    }
    if (!overwrite) {
      return refuse("'" + path + "' exists (--force overwrites it)");
    }
    if (S_ISLNK(link.st_mode)) {
      // The link stays; the file it names is replaced.
      char* resolved = realpath(path.c_str(), nullptr);
      if (resolved == nullptr) {
        error_ = "cannot follow '" + path + "': " + std::strerror(errno);
        return false;
      }
      path_ = resolved;
      std::free(resolved);
    }
  } else if (errno != ENOENT) {
    error_ = "cannot create '" + path + "': " + std::strerror(errno);
    return false;
  }
  std::string temp = path_ + ".partial-XXXXXX";
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

bool SafeOutput::open_direct(const std::string& path) {
  // No O_CREAT and no O_TRUNC: this opens what is there or nothing. A pipe
  // blocks here until something reads it, as it does for any writer.
  fd_ = ::open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
  if (fd_ < 0) {
    error_ = "cannot write '" + path + "': " + std::strerror(errno);
    return false;
  }
  // Whatever was stat()ed may have been swapped for a regular file since;
  // that one would be written over in place, so it is let alone.
  struct stat st;
  if (fstat(fd_, &st) != 0 || !(S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode))) {
    ::close(fd_);
    fd_ = -1;
    return refuse("'" + path + "' changed while velka opened it");
  }
  direct_ = true;
  seekable_ = S_ISCHR(st.st_mode) && lseek(fd_, 0, SEEK_CUR) >= 0;
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
  if (direct_) {
    const int closed = ::close(fd_);
    fd_ = -1;
    return closed == 0 || fail_write(std::strerror(errno));
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
    // Only a regular file is replaced, whatever took the name meanwhile.
    struct stat st;
    if (lstat(path_.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
      refused_existing_ = true;
      error_ = "'" + path_ + "' is no longer a regular file; left as it is";
      abandon();
      return false;
    }
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
  if (direct_) {
    if (!standard_output_ && fd_ >= 0) ::close(fd_);
    fd_ = -1;
    standard_output_ = false;
    direct_ = false;
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
