// The built module as a host loads it, on every target (LoadLibrary under
// Wine, dlopen under qemu-user): TAVO_Main registers the stream functions,
// and every known-answer file decodes through them bit for bit, in whole
// requests and in odd sizes that split samples and frames.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "support/plugin_module.h"
#include "support/test_data.h"

namespace orv::test {
namespace {

TEST(Module, DecodesEveryKnownAnswerFile) {
  PluginModule module;
  ASSERT_TRUE(module.loaded());
  for (const char* name : known_answer_names) {
    const KnownAnswerFile v = load_known_answer_file(name);
    for (uint32_t request : {4096u, 4093u, 7u}) {
      MemoryInput input(v.file);
      ModuleStream stream(module, input);
      ASSERT_TRUE(stream) << name;
      const std::vector<int16_t> samples = stream.read_all(request);
      std::vector<uint8_t> pcm(samples.size() * 2);
      if (!pcm.empty()) std::memcpy(pcm.data(), samples.data(), pcm.size());
      EXPECT_TRUE(pcm == v.pcm) << name << ", requests of " << request;
    }
  }
}

}  // namespace
}  // namespace orv::test
