// The fuzzers' seed corpora, replayed through the same target functions.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "fuzz_targets.h"

namespace {

int Replay(const std::string &dir, int (*target)(const uint8_t *, size_t)) {
   int count = 0;
   for (const auto &entry : std::filesystem::directory_iterator(dir)) {
      std::ifstream in(entry.path(), std::ios::binary);
      std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                 std::istreambuf_iterator<char>());
      EXPECT_EQ(target(bytes.data(), bytes.size()), 0) << entry.path();
      count++;
   }
   return count;
}

}  // namespace

TEST(HkagentCorpusReplay, ConfigSeeds) {
   EXPECT_GE(Replay(HKAGENT_FUZZ_CORPUS_DIR "/config", HkagentFuzzConfig), 3);
}

TEST(HkagentCorpusReplay, DispatchSeeds) {
   EXPECT_GE(Replay(HKAGENT_FUZZ_CORPUS_DIR "/dispatch", HkagentFuzzDispatch), 10);
}
