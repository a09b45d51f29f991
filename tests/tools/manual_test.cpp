// velka's manual page and bash completion know every option its --help
// lists, so the three cannot drift apart.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <string>

namespace {

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

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
  std::string manual = slurp(ORV_VELKA_DOCS_DIR "/velka.1");
  ASSERT_FALSE(manual.empty());
  manual = std::regex_replace(manual, std::regex(R"(\\-)"), "-");
  const std::string completion =
      slurp(ORV_VELKA_DOCS_DIR "/velka.bash-completion");
  ASSERT_FALSE(completion.empty());
  const std::regex option(R"((?:^|[\s,\[])(--?[A-Za-z][A-Za-z-]*))");
  for (const std::string command : {"", "encode", "decode", "info"}) {
    SCOPED_TRACE("velka " + command);
    const std::string line =
        std::string("'") + ORV_VELKA_PATH + "' " + command + " --help";
    std::FILE* pipe = popen(line.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string help;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
      help.append(buffer, n);
    }
    const int status = pclose(pipe);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << help;
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
