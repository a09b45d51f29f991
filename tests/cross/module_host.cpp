// A minimal host for the built plug-in module on every target: loads it
// (LoadLibrary on Windows, dlopen elsewhere), registers it through
// TAVO_Main with a recording broker, and decodes every known-answer file
// of a directory through the registered stream functions, comparing the
// PCM with the stored output byte for byte.
//
//   module_host MODULE VECTOR_DIR
//
// Prints one line per case and "N passed, N failed"; exits non-zero on any
// failure, or when the directory holds no known-answer file.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include "orv/vlkdec.h"
#include "support/aligned_memory.h"

namespace {

struct Entry {
  std::string interface_name;
  std::string name;
  uint32_t kind;
  uint64_t value;
};

std::vector<Entry> registered;
std::vector<std::string> faults;

int32_t ORV_CALL record_register(uintptr_t, const char* interface_name,
                                 int32_t count,
                                 const RegistrationEntry* entries) {
  if (interface_name == nullptr || entries == nullptr || count <= 0) {
    faults.push_back("register call without records");
    return 0;
  }
  for (int32_t i = 0; i < count; ++i) {
    const RegistrationEntry& e = entries[i];
    registered.push_back(
        {interface_name, e.name ? e.name : "", e.kind, e.value});
  }
  return 1;
}

int32_t ORV_CALL record_unregister(uintptr_t, const char*, int32_t,
                                   const RegistrationEntry*) {
  return 1;
}

// The loaded module, unloaded when it goes out of scope.
class Module {
 public:
  explicit Module(const std::string& path) {
#ifdef _WIN32
    handle_ = LoadLibraryA(path.c_str());
    if (handle_ == nullptr) {
      error_ = "LoadLibrary failed, error " + std::to_string(GetLastError());
    }
#else
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) error_ = dlerror();
#endif
  }
  ~Module() {
    if (handle_ == nullptr) return;
#ifdef _WIN32
    FreeLibrary(handle_);
#else
    dlclose(handle_);
#endif
  }
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;

  const std::string& error() const { return error_; }

  TAVO_Main_fn entry_point() const {
    if (handle_ == nullptr) return nullptr;
#ifdef _WIN32
    // GetProcAddress hands out a generic function pointer.
    return reinterpret_cast<TAVO_Main_fn>(
        reinterpret_cast<void*>(GetProcAddress(handle_, "TAVO_Main")));
#else
    return reinterpret_cast<TAVO_Main_fn>(dlsym(handle_, "TAVO_Main"));
#endif
  }

 private:
#ifdef _WIN32
  HMODULE handle_ = nullptr;
#else
  void* handle_ = nullptr;
#endif
  std::string error_;
};

template <typename Function>
Function find_function(const char* interface_name, const char* name) {
  for (const Entry& e : registered) {
    if (e.interface_name == interface_name && e.name == name &&
        e.kind == ORV_ENTRY_FUNCTION && e.value != 0) {
      return reinterpret_cast<Function>(static_cast<uintptr_t>(e.value));
    }
  }
  return nullptr;
}

// A file in memory behind the stream callbacks.
struct Input {
  std::vector<uint8_t> file;
  size_t position = 0;
  void* block = nullptr;
  std::vector<std::string> faults;
};

Input& input_of(uint64_t host_stream) {
  return *reinterpret_cast<Input*>(static_cast<uintptr_t>(host_stream));
}

void* ORV_CALL allocate(uint64_t bytes, uint64_t host_stream, const char*,
                        uint32_t) {
  Input& input = input_of(host_stream);
  if (bytes == 0 || bytes % 64 != 0) {
    input.faults.push_back("allocation not a positive multiple of 64");
    return nullptr;
  }
  if (input.block != nullptr) {
    input.faults.push_back("second allocation");
    return nullptr;
  }
  input.block = orv::test::aligned_allocate(64, static_cast<size_t>(bytes));
  return input.block;
}

void ORV_CALL release(void* block, uint64_t host_stream, const char*,
                      uint32_t) {
  Input& input = input_of(host_stream);
  if (block == nullptr || block != input.block) {
    input.faults.push_back("free of a block not allocated");
    return;
  }
  orv::test::aligned_release(block);
  input.block = nullptr;
}

int32_t ORV_CALL read_input(uint64_t host_stream, void* destination,
                            uint32_t bytes, int32_t offset) {
  Input& input = input_of(host_stream);
  if (offset == 0) {
    input.position = 0;
  } else if (offset != -1) {
    input.faults.push_back("read at offset " + std::to_string(offset));
    return -1;
  }
  const size_t left =
      input.file.size() - std::min(input.position, input.file.size());
  const size_t n = std::min<size_t>(bytes, left);
  if (n != 0) std::memcpy(destination, input.file.data() + input.position, n);
  input.position += n;
  return static_cast<int32_t>(n);
}

std::vector<uint8_t> read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct StreamFunctions {
  ORV_stream_open_fn open;
  ORV_stream_process_fn process;
  ORV_stream_close_fn close;
};

// Decodes the whole file with requests cycling through `requests`, until
// several calls in a row deliver nothing and read nothing; "" when the
// output equals `expected`, otherwise what went wrong.
std::string decode_and_compare(const StreamFunctions& f,
                               const std::vector<uint8_t>& file,
                               const std::vector<uint8_t>& expected,
                               const std::vector<uint32_t>& requests) {
  Input input;
  input.file = file;
  ORV_Stream* stream = f.open(&allocate, &release,
                              reinterpret_cast<uintptr_t>(&input), &read_input);
  if (stream == nullptr) return "open failed";
  std::vector<uint8_t> output;
  std::vector<uint8_t> chunk;
  size_t request = 0;
  int idle_calls = 0;
  for (size_t calls = 0; idle_calls < 64 && calls < 10'000'000; ++calls) {
    const size_t position_before = input.position;
    const uint32_t asked = requests[request++ % requests.size()];
    chunk.assign(asked, 0);
    const uint32_t got = f.process(stream, chunk.data(), asked);
    if (got > asked) {
      f.close(stream);
      return "process delivered more than asked";
    }
    output.insert(output.end(), chunk.begin(), chunk.begin() + got);
    idle_calls =
        (got == 0 && input.position == position_before) ? idle_calls + 1 : 0;
  }
  if (f.close(stream) != 0) return "close did not return 0";
  if (input.block != nullptr) return "block not freed";
  if (!input.faults.empty()) return input.faults.front();
  if (output.size() != expected.size()) {
    return "size " + std::to_string(output.size()) + " vs " +
           std::to_string(expected.size());
  }
  const auto diff =
      std::mismatch(output.begin(), output.end(), expected.begin());
  if (diff.first != output.end()) {
    return "first difference at byte " +
           std::to_string(diff.first - output.begin());
  }
  return "";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s MODULE VECTOR_DIR\n", argv[0]);
    return 2;
  }
  Module module(argv[1]);
  const TAVO_Main_fn main_fn = module.entry_point();
  if (main_fn == nullptr) {
    std::fprintf(stderr, "cannot load TAVO_Main from %s: %s\n", argv[1],
                 module.error().c_str());
    return 1;
  }
  if (main_fn(0x5EED, 1, nullptr, &record_register, &record_unregister) != 1) {
    faults.push_back("TAVO_Main did not return 1");
  }
  const StreamFunctions f = {
      find_function<ORV_stream_open_fn>("ORV stream", "ORV_stream_open"),
      find_function<ORV_stream_process_fn>("ORV stream", "ORV_stream_process"),
      find_function<ORV_stream_close_fn>("ORV stream", "ORV_stream_close")};
  if (f.open == nullptr || f.process == nullptr || f.close == nullptr) {
    std::fprintf(stderr, "the stream functions were not registered\n");
    return 1;
  }

  std::vector<std::filesystem::path> files;
  for (const auto& item : std::filesystem::directory_iterator(argv[2])) {
    if (item.path().extension() == ".VELKA") files.push_back(item.path());
  }
  std::sort(files.begin(), files.end());

  // Whole requests, and odd sizes that split samples and frames.
  const std::vector<std::vector<uint32_t>> patterns = {
      {4096}, {7, 1, 4093, 2, 65536, 15}};
  int passed = 0;
  int failed = 0;
  for (const auto& path : files) {
    std::filesystem::path pcm_path = path;
    pcm_path.replace_extension(".pcm");
    const std::vector<uint8_t> file = read_file(path);
    const std::vector<uint8_t> expected = read_file(pcm_path);
    for (const auto& pattern : patterns) {
      const std::string result =
          expected.empty() ? "no stored output"
                           : decode_and_compare(f, file, expected, pattern);
      std::printf("%s %s (requests of %u...)%s%s\n",
                  result.empty() ? "ok  " : "FAIL",
                  path.filename().string().c_str(),
                  static_cast<unsigned>(pattern.front()),
                  result.empty() ? "" : ": ", result.c_str());
      ++(result.empty() ? passed : failed);
    }
  }
  if (main_fn(0x5EED, 0, nullptr, &record_register, &record_unregister) != 1) {
    faults.push_back("TAVO_Main(unregister) did not return 1");
  }
  for (const std::string& fault : faults) {
    std::printf("FAIL %s\n", fault.c_str());
    ++failed;
  }
  if (files.empty()) {
    std::printf("FAIL no .VELKA files in %s\n", argv[2]);
    ++failed;
  }
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
