#include "run_velka.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <iterator>

namespace orv::test {

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

RunResult run_velka(const TempDir& dir, const std::vector<std::string>& args,
                    const Stdin& in) {
  const std::string out_path = dir.file(".stdout");
  const std::string err_path = dir.file(".stderr");
  std::vector<char*> argv;
  std::string program = ORV_VELKA_PATH;
  argv.push_back(program.data());
  std::vector<std::string> copies = args;
  for (std::string& a : copies) argv.push_back(a.data());
  argv.push_back(nullptr);
  // A velka that stops reading early must not kill the test with SIGPIPE.
  std::signal(SIGPIPE, SIG_IGN);
  int pipe_ends[2] = {-1, -1};
  if (pipe(pipe_ends) != 0) return {};
  RunResult result;
  const pid_t pid = fork();
  if (pid == 0) {
    const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int input =
        in.file.empty() ? pipe_ends[0] : open(in.file.c_str(), O_RDONLY);
    if (out < 0 || err < 0 || input < 0) _exit(126);
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    dup2(input, STDIN_FILENO);
    close(pipe_ends[1]);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(pipe_ends[0]);
  for (size_t at = 0; pid > 0 && at < in.pipe.size();) {
    const ssize_t n =
        write(pipe_ends[1], in.pipe.data() + at, in.pipe.size() - at);
    if (n <= 0) break;
    at += static_cast<size_t>(n);
  }
  close(pipe_ends[1]);
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return result;
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
  result.stdout_text = slurp(out_path);
  result.stderr_text = slurp(err_path);
  unlink(out_path.c_str());
  unlink(err_path.c_str());
  return result;
}

}  // namespace orv::test
