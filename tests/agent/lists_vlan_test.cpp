// VlanInfo and VlanList: ports, resolution, searches and the VLAN message.
#include <gtest/gtest.h>

#include <vector>

#include "hksrv.h"

namespace {

std::vector<uint32_t> Array(const CSCPMessage &message, uint32_t id) {
   uint32_t count = message.GetVariableInt32Array(id, 0, nullptr);
   std::vector<uint32_t> values(count);
   message.GetVariableInt32Array(id, count, values.data());
   return values;
}

TEST(VlanInfoTest, NewVlanHasNoNameAndRoomFor64Ports) {
   VlanInfo vlan(10, 2);
   EXPECT_EQ(vlan.getVlanId(), 10);
   EXPECT_EQ(vlan.getPortReferenceMode(), 2);
   EXPECT_STREQ(vlan.getName(), L"");
   EXPECT_EQ(vlan.getNumPorts(), 0);
   EXPECT_EQ(vlan.getAllocated(), 64);
   EXPECT_EQ(vlan.getIfIndexes(), nullptr);
   EXPECT_EQ(vlan.getIfIds(), nullptr);
}

TEST(VlanInfoTest, SlotAndPortCombineWithoutMasking) {
   VlanInfo vlan(1, 0);
   vlan.add(2, 5);
   vlan.add(1, 0x10001);  // a port past 16 bits mixes into the slot bits
   ASSERT_EQ(vlan.getNumPorts(), 2);
   EXPECT_EQ(vlan.getPorts()[0], 0x20005u);
   EXPECT_EQ(vlan.getPorts()[1], 0x10001u);
}

TEST(VlanInfoTest, PortsGrowBy64) {
   VlanInfo vlan(1, 0);
   for (uint32_t i = 0; i < 65; i++)
      vlan.add(i);
   EXPECT_EQ(vlan.getNumPorts(), 65);
   EXPECT_EQ(vlan.getAllocated(), 128);
   for (uint32_t i = 0; i < 65; i++)
      EXPECT_EQ(vlan.getPorts()[i], i);
}

TEST(VlanInfoTest, SetNameCopiesAndReplaces) {
   VlanInfo vlan(1, 0);
   wchar_t name[] = L"office";
   vlan.setName(name);
   name[0] = L'X';
   EXPECT_STREQ(vlan.getName(), L"office");
   vlan.setName(L"lab");
   EXPECT_STREQ(vlan.getName(), L"lab");
   vlan.setName(nullptr);
   EXPECT_STREQ(vlan.getName(), L"");
}

TEST(VlanInfoTest, PrepareTwiceKeepsResolvedValues) {
   VlanInfo vlan(1, 2);
   vlan.add(11);
   vlan.add(12);
   vlan.prepareForResolve();
   ASSERT_NE(vlan.getIfIndexes(), nullptr);
   ASSERT_NE(vlan.getIfIds(), nullptr);
   EXPECT_EQ(vlan.getIfIndexes()[0], 0u);
   EXPECT_EQ(vlan.getIfIds()[1], 0u);
   vlan.resolvePort(1, 99, 7, 1007);
   vlan.prepareForResolve();
   EXPECT_EQ(vlan.getPorts()[1], 99u);
   EXPECT_EQ(vlan.getIfIndexes()[1], 7u);
   EXPECT_EQ(vlan.getIfIds()[1], 1007u);
   EXPECT_EQ(vlan.getPorts()[0], 11u);
}

TEST(VlanInfoTest, ResolvePortOutsideThePortsChangesNothing) {
   VlanInfo vlan(1, 2);
   vlan.add(11);
   vlan.resolvePort(0, 5, 6, 7);  // not prepared yet: nothing to write into
   EXPECT_EQ(vlan.getPorts()[0], 11u);
   vlan.prepareForResolve();
   vlan.resolvePort(1, 5, 6, 7);
   vlan.resolvePort(-1, 5, 6, 7);
   EXPECT_EQ(vlan.getPorts()[0], 11u);
   EXPECT_EQ(vlan.getIfIndexes()[0], 0u);
   EXPECT_EQ(vlan.getIfIds()[0], 0u);
}

TEST(VlanInfoTest, PortsAddedAfterPrepareAreIgnored) {
   VlanInfo vlan(1, 2);
   vlan.add(1);
   vlan.prepareForResolve();
   vlan.add(2);
   EXPECT_EQ(vlan.getNumPorts(), 1);
}

TEST(VlanListTest, AddGetAndBounds) {
   VlanList *list = new VlanList();
   EXPECT_EQ(list->getSize(), 0);
   EXPECT_EQ(list->getAllocated(), 8);
   for (int i = 0; i < 9; i++)
      list->add(new VlanInfo(100 + i, 2));
   EXPECT_EQ(list->getSize(), 9);
   EXPECT_EQ(list->getAllocated(), 40);
   EXPECT_EQ(list->get(-1), nullptr);
   EXPECT_EQ(list->get(9), nullptr);
   EXPECT_EQ(list->get(8)->getVlanId(), 108);
   list->decRefCount();  // the last reference deletes the list and its VLANs
}

TEST(VlanListTest, FindByIdAndMemberPortsUseTheFirstMatch) {
   VlanList list(0);
   auto *first = new VlanInfo(5, 2);
   auto *second = new VlanInfo(5, 2);
   list.add(first);
   list.add(second);
   EXPECT_EQ(list.getAllocated(), 32);
   EXPECT_EQ(list.findById(5), first);
   EXPECT_EQ(list.findById(6), nullptr);
   list.addMemberPort(5, 17);
   list.addMemberPort(6, 18);  // no such VLAN: nothing
   ASSERT_EQ(first->getNumPorts(), 1);
   EXPECT_EQ(first->getPorts()[0], 17u);
   EXPECT_EQ(second->getNumPorts(), 0);
}

TEST(VlanListTest, SharedByReferenceCounting) {
   VlanList *list = new VlanList();
   list->add(new VlanInfo(1, 2));
   list->incRefCount();
   list->decRefCount();
   EXPECT_EQ(list->getRefCount(), 1);
   EXPECT_EQ(list->get(0)->getVlanId(), 1);
   list->decRefCount();
}

TEST(VlanListTest, EmptyListMessageHasOnlyTheCount) {
   VlanList list;
   CSCPMessage message;
   list.fillMessage(&message);
   EXPECT_EQ(message.GetNumVariables(), 1u);
   EXPECT_TRUE(message.IsVariableExist(VID_NUM_VLANS));
   EXPECT_EQ(message.GetVariableLong(VID_NUM_VLANS), 0u);
}

TEST(VlanListTest, MessageCarriesSixVariablesPerVlan) {
   VlanList list;
   auto *first = new VlanInfo(4095, 2);
   first->add(1);
   first->add(2);
   first->prepareForResolve();
   first->resolvePort(0, 1, 101, 1001);
   first->resolvePort(1, 2, 102, 1002);
   auto *second = new VlanInfo(0x10007, 2);  // only the low 16 bits go out
   second->setName(L"guests");
   second->prepareForResolve();
   list.add(first);
   list.add(second);

   CSCPMessage message;
   list.fillMessage(&message);
   EXPECT_EQ(message.GetNumVariables(), 13u);
   EXPECT_EQ(message.GetVariableLong(VID_NUM_VLANS), 2u);
   for (uint32_t id = 0x10000000; id <= 0x10000005; id++)
      EXPECT_TRUE(message.IsVariableExist(id)) << std::hex << id;
   for (uint32_t id = 0x1000000A; id <= 0x1000000F; id++)
      EXPECT_TRUE(message.IsVariableExist(id)) << std::hex << id;
   EXPECT_FALSE(message.IsVariableExist(0x10000006));

   EXPECT_EQ(message.GetVariableShort(0x10000000), 4095);
   wchar_t name[64];
   EXPECT_STREQ(message.GetVariableStr(0x10000001, name, 64), L"");
   EXPECT_EQ(message.GetVariableLong(0x10000002), 2u);
   EXPECT_EQ(Array(message, 0x10000003), (std::vector<uint32_t>{1, 2}));
   EXPECT_EQ(Array(message, 0x10000004), (std::vector<uint32_t>{101, 102}));
   EXPECT_EQ(Array(message, 0x10000005), (std::vector<uint32_t>{1001, 1002}));

   EXPECT_EQ(message.GetVariableShort(0x1000000A), 7);
   EXPECT_STREQ(message.GetVariableStr(0x1000000B, name, 64), L"guests");
   EXPECT_EQ(message.GetVariableLong(0x1000000C), 0u);
   EXPECT_TRUE(Array(message, 0x1000000D).empty());
}

TEST(VlanListTest, UnpreparedVlanIsSentUnresolved) {
   VlanList list;
   auto *vlan = new VlanInfo(3, 2);
   vlan->add(8);
   vlan->add(9);
   list.add(vlan);
   CSCPMessage message;
   list.fillMessage(&message);
   EXPECT_EQ(Array(message, 0x10000003), (std::vector<uint32_t>{8, 9}));
   EXPECT_EQ(Array(message, 0x10000004), (std::vector<uint32_t>{0, 0}));
   EXPECT_EQ(Array(message, 0x10000005), (std::vector<uint32_t>{0, 0}));
}

}  // namespace
