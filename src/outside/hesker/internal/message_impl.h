// The in-memory form of CSCPMessage variables, shared by the accessors
// (message.cpp) and the wire codec (message_codec.cpp).
#ifndef HK_MESSAGE_IMPL_H
#define HK_MESSAGE_IMPL_H

#include <string>
#include <utility>
#include <vector>

#include "hk_internal.h"
#include "hkcp.h"

struct CSCPMessage::Variable {
   uint32_t id = 0;
   uint8_t type = HK_VT_INT32;
   uint64_t integer = 0;         // HK_VT_INT16, HK_VT_INT32, HK_VT_INT64
   std::wstring text;            // HK_VT_STRING
   std::vector<uint8_t> bytes;   // HK_VT_BINARY
   std::vector<uint32_t> array;  // HK_VT_INT32_ARRAY
};

// The variable list of a message with, once it is longer than
// INDEX_THRESHOLD, an index of (id, position) pairs sorted by id, so that
// reading a long list reply item by item is not quadratic.
// CSCPMessage::m_variables points to the vector base of one of these; it is
// a template only so that it can hold the private variable type.
template <typename V>
struct HkVariableStore : std::vector<V> {
   static const size_t INDEX_THRESHOLD = 16;
   // Empty while the list is short; else one entry per variable.
   std::vector<std::pair<uint32_t, uint32_t>> index;
};

template <typename V>
HkVariableStore<V> *hk_store(std::vector<V> *variables) {
   return static_cast<HkVariableStore<V> *>(variables);
}

#endif
