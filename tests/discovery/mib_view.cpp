// The discovery tests' own reading of what a device serves; see mib_view.h.
#include <gtest/gtest.h>

#include "mib_view.h"

#include <cstring>
#include <fstream>
#include <sstream>

#include "snmp_client_util.h"

namespace discoverytest {

namespace {

const Oid kIfNumber = {1, 3, 6, 1, 2, 1, 2, 1, 0};
const Oid kIfEntry = {1, 3, 6, 1, 2, 1, 2, 2, 1};
const Oid kIfXEntry = {1, 3, 6, 1, 2, 1, 31, 1, 1, 1};
const Oid kIpAddrEntry = {1, 3, 6, 1, 2, 1, 4, 20, 1};
const Oid kVlanCurrentEntry = {1, 3, 6, 1, 2, 1, 17, 7, 1, 4, 2, 1};
const Oid kVlanStaticEntry = {1, 3, 6, 1, 2, 1, 17, 7, 1, 4, 3, 1};

Oid Join(const Oid &prefix, std::initializer_list<uint32_t> more, const Oid &tail = {}) {
   Oid oid = prefix;
   oid.insert(oid.end(), more);
   oid.insert(oid.end(), tail.begin(), tail.end());
   return oid;
}

bool StartsWith(const Oid &oid, const Oid &prefix) {
   return oid.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), oid.begin());
}

// The rows under a column, in the agent's order.
std::vector<std::pair<Oid, const MibValue *>> Column(const MibView &view, const Oid &column) {
   std::vector<std::pair<Oid, const MibValue *>> rows;
   for (auto it = view.lower_bound(column); it != view.end() && StartsWith(it->first, column);
        ++it) {
      if (it->first.size() > column.size()) {
         rows.emplace_back(it->first, &it->second);
      }
   }
   return rows;
}

const MibValue *Find(const MibView &view, const Oid &oid) {
   auto it = view.find(oid);
   return it != view.end() ? &it->second : nullptr;
}

std::vector<uint8_t> DottedBytes(const std::string &text) {
   std::vector<uint8_t> bytes;
   std::stringstream in(text);
   std::string part;
   while (std::getline(in, part, '.')) {
      bytes.push_back(static_cast<uint8_t>(std::stoul(part)));
   }
   return bytes;
}

// The value as SnmpGet's text conversions give it: one character per byte
// up to the first NUL byte, at most 255 characters.
std::wstring Text(const MibValue &value) {
   std::wstring text;
   if (value.kind == MibValue::Octets) {
      for (uint8_t b : value.bytes) {
         if (b == 0) {
            break;
         }
         text.push_back(static_cast<wchar_t>(b));
      }
   } else if (value.kind == MibValue::Integer) {
      text = std::to_wstring(value.number);
   } else if (value.kind == MibValue::IpAddress && value.bytes.size() == 4) {
      text = std::to_wstring(value.bytes[0]) + L"." + std::to_wstring(value.bytes[1]) + L"." +
             std::to_wstring(value.bytes[2]) + L"." + std::to_wstring(value.bytes[3]);
   }
   return text.substr(0, 255);
}

// A 32-bit read: integers as they are, addresses in host order, and a text
// answer as its first character (where the text path puts it).
uint32_t Number(const MibValue &value) {
   switch (value.kind) {
      case MibValue::Integer:
         return static_cast<uint32_t>(value.number);
      case MibValue::IpAddress:
         return value.bytes.size() == 4
                    ? (uint32_t(value.bytes[0]) << 24) | (uint32_t(value.bytes[1]) << 16) |
                          (uint32_t(value.bytes[2]) << 8) | value.bytes[3]
                    : 0;
      case MibValue::Octets:
         return value.bytes.empty() ? 0 : value.bytes[0];
      default:
         return 0;
   }
}

std::wstring Strip(const std::wstring &text) {
   size_t first = text.find_first_not_of(L" \t");
   if (first == std::wstring::npos) {
      return L"";
   }
   size_t last = text.find_last_not_of(L" \t");
   return text.substr(first, last - first + 1);
}

// " (inner)" after first, unless first has 253 characters or more; the
// whole cut to 255 characters.
std::wstring WithSuffix(const std::wstring &first, const std::wstring &inner) {
   if (first.size() >= 253) {
      return first;
   }
   return (first + L" (" + inner + L")").substr(0, 255);
}

std::wstring Compose(const std::wstring &alias, const std::wstring &base, int useAliases) {
   if (alias.empty()) {
      return base;
   }
   switch (useAliases) {
      case 1:
         return alias;
      case 2:
         return WithSuffix(alias, base);
      case 3:
         return WithSuffix(base, alias);
      default:
         return base;
   }
}

void SetText(wchar_t *field, const std::wstring &text) {
   wcsncpy(field, text.substr(0, 255).c_str(), 255);
   field[255] = 0;
}

}  // namespace

bool LoadRecording(const std::string &path, MibView *view) {
   std::ifstream in(path);
   if (!in) {
      return false;
   }
   std::string line;
   while (std::getline(in, line)) {
      size_t a = line.find('|'), b = line.find('|', a + 1);
      if (a == std::string::npos || b == std::string::npos) {
         continue;
      }
      Oid oid = hktest::OidComponents(line.substr(0, a));
      std::string tag = line.substr(a + 1, b - a - 1);
      std::string text = line.substr(b + 1);
      bool hex = !tag.empty() && tag.back() == 'x';
      if (hex) {
         tag.pop_back();
      }
      MibValue value;
      switch (std::stoi(tag)) {
         case 2:
            value.kind = MibValue::Integer;
            value.number = std::stoll(text);
            break;
         case 65:
         case 66:
         case 67:
         case 71:
            value.kind = MibValue::Integer;
            value.number = static_cast<int64_t>(std::stoull(text));
            break;
         case 4:
            value.kind = MibValue::Octets;
            value.bytes =
                hex ? hktest::HexToBytes(text) : std::vector<uint8_t>(text.begin(), text.end());
            break;
         case 64:
            value.kind = MibValue::IpAddress;
            value.bytes = hex ? hktest::HexToBytes(text) : DottedBytes(text);
            break;
         case 128:
         case 129:
         case 130:
            continue;  // the exceptions: a GET of them fails
         default:
            value.kind = MibValue::Other;
      }
      (*view)[oid] = value;
   }
   return true;
}

void AddWalk(hktest::SnmpAgentFixture &agent, const std::string &root, MibView *view) {
   for (const std::string &entry : agent.snmpWalk(root, hktest::SnmpToolVersion::V2C, {"-Ox"})) {
      std::string oid, type, text;
      if (!hktest::ParseSnmpToolEntry(entry, &oid, &type, &text)) {
         continue;
      }
      MibValue value;
      if (type == "INTEGER" || type == "Counter32" || type == "Gauge32") {
         value.kind = MibValue::Integer;
         value.number = std::stoll(text);
      } else if (type == "Hex-STRING" || type == "STRING") {
         value.kind = MibValue::Octets;
         value.bytes = hktest::HexToBytes(text);
      } else if (type.empty() && text == "\"\"") {
         value.kind = MibValue::Octets;
      } else if (type == "IpAddress") {
         value.kind = MibValue::IpAddress;
         value.bytes = DottedBytes(text);
      } else if (type.empty()) {
         continue;  // an exception, not a value
      }
      (*view)[hktest::OidComponents(oid)] = value;
   }
}

MibView ReadDevice(hktest::SnmpAgentFixture &agent) {
   MibView view;
   for (const char *root :
        {".1.3.6.1.2.1.2.1", ".1.3.6.1.2.1.2.2.1.1", ".1.3.6.1.2.1.2.2.1.2", ".1.3.6.1.2.1.2.2.1.3",
         ".1.3.6.1.2.1.2.2.1.6", ".1.3.6.1.2.1.31.1.1.1.1", ".1.3.6.1.2.1.31.1.1.1.18",
         ".1.3.6.1.2.1.4.20.1", ".1.3.6.1.2.1.17.7.1.4"}) {
      AddWalk(agent, root, &view);
   }
   return view;
}

std::vector<HK_INTERFACE_INFO> ExpectedInterfaces(const MibView &view, int useAliases,
                                                  bool useIfXTable) {
   std::vector<HK_INTERFACE_INFO> records;
   for (const auto &row : Column(view, Join(kIfEntry, {1}))) {
      HK_INTERFACE_INFO record;
      memset(&record, 0, sizeof(record));
      record.ifIndex = Number(*row.second);
      records.push_back(record);
   }

   for (HK_INTERFACE_INFO &record : records) {
      Oid n = {record.ifIndex};
      const MibValue *descr = Find(view, Join(kIfEntry, {2}, n));
      if (descr == nullptr) {
         break;  // this and every later record keep only their ifIndex
      }
      SetText(record.description, Text(*descr));
      std::wstring alias;
      if (useAliases > 0) {
         const MibValue *value = Find(view, Join(kIfXEntry, {18}, n));
         alias = value != nullptr ? Strip(Text(*value)) : L"";
      }
      const MibValue *ifName = useIfXTable ? Find(view, Join(kIfXEntry, {1}, n)) : nullptr;
      std::wstring base = ifName != nullptr ? Text(*ifName) : std::wstring(record.description);
      SetText(record.name, Compose(alias, base, useAliases));
      const MibValue *type = Find(view, Join(kIfEntry, {3}, n));
      record.type = type != nullptr ? Number(*type) : 1;
      const MibValue *mac = Find(view, Join(kIfEntry, {6}, n));
      if (mac != nullptr && mac->kind == MibValue::Octets && !mac->bytes.empty()) {
         memcpy(record.macAddr, mac->bytes.data(), std::min<size_t>(6, mac->bytes.size()));
      }
   }

   for (const auto &row : Column(view, Join(kIpAddrEntry, {1}))) {
      Oid address(row.first.begin() + static_cast<long>(kIpAddrEntry.size()) + 1, row.first.end());
      const MibValue *mask = Find(view, Join(kIpAddrEntry, {3}, address));
      const MibValue *ifIndex = Find(view, Join(kIpAddrEntry, {2}, address));
      if (mask == nullptr || ifIndex == nullptr) {
         continue;
      }
      auto owner = std::find_if(records.begin(), records.end(), [&](const HK_INTERFACE_INFO &r) {
         return r.ifIndex == Number(*ifIndex);
      });
      if (owner == records.end()) {
         continue;
      }
      if (owner->ipAddr == 0) {
         owner->ipAddr = Number(*row.second);
         owner->ipNetMask = Number(*mask);
      } else {
         HK_INTERFACE_INFO copy = *owner;
         copy.ipAddr = Number(*row.second);
         copy.ipNetMask = Number(*mask);
         records.push_back(copy);
      }
   }
   return records;
}

std::vector<ExpectedVlan> ExpectedVlans(const MibView &view) {
   std::vector<ExpectedVlan> vlans;
   for (const auto &row : Column(view, Join(kVlanStaticEntry, {1}))) {
      vlans.push_back({static_cast<int>(row.first.back()), Text(*row.second), {}});
   }
   for (const auto &row : Column(view, Join(kVlanCurrentEntry, {4}))) {
      auto vlan = std::find_if(vlans.begin(), vlans.end(), [&](const ExpectedVlan &v) {
         return v.id == static_cast<int>(row.first.back());
      });
      if (vlan == vlans.end()) {
         continue;
      }
      size_t bytes = std::min<size_t>(row.second->bytes.size(), 4096);
      for (size_t j = 0; j < bytes; j++) {
         for (uint32_t k = 0; k < 8; k++) {
            if (row.second->bytes[j] & (0x80 >> k)) {
               vlan->ports.push_back(static_cast<uint32_t>(j * 8 + k + 1));
            }
         }
      }
   }
   return vlans;
}

std::string Describe(const HK_INTERFACE_INFO &r) {
   char mac[32];
   snprintf(mac, sizeof(mac), "%02X:%02X:%02X:%02X:%02X:%02X", r.macAddr[0], r.macAddr[1],
            r.macAddr[2], r.macAddr[3], r.macAddr[4], r.macAddr[5]);
   std::ostringstream out;
   out << "{ifIndex " << r.ifIndex << ", name \"" << hktest::Narrow(r.name) << "\", descr \""
       << hktest::Narrow(r.description) << "\", type " << r.type << ", mac " << mac << ", ip "
       << std::hex << r.ipAddr << "/" << r.ipNetMask << std::dec << "}";
   return out.str();
}

std::vector<HK_INTERFACE_INFO> Records(const InterfaceList *list) {
   std::vector<HK_INTERFACE_INFO> records;
   for (int i = 0; list != nullptr && i < list->getSize(); i++) {
      records.push_back(*list->get(i));
   }
   return records;
}

::testing::AssertionResult SameInterfaces(const std::vector<HK_INTERFACE_INFO> &expected,
                                          const InterfaceList *actual) {
   if (actual == nullptr) {
      return ::testing::AssertionFailure() << "no list";
   }
   std::vector<HK_INTERFACE_INFO> got = Records(actual);
   if (got.size() != expected.size()) {
      return ::testing::AssertionFailure()
             << got.size() << " records, expected " << expected.size();
   }
   for (size_t i = 0; i < got.size(); i++) {
      // The texts up to their NUL (what lies behind it is not part of them),
      // every other byte of the record exactly, reserved fields included.
      HK_INTERFACE_INFO a = got[i], b = expected[i];
      bool sameTexts = wcscmp(a.name, b.name) == 0 && wcscmp(a.description, b.description) == 0;
      memset(a.name, 0, sizeof(a.name));
      memset(b.name, 0, sizeof(b.name));
      memset(a.description, 0, sizeof(a.description));
      memset(b.description, 0, sizeof(b.description));
      if (!sameTexts || memcmp(&a, &b, sizeof(HK_INTERFACE_INFO)) != 0) {
         return ::testing::AssertionFailure() << "record " << i << " is " << Describe(got[i])
                                              << ", expected " << Describe(expected[i]);
      }
   }
   return ::testing::AssertionSuccess();
}

::testing::AssertionResult SameVlans(const std::vector<ExpectedVlan> &expected,
                                     const VlanList *actual) {
   if (actual == nullptr) {
      return ::testing::AssertionFailure() << "no list";
   }
   if (actual->getSize() != static_cast<int>(expected.size())) {
      return ::testing::AssertionFailure()
             << actual->getSize() << " VLANs, expected " << expected.size();
   }
   for (size_t i = 0; i < expected.size(); i++) {
      const VlanInfo *vlan = actual->get(static_cast<int>(i));
      std::vector<uint32_t> ports(vlan->getPorts(), vlan->getPorts() + vlan->getNumPorts());
      if (vlan->getVlanId() != expected[i].id || vlan->getName() != expected[i].name ||
          ports != expected[i].ports || vlan->getPortReferenceMode() != 2 ||
          vlan->getIfIndexes() != nullptr || vlan->getIfIds() != nullptr) {
         std::ostringstream got;
         for (uint32_t p : ports) {
            got << p << " ";
         }
         return ::testing::AssertionFailure()
                << "VLAN " << i << ": id " << vlan->getVlanId() << " name \""
                << hktest::Narrow(vlan->getName()) << "\" ports " << got.str() << "mode "
                << vlan->getPortReferenceMode() << "; expected id " << expected[i].id;
      }
   }
   return ::testing::AssertionSuccess();
}

}  // namespace discoverytest
