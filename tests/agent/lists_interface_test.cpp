// InterfaceList: growth, bounds, searches and removal.
#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>

#include "hksrv.h"

namespace {

HK_INTERFACE_INFO Record(uint32_t ifIndex, const wchar_t *name) {
   HK_INTERFACE_INFO info;
   memset(&info, 0, sizeof(info));
   info.ifIndex = ifIndex;
   wcsncpy(info.name, name, 255);
   return info;
}

TEST(InterfaceListTest, NewListIsEmptyWithRequestedCapacity) {
   InterfaceList list(5);
   EXPECT_EQ(list.getSize(), 0);
   EXPECT_EQ(list.getAllocated(), 5);
   EXPECT_EQ(list.getData(), nullptr);
   InterfaceList defaults;
   EXPECT_EQ(defaults.getAllocated(), 8);
}

TEST(InterfaceListTest, AddCopiesTheRecord) {
   InterfaceList list;
   HK_INTERFACE_INFO info = Record(7, L"eth0");
   list.add(&info);
   wcscpy(info.name, L"changed");
   info.ifIndex = 99;
   ASSERT_EQ(list.getSize(), 1);
   EXPECT_EQ(list.get(0)->ifIndex, 7u);
   EXPECT_STREQ(list.get(0)->name, L"eth0");
}

TEST(InterfaceListTest, GrowsBy32WhenFull) {
   InterfaceList list;
   for (uint32_t i = 0; i < 33; i++) {
      HK_INTERFACE_INFO info = Record(i, L"x");
      list.add(&info);
   }
   EXPECT_EQ(list.getSize(), 33);
   EXPECT_EQ(list.getAllocated(), 40);
   for (int i = 0; i < 33; i++)
      EXPECT_EQ(list.get(i)->ifIndex, (uint32_t)i);
}

TEST(InterfaceListTest, ZeroInitialCapacityGrowsOnFirstAdd) {
   InterfaceList list(0);
   EXPECT_EQ(list.getAllocated(), 0);
   HK_INTERFACE_INFO info = Record(1, L"lo");
   list.add(&info);
   EXPECT_EQ(list.getSize(), 1);
   EXPECT_EQ(list.getAllocated(), 32);
   EXPECT_STREQ(list.get(0)->name, L"lo");
}

TEST(InterfaceListTest, GetOutsideTheListIsNull) {
   InterfaceList list;
   EXPECT_EQ(list.get(0), nullptr);
   HK_INTERFACE_INFO info = Record(1, L"a");
   list.add(&info);
   EXPECT_EQ(list.get(-1), nullptr);
   EXPECT_EQ(list.get(1), nullptr);
   EXPECT_NE(list.get(0), nullptr);
}

TEST(InterfaceListTest, FindByIfIndexReturnsTheFirstMatch) {
   InterfaceList list;
   HK_INTERFACE_INFO a = Record(4, L"a");
   HK_INTERFACE_INFO b = Record(5, L"first");
   HK_INTERFACE_INFO c = Record(5, L"second");
   list.add(&a);
   list.add(&b);
   list.add(&c);
   ASSERT_NE(list.findByIfIndex(5), nullptr);
   EXPECT_STREQ(list.findByIfIndex(5)->name, L"first");
   EXPECT_EQ(list.findByIfIndex(5), list.get(1));
   EXPECT_EQ(list.findByIfIndex(6), nullptr);
}

TEST(InterfaceListTest, RemoveKeepsOrderAndCapacity) {
   InterfaceList list(3);
   for (uint32_t i = 0; i < 3; i++) {
      HK_INTERFACE_INFO info = Record(i, L"x");
      list.add(&info);
   }
   list.remove(3);
   list.remove(-1);
   EXPECT_EQ(list.getSize(), 3);
   list.remove(0);
   ASSERT_EQ(list.getSize(), 2);
   EXPECT_EQ(list.get(0)->ifIndex, 1u);
   EXPECT_EQ(list.get(1)->ifIndex, 2u);
   EXPECT_EQ(list.get(2), nullptr);
   EXPECT_EQ(list.getAllocated(), 3);
   list.remove(1);
   list.remove(0);
   EXPECT_EQ(list.getSize(), 0);
   EXPECT_EQ(list.getAllocated(), 3);
}

TEST(InterfaceListTest, DataIsTheCallersPointer) {
   InterfaceList list;
   int marker = 0;
   list.setData(&marker);
   EXPECT_EQ(list.getData(), &marker);
}

}  // namespace
