// The module's dynamic symbol table: one export, and no imports of
// allocation, file, thread or lock functions.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <string>
#include <vector>

namespace {

// Symbol names from `nm -D` with the given options, versions stripped.
std::vector<std::string> dynamic_symbols(const std::string& options) {
  const std::string command = "nm -D " + options + " --format=posix '" +
                              std::string(ORV_PLUGIN_PATH) + "' 2>/dev/null";
  std::vector<std::string> names;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    ADD_FAILURE() << "cannot run " << command;
    return names;
  }
  std::array<char, 512> line;
  while (std::fgets(line.data(), static_cast<int>(line.size()), pipe)) {
    std::string text(line.data());
    std::string name = text.substr(0, text.find(' '));
    name = name.substr(0, name.find('@'));
    if (!name.empty()) names.push_back(name);
  }
  EXPECT_EQ(pclose(pipe), 0) << command;
  return names;
}

bool starts_with(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

TEST(Exports, OnlyTavoMain) {
  const std::vector<std::string> defined = dynamic_symbols("--defined-only");
  ASSERT_EQ(defined.size(), 1u);
  EXPECT_EQ(defined[0], "TAVO_Main");
}

TEST(Exports, NoAllocationFileThreadOrLockImports) {
  const std::vector<std::string> imported = dynamic_symbols("--undefined-only");
  // Sanitizer builds import their runtime's hooks; those are not the
  // module's own calls.
  const std::vector<std::string> tool_prefixes = {
      "__asan_", "__ubsan_", "__sanitizer_", "__lsan_", "__tsan_"};
  const std::vector<std::string> forbidden = {"malloc",
                                              "calloc",
                                              "realloc",
                                              "free",
                                              "aligned_alloc",
                                              "posix_memalign",
                                              "memalign",
                                              "valloc",
                                              "mmap",
                                              "munmap",
                                              "brk",
                                              "sbrk",
                                              "fopen",
                                              "fopen64",
                                              "fclose",
                                              "fread",
                                              "fwrite",
                                              "fseek",
                                              "open",
                                              "open64",
                                              "openat",
                                              "close",
                                              "read",
                                              "write",
                                              "pread",
                                              "lseek",
                                              "lseek64",
                                              "stat",
                                              "fstat",
                                              "printf",
                                              "fprintf",
                                              "puts",
                                              "abort",
                                              "exit",
                                              "getenv",
                                              "dlopen",
                                              "dlsym",
                                              "__cxa_atexit",
                                              "atexit",
                                              "__cxa_throw",
                                              "__cxa_allocate_exception",
                                              "__cxa_begin_catch",
                                              "_Unwind_Resume",
                                              "__gxx_personality_v0"};
  const std::vector<std::string> forbidden_prefixes = {
      "pthread_", "mtx_", "cnd_", "thrd_", "sem_",  "__cxa_guard_", "_Znw",
      "_Zna",     "_Zdl", "_Zda", "_ZSt",  "clone", "futex"};
  for (const std::string& name : imported) {
    bool tool = false;
    for (const auto& prefix : tool_prefixes) tool |= starts_with(name, prefix);
    if (tool) continue;
    for (const auto& bad : forbidden) EXPECT_NE(name, bad);
    for (const auto& prefix : forbidden_prefixes) {
      EXPECT_FALSE(starts_with(name, prefix)) << name;
    }
  }
}

}  // namespace
