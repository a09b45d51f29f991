// The built plug-in module as a host sees it: loaded by path (dlopen, or
// LoadLibrary on Windows), its interfaces taken from the records TAVO_Main
// hands to a recording broker, and an in-memory file behind the stream
// callbacks. The one test host of the module on every target.
#ifndef ORV_TESTS_SUPPORT_PLUGIN_MODULE_H
#define ORV_TESTS_SUPPORT_PLUGIN_MODULE_H

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "orv/vlkdec.h"

namespace orv::test {

// One call of the broker's register or unregister function.
struct BrokerCall {
  uintptr_t handle = 0;
  const char* interface_name = nullptr;  // the pointer as passed
  std::string interface_text;            // its text, "" for null
  int32_t entry_count = 0;
  bool entries_null = true;
  std::vector<std::array<uint8_t, 32>> raw;  // byte copies of the records
  std::vector<RegistrationEntry> entries;
};

class PluginModule {
 public:
  // Loads the module and registers it; failures are test failures.
  explicit PluginModule(const char* path = ORV_PLUGIN_PATH);
  // Unregisters and unloads.
  ~PluginModule();
  PluginModule(const PluginModule&) = delete;
  PluginModule& operator=(const PluginModule&) = delete;

  bool loaded() const { return main_ != nullptr; }
  void* library() const { return library_; }
  TAVO_Main_fn entry_point() const { return main_; }

  // The registration records as the broker saw them.
  std::vector<BrokerCall> registrations;
  std::vector<BrokerCall> unregistrations;

  // Calls TAVO_Main again, recording into the two lists above.
  int32_t call_main(uintptr_t handle, int32_t register_flag);

  // The first entry of that name in that interface, or null.
  const RegistrationEntry* find(const std::string& interface_name,
                                const std::string& entry_name) const;
  // A property's token; fails the test when it is not registered.
  uint64_t token(const std::string& interface_name,
                 const std::string& entry_name) const;

  // Every function, found by name in the records.
  PROVIDER_property_fn provider_property = nullptr;
  ORV_startup_fn startup = nullptr;
  ORV_error_fn error = nullptr;
  ORV_shutdown_fn shutdown = nullptr;
  ORV_stream_open_fn stream_open = nullptr;
  ORV_stream_process_fn stream_process = nullptr;
  ORV_stream_property_fn stream_property = nullptr;
  ORV_stream_seek_fn stream_seek = nullptr;
  ORV_stream_close_fn stream_close = nullptr;

  static int32_t ORV_CALL record_register(uintptr_t handle, const char* name,
                                          int32_t count,
                                          const RegistrationEntry* entries);
  static int32_t ORV_CALL record_unregister(uintptr_t handle, const char* name,
                                            int32_t count,
                                            const RegistrationEntry* entries);

 private:
  template <typename Function>
  Function function(const std::string& interface_name,
                    const std::string& name) const;

  void* library_ = nullptr;
  TAVO_Main_fn main_ = nullptr;
};

// A file in memory behind the stream callbacks. Reads follow the offset
// protocol (0 once, for the header; -1 after that) and are checked; the
// host moves the input itself with seek_input(). Blocks come 64-byte
// aligned from the allocator unless `refuse_allocation` is set.
class MemoryInput {
 public:
  explicit MemoryInput(std::vector<uint8_t> bytes) : file(std::move(bytes)) {}
  ~MemoryInput();
  MemoryInput(const MemoryInput&) = delete;
  MemoryInput& operator=(const MemoryInput&) = delete;

  std::vector<uint8_t> file;
  size_t position = 0;
  bool refuse_allocation = false;
  uint32_t allocations = 0;
  uint32_t frees = 0;
  uint32_t reads = 0;
  std::vector<std::string> faults;
  // When set, every read first moves the input to the stream's "Position":
  // a host that follows the plug-in's own idea of where its input stands,
  // which is what a "Stream seek position" request relies on.
  const PluginModule* follow_module = nullptr;
  ORV_Stream* follow_stream = nullptr;

  ORV_Stream* open(const PluginModule& module);
  // Moves the input for a seek.
  void seek_input(uint32_t offset) { position = offset; }

  static void* ORV_CALL allocate(uint64_t bytes, uint64_t host_stream,
                                 const char* source_file, uint32_t line);
  static void ORV_CALL release(void* block, uint64_t host_stream,
                               const char* source_file, uint32_t line);
  static int32_t ORV_CALL read(uint64_t host_stream, void* destination,
                               uint32_t bytes, int32_t offset);

 private:
  void* block_ = nullptr;
};

// An open stream of the module on a MemoryInput; closed when destroyed.
class ModuleStream {
 public:
  ModuleStream(const PluginModule& module, MemoryInput& input);
  ~ModuleStream();
  ModuleStream(const ModuleStream&) = delete;
  ModuleStream& operator=(const ModuleStream&) = delete;

  ORV_Stream* handle() const { return stream_; }
  explicit operator bool() const { return stream_ != nullptr; }

  // One query token's answer; `answered` gets the function's result.
  uint32_t query(uint64_t token, int32_t* answered = nullptr);
  int32_t set(uint64_t token, const void* new_value, void* result);
  int32_t seek(int32_t position);
  // Reads PCM in requests of `request_bytes` until `frames` frames came or
  // a call delivers nothing.
  std::vector<int16_t> read_frames(size_t frames, uint32_t request_bytes);
  // Reads until several calls in a row deliver nothing.
  std::vector<int16_t> read_all(uint32_t request_bytes);

  // The sample-exact seek protocol: "Exact seek", move the input, seek.
  // Returns the entry position, 0 when "Exact seek" was refused.
  uint32_t exact_seek(uint32_t ms);

  uint32_t channels() const { return channels_; }

 private:
  const PluginModule& module_;
  MemoryInput& input_;
  ORV_Stream* stream_ = nullptr;
  uint32_t channels_ = 0;
};

}  // namespace orv::test

#endif
