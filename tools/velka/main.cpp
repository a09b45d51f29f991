// velka: encode, decode and inspect Velk audio files.
#include <cstdio>
#include <exception>
#include <new>

#include "batch.h"
#include "commands.h"
#include "safe_output.h"
#include "vlkdec_version.h"

namespace velka {

void add_batch_options(CLI::App& command, BatchOptions& options,
                       const char* files_help) {
  command.add_option("files", options.files, files_help)->required();
  command
      .add_option("-o,--out-dir", options.out_dir,
                  "Write every output into DIR (created if missing), named "
                  "after its input")
      ->type_name("DIR");
  command.add_flag("-f,--force", options.force,
                   "Overwrite existing output files");
  command.add_flag("-Q,--quiet", options.quiet,
                   "No progress line, no line per file and no summary; "
                   "only failures and damage are told");
  command
      .add_option("-j,--jobs", options.jobs,
                  "Work on N files at once, each on a thread of its own")
      ->type_name("N")
      ->check(CLI::Range(1u, max_open_outputs));
}

}  // namespace velka

int main(int argc, char** argv) {
  CLI::App app("Encode, decode and inspect Velk audio files.", "velka");
  app.set_version_flag("--version", "velka " VLKDEC_VERSION_STRING);
  app.require_subcommand(1);
  const velka::Command commands[] = {velka::add_encode_command(app),
                                     velka::add_decode_command(app),
                                     velka::add_info_command(app)};
  // A first word that is no command: name it, and the real ones, rather
  // than the parser's "a subcommand is required".
  const std::string first = argc >= 2 ? argv[1] : "";
  if (first != "-h" && first != "--help" && first != "--version") {
    bool known = false;
    std::string listed;
    for (size_t i = 0; i < std::size(commands); ++i) {
      const std::string name = commands[i].app->get_name();
      known = known || name == first;
      listed += (i == 0                         ? ""
                 : i + 1 == std::size(commands) ? " and "
                                                : ", ") +
                name;
    }
    if (!known) {
      if (first.empty()) {
        std::fprintf(stderr,
                     "velka: no command given; the commands are %s (see "
                     "'velka --help')\n",
                     listed.c_str());
      } else {
        std::fprintf(stderr,
                     "velka: '%s' is not a command; the commands are %s (see "
                     "'velka --help')\n",
                     first.c_str(), listed.c_str());
      }
      return velka::exit_usage;
    }
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::string who = "velka";
    for (const velka::Command& c : commands) {
      if (c.app->parsed()) who += " " + c.app->get_name();
    }
    std::fprintf(stderr, "%s: %s (see '%s --help')\n", who.c_str(), e.what(),
                 who.c_str());
    return velka::exit_usage;
  }
  velka::prepare_safe_outputs();
  for (const velka::Command& c : commands) {
    if (!c.app->parsed()) continue;
    try {
      return c.run();
    } catch (const velka::UsageError& e) {
      std::fprintf(stderr, "velka %s: %s (see 'velka %s --help')\n",
                   c.app->get_name().c_str(), e.what(),
                   c.app->get_name().c_str());
      return velka::exit_usage;
    } catch (const std::bad_alloc&) {
      std::fprintf(stderr, "velka %s: out of memory\n",
                   c.app->get_name().c_str());
      return velka::exit_failed;
    }
  }
  return velka::exit_usage;
}
