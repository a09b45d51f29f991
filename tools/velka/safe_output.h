// Output files that appear only when complete. Each is written under a
// temporary name beside its destination and renamed into place by
// commit(); a failure, a destruction before commit() or a fatal signal
// removes the temporary, so no half-written file is ever left.
//
// Only regular files are ever replaced. A destination that exists as
// something else that takes a stream of bytes (a named pipe, a character
// device such as a terminal or /dev/null) is written into directly, as
// other audio tools do, and nothing is renamed over it; a block device,
// socket or folder is refused. A symbolic link to a regular file stays a
// link: the file it names is the one replaced.
#ifndef ORV_TOOLS_VELKA_SAFE_OUTPUT_H
#define ORV_TOOLS_VELKA_SAFE_OUTPUT_H

#include <cstddef>
#include <string>

namespace velka {

// Installs the SIGINT, SIGTERM and SIGHUP handlers that remove every
// unfinished temporary and say in one line what was left unfinished, and
// notes the umask for the finished files' mode. Call once from main,
// before any thread starts.
void prepare_safe_outputs();

// What the interrupt line tells: the command (a lasting text, such as a
// literal) and its files, and each file as it is finished.
void note_batch_started(const char* command, size_t files);
void note_file_finished();

// The most temporaries open at once (the largest -j).
constexpr unsigned max_open_outputs = 64;

class SafeOutput {
 public:
  // The name that stands for standard output, written straight through.
  static constexpr const char* standard_output_name = "-";

  SafeOutput() = default;
  SafeOutput(const SafeOutput&) = delete;
  SafeOutput& operator=(const SafeOutput&) = delete;
  ~SafeOutput() { abandon(); }

  // Creates the temporary, or opens a destination that is written into
  // directly. Without `overwrite`, an existing regular file is refused here
  // and, should one appear meanwhile, at commit(). On failure returns false
  // with error() set.
  bool open(const std::string& path, bool overwrite);

  int fd() const { return fd_; }
  bool is_standard_output() const { return standard_output_; }
  // Written into directly (standard output, a pipe, a device): what is
  // written cannot be taken back, and abandon() leaves it as it is.
  bool is_direct() const { return direct_; }
  // Whether the output can seek back, as some file formats need to.
  bool is_seekable() const { return seekable_; }
  // The error() of a destination that exists and may not be replaced:
  // a fault of this output alone, not of the folder.
  bool refused_existing() const { return refused_existing_; }
  const std::string& error() const { return error_; }

  // Writes all of `bytes`; false with error() set when the disk refuses.
  bool write(const void* data, size_t bytes);
  // Flushes to disk, gives the file the usual permissions and renames it
  // into place. False with error() set, and the temporary removed, if any
  // step fails.
  bool commit();
  // Removes the temporary, if there is one.
  void abandon();

  // Sets error() to "cannot write 'PATH': REASON" and returns false.
  bool fail_write(const std::string& reason);

 private:
  void release_slot();
  bool open_direct(const std::string& path);
  bool refuse(const std::string& message);

  std::string path_;  // the name renamed onto; a link's target
  std::string temp_;
  int fd_ = -1;
  int slot_ = -1;
  bool overwrite_ = false;
  bool standard_output_ = false;
  bool direct_ = false;
  bool seekable_ = true;
  bool refused_existing_ = false;
  std::string error_;
};

}  // namespace velka

#endif
