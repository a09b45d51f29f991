// Running one command over many files: outputs named from inputs, N files
// at once on N threads, one progress line for the whole batch, each
// failure named on a line of its own and a summary at the end.
#ifndef ORV_TOOLS_VELKA_BATCH_H
#define ORV_TOOLS_VELKA_BATCH_H

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace velka {

// A file that could not be handled; what() names the file and the reason
// on one line. `stops_batch` marks trouble no other file would escape (a
// full disk, an unwritable folder, a plug-in that does not load).
class FileFailure : public std::runtime_error {
 public:
  explicit FileFailure(const std::string& message, bool stops_batch = false)
      : std::runtime_error(message), stops_batch_(stops_batch) {}
  bool stops_batch() const { return stops_batch_; }

 private:
  bool stops_batch_;
};

// velka's exit statuses. A batch exits with the worst of its files': a
// failure over damage over a clean result.
enum ExitStatus : int {
  exit_clean = 0,    // every file handled, nothing amiss
  exit_failed = 1,   // some file failed (or was not attempted)
  exit_usage = 2,    // a wrong command line; nothing was done
  exit_damaged = 3,  // every file handled, some with damage kept or shown
};

// A command-line mistake found after parsing: the run exits with
// exit_usage.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Job {
  std::string input;
  std::string output;  // empty where the command writes no file
};

// What a job tells the batch while it runs. One per running job.
class JobReport {
 public:
  virtual ~JobReport() = default;
  // The sample frames the job will handle in all, once known: its share
  // of the progress line.
  virtual void expect(uint64_t frames) = 0;
  // Adds audio handled: `frames` sample frames at `sample_rate`.
  virtual void add_audio(uint64_t frames, uint32_t sample_rate) = 0;
  // A line for whoever watches, printed at once (what was made of the
  // file); nothing with --quiet.
  virtual void say(const std::string& line) = 0;
  // A note printed with the failures, after the run (warnings).
  virtual void note(const std::string& line) = 0;
  // Marks the file as handled with damage: what it held is kept or shown,
  // but some of it was lost or is wrong. `line` (if not empty) says what,
  // and is printed like a note.
  virtual void damaged(const std::string& line) = 0;
};

struct BatchSettings {
  const char* command;  // "decode": the message prefix is "velka decode: "
  const char* verb;     // "decoding", for the progress line
  unsigned threads = 1;
  std::string out_dir;  // created first when given
  bool summary = true;  // the closing line of a batch of several files
  bool quiet = false;   // no progress, summary or said lines
};

// Runs `work` on every job, on up to `threads` threads; a failure of one
// file is reported and the rest go on, unless it stops the batch. Returns
// the exit status: exit_failed if any file failed, else exit_damaged if
// any was damaged, else exit_clean.
int run_batch(const BatchSettings& settings, const std::vector<Job>& jobs,
              const std::function<void(const Job&, JobReport&)>& work);

// Refuses, as a usage error, two jobs with one output, and an output that
// would replace its own input.
void check_distinct_outputs(const std::vector<Job>& jobs);

// A time as h:mm:ss, or m:ss below an hour, with `decimals` places of
// seconds: "0:13", "1:02:03", "0:12.34".
std::string clock_time(double seconds, int decimals = 0);

// Refuses, as usage errors, lists of names that cannot mean what they
// say, before anything is read or written. Without -o (`out_dir` empty):
// a last name that is a folder (-o was meant), and several inputs followed
// by a name that can only be meant as their output
// (`looks_like_output`), which would be read as one more input.
void check_batch_names(
    const std::vector<std::string>& files, const std::string& out_dir,
    const char* command,
    const std::function<bool(const std::string&)>& looks_like_output);

// Whether `path` ends in ".EXT" (any case, `extension` given in lower case).
bool has_extension(const std::string& path, const std::string& extension);
// The extension after the last dot of the file name, in lower case.
std::string extension_of(const std::string& path);
// `input`'s file name with its extension replaced by `extension`, in
// `folder` (or beside the input when `folder` is empty).
std::string output_name(const std::string& input, const std::string& folder,
                        const std::string& extension);

}  // namespace velka

#endif
