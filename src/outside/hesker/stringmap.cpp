// StringMap: wide-string pairs in insertion order.
#include <string>
#include <utility>
#include <vector>

#include "hk_util.h"

struct StringMap::Impl {
   std::vector<std::pair<std::wstring, std::wstring>> pairs;

   long indexOf(const wchar_t *key) const {
      for (size_t i = 0; i < pairs.size(); i++) {
         if (pairs[i].first == key)
            return (long)i;
      }
      return -1;
   }
};

StringMap::StringMap() : m_impl(new Impl) {}
StringMap::~StringMap() {
   delete m_impl;
}

void StringMap::set(const wchar_t *key, const wchar_t *value) {
   if (key == nullptr)
      return;
   if (value == nullptr)
      value = L"";
   long i = m_impl->indexOf(key);
   if (i >= 0)
      m_impl->pairs[(size_t)i].second = value;
   else
      m_impl->pairs.emplace_back(key, value);
}

const wchar_t *StringMap::get(const wchar_t *key) const {
   long i = (key != nullptr) ? m_impl->indexOf(key) : -1;
   return (i >= 0) ? m_impl->pairs[(size_t)i].second.c_str() : nullptr;
}

void StringMap::remove(const wchar_t *key) {
   long i = (key != nullptr) ? m_impl->indexOf(key) : -1;
   if (i >= 0)
      m_impl->pairs.erase(m_impl->pairs.begin() + i);
}

void StringMap::clear() {
   m_impl->pairs.clear();
}

int StringMap::size() const {
   return (int)m_impl->pairs.size();
}

const wchar_t *StringMap::getKeyByIndex(int index) const {
   if (index < 0 || index >= size())
      return nullptr;
   return m_impl->pairs[(size_t)index].first.c_str();
}

const wchar_t *StringMap::getValueByIndex(int index) const {
   if (index < 0 || index >= size())
      return nullptr;
   return m_impl->pairs[(size_t)index].second.c_str();
}
