#include "batch.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <new>
#include <thread>

#include "safe_output.h"

namespace velka {
namespace {

using Clock = std::chrono::steady_clock;

// The one progress line of a batch, on standard error when it is a
// terminal, drawn once the work has taken long enough to be worth watching
// and at most ten times a second: the share done, files, audio, speed and
// the time left. Each job's share of the work is its input's size, and the
// part of it done the part of its frames handled.
class Progress {
 public:
  Progress(const char* verb, const std::vector<Job>& jobs, bool enabled)
      : verb_(verb),
        shares_(jobs.size()),
        enabled_(enabled && isatty(STDERR_FILENO) == 1),
        started_(Clock::now()) {
    bool sized = true;
    for (size_t i = 0; i < jobs.size(); ++i) {
      std::error_code error;
      const auto size = std::filesystem::file_size(jobs[i].input, error);
      shares_[i].weight = error ? 0.0 : static_cast<double>(size);
      sized = sized && shares_[i].weight > 0;
    }
    // Inputs of unknown size (pipes) count as one file each, as do all.
    for (Share& share : shares_) {
      if (!sized) share.weight = 1;
      total_weight_ += share.weight;
    }
  }

  void expect(size_t job, uint64_t frames) {
    std::lock_guard lock(mutex_);
    shares_[job].expected = frames;
  }
  void add(size_t job, uint64_t frames, double seconds) {
    std::lock_guard lock(mutex_);
    shares_[job].done += frames;
    audio_seconds_ += seconds;
    draw();
  }
  void file_done(size_t job) {
    std::lock_guard lock(mutex_);
    shares_[job].finished = true;
    ++files_done_;
    draw();
  }
  // Prints `line` above the progress line.
  void say(const std::string& line) {
    std::lock_guard lock(mutex_);
    if (drawn_) std::fputs("\r\033[K", stderr);
    drawn_ = false;
    std::fputs(line.c_str(), stderr);
  }
  void clear() {
    std::lock_guard lock(mutex_);
    if (drawn_) std::fputs("\r\033[K", stderr);
    drawn_ = false;
  }

 private:
  struct Share {
    double weight = 0;
    uint64_t expected = 0;  // frames; 0 while unknown
    uint64_t done = 0;
    bool finished = false;
  };

  double fraction_done() const {
    double done = 0;
    for (const Share& share : shares_) {
      if (share.finished) {
        done += share.weight;
      } else if (share.expected > 0) {
        done += share.weight *
                std::min(1.0, static_cast<double>(share.done) /
                                  static_cast<double>(share.expected));
      }
    }
    return total_weight_ > 0 ? done / total_weight_ : 0;
  }

  void draw() {
    if (!enabled_) return;
    const auto now = Clock::now();
    if (now - started_ < std::chrono::milliseconds(300)) return;
    if (drawn_ && now - last_ < std::chrono::milliseconds(100)) return;
    last_ = now;
    drawn_ = true;
    const double wall = std::chrono::duration<double>(now - started_).count();
    const double fraction = fraction_done();
    std::string line = "\r\033[K" + std::string(verb_) + ": ";
    char text[160];
    std::snprintf(text, sizeof text, "%.0f%%, %zu/%zu files, ", 100 * fraction,
                  files_done_, shares_.size());
    line += text;
    line += clock_time(audio_seconds_) + " of audio";
    std::snprintf(text, sizeof text, ", %.0fx real time",
                  audio_seconds_ / wall);
    line += text;
    // The rate so far, once there is enough of it to go by.
    if (fraction > 0.01 && wall > 1) {
      line += ", " + clock_time(wall * (1 - fraction) / fraction) + " left";
    }
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
  }

  const char* verb_;
  std::vector<Share> shares_;
  double total_weight_ = 0;
  bool enabled_;
  Clock::time_point started_;
  std::mutex mutex_;
  size_t files_done_ = 0;
  double audio_seconds_ = 0;
  bool drawn_ = false;
  Clock::time_point last_;
};

struct Outcome {
  enum State { not_run, done, damaged, failed } state = not_run;
  std::string failure;
  std::vector<std::string> notes;
  double audio_seconds = 0;
};

class Report final : public JobReport {
 public:
  Report(Progress& progress, size_t job, Outcome& outcome, bool quiet)
      : progress_(progress), job_(job), outcome_(outcome), quiet_(quiet) {}
  void expect(uint64_t frames) override { progress_.expect(job_, frames); }
  void add_audio(uint64_t frames, uint32_t sample_rate) override {
    if (sample_rate == 0) return;
    const double seconds = static_cast<double>(frames) / sample_rate;
    outcome_.audio_seconds += seconds;
    progress_.add(job_, frames, seconds);
  }
  void say(const std::string& line) override {
    if (!quiet_) progress_.say(line + "\n");
  }
  void note(const std::string& line) override {
    outcome_.notes.push_back(line);
  }
  void damaged(const std::string& line) override {
    outcome_.state = Outcome::damaged;
    if (!line.empty()) outcome_.notes.push_back(line);
  }

 private:
  Progress& progress_;
  size_t job_;
  Outcome& outcome_;
  bool quiet_;
};

// The failure line names the file; most messages already do.
std::string naming_the_file(const std::string& message, const Job& job) {
  if (message.find(job.input) != std::string::npos) return message;
  if (!job.output.empty() && message.find(job.output) != std::string::npos) {
    return message;
  }
  return "'" + job.input + "': " + message;
}

}  // namespace

int run_batch(const BatchSettings& settings, const std::vector<Job>& jobs,
              const std::function<void(const Job&, JobReport&)>& work) {
  const std::string prefix = std::string("velka ") + settings.command + ": ";
  if (!settings.out_dir.empty()) {
    std::error_code error;
    std::filesystem::create_directories(settings.out_dir, error);
    if (error) {
      std::fprintf(stderr, "%scannot create the folder '%s': %s\n",
                   prefix.c_str(), settings.out_dir.c_str(),
                   error.message().c_str());
      return exit_failed;
    }
  }

  Progress progress(settings.verb, jobs, !settings.quiet);
  note_batch_started(settings.command, jobs.size());
  std::vector<Outcome> outcomes(jobs.size());
  std::atomic<size_t> next{0};
  std::atomic<bool> stop{false};
  auto worker = [&] {
    while (!stop.load()) {
      const size_t i = next.fetch_add(1);
      if (i >= jobs.size()) return;
      Outcome& outcome = outcomes[i];
      Report report(progress, i, outcome, settings.quiet);
      try {
        work(jobs[i], report);
        if (outcome.state == Outcome::not_run) outcome.state = Outcome::done;
      } catch (const FileFailure& f) {
        outcome.state = Outcome::failed;
        outcome.failure = f.what();
        if (f.stops_batch()) stop.store(true);
      } catch (const std::bad_alloc&) {
        outcome.state = Outcome::failed;
        outcome.failure = "out of memory";
      } catch (const std::exception& e) {
        outcome.state = Outcome::failed;
        outcome.failure = e.what();
      }
      progress.file_done(i);
      note_file_finished();
    }
  };
  const size_t threads =
      std::clamp<size_t>(settings.threads, 1, std::max<size_t>(jobs.size(), 1));
  std::vector<std::thread> helpers;
  for (size_t t = 1; t < threads; ++t) helpers.emplace_back(worker);
  worker();
  for (std::thread& helper : helpers) helper.join();
  progress.clear();

  // Messages in input order, so a batch's log does not depend on timing.
  size_t done = 0;
  size_t damaged = 0;
  size_t failed = 0;
  size_t not_run = 0;
  double audio_seconds = 0;
  for (size_t i = 0; i < jobs.size(); ++i) {
    const Outcome& outcome = outcomes[i];
    for (const std::string& line : outcome.notes) {
      std::fprintf(stderr, "%s%s\n", prefix.c_str(), line.c_str());
    }
    switch (outcome.state) {
      case Outcome::damaged:
        ++damaged;
        [[fallthrough]];
      case Outcome::done:
        ++done;
        audio_seconds += outcome.audio_seconds;
        break;
      case Outcome::failed:
        ++failed;
        std::fprintf(stderr, "%s%s\n", prefix.c_str(),
                     naming_the_file(outcome.failure, jobs[i]).c_str());
        break;
      case Outcome::not_run:
        ++not_run;
        break;
    }
  }
  if (settings.summary && !settings.quiet && jobs.size() > 1) {
    std::string line = prefix + std::to_string(done) + " of " +
                       std::to_string(jobs.size()) + " files done";
    if (damaged > 0) line += " (" + std::to_string(damaged) + " damaged)";
    line += ", " + std::to_string(failed) + " failed";
    if (not_run > 0) line += ", " + std::to_string(not_run) + " not attempted";
    line += "; " + clock_time(audio_seconds) + " of audio\n";
    std::fputs(line.c_str(), stderr);
  }
  if (failed > 0 || not_run > 0) return exit_failed;
  return damaged > 0 ? exit_damaged : exit_clean;
}

void check_distinct_outputs(const std::vector<Job>& jobs) {
  namespace fs = std::filesystem;
  std::vector<std::pair<std::string, size_t>> outputs;
  for (size_t i = 0; i < jobs.size(); ++i) {
    if (jobs[i].output.empty()) continue;
    const std::string output =
        fs::path(jobs[i].output).lexically_normal().string();
    if (output == fs::path(jobs[i].input).lexically_normal().string() &&
        output != "-") {
      throw UsageError("the output of '" + jobs[i].input +
                       "' would replace it");
    }
    outputs.emplace_back(output, i);
  }
  std::sort(outputs.begin(), outputs.end());
  for (size_t k = 1; k < outputs.size(); ++k) {
    if (outputs[k].first == outputs[k - 1].first) {
      throw UsageError("'" + jobs[outputs[k - 1].second].input + "' and '" +
                       jobs[outputs[k].second].input +
                       "' would both be written to '" +
                       jobs[outputs[k].second].output + "'");
    }
  }
}

std::string clock_time(double seconds, int decimals) {
  if (!(seconds >= 0)) seconds = 0;
  double scale = 1;
  for (int i = 0; i < decimals; ++i) scale *= 10;
  // Rounded once, in the smallest unit shown, so 59.999 s reads 1:00.
  const auto units = static_cast<unsigned long long>(seconds * scale + 0.5);
  const auto whole = static_cast<unsigned long long>(units / scale);
  const auto fraction = units - static_cast<unsigned long long>(whole * scale);
  char text[64];
  int n = whole >= 3600
              ? std::snprintf(text, sizeof text, "%llu:%02llu:%02llu",
                              whole / 3600, whole / 60 % 60, whole % 60)
              : std::snprintf(text, sizeof text, "%llu:%02llu", whole / 60,
                              whole % 60);
  if (decimals > 0) {
    std::snprintf(text + n, sizeof text - static_cast<size_t>(n), ".%0*llu",
                  decimals, fraction);
  }
  return text;
}

void check_batch_names(
    const std::vector<std::string>& files, const std::string& out_dir,
    const char* command,
    const std::function<bool(const std::string&)>& looks_like_output) {
  if (!out_dir.empty() || files.size() < 2) return;
  const std::string& last = files.back();
  std::error_code error;
  if (std::filesystem::is_directory(last, error)) {
    throw UsageError("'" + last +
                     "' is a directory; to write into it, use -o " + last);
  }
  if (files.size() > 2 && looks_like_output(last)) {
    throw UsageError(std::string("several inputs cannot share one output: '") +
                     last + "' would be read as one more input (to " + command +
                     " several files into a folder, use -o DIR)");
  }
}

bool has_extension(const std::string& path, const std::string& extension) {
  return extension_of(path) == extension;
}

std::string extension_of(const std::string& path) {
  const std::string name = std::filesystem::path(path).filename().string();
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) return {};
  std::string extension = name.substr(dot + 1);
  for (char& c : extension) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return extension;
}

std::string output_name(const std::string& input, const std::string& folder,
                        const std::string& extension) {
  namespace fs = std::filesystem;
  const fs::path in(input);
  fs::path out = folder.empty() ? in.parent_path() : fs::path(folder);
  out /= in.stem();
  out += "." + extension;
  return out.string();
}

}  // namespace velka
