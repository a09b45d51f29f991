// The module's entry: registration of the "ORV codec" and "ORV stream"
// interfaces with the host's broker, and the provider-level properties.
#include "orv/vlkdec.h"

#include <cstdint>
#include <cstring>

#include "plugin_api.h"
#include "vlkdec_version.h"

namespace orv::vlkdec {
namespace {

// Provider texts. The file-type lists are (description, pattern) pairs
// ending with an empty text, hence the explicit NULs; the literal adds the
// final one.
constexpr char provider_name[] = "Zoal Velk Audio Decoder";
constexpr char input_file_types[] = "Zoal Velk Audio Files\0*.VELKA\0";
constexpr char output_file_types[] = "Raw PCM files\0*.RAW\0";
static_assert(sizeof(input_file_types) == 31);
static_assert(sizeof(output_file_types) == 21);

// The module version as major << 8 | minor << 4 | patch (1.3.0 is 0x130).
static_assert(VLKDEC_VERSION_MINOR < 16 && VLKDEC_VERSION_PATCH < 16,
              "the Version property holds a minor and patch of 0 to 15");
constexpr int32_t provider_version = VLKDEC_VERSION_MAJOR << 8 |
                                     VLKDEC_VERSION_MINOR << 4 |
                                     VLKDEC_VERSION_PATCH;

constexpr char codec_interface[] = "ORV codec";
constexpr char stream_interface[] = "ORV stream";

template <typename Function>
RegistrationEntry function_entry(const char* name, Function* function) {
  RegistrationEntry entry{};
  entry.kind = ORV_ENTRY_FUNCTION;
  entry.name = name;
  entry.value = reinterpret_cast<uintptr_t>(function);
  entry.type = 0;
  return entry;
}

RegistrationEntry property_entry(const char* name, uint64_t token,
                                 uint32_t type) {
  RegistrationEntry entry{};
  entry.kind = ORV_ENTRY_PROPERTY;
  entry.name = name;
  entry.value = token;
  entry.type = type;
  return entry;
}

// The eight arrays handed to the broker, in call order. They live in
// TAVO_Main's frame: the broker copies what it keeps. The words the host
// does not read are zeroed so that no indeterminate bytes leave the module.
struct Registration {
  RegistrationEntry codec_1[4];
  RegistrationEntry codec_2[4];
  RegistrationEntry codec_3[3];
  RegistrationEntry stream_1[3];
  RegistrationEntry stream_2[4];
  RegistrationEntry stream_3[4];
  RegistrationEntry stream_4[5];
  RegistrationEntry stream_5[6];
};

void fill_registration(Registration& r) {
  r.codec_1[0] = function_entry("PROVIDER_property", &PROVIDER_property);
  r.codec_1[1] =
      property_entry("Name", ORV_PROVIDER_TOKEN_NAME, ORV_TYPE_TEXT_POINTER);
  r.codec_1[2] =
      property_entry("Version", ORV_PROVIDER_TOKEN_VERSION, ORV_TYPE_INT32);
  r.codec_1[3] =
      property_entry("Input file types", ORV_PROVIDER_TOKEN_INPUT_FILE_TYPES,
                     ORV_TYPE_TEXT_POINTER);

  r.codec_2[0] = property_entry("Editor-supported input file types",
                                ORV_PROVIDER_TOKEN_EDITOR_INPUT_FILE_TYPES,
                                ORV_TYPE_TEXT_POINTER);
  r.codec_2[1] =
      property_entry("Output file types", ORV_PROVIDER_TOKEN_OUTPUT_FILE_TYPES,
                     ORV_TYPE_TEXT_POINTER);
  r.codec_2[2] = property_entry(
      "Profile index", ORV_PROVIDER_TOKEN_PROFILE_INDEX, ORV_TYPE_UINT32);
  r.codec_2[3] = property_entry("SPU flags", ORV_PROVIDER_TOKEN_SPU_FLAGS,
                                ORV_TYPE_UINT32);

  r.codec_3[0] = function_entry("ORV_startup", &ORV_startup);
  r.codec_3[1] = function_entry("ORV_error", &ORV_error);
  r.codec_3[2] = function_entry("ORV_shutdown", &ORV_shutdown);

  r.stream_1[0] = function_entry("ORV_stream_open", &ORV_stream_open);
  r.stream_1[1] = function_entry("ORV_stream_process", &ORV_stream_process);
  r.stream_1[2] = function_entry("ORV_stream_property", &ORV_stream_property);

  r.stream_2[0] = function_entry("ORV_stream_seek", &ORV_stream_seek);
  r.stream_2[1] = function_entry("ORV_stream_close", &ORV_stream_close);
  r.stream_2[2] = property_entry("Input bit rate", ORV_TOKEN_INPUT_BIT_RATE,
                                 ORV_TYPE_UINT32);
  r.stream_2[3] = property_entry("Input sample rate",
                                 ORV_TOKEN_INPUT_SAMPLE_RATE, ORV_TYPE_UINT32);

  r.stream_3[0] = property_entry("Input sample width",
                                 ORV_TOKEN_INPUT_SAMPLE_WIDTH, ORV_TYPE_UINT32);
  r.stream_3[1] = property_entry("Input channels", ORV_TOKEN_INPUT_CHANNELS,
                                 ORV_TYPE_UINT32);
  r.stream_3[2] = property_entry("Output bit rate", ORV_TOKEN_OUTPUT_BIT_RATE,
                                 ORV_TYPE_UINT32);
  r.stream_3[3] = property_entry("Output sample rate",
                                 ORV_TOKEN_OUTPUT_SAMPLE_RATE, ORV_TYPE_UINT32);

  r.stream_4[0] = property_entry(
      "Output sample width", ORV_TOKEN_OUTPUT_SAMPLE_WIDTH, ORV_TYPE_UINT32);
  r.stream_4[1] = property_entry("Output channels", ORV_TOKEN_OUTPUT_CHANNELS,
                                 ORV_TYPE_UINT32);
  r.stream_4[2] = property_entry("Output reservoir", ORV_TOKEN_OUTPUT_RESERVOIR,
                                 ORV_TYPE_UINT32);
  r.stream_4[3] =
      property_entry("Position", ORV_TOKEN_POSITION, ORV_TYPE_UINT32);
  // Registered before tokens 13 to 17; hosts may rely on the order.
  r.stream_4[4] =
      property_entry("Set Looping Samples", ORV_TOKEN_SET_LOOPING_SAMPLES,
                     ORV_TYPE_SETTING_PLAIN);

  r.stream_5[0] =
      property_entry("Percent done", ORV_TOKEN_PERCENT_DONE, ORV_TYPE_FLOAT32);
  r.stream_5[1] =
      property_entry("Stream seek position", ORV_TOKEN_STREAM_SEEK_POSITION,
                     ORV_TYPE_SETTING_PLAIN);
  r.stream_5[2] =
      property_entry("Exact seek", ORV_TOKEN_EXACT_SEEK, ORV_TYPE_SETTING);
  r.stream_5[3] = property_entry(
      "Exact get position", ORV_TOKEN_EXACT_GET_POSITION, ORV_TYPE_SETTING);
  r.stream_5[4] = property_entry("Seek table lookup",
                                 ORV_TOKEN_SEEK_TABLE_LOOKUP, ORV_TYPE_SETTING);
  r.stream_5[5] = property_entry("Clear Loop Meta", ORV_TOKEN_CLEAR_LOOP_META,
                                 ORV_TYPE_SETTING);
}

template <int32_t count>
void announce(ORV_RegisterInterface register_interface, uintptr_t handle,
              const char* interface_name,
              const RegistrationEntry (&entries)[count]) {
  register_interface(handle, interface_name, count, entries);
}

void write_pointer(void* value, const void* pointer) {
  std::memcpy(value, &pointer, sizeof pointer);
}

}  // namespace
}  // namespace orv::vlkdec

extern "C" {

ORV_EXPORT int32_t ORV_CALL
TAVO_Main(uintptr_t handle, int32_t register_flag, void* /*reserved*/,
          ORV_RegisterInterface register_interface,
          ORV_UnregisterInterfaces unregister_interfaces) {
  using namespace orv::vlkdec;
  if (register_flag == 0) {
    if (unregister_interfaces != nullptr) {
      unregister_interfaces(handle, nullptr, 0, nullptr);
    }
    return 1;
  }
  if (register_interface == nullptr) return 1;
  Registration r;
  fill_registration(r);
  announce(register_interface, handle, codec_interface, r.codec_1);
  announce(register_interface, handle, codec_interface, r.codec_2);
  announce(register_interface, handle, codec_interface, r.codec_3);
  announce(register_interface, handle, stream_interface, r.stream_1);
  announce(register_interface, handle, stream_interface, r.stream_2);
  announce(register_interface, handle, stream_interface, r.stream_3);
  announce(register_interface, handle, stream_interface, r.stream_4);
  announce(register_interface, handle, stream_interface, r.stream_5);
  return 1;
}

int32_t PROVIDER_property(uint64_t token, void* value, const void* new_value,
                          void* result) noexcept {
  using namespace orv::vlkdec;
  // The provider has no settings.
  if (value == nullptr || new_value != nullptr || result != nullptr) return 0;
  switch (token) {
    case ORV_PROVIDER_TOKEN_INPUT_FILE_TYPES:
    case ORV_PROVIDER_TOKEN_EDITOR_INPUT_FILE_TYPES:
      write_pointer(value, input_file_types);
      return 1;
    case ORV_PROVIDER_TOKEN_OUTPUT_FILE_TYPES:
      write_pointer(value, output_file_types);
      return 1;
    case ORV_PROVIDER_TOKEN_VERSION:
      // Exactly four bytes, whatever the size of the caller's slot.
      std::memcpy(value, &provider_version, sizeof provider_version);
      return 1;
    case ORV_PROVIDER_TOKEN_NAME:
      write_pointer(value, provider_name);
      return 1;
    default:
      // Includes "Profile index" and "SPU flags": registered, never answered.
      return 0;
  }
}

}  // extern "C"
