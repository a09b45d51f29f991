// velka info: the plug-in's answers about a file sit beside the header's
// fields and agree with them; without a plug-in the file-level report
// stands alone.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "run_velka.h"
#include "support/host_test_files.h"

namespace {

using orv::test::EncodedCase;
using orv::test::run_velka;
using orv::test::RunResult;
using orv::test::TempDir;

// The text of the flat JSON object that follows `"key":{`.
std::string object_of(const std::string& json, const std::string& key) {
  const std::string opening = "\"" + key + "\":{";
  const size_t at = json.find(opening);
  if (at == std::string::npos) return {};
  const size_t from = at + opening.size();
  const size_t to = json.find('}', from);
  return to == std::string::npos ? std::string() : json.substr(from, to - from);
}

// The raw value of `"key":` in `json` (a number, true, false or null), or
// nothing if the key is missing.
std::optional<std::string> value_of(const std::string& json,
                                    const std::string& key) {
  const std::string opening = "\"" + key + "\":";
  const size_t at = json.find(opening);
  if (at == std::string::npos) return std::nullopt;
  const size_t from = at + opening.size();
  const size_t to = json.find_first_of(",}", from);
  return json.substr(from, to - from);
}

uint64_t number_of(const std::string& json, const std::string& key) {
  const auto value = value_of(json, key);
  EXPECT_TRUE(value.has_value()) << key;
  return value ? std::stoull(*value) : 0;
}

// One run over every case: one JSON object a line, in the files' order.
TEST(InfoTool, PluginAnswersAgreeWithTheHeader) {
  TempDir dir;
  std::vector<std::string> args = {"info", "--json", "--plugin",
                                   ORV_PLUGIN_PATH};
  const std::vector<EncodedCase> cases = orv::test::standard_cases();
  for (const EncodedCase& c : cases) {
    args.push_back(orv::test::write_encoded_file(dir, c));
  }
  const RunResult out = run_velka(dir, args);
  ASSERT_EQ(out.exit_code, 0);
  size_t line_start = 0;
  for (const EncodedCase& c : cases) {
    SCOPED_TRACE(c.name);
    const size_t line_end = out.stdout_text.find('\n', line_start);
    ASSERT_NE(line_end, std::string::npos);
    const std::string json =
        out.stdout_text.substr(line_start, line_end - line_start);
    line_start = line_end + 1;
    EXPECT_NE(json.find(c.name + ".velka\""), std::string::npos);
    const std::string plugin = object_of(json, "plugin");
    ASSERT_FALSE(plugin.empty()) << json;
    EXPECT_EQ(value_of(plugin, "loaded"), "true");

    const uint64_t rate = number_of(json, "sample_rate");
    const uint64_t channels = number_of(json, "channels");
    const uint64_t total = number_of(json, "total_samples");
    const uint64_t file_size = number_of(json, "file_size");
    EXPECT_EQ(rate, c.sample_rate);
    EXPECT_EQ(channels, c.channels);
    for (const char* side : {"input", "output"}) {
      SCOPED_TRACE(side);
      const std::string prefix = side;
      EXPECT_EQ(number_of(plugin, prefix + "_sample_rate"), rate);
      EXPECT_EQ(number_of(plugin, prefix + "_channels"), channels);
      EXPECT_EQ(number_of(plugin, prefix + "_sample_width"), 16u);
    }
    EXPECT_EQ(number_of(plugin, "output_bit_rate"), rate * channels * 16);
    const uint64_t duration_ms = total * 1000 / rate;
    ASSERT_GT(duration_ms, 0u);
    EXPECT_EQ(number_of(plugin, "input_bit_rate"),
              file_size * 8000 / duration_ms);
    // The duration comes from a seek table that says how many blocks an
    // entry holds; other files leave it unanswered.
    const bool has_entries = number_of(json, "entries") != 0 &&
                             number_of(json, "blocks_per_entry") != 0;
    if (has_entries) {
      EXPECT_EQ(number_of(plugin, "duration_ms"), duration_ms);
    } else {
      EXPECT_EQ(value_of(plugin, "duration_ms"), "null");
    }
    EXPECT_NE(json.find("\"problems\":[]"), std::string::npos) << json;
  }
  EXPECT_EQ(line_start, out.stdout_text.size());
}

TEST(InfoTool, DefaultPluginIsTheOneBuiltBesideIt) {
  TempDir dir;
  const std::string path =
      orv::test::write_encoded_file(dir, orv::test::standard_cases().front());
  const RunResult out = run_velka(dir, {"info", path, "--json"});
  ASSERT_EQ(out.exit_code, 0);
  EXPECT_EQ(value_of(object_of(out.stdout_text, "plugin"), "loaded"), "true");
}

TEST(InfoTool, WithoutPluginTheFileReportStands) {
  TempDir dir;
  const std::string path =
      orv::test::write_encoded_file(dir, orv::test::standard_cases().front());
  const std::string missing = dir.file("no-such-plugin.so");

  const RunResult json =
      run_velka(dir, {"info", path, "--json", "--plugin", missing});
  EXPECT_EQ(json.exit_code, 0);
  const std::string plugin = object_of(json.stdout_text, "plugin");
  EXPECT_EQ(value_of(plugin, "loaded"), "false");
  EXPECT_NE(plugin.find("\"error\":\""), std::string::npos) << plugin;
  EXPECT_FALSE(value_of(plugin, "input_sample_rate").has_value());
  EXPECT_TRUE(value_of(json.stdout_text, "total_samples").has_value());

  const RunResult text = run_velka(dir, {"info", path, "--plugin", missing});
  EXPECT_EQ(text.exit_code, 0);
  EXPECT_NE(text.stdout_text.find("total samples:"), std::string::npos);
  const size_t note = text.stdout_text.find("plug-in:");
  ASSERT_NE(note, std::string::npos) << text.stdout_text;
  const size_t line_end = text.stdout_text.find('\n', note);
  EXPECT_NE(text.stdout_text.find(missing, note), std::string::npos);
  // One line for the plug-in, and no answer lines after it.
  EXPECT_EQ(text.stdout_text.find("  input:"), std::string::npos);
  EXPECT_LT(text.stdout_text.find(missing, note), line_end);

  EXPECT_EQ(run_velka(dir, {"info", path, "--plugin"}).exit_code, 2);
}

}  // namespace
