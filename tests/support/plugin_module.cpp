#include "support/plugin_module.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

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

#include "support/aligned_memory.h"

namespace orv::test {
namespace {

// The module whose TAVO_Main is running: the broker's handle is the test's
// to choose, so the recorder is found here instead.
PluginModule* recording_module = nullptr;

MemoryInput& input_of(uint64_t host_stream) {
  return *reinterpret_cast<MemoryInput*>(static_cast<uintptr_t>(host_stream));
}

BrokerCall record(uintptr_t handle, const char* name, int32_t count,
                  const RegistrationEntry* entries) {
  BrokerCall call;
  call.handle = handle;
  call.interface_name = name;
  call.interface_text = name != nullptr ? name : "";
  call.entry_count = count;
  call.entries_null = entries == nullptr;
  if (entries != nullptr) {
    for (int32_t i = 0; i < count; ++i) {
      std::array<uint8_t, 32> bytes;
      std::memcpy(bytes.data(), &entries[i], 32);
      call.raw.push_back(bytes);
      call.entries.push_back(entries[i]);
    }
  }
  return call;
}

}  // namespace

PluginModule::PluginModule(const char* path) {
#ifdef _WIN32
  library_ = LoadLibraryA(path);
  if (library_ == nullptr) {
    ADD_FAILURE() << "LoadLibrary " << path << ": error " << GetLastError();
    return;
  }
  // GetProcAddress hands out a generic function pointer.
  main_ = reinterpret_cast<TAVO_Main_fn>(reinterpret_cast<void*>(
      GetProcAddress(static_cast<HMODULE>(library_), "TAVO_Main")));
#else
  library_ = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (library_ == nullptr) {
    ADD_FAILURE() << "dlopen " << path << ": " << dlerror();
    return;
  }
  main_ = reinterpret_cast<TAVO_Main_fn>(dlsym(library_, "TAVO_Main"));
#endif
  if (main_ == nullptr) {
    ADD_FAILURE() << "no TAVO_Main in " << path;
    return;
  }
  EXPECT_EQ(call_main(reinterpret_cast<uintptr_t>(this), 1), 1);
  provider_property =
      function<PROVIDER_property_fn>("ORV codec", "PROVIDER_property");
  startup = function<ORV_startup_fn>("ORV codec", "ORV_startup");
  error = function<ORV_error_fn>("ORV codec", "ORV_error");
  shutdown = function<ORV_shutdown_fn>("ORV codec", "ORV_shutdown");
  stream_open = function<ORV_stream_open_fn>("ORV stream", "ORV_stream_open");
  stream_process =
      function<ORV_stream_process_fn>("ORV stream", "ORV_stream_process");
  stream_property =
      function<ORV_stream_property_fn>("ORV stream", "ORV_stream_property");
  stream_seek = function<ORV_stream_seek_fn>("ORV stream", "ORV_stream_seek");
  stream_close =
      function<ORV_stream_close_fn>("ORV stream", "ORV_stream_close");
}

PluginModule::~PluginModule() {
  if (main_ != nullptr) call_main(reinterpret_cast<uintptr_t>(this), 0);
  if (library_ == nullptr) return;
#ifdef _WIN32
  FreeLibrary(static_cast<HMODULE>(library_));
#else
  dlclose(library_);
#endif
}

int32_t PluginModule::call_main(uintptr_t handle, int32_t register_flag) {
  recording_module = this;
  const int32_t result = main_(handle, register_flag, nullptr, &record_register,
                               &record_unregister);
  recording_module = nullptr;
  return result;
}

int32_t ORV_CALL
PluginModule::record_register(uintptr_t handle, const char* name, int32_t count,
                              const RegistrationEntry* entries) {
  recording_module->registrations.push_back(
      record(handle, name, count, entries));
  return 1;
}

int32_t ORV_CALL PluginModule::record_unregister(
    uintptr_t handle, const char* name, int32_t count,
    const RegistrationEntry* entries) {
  recording_module->unregistrations.push_back(
      record(handle, name, count, entries));
  return 1;
}

const RegistrationEntry* PluginModule::find(
    const std::string& interface_name, const std::string& entry_name) const {
  for (const BrokerCall& call : registrations) {
    if (call.interface_text != interface_name) continue;
    for (const RegistrationEntry& entry : call.entries) {
      if (entry.name != nullptr && entry_name == entry.name) return &entry;
    }
  }
  return nullptr;
}

uint64_t PluginModule::token(const std::string& interface_name,
                             const std::string& entry_name) const {
  const RegistrationEntry* entry = find(interface_name, entry_name);
  if (entry == nullptr || entry->kind != ORV_ENTRY_PROPERTY) {
    ADD_FAILURE() << "no property " << entry_name;
    return ~uint64_t{0};
  }
  return entry->value;
}

template <typename Function>
Function PluginModule::function(const std::string& interface_name,
                                const std::string& name) const {
  const RegistrationEntry* entry = find(interface_name, name);
  if (entry == nullptr || entry->kind != ORV_ENTRY_FUNCTION ||
      entry->value == 0) {
    ADD_FAILURE() << "no function " << name;
    return nullptr;
  }
  return reinterpret_cast<Function>(static_cast<uintptr_t>(entry->value));
}

// ---------------------------------------------------------------------------

MemoryInput::~MemoryInput() {
  if (block_ != nullptr) {
    ADD_FAILURE() << "stream block never freed";
    aligned_release(block_);
  }
}

ORV_Stream* MemoryInput::open(const PluginModule& module) {
  reads = 0;
  return module.stream_open(&allocate, &release,
                            reinterpret_cast<uintptr_t>(this), &read);
}

void* ORV_CALL MemoryInput::allocate(uint64_t bytes, uint64_t host_stream,
                                     const char* source_file, uint32_t line) {
  MemoryInput& input = input_of(host_stream);
  if (source_file == nullptr || line == 0) {
    input.faults.push_back("allocation without its call site");
  }
  if (bytes == 0 || bytes % 64 != 0) {
    input.faults.push_back("allocation size not a positive multiple of 64");
  }
  if (input.refuse_allocation || input.block_ != nullptr) return nullptr;
  input.block_ = aligned_allocate(64, static_cast<size_t>(bytes));
  ++input.allocations;
  return input.block_;
}

void ORV_CALL MemoryInput::release(void* block, uint64_t host_stream,
                                   const char* source_file, uint32_t line) {
  MemoryInput& input = input_of(host_stream);
  if (source_file == nullptr || line == 0) {
    input.faults.push_back("free without its call site");
  }
  if (block == nullptr || block != input.block_) {
    input.faults.push_back("free of a block not allocated");
    return;
  }
  aligned_release(block);
  input.block_ = nullptr;
  ++input.frees;
}

int32_t ORV_CALL MemoryInput::read(uint64_t host_stream, void* destination,
                                   uint32_t bytes, int32_t offset) {
  MemoryInput& input = input_of(host_stream);
  const uint32_t call = input.reads++;
  if (call == 0 && offset != 0) input.faults.push_back("first read not at 0");
  if (call != 0 && offset != -1) input.faults.push_back("read not at -1");
  if (offset == 0) input.position = 0;
  if (input.follow_stream != nullptr) {
    uint32_t position = 0;
    if (input.follow_module->stream_property(input.follow_stream,
                                             ORV_TOKEN_POSITION, &position,
                                             nullptr, nullptr) == 1) {
      input.position = position;
    }
  }
  if (input.position >= input.file.size()) return 0;
  const size_t n = std::min<size_t>(bytes, input.file.size() - input.position);
  std::memcpy(destination, input.file.data() + input.position, n);
  input.position += n;
  return static_cast<int32_t>(n);
}

// ---------------------------------------------------------------------------

ModuleStream::ModuleStream(const PluginModule& module, MemoryInput& input)
    : module_(module), input_(input) {
  stream_ = input.open(module);
  if (stream_ != nullptr) {
    channels_ = query(ORV_TOKEN_OUTPUT_CHANNELS);
  }
}

ModuleStream::~ModuleStream() {
  if (stream_ != nullptr) {
    EXPECT_EQ(module_.stream_close(stream_), 0);
  }
  EXPECT_TRUE(input_.faults.empty()) << input_.faults.front();
}

uint32_t ModuleStream::query(uint64_t token, int32_t* answered) {
  uint32_t value = 0;
  const int32_t result =
      module_.stream_property(stream_, token, &value, nullptr, nullptr);
  if (answered != nullptr) *answered = result;
  return value;
}

int32_t ModuleStream::set(uint64_t token, const void* new_value, void* result) {
  return module_.stream_property(stream_, token, nullptr, new_value, result);
}

int32_t ModuleStream::seek(int32_t position) {
  return module_.stream_seek(stream_, position);
}

std::vector<int16_t> ModuleStream::read_frames(size_t frames,
                                               uint32_t request_bytes) {
  std::vector<int16_t> samples;
  const size_t wanted = frames * channels_;
  std::vector<uint8_t> chunk(request_bytes);
  std::vector<uint8_t> bytes;
  int idle = 0;
  while (bytes.size() < wanted * 2 && idle < 3) {
    const uint32_t ask = static_cast<uint32_t>(
        std::min<size_t>(request_bytes, wanted * 2 - bytes.size()));
    const size_t position_before = input_.position;
    const uint32_t got = module_.stream_process(stream_, chunk.data(), ask);
    EXPECT_LE(got, ask);
    bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + got);
    // A call may deliver nothing mid-file (after lost sync); the end is
    // when calls deliver nothing and read nothing.
    idle = got == 0 && input_.position == position_before ? idle + 1 : 0;
  }
  samples.resize(bytes.size() / 2);
  if (!samples.empty()) {
    std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
  }
  return samples;
}

std::vector<int16_t> ModuleStream::read_all(uint32_t request_bytes) {
  return read_frames(~size_t{0} / 4 / (channels_ == 0 ? 1 : channels_),
                     request_bytes);
}

uint32_t ModuleStream::exact_seek(uint32_t ms) {
  uint32_t result[2] = {0, 0};
  if (set(ORV_TOKEN_EXACT_SEEK, &ms, result) != 1) return 0;
  input_.seek_input(result[0]);
  EXPECT_EQ(seek(static_cast<int32_t>(result[0])), 0);
  return result[0];
}

}  // namespace orv::test
