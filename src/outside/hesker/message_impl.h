// The in-memory form of CSCPMessage variables, shared by the accessors
// (message.cpp) and the wire codec (message_codec.cpp).
#ifndef HK_MESSAGE_IMPL_H
#define HK_MESSAGE_IMPL_H

#include <string>
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

#endif
