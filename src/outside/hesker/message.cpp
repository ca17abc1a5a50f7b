// CSCPMessage: construction and variable access. The wire codec is in
// message_codec.cpp.
#include <algorithm>
#include <cstdlib>
#include <cwchar>
#include <new>

#include "message_impl.h"

CSCPMessage::CSCPMessage(int version)
    : m_version(version), m_variables(new HkVariableStore<Variable>()) {}

CSCPMessage::CSCPMessage(const CSCP_MESSAGE *frame, int version)
    : m_version(version), m_variables(new HkVariableStore<Variable>()) {
   m_valid = (frame != nullptr) && decode(frame);
   if (!m_valid) {
      DeleteAllVariables();
      m_binaryData.clear();
   }
}

CSCPMessage::~CSCPMessage() {
   delete hk_store(m_variables);
}

const CSCPMessage::Variable *CSCPMessage::find(uint32_t id) const {
   auto *store = hk_store(m_variables);
   if (!store->index.empty()) {
      auto it = std::lower_bound(store->index.begin(), store->index.end(),
                                 std::make_pair(id, (uint32_t)0));
      return (it != store->index.end() && it->first == id) ? &(*store)[it->second] : nullptr;
   }
   for (const Variable &v : *store) {
      if (v.id == id)
         return &v;
   }
   return nullptr;
}

CSCPMessage::Variable *CSCPMessage::findOrCreate(uint32_t id) {
   Variable *v = const_cast<Variable *>(find(id));
   if (v != nullptr) {
      // A replaced value may change type: drop what the old one held.
      v->integer = 0;
      v->text.clear();
      v->bytes.clear();
      v->array.clear();
      return v;
   }
   auto *store = hk_store(m_variables);
   store->emplace_back();
   store->back().id = id;
   auto entry = std::make_pair(id, (uint32_t)(store->size() - 1));
   if (!store->index.empty()) {
      // Lists are built with rising ids: appending is the common case.
      if (store->index.back().first < id)
         store->index.push_back(entry);
      else
         store->index.insert(std::lower_bound(store->index.begin(), store->index.end(), entry),
                             entry);
   } else if (store->size() > HkVariableStore<Variable>::INDEX_THRESHOLD) {
      store->index.reserve(store->size());
      for (uint32_t i = 0; i < store->size(); i++)
         store->index.emplace_back((*store)[i].id, i);
      std::sort(store->index.begin(), store->index.end());
   }
   return &store->back();
}

void CSCPMessage::SetVariable(uint32_t id, uint16_t value) {
   Variable *v = findOrCreate(id);
   v->type = HK_VT_INT16;
   v->integer = value;
}

void CSCPMessage::SetVariable(uint32_t id, uint32_t value) {
   Variable *v = findOrCreate(id);
   v->type = HK_VT_INT32;
   v->integer = value;
}

void CSCPMessage::SetVariable(uint32_t id, uint64_t value) {
   Variable *v = findOrCreate(id);
   v->type = HK_VT_INT64;
   v->integer = value;
}

void CSCPMessage::SetVariable(uint32_t id, const wchar_t *value) {
   Variable *v = findOrCreate(id);
   v->type = HK_VT_STRING;
   if (value != nullptr)
      v->text.assign(value);
}

void CSCPMessage::SetVariable(uint32_t id, const uint8_t *data, uint32_t length) {
   Variable *v = findOrCreate(id);
   v->type = HK_VT_BINARY;
   if (data != nullptr && length > 0)
      v->bytes.assign(data, data + length);
}

void CSCPMessage::SetVariableToInt32Array(uint32_t id, uint32_t count, const uint32_t *values) {
   Variable *v = findOrCreate(id);
   v->type = HK_VT_INT32_ARRAY;
   if (values != nullptr && count > 0)
      v->array.assign(values, values + count);
}

bool CSCPMessage::IsVariableExist(uint32_t id) const {
   return find(id) != nullptr;
}

uint32_t CSCPMessage::GetNumVariables() const {
   return (uint32_t)m_variables->size();
}

void CSCPMessage::DeleteAllVariables() {
   m_variables->clear();
   hk_store(m_variables)->index.clear();
}

namespace {

bool isInteger(uint8_t type) {
   return type == HK_VT_INT16 || type == HK_VT_INT32 || type == HK_VT_INT64;
}

}  // namespace

uint32_t CSCPMessage::GetVariableLong(uint32_t id) const {
   const Variable *v = find(id);
   return (v != nullptr && isInteger(v->type)) ? (uint32_t)v->integer : 0;
}

uint16_t CSCPMessage::GetVariableShort(uint32_t id) const {
   const Variable *v = find(id);
   return (v != nullptr && isInteger(v->type)) ? (uint16_t)v->integer : 0;
}

uint64_t CSCPMessage::GetVariableInt64(uint32_t id) const {
   const Variable *v = find(id);
   return (v != nullptr && isInteger(v->type)) ? v->integer : 0;
}

wchar_t *CSCPMessage::GetVariableStr(uint32_t id, wchar_t *buffer, uint32_t size) const {
   const Variable *v = find(id);
   if (v != nullptr && v->type != HK_VT_STRING)
      v = nullptr;
   if (buffer == nullptr) {
      if (v == nullptr)
         return nullptr;
      size_t length = v->text.size();
      wchar_t *copy = static_cast<wchar_t *>(malloc((length + 1) * sizeof(wchar_t)));
      if (copy == nullptr)
         return nullptr;
      wmemcpy(copy, v->text.data(), length);
      copy[length] = 0;
      return copy;
   }
   if (size == 0)
      return buffer;
   size_t length = 0;
   if (v != nullptr) {
      length = v->text.size() < size - 1 ? v->text.size() : size - 1;
      wmemcpy(buffer, v->text.data(), length);
   }
   buffer[length] = 0;
   return buffer;
}

uint32_t CSCPMessage::GetVariableBinary(uint32_t id, uint8_t *buffer, uint32_t size) const {
   const Variable *v = find(id);
   if (v == nullptr || v->type != HK_VT_BINARY)
      return 0;
   uint32_t length = (uint32_t)v->bytes.size();
   if (buffer != nullptr && length > 0)
      memcpy(buffer, v->bytes.data(), length < size ? length : size);
   return length;
}

uint32_t CSCPMessage::GetVariableInt32Array(uint32_t id, uint32_t maxCount,
                                            uint32_t *values) const {
   const Variable *v = find(id);
   if (v == nullptr || v->type != HK_VT_INT32_ARRAY)
      return 0;
   uint32_t count = (uint32_t)v->array.size();
   if (values != nullptr && count > 0)
      memcpy(values, v->array.data(), (count < maxCount ? count : maxCount) * sizeof(uint32_t));
   return count;
}
