// Every input a fuzz target has kept (seeds and regressions) runs through
// the same target function in every test build, so a fixed finding stays
// fixed. A target aborts on a broken check, which fails the run loudly.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "agent_lists/agent_lists_target.h"
#include "hkcp_decrypt/hkcp_decrypt_target.h"
#include "hkcp_stream/hkcp_stream_target.h"
#include "snmp_oid/snmp_oid_target.h"
#include "snmp_v3/snmp_v3_target.h"

namespace {

namespace fs = std::filesystem;

struct Target {
   const char *folder;
   int (*run)(const uint8_t *, size_t);
};

const Target kTargets[] = {
    {"hkcp_stream", HkFuzzHkcpStream}, {"hkcp_decrypt", HkFuzzHkcpDecrypt},
    {"snmp_oid", HkFuzzSnmpOid},       {"snmp_v3", HkFuzzSnmpV3},
    {"agent_lists", HkFuzzAgentLists},
};
// Replayed by their own suites.
const std::set<std::string> kReplayedElsewhere = {"hesker", "hksnmp", "hkagent"};

int ReplayFolder(const Target &target) {
   int count = 0;
   for (const auto &entry :
        fs::recursive_directory_iterator(fs::path(HK_FUZZ_DIR) / target.folder / "corpus")) {
      if (!entry.is_regular_file())
         continue;
      std::ifstream in(entry.path(), std::ios::binary);
      std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                 std::istreambuf_iterator<char>());
      SCOPED_TRACE(entry.path().string());
      EXPECT_EQ(target.run(bytes.data(), bytes.size()), 0);
      count++;
   }
   return count;
}

class FuzzReplay : public ::testing::TestWithParam<Target> {};

TEST_P(FuzzReplay, EveryKeptInputRunsClean) {
   EXPECT_GE(ReplayFolder(GetParam()), 8) << "a corpus this small covers little";
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzReplay, ::testing::ValuesIn(kTargets),
                         [](const ::testing::TestParamInfo<Target> &info) {
                            return std::string(info.param.folder);
                         });

// A corpus that nobody replays would let a fixed finding come back unseen.
TEST(FuzzReplayCoverage, EveryCorpusIsReplayedSomewhere) {
   std::set<std::string> known = kReplayedElsewhere;
   for (const Target &target : kTargets)
      known.insert(target.folder);
   int corpora = 0;
   for (const auto &entry : fs::directory_iterator(HK_FUZZ_DIR)) {
      if (!fs::is_directory(entry.path() / "corpus"))
         continue;
      corpora++;
      EXPECT_TRUE(known.count(entry.path().filename().string()))
          << entry.path() << " has a corpus that no suite replays";
   }
   EXPECT_GE(corpora, 7);
}

}  // namespace
