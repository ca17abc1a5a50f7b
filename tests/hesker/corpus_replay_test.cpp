// Replays the fuzz target's seed corpus through the same entry point, so
// the decoder's corner cases run in every test build.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

TEST(FuzzCorpus, EverySeedRunsCleanly) {
   DIR *dir = opendir(HK_FUZZ_CORPUS_DIR);
   ASSERT_NE(dir, nullptr) << HK_FUZZ_CORPUS_DIR;
   int count = 0;
   while (struct dirent *entry = readdir(dir)) {
      std::string name = entry->d_name;
      if (name == "." || name == "..")
         continue;
      std::ifstream in(std::string(HK_FUZZ_CORPUS_DIR) + "/" + name, std::ios::binary);
      std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                 std::istreambuf_iterator<char>());
      SCOPED_TRACE(name);
      EXPECT_EQ(LLVMFuzzerTestOneInput(bytes.data(), bytes.size()), 0);
      count++;
   }
   closedir(dir);
   EXPECT_GE(count, 10);
}
