// Careless command lines get one line that says what is wrong before
// anything is read or written, and an interrupted run says what it left.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "run_velka.h"
#include "support/host_test_files.h"

namespace orv::test {
namespace {

TEST(VelkaCommandLine, CarelessLinesGetOneLineBeforeAnythingIsWritten) {
  TempDir dir;
  const std::string a = write_encoded_file(dir, {"a", 1, 8000, 4000, {}});
  const std::string b = write_encoded_file(dir, {"b", 1, 8000, 4000, {}});
  const std::string wav = dir.file("song.wav");
  ASSERT_EQ(run_velka(dir, {"decode", a, wav}).exit_code, 0);
  const std::string lib = dir.file("lib");
  std::filesystem::create_directory(lib);
  const std::string out = dir.file("out.velka");
  const std::vector<std::string> before = dir.list();

  const struct {
    std::vector<std::string> args;
    int exit_code;
    std::string says;
  } cases[] = {
      {{"play", a}, 2, "velka: 'play' is not a command; the commands are "},
      {{}, 2, "velka: no command given"},
      {{"encode", wav, lib},
       2,
       "'" + lib + "' is a directory; to write into it, use -o"},
      {{"decode", a, lib}, 2, "'" + lib + "' is a directory"},
      {{"decode", a, lib, "--format", "flac"}, 2, "is a directory"},
      {{"decode", a, b, dir.file("out.flac")},
       2,
       "would be read as one more input"},
      {{"encode", wav, wav, out}, 2, "would be read as one more input"},
      {{"encode", wav, out, "-b", "0"}, 2, "at least 1 kbit/s"},
      {{"encode", wav, out, "-b", "100000"}, 1, "takes 1 to 128 kbit/s"},
      {{"decode", a, dir.file("x.wav"), "-b", "96"},
       2,
       "--bitrate is for the lossy outputs"},
      {{"decode", a, dir.file("x.mp3"), "-b", "0"},
       2,
       "--bitrate: Value 0 not in range 1 to 10000"},
      {{"decode", a, dir.file("x.mp3"), "-b", "400"},
       1,
       "MP3 at 8000 Hz takes 8 to 64 kbit/s"},
      {{"decode", "-"},
       2,
       "standard input is decoded on its own and needs an output"},
      {{"info", lib}, 1, "velka info: '" + lib + "' is a directory"},
      {{"info", dir.file("missing.velka")},
       1,
       "missing.velka': No such file or directory"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.args.empty() ? "(nothing)"
                                : k.args[0] + " " + k.args.back());
    const RunResult run = run_velka(dir, k.args);
    EXPECT_EQ(run.exit_code, k.exit_code) << run.stderr_text;
    EXPECT_NE(run.stderr_text.find(k.says), std::string::npos)
        << run.stderr_text;
    EXPECT_EQ(run.stderr_text.find('\n'), run.stderr_text.size() - 1)
        << run.stderr_text;
    EXPECT_EQ(dir.list(), before);
  }
}

// Ctrl-C while an encode reads a pipe: the unfinished output goes, and one
// line says so.
TEST(VelkaCommandLine, InterruptedRunSaysWhatItLeftUnfinished) {
  TempDir dir;
  int input[2];
  ASSERT_EQ(pipe(input), 0);
  const std::string err_path = dir.file("stderr");
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(input[0], STDIN_FILENO);
    close(input[1]);
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT, 0600);
    dup2(err, STDERR_FILENO);
    execl(ORV_VELKA_PATH, ORV_VELKA_PATH, "encode", "-",
          dir.file("out.velka").c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(input[0]);
  // A WAV header of unknown length, then audio until interrupted.
  const std::string header(
      "RIFF\xff\xff\xff\x7fWAVEfmt \x10\0\0\0\x01\0\x01\0"
      "\x40\x1f\0\0\x80\x3e\0\0\x02\0\x10\0data\xff\xff\xff\x7f",
      44);
  ASSERT_EQ(write(input[1], header.data(), header.size()),
            static_cast<ssize_t>(header.size()));
  const std::vector<char> audio(16000, 1);
  bool started = false;
  for (int i = 0; i < 200 && !started; ++i) {
    ASSERT_GT(write(input[1], audio.data(), audio.size()), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    for (const std::string& name : dir.list()) {
      started = started || name.find(".partial-") != std::string::npos;
    }
  }
  ASSERT_TRUE(started);
  kill(pid, SIGINT);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  close(input[1]);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT);
  EXPECT_EQ(slurp(err_path),
            "velka encode: interrupted; 1 unfinished output removed\n");
  EXPECT_EQ(dir.list(), std::vector<std::string>{"stderr"});
}

}  // namespace
}  // namespace orv::test
