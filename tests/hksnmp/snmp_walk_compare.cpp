// Comparing the library's walk with the net-snmp clients' readings taken
// before and after it (snmp_test_util.h).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "snmp_agents.h"
#include "snmp_test_util.h"

namespace hksnmptest {

namespace {

bool IsNumericType(const std::string &type) {
   return type == "INTEGER" || type == "Counter32" || type == "Gauge32" || type == "Counter64" ||
          type == "Timeticks" || type == "UInteger32";
}

unsigned long long NumberOf(const std::string &type, const std::string &value) {
   // Timeticks print as "(n) h:mm:ss.cc".
   const char *text = value.c_str() + (type == "Timeticks" ? 1 : 0);
   return std::strtoull(text, nullptr, 10);
}

}  // namespace

// Checks one of the library's entries against the reference's readings
// before and after it.
void ExpectBetween(const std::string &before, const std::string &ours, const std::string &after) {
   std::string oidB, typeB, valueB, oidO, typeO, valueO, oidA, typeA, valueA;
   ASSERT_TRUE(hktest::ParseSnmpToolEntry(before, &oidB, &typeB, &valueB)) << before;
   ASSERT_TRUE(hktest::ParseSnmpToolEntry(ours, &oidO, &typeO, &valueO)) << ours;
   ASSERT_TRUE(hktest::ParseSnmpToolEntry(after, &oidA, &typeA, &valueA)) << after;
   ASSERT_EQ(oidB, oidO);
   ASSERT_EQ(oidA, oidO);
   ASSERT_EQ(typeB, typeO) << ours << " vs " << before;
   if (IsNumericType(typeO) && typeO != "INTEGER") {
      unsigned long long b = NumberOf(typeB, valueB), o = NumberOf(typeO, valueO),
                         a = NumberOf(typeA, valueA);
      EXPECT_LE(std::min(a, b), o) << ours << " vs " << before << " / " << after;
      EXPECT_GE(std::max(a, b), o) << ours << " vs " << before << " / " << after;
   } else {
      EXPECT_TRUE(ours == before || ours == after) << ours << " vs " << before << " / " << after;
   }
}

void ExpectSameWalk(const std::vector<std::string> &before, const std::vector<std::string> &ours,
                    const std::vector<std::string> &after) {
   ASSERT_EQ(before.size(), after.size()) << "the agent's tree changed during the test";
   ASSERT_EQ(before.size(), ours.size());
   for (size_t i = 0; i < ours.size(); i++) {
      ExpectBetween(before[i], ours[i], after[i]);
   }
}

}  // namespace hksnmptest
