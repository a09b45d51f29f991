// TAVO_Main's broker calls and records, and the provider interface, through
// the built module loaded with dlopen.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/plugin_module.h"
#include "support/test_data.h"

namespace {

using orv::test::BrokerCall;
using orv::test::MemoryInput;
using orv::test::PluginModule;

struct ExpectedEntry {
  uint32_t kind;
  const char* name;
  uint64_t token;  // properties only
  uint32_t type;
};

struct ExpectedCall {
  const char* interface_name;
  std::vector<ExpectedEntry> entries;
};

constexpr uint32_t fn = ORV_ENTRY_FUNCTION;
constexpr uint32_t prop = ORV_ENTRY_PROPERTY;

const std::vector<ExpectedCall>& expected_registration() {
  static const std::vector<ExpectedCall> calls = {
      {"ORV codec",
       {{fn, "PROVIDER_property", 0, 0},
        {prop, "Name", 4294967196u, 0x80000007u},
        {prop, "Version", 4294967195u, 0x80000003u},
        {prop, "Input file types", 0, 0x80000007u}}},
      {"ORV codec",
       {{prop, "Editor-supported input file types", 1, 0x80000007u},
        {prop, "Output file types", 2, 0x80000007u},
        {prop, "Profile index", 4097, 0x80000002u},
        {prop, "SPU flags", 1073741824u, 0x80000002u}}},
      {"ORV codec",
       {{fn, "ORV_startup", 0, 0},
        {fn, "ORV_error", 0, 0},
        {fn, "ORV_shutdown", 0, 0}}},
      {"ORV stream",
       {{fn, "ORV_stream_open", 0, 0},
        {fn, "ORV_stream_process", 0, 0},
        {fn, "ORV_stream_property", 0, 0}}},
      {"ORV stream",
       {{fn, "ORV_stream_seek", 0, 0},
        {fn, "ORV_stream_close", 0, 0},
        {prop, "Input bit rate", 3, 0x80000002u},
        {prop, "Input sample rate", 4, 0x80000002u}}},
      {"ORV stream",
       {{prop, "Input sample width", 5, 0x80000002u},
        {prop, "Input channels", 6, 0x80000002u},
        {prop, "Output bit rate", 7, 0x80000002u},
        {prop, "Output sample rate", 8, 0x80000002u}}},
      {"ORV stream",
       {{prop, "Output sample width", 9, 0x80000002u},
        {prop, "Output channels", 10, 0x80000002u},
        {prop, "Output reservoir", 11, 0x80000002u},
        {prop, "Position", 12, 0x80000002u},
        {prop, "Set Looping Samples", 18, 0x00000002u}}},
      {"ORV stream",
       {{prop, "Percent done", 13, 0x80000005u},
        {prop, "Stream seek position", 14, 0x00000002u},
        {prop, "Exact seek", 15, 0x80000001u},
        {prop, "Exact get position", 16, 0x80000001u},
        {prop, "Seek table lookup", 17, 0x80000001u},
        {prop, "Clear Loop Meta", 19, 0x80000001u}}},
  };
  return calls;
}

uint32_t load32(const uint8_t* bytes) {
  uint32_t v;
  std::memcpy(&v, bytes, 4);
  return v;
}
uint64_t load64(const uint8_t* bytes) {
  uint64_t v;
  std::memcpy(&v, bytes, 8);
  return v;
}

TEST(Registration, RecordsMatchByteForByte) {
  PluginModule module;
  ASSERT_TRUE(module.loaded());
  const auto& expected = expected_registration();
  ASSERT_EQ(module.registrations.size(), expected.size());
  EXPECT_TRUE(module.unregistrations.empty());
  std::set<uint64_t> function_addresses;
  for (size_t c = 0; c < expected.size(); ++c) {
    SCOPED_TRACE(c + 1);
    const BrokerCall& call = module.registrations[c];
    EXPECT_EQ(call.handle, reinterpret_cast<uintptr_t>(&module));
    EXPECT_EQ(call.interface_text, expected[c].interface_name);
    ASSERT_EQ(call.entry_count,
              static_cast<int32_t>(expected[c].entries.size()));
    ASSERT_FALSE(call.entries_null);
    for (size_t e = 0; e < expected[c].entries.size(); ++e) {
      const ExpectedEntry& want = expected[c].entries[e];
      SCOPED_TRACE(want.name);
      const uint8_t* raw = call.raw[e].data();
      EXPECT_EQ(load32(raw + 0), want.kind);
      // The words the host does not read are zeroed, not left stale.
      EXPECT_EQ(load32(raw + 4), 0u);
      EXPECT_EQ(load32(raw + 28), 0u);
      const char* name = reinterpret_cast<const char*>(load64(raw + 8));
      ASSERT_NE(name, nullptr);
      EXPECT_STREQ(name, want.name);
      EXPECT_EQ(load32(raw + 24), want.type);
      if (want.kind == fn) {
        EXPECT_EQ(want.type, 0u);
        EXPECT_NE(load64(raw + 16), 0u);
        function_addresses.insert(load64(raw + 16));
      } else {
        EXPECT_EQ(load64(raw + 16), want.token);
      }
    }
  }
  EXPECT_EQ(function_addresses.size(), 9u);  // nine distinct functions
}

TEST(Registration, NamesOutliveTheCallAndCallsAreRepeatable) {
  PluginModule module;
  ASSERT_TRUE(module.loaded());
  // A second registration gives the same records; the first call's name
  // pointers still read correctly after TAVO_Main returned twice.
  const std::vector<BrokerCall> first = module.registrations;
  module.registrations.clear();
  EXPECT_EQ(module.call_main(77, 1), 1);
  ASSERT_EQ(module.registrations.size(), first.size());
  for (size_t c = 0; c < first.size(); ++c) {
    EXPECT_EQ(module.registrations[c].handle, 77u);
    // The interface name texts are static too.
    EXPECT_EQ(module.registrations[c].interface_name, first[c].interface_name);
    ASSERT_EQ(module.registrations[c].raw.size(), first[c].raw.size());
    for (size_t e = 0; e < first[c].raw.size(); ++e) {
      EXPECT_EQ(module.registrations[c].raw[e], first[c].raw[e]);
    }
  }
  EXPECT_STREQ(first[7].entries[5].name, "Clear Loop Meta");
}

TEST(Registration, UnregisterMakesOneBrokerCallWithZeros) {
  PluginModule module;
  ASSERT_TRUE(module.loaded());
  module.registrations.clear();
  EXPECT_EQ(module.call_main(0x1234, 0), 1);
  EXPECT_TRUE(module.registrations.empty());
  ASSERT_EQ(module.unregistrations.size(), 1u);
  const BrokerCall& call = module.unregistrations[0];
  EXPECT_EQ(call.handle, 0x1234u);
  EXPECT_EQ(call.interface_name, nullptr);
  EXPECT_EQ(call.entry_count, 0);
  EXPECT_TRUE(call.entries_null);
  module.unregistrations.clear();
}

TEST(Registration, NullBrokerFunctionsAreNotCalled) {
  PluginModule module;
  ASSERT_TRUE(module.loaded());
  TAVO_Main_fn main = module.entry_point();
  EXPECT_EQ(main(1, 1, nullptr, nullptr, nullptr), 1);
  EXPECT_EQ(main(1, 0, nullptr, nullptr, nullptr), 1);
}

// ---------------------------------------------------------------------------
// The provider interface

constexpr uint64_t sentinel = 0x5A5A5A5A5A5A5A5Au;

int32_t provider_query(const PluginModule& module, uint64_t token,
                       uint64_t* slot) {
  *slot = sentinel;
  return module.provider_property(token, slot, nullptr, nullptr);
}

TEST(Provider, AnswersTexts) {
  PluginModule module;
  ASSERT_TRUE(module.loaded());
  uint64_t slot;
  ASSERT_EQ(provider_query(module, module.token("ORV codec", "Name"), &slot),
            1);
  EXPECT_STREQ(reinterpret_cast<const char*>(slot), "Zoal Velk Audio Decoder");

  ASSERT_EQ(provider_query(module, 0, &slot), 1);
  const char* input_types = reinterpret_cast<const char*>(slot);
  EXPECT_EQ(std::memcmp(input_types, "Zoal Velk Audio Files\0*.VELKA\0\0", 31),
            0);
  ASSERT_EQ(provider_query(module, 1, &slot), 1);
  EXPECT_EQ(reinterpret_cast<const char*>(slot), input_types);

  ASSERT_EQ(provider_query(module, 2, &slot), 1);
  EXPECT_EQ(std::memcmp(reinterpret_cast<const char*>(slot),
                        "Raw PCM files\0*.RAW\0\0", 21),
            0);
}

TEST(Provider, VersionWritesExactlyFourBytes) {
  PluginModule module;
  ASSERT_TRUE(module.loaded());
  uint8_t slot[8];
  std::memset(slot, 0xEE, sizeof slot);
  ASSERT_EQ(module.provider_property(module.token("ORV codec", "Version"), slot,
                                     nullptr, nullptr),
            1);
  EXPECT_EQ(static_cast<int32_t>(load32(slot)), 304);
  for (int i = 4; i < 8; ++i) EXPECT_EQ(slot[i], 0xEE);
}

TEST(Provider, RefusesWithoutWriting) {
  PluginModule module;
  ASSERT_TRUE(module.loaded());
  uint64_t slot;
  // Sign-extended -100 is not the "Name" token; registered but unanswered
  // tokens; unknown ones.
  for (uint64_t token : {static_cast<uint64_t>(int64_t{-100}),
                         static_cast<uint64_t>(int64_t{-101}), uint64_t{4097},
                         uint64_t{0x40000000}, uint64_t{3}, uint64_t{19},
                         uint64_t{0xFFFFFF9D}, uint64_t{0x1FFFFFF9C}}) {
    SCOPED_TRACE(token);
    EXPECT_EQ(provider_query(module, token, &slot), 0);
    EXPECT_EQ(slot, sentinel);
  }
  // Settings are refused even for known tokens; so is a null slot.
  uint32_t word = 0;
  for (uint64_t token : {uint64_t{0}, uint64_t{2}, uint64_t{0xFFFFFF9C}}) {
    slot = sentinel;
    EXPECT_EQ(module.provider_property(token, &slot, &word, nullptr), 0);
    EXPECT_EQ(module.provider_property(token, &slot, nullptr, &word), 0);
    EXPECT_EQ(module.provider_property(token, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(slot, sentinel);
    EXPECT_EQ(word, 0u);
  }
}

// ---------------------------------------------------------------------------
// The last-error text

std::vector<uint8_t> small_file() {
  return orv::test::read_file(
      orv::test::data_path("vectors/files/ch1-32000.VELKA"));
}

TEST(Provider, LastErrorAfterRefusedAllocation) {
  PluginModule module;
  ASSERT_TRUE(module.loaded());
  EXPECT_EQ(module.startup(), 0);
  EXPECT_EQ(module.error(), nullptr);
  EXPECT_EQ(module.shutdown(), 0);

  MemoryInput input(small_file());
  input.refuse_allocation = true;
  EXPECT_EQ(input.open(module), nullptr);
  for (int i = 0; i < 3; ++i) {
    const char* text = module.error();
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "Out of memory");
  }
  // A later successful open or a refused header leaves the text alone.
  input.refuse_allocation = false;
  ORV_Stream* stream = input.open(module);
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(module.stream_close(stream), 0);
  MemoryInput garbage(std::vector<uint8_t>(64, 0x55));
  EXPECT_EQ(garbage.open(module), nullptr);
  EXPECT_STREQ(module.error(), "Out of memory");

  EXPECT_EQ(module.shutdown(), 0);
  EXPECT_STREQ(module.error(), "Out of memory");
  EXPECT_EQ(module.startup(), 0);
  EXPECT_EQ(module.error(), nullptr);
  EXPECT_TRUE(input.faults.empty());
}

TEST(Provider, LastErrorIsSafeAcrossThreads) {
  // Streams opened on several threads share the text. Every read sees
  // either no error or the whole text; the sanitizer builds check that the
  // accesses do not race.
  PluginModule module;
  ASSERT_TRUE(module.loaded());
  const std::vector<uint8_t> file = small_file();
  std::vector<std::thread> threads;
  std::vector<int> bad_reads(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&module, &file, &bad_reads, t] {
      MemoryInput input(file);
      for (int i = 0; i < 300; ++i) {
        if (t % 2 == 0) {
          input.refuse_allocation = true;
          if (input.open(module) != nullptr) ++bad_reads[t];
        } else if (i % 3 == 0) {
          module.startup();
        }
        const char* text = module.error();
        if (text != nullptr && std::strcmp(text, "Out of memory") != 0) {
          ++bad_reads[t];
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int bad : bad_reads) EXPECT_EQ(bad, 0);
  module.startup();
}

}  // namespace
