// velka's manual page and bash completion know every option its --help
// lists, so the three cannot drift apart.
#include <gtest/gtest.h>

#include <cctype>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "run_velka.h"

namespace {

// `word` in `text`, not as the start of a longer option name.
bool has_option(const std::string& text, const std::string& word) {
  for (size_t at = text.find(word); at != std::string::npos;
       at = text.find(word, at + 1)) {
    const size_t end = at + word.size();
    if (end == text.size() ||
        (!std::isalnum(static_cast<unsigned char>(text[end])) &&
         text[end] != '-')) {
      return true;
    }
  }
  return false;
}

TEST(VelkaManual, NamesEveryOptionOfEachCommandsHelp) {
  orv::test::TempDir dir;
  std::string manual = orv::test::slurp(ORV_VELKA_DOCS_DIR "/velka.1");
  ASSERT_FALSE(manual.empty());
  manual = std::regex_replace(manual, std::regex(R"(\\-)"), "-");
  const std::string completion =
      orv::test::slurp(ORV_VELKA_DOCS_DIR "/velka.bash-completion");
  ASSERT_FALSE(completion.empty());
  const std::regex option(R"((?:^|[\s,\[])(--?[A-Za-z][A-Za-z-]*))");
  for (const std::string command : {"", "encode", "decode", "info"}) {
    SCOPED_TRACE("velka " + command);
    std::vector<std::string> args = {"--help"};
    if (!command.empty()) args.insert(args.begin(), command);
    const orv::test::RunResult run = orv::test::run_velka(dir, args);
    ASSERT_EQ(run.exit_code, 0) << run.stderr_text;
    const std::string& help = run.stdout_text;
    std::set<std::string> options;
    for (std::sregex_iterator it(help.begin(), help.end(), option), end;
         it != end; ++it) {
      options.insert((*it)[1]);
    }
    EXPECT_GE(options.size(), 2u) << help;
    for (const std::string& name : options) {
      EXPECT_TRUE(has_option(manual, name)) << name << " not in velka.1";
      EXPECT_TRUE(has_option(completion, name))
          << name << " not in velka.bash-completion";
    }
  }
}

}  // namespace
