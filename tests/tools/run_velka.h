// Running the velka program from a test, as a user runs it.
#ifndef ORV_TESTS_TOOLS_RUN_VELKA_H
#define ORV_TESTS_TOOLS_RUN_VELKA_H

#include <string>
#include <vector>

#include "support/host_test_files.h"

namespace orv::test {

struct RunResult {
  int exit_code = -1;  // 128 when killed by a signal
  std::string stderr_text;
  std::string stdout_text;
};

// velka's standard input: a pipe that carries the bytes of `pipe` (none by
// default), or the file `file` when one is named.
struct Stdin {
  std::string pipe;
  std::string file;
};

// Runs velka with `args`; its output streams are captured in files of
// `dir`.
RunResult run_velka(const TempDir& dir, const std::vector<std::string>& args,
                    const Stdin& in = {});

// The whole file, or empty.
std::string slurp(const std::string& path);

}  // namespace orv::test

#endif
