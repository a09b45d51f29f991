// The host library's module side: loading, the broker's copies of the
// registration records, lookups by name, the allocator's accounting.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>

#include "host/plugin_host.h"
#include "host/velk_host_testing.h"
#include "support/host_test_files.h"
#include "support/test_data.h"

namespace orv::host {
namespace {

TEST(HostLoad, RefusesMissingModulesAndModulesWithoutTheEntry) {
  char error[256];
  EXPECT_EQ(velk_host_load("/nonexistent/libvlkdec.so", error, sizeof error),
            nullptr);
  EXPECT_NE(std::strstr(error, "cannot load plug-in"), nullptr) << error;

  // A real shared library that is not a plug-in.
  EXPECT_EQ(velk_host_load("libm.so.6", error, sizeof error), nullptr);
  EXPECT_NE(std::strstr(error, "no TAVO_Main"), nullptr) << error;

  EXPECT_EQ(velk_host_load("", nullptr, 0), nullptr);
  EXPECT_THROW(Plugin("/nonexistent/module.so"), HostError);
}

TEST(HostLoad, KeepsEveryRegisterCallAndFindsEverythingByName) {
  Plugin plugin(ORV_PLUGIN_PATH);
  const std::vector<VelkHostRegistration> calls = plugin.registrations();
  ASSERT_EQ(calls.size(), 8u);
  std::set<std::string> names;
  int codec_entries = 0;
  int stream_entries = 0;
  for (const VelkHostRegistration& call : calls) {
    const std::string interface_name = call.interface_name;
    ASSERT_TRUE(interface_name == "ORV codec" || interface_name == "ORV stream")
        << interface_name;
    (interface_name == "ORV codec" ? codec_entries : stream_entries) +=
        call.entry_count;
    for (int32_t i = 0; i < call.entry_count; ++i) {
      const RegistrationEntry& entry = call.entries[i];
      names.insert(entry.name);
      // Lookups return the broker's copy of this very record.
      const RegistrationEntry* found =
          plugin.find(call.interface_name, entry.name);
      ASSERT_NE(found, nullptr) << entry.name;
      EXPECT_EQ(found->value, entry.value);
      EXPECT_EQ(found->type, entry.type);
      EXPECT_EQ(found->kind, entry.kind);
    }
  }
  EXPECT_EQ(codec_entries, 11);
  EXPECT_EQ(stream_entries, 22);
  EXPECT_EQ(names.size(), 33u);
  EXPECT_EQ(plugin.find("ORV stream", "PROVIDER_property"), nullptr);
  EXPECT_EQ(plugin.find("ORV codec", "No such thing"), nullptr);

  const VelkHostFunctions& f = plugin.functions();
  EXPECT_EQ(reinterpret_cast<uintptr_t>(f.stream_open),
            plugin.find("ORV stream", "ORV_stream_open")->value);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(f.provider_property),
            plugin.find("ORV codec", "PROVIDER_property")->value);
}

TEST(HostLoad, AsksProviderPropertiesByName) {
  Plugin plugin(ORV_PLUGIN_PATH);
  EXPECT_EQ(plugin.provider_text("Name"), "Zoal Velk Audio Decoder");
  EXPECT_EQ(plugin.provider_text("Input file types"), "Zoal Velk Audio Files");
  int32_t version = 0;
  EXPECT_EQ(velk_host_provider_property(plugin.get(), "Version", &version,
                                        nullptr, nullptr),
            1);
  EXPECT_EQ(version, 304);
  // Unknown names never reach the plug-in.
  EXPECT_EQ(velk_host_provider_property(plugin.get(), "Nope", &version, nullptr,
                                        nullptr),
            0);
}

TEST(HostLoad, TwoHostsOfOneModuleAreIndependent) {
  Plugin first(ORV_PLUGIN_PATH);
  {
    Plugin second(ORV_PLUGIN_PATH);
    EXPECT_EQ(second.registrations().size(), 8u);
  }
  // Unloading the second must leave the first usable.
  test::TempDir dir;
  Stream stream =
      first.open(test::write_encoded_file(dir, "after-unload", 5000));
  EXPECT_FALSE(stream.pull_all().empty());
}

TEST(HostLoad, SharedModulesAreLoadedOncePerPathUntilTheLastRelease) {
  char error[256];
  VelkHost* first = velk_host_acquire(ORV_PLUGIN_PATH, error, sizeof error);
  ASSERT_NE(first, nullptr) << error;
  VelkHost* second = velk_host_acquire(ORV_PLUGIN_PATH, error, sizeof error);
  EXPECT_EQ(second, first);
  velk_host_release(second);
  // Still loaded for the first user.
  EXPECT_EQ(velk_host_registration_count(first), 8u);
  velk_host_release(first);
  EXPECT_EQ(velk_host_acquire("/nonexistent/libvlkdec.so", error, sizeof error),
            nullptr);
  EXPECT_NE(std::strstr(error, "cannot load plug-in"), nullptr) << error;
}

TEST(HostLoad, FindsTheModuleOfThisTreeUnlessTheEnvironmentNamesOne) {
  const char* saved = std::getenv("VELKA_PLUGIN");
  const std::string kept = saved != nullptr ? saved : "";
  unsetenv("VELKA_PLUGIN");
  // This test program lies in the build tree beside the module it found.
  const std::string found = default_plugin_path();
  EXPECT_TRUE(std::filesystem::equivalent(found, ORV_PLUGIN_PATH)) << found;
  setenv("VELKA_PLUGIN", "/elsewhere/libvlkdec.so", 1);
  char small[8];
  EXPECT_EQ(velk_host_default_plugin_path(small, sizeof small),
            std::strlen("/elsewhere/libvlkdec.so"));
  EXPECT_STREQ(small, "/elsewh");
  if (saved != nullptr) {
    setenv("VELKA_PLUGIN", kept.c_str(), 1);
  } else {
    unsetenv("VELKA_PLUGIN");
  }
}

TEST(HostAllocator, BalancesEveryBlockAndReportsARefusal) {
  Plugin plugin(ORV_PLUGIN_PATH);
  const std::string path = test::data_path("vectors/files/ch2-48000.VELKA");
  {
    Stream a = plugin.open(path);
    Stream b = plugin.open(path);
    const VelkHostAllocationStats open =
        orv::host::testing::allocation_stats(plugin.get());
    EXPECT_EQ(open.allocations, 2u);
    EXPECT_GT(open.outstanding_bytes, 0u);
  }
  VelkHostAllocationStats closed =
      orv::host::testing::allocation_stats(plugin.get());
  EXPECT_EQ(closed.frees, 2u);
  EXPECT_EQ(closed.bad_frees, 0u);
  EXPECT_EQ(closed.outstanding_bytes, 0u);

  velk_host_refuse_allocations(plugin.get(), 1);
  char error[256];
  EXPECT_EQ(
      velk_host_stream_open(plugin.get(), path.c_str(), error, sizeof error),
      nullptr);
  EXPECT_NE(std::strstr(error, "Out of memory"), nullptr) << error;
  ASSERT_NE(velk_host_plugin_error(plugin.get()), nullptr);
  EXPECT_STREQ(velk_host_plugin_error(plugin.get()), "Out of memory");
  closed = orv::host::testing::allocation_stats(plugin.get());
  EXPECT_EQ(closed.refusals, 1u);
  EXPECT_EQ(closed.outstanding_bytes, 0u);

  velk_host_refuse_allocations(plugin.get(), 0);
  EXPECT_NO_THROW(plugin.open(path));
}

TEST(HostStreamOpen, GivesOneLineReasons) {
  Plugin plugin(ORV_PLUGIN_PATH);
  test::TempDir dir;
  char error[512];
  EXPECT_EQ(velk_host_stream_open(plugin.get(), dir.file("absent").c_str(),
                                  error, sizeof error),
            nullptr);
  EXPECT_NE(std::strstr(error, "No such file"), nullptr) << error;

  EXPECT_EQ(velk_host_stream_open(plugin.get(), dir.path().c_str(), error,
                                  sizeof error),
            nullptr);
  EXPECT_NE(std::strstr(error, "not a regular file"), nullptr) << error;
  // A named pipe with no writer is refused at once, not waited on.
  ASSERT_EQ(mkfifo(dir.file("pipe").c_str(), 0600), 0);
  EXPECT_EQ(velk_host_stream_open(plugin.get(), dir.file("pipe").c_str(), error,
                                  sizeof error),
            nullptr);
  EXPECT_NE(std::strstr(error, "not a regular file"), nullptr) << error;

  test::write_bytes(dir.file("text.velka"),
                    std::vector<uint8_t>(100, static_cast<uint8_t>('x')));
  EXPECT_EQ(velk_host_stream_open(plugin.get(), dir.file("text.velka").c_str(),
                                  error, sizeof error),
            nullptr);
  EXPECT_NE(std::strstr(error, "not a Velk audio file"), nullptr) << error;

  // The right magic with a version the plug-in does not know.
  std::vector<uint8_t> header = {'1', 'K', 'L', 'V', 9, 2, 0x44, 0xAC};
  header.resize(24);
  test::write_bytes(dir.file("v9.velka"), header);
  EXPECT_EQ(velk_host_stream_open(plugin.get(), dir.file("v9.velka").c_str(),
                                  error, sizeof error),
            nullptr);
  EXPECT_NE(std::strstr(error, "refuses"), nullptr) << error;
  EXPECT_EQ(std::strchr(error, '\n'), nullptr);
  EXPECT_EQ(
      orv::host::testing::allocation_stats(plugin.get()).outstanding_bytes, 0u);
}

}  // namespace
}  // namespace orv::host
