// Replays the fuzz target's seed corpus through the same entry point, so the
// parser's corner cases and the re-encoding check run in every test build.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "hksnmp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

TEST(SnmpFuzzCorpus, EverySeedRunsAndEveryValidSeedParses) {
   int seeds = 0, valid = 0;
   for (const auto &entry : std::filesystem::directory_iterator(HKSNMP_FUZZ_CORPUS_DIR)) {
      std::ifstream in(entry.path(), std::ios::binary);
      std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                 std::istreambuf_iterator<char>());
      std::string name = entry.path().filename().string();
      SCOPED_TRACE(name);
      EXPECT_EQ(LLVMFuzzerTestOneInput(bytes.data(), bytes.size()), 0);
      SNMP_PDU pdu;
      bool parses = pdu.parse(bytes.data(), bytes.size(), nullptr, false);
      // Seeds are named by origin: "agent-" captured from snmpd or snmpsimd,
      // "built-" written by hand to the message layout, "bad-" malformed on
      // purpose, "fuzz-" found by the fuzzer (either way).
      if (name.rfind("bad-", 0) == 0) {
         EXPECT_FALSE(parses);
      } else if (name.rfind("fuzz-", 0) != 0) {
         EXPECT_TRUE(parses);
         valid++;
      }
      seeds++;
   }
   EXPECT_GE(seeds, 20);
   EXPECT_GE(valid, 10);
}

}  // namespace
