// Sub-commands of the velka tool. Each registers its options on the
// command line parser and hands back what runs it once the line is parsed.
#ifndef ORV_TOOLS_VELKA_COMMANDS_H
#define ORV_TOOLS_VELKA_COMMANDS_H

#include <CLI/CLI.hpp>
#include <functional>
#include <string>
#include <vector>

namespace velka {

struct Command {
  CLI::App* app;
  std::function<int()> run;  // the exit status
};

Command add_encode_command(CLI::App& velka);
Command add_decode_command(CLI::App& velka);
Command add_info_command(CLI::App& velka);

// The options of every command that turns many files into others.
struct BatchOptions {
  std::vector<std::string> files;
  std::string out_dir;
  bool force = false;
  bool quiet = false;
  unsigned jobs = 1;
};
void add_batch_options(CLI::App& command, BatchOptions& options,
                       const char* files_help);

}  // namespace velka

#endif
