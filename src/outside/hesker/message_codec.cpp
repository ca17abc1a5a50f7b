// The wire form of CSCPMessage: encoding (CreateMessage) and the
// bounds-checked decoder. Layout: docs/protocol.md.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "message_impl.h"

namespace {

// UTF-16 code units of a wide text: characters outside the BMP take a
// surrogate pair; a value above U+10FFFF (not a character) becomes U+FFFD.
uint64_t utf16Units(const std::wstring &text) {
   uint64_t units = 0;
   for (wchar_t c : text)
      units += hk_utf16_length((char32_t)c);
   return units;
}

uint8_t *putUtf16(uint8_t *p, const std::wstring &text) {
   for (wchar_t c : text) {
      uint16_t units[2];
      size_t count = hk_utf16_encode((char32_t)c, units);
      for (size_t i = 0; i < count; i++, p += 2)
         hk_put_be16(p, units[i]);
   }
   return p;
}

// A lone surrogate is kept as it is, so any 16-bit sequence survives a
// round trip through the message. A 16-bit wchar_t (Windows) is UTF-16
// itself and takes the units as they are, pairs included.
void getUtf16(const uint8_t *p, uint32_t units, std::wstring &text) {
   text.reserve(units);
   uint32_t i = 0;
   while (i < units) {
      size_t available = (i + 1 < units) ? 2 : 1;
      uint16_t window[2] = {hk_get_be16(p + 2 * i), 0};
      if (available == 2)
         window[1] = hk_get_be16(p + 2 * (i + 1));
      size_t used = 0;
      char32_t c;
      if (sizeof(wchar_t) == 2 || !hk_utf16_decode(window, available, &used, &c)) {
         c = window[0];
         used = 1;
      }
      text.push_back((wchar_t)c);
      i += (uint32_t)used;
   }
}

// A template so that it can take the private variable type by deduction.
template <typename Var>
uint64_t variableSize(const Var &v, uint64_t *payload) {
   switch (v.type) {
      case HK_VT_INT16:
         return HK_VAR_HEADER_SIZE;
      case HK_VT_INT32:
         return HK_VAR_HEADER_SIZE + 4;
      case HK_VT_INT64:
         return HK_VAR_HEADER_SIZE + 8;
      case HK_VT_STRING:
         *payload = utf16Units(v.text) * 2;
         return HK_VAR_HEADER_SIZE + 4 + *payload;
      case HK_VT_BINARY:
         *payload = v.bytes.size();
         return HK_VAR_HEADER_SIZE + 4 + *payload;
      default:  // HK_VT_INT32_ARRAY
         *payload = (uint64_t)v.array.size() * 4;
         return HK_VAR_HEADER_SIZE + 4 + *payload;
   }
}

uint64_t align8(uint64_t n) {
   return (n + 7) & ~(uint64_t)7;
}

}  // namespace

CSCP_MESSAGE *CSCPMessage::CreateMessage() const {
   uint16_t flags = m_flags & (uint16_t)~MF_ENCRYPTED;
   uint64_t size = HKCP_HEADER_SIZE;
   if (IsBinary()) {
      size += align8(m_binaryData.size());
   } else {
      for (const Variable &v : *m_variables) {
         uint64_t payload = 0;
         size += align8(variableSize(v, &payload));
         if (payload > 0xFFFFFFFF)
            return nullptr;
      }
   }
   if (size > 0xFFFFFFFF)
      return nullptr;

   // calloc: padding bytes go out as zeros.
   uint8_t *frame = static_cast<uint8_t *>(calloc(1, (size_t)size));
   if (frame == nullptr)
      return nullptr;
   hk_put_be16(frame, m_code);
   hk_put_be16(frame + 2, flags);
   hk_put_be32(frame + 4, (uint32_t)size);
   hk_put_be32(frame + 8, m_id);
   if (IsBinary()) {
      hk_put_be32(frame + 12, (uint32_t)m_binaryData.size());
      if (!m_binaryData.empty())
         memcpy(frame + HKCP_HEADER_SIZE, m_binaryData.data(), m_binaryData.size());
      return reinterpret_cast<CSCP_MESSAGE *>(frame);
   }

   hk_put_be32(frame + 12, (uint32_t)m_variables->size());
   uint8_t *p = frame + HKCP_HEADER_SIZE;
   for (const Variable &v : *m_variables) {
      uint64_t payload = 0;
      uint64_t varSize = variableSize(v, &payload);
      hk_put_be32(p, v.id);
      p[4] = v.type;
      switch (v.type) {
         case HK_VT_INT16:
            hk_put_be16(p + 6, (uint16_t)v.integer);
            break;
         case HK_VT_INT32:
            hk_put_be32(p + 8, (uint32_t)v.integer);
            break;
         case HK_VT_INT64:
            hk_put_be64(p + 8, v.integer);
            break;
         case HK_VT_STRING:
            hk_put_be32(p + 8, (uint32_t)payload);
            putUtf16(p + 12, v.text);
            break;
         case HK_VT_BINARY:
            hk_put_be32(p + 8, (uint32_t)payload);
            if (!v.bytes.empty())
               memcpy(p + 12, v.bytes.data(), v.bytes.size());
            break;
         case HK_VT_INT32_ARRAY:
            hk_put_be32(p + 8, (uint32_t)v.array.size());
            for (size_t i = 0; i < v.array.size(); i++)
               hk_put_be32(p + 12 + 4 * i, v.array[i]);
            break;
      }
      p += align8(varSize);
   }
   return reinterpret_cast<CSCP_MESSAGE *>(frame);
}

// Reads the frame within its declared size only; any field that points
// outside it, an unknown type, a count that does not match the bytes, or a
// repeated id rejects the whole frame.
bool CSCPMessage::decode(const CSCP_MESSAGE *frame) {
   const uint8_t *base = reinterpret_cast<const uint8_t *>(frame);
   uint32_t size = hk_get_be32(base + 4);
   if (size < HKCP_HEADER_SIZE)
      return false;
   m_code = hk_get_be16(base);
   m_flags = hk_get_be16(base + 2);
   m_id = hk_get_be32(base + 8);
   uint32_t count = hk_get_be32(base + 12);
   uint32_t body = size - HKCP_HEADER_SIZE;

   if (m_flags & MF_ENCRYPTED)
      return false;  // ciphertext; RecvHKCPMessage decrypts before decoding
   if (m_flags & MF_BINARY) {
      // The data may be followed by up to 7 bytes of padding, no more.
      if (count > body || body - count >= HK_VAR_ALIGN)
         return false;
      m_binaryData.assign(base + HKCP_HEADER_SIZE, base + HKCP_HEADER_SIZE + count);
      return true;
   }

   // Every variable takes at least 8 bytes: a larger count is a lie, and
   // the bound keeps a hostile count from sizing the allocation.
   if (count > body / HK_VAR_ALIGN)
      return false;
   m_variables->reserve(count);
   uint32_t pos = HKCP_HEADER_SIZE;
   for (uint32_t i = 0; i < count; i++) {
      if (size - pos < HK_VAR_HEADER_SIZE)
         return false;
      const uint8_t *p = base + pos;
      uint32_t left = size - pos;  // bytes from this variable to the frame end
      Variable v;
      v.id = hk_get_be32(p);
      v.type = p[4];
      uint64_t varSize;
      switch (v.type) {
         case HK_VT_INT16:
            v.integer = hk_get_be16(p + 6);
            varSize = HK_VAR_HEADER_SIZE;
            break;
         case HK_VT_INT32:
            if (left < HK_VAR_HEADER_SIZE + 4)
               return false;
            v.integer = hk_get_be32(p + 8);
            varSize = HK_VAR_HEADER_SIZE + 4;
            break;
         case HK_VT_INT64:
            if (left < HK_VAR_HEADER_SIZE + 8)
               return false;
            v.integer = hk_get_be64(p + 8);
            varSize = HK_VAR_HEADER_SIZE + 8;
            break;
         case HK_VT_STRING:
         case HK_VT_BINARY:
         case HK_VT_INT32_ARRAY: {
            if (left < HK_VAR_HEADER_SIZE + 4)
               return false;
            uint32_t n = hk_get_be32(p + 8);
            uint32_t room = left - (HK_VAR_HEADER_SIZE + 4);
            const uint8_t *data = p + HK_VAR_HEADER_SIZE + 4;
            uint64_t payload;
            if (v.type == HK_VT_INT32_ARRAY) {
               if (n > room / 4)
                  return false;
               payload = (uint64_t)n * 4;
               v.array.resize(n);
               for (uint32_t k = 0; k < n; k++)
                  v.array[k] = hk_get_be32(data + 4 * k);
            } else {
               if (n > room)
                  return false;
               payload = n;
               if (v.type == HK_VT_STRING) {
                  if (n % 2 != 0)
                     return false;
                  getUtf16(data, n / 2, v.text);
               } else {
                  v.bytes.assign(data, data + n);
               }
            }
            varSize = HK_VAR_HEADER_SIZE + 4 + payload;
            break;
         }
         default:
            return false;
      }
      uint64_t next = pos + align8(varSize);
      if (next > size)
         return false;
      pos = (uint32_t)next;
      m_variables->push_back(std::move(v));
   }
   if (pos != size)
      return false;  // bytes the count does not account for

   // Sorting the ids finds repeated ones and, for a long list, gives the
   // lookup index at the same time.
   auto *store = hk_store(m_variables);
   std::vector<std::pair<uint32_t, uint32_t>> index;
   index.reserve(store->size());
   for (uint32_t i = 0; i < store->size(); i++)
      index.emplace_back((*store)[i].id, i);
   std::sort(index.begin(), index.end());
   for (size_t i = 1; i < index.size(); i++) {
      if (index[i].first == index[i - 1].first)
         return false;
   }
   if (store->size() > HkVariableStore<Variable>::INDEX_THRESHOLD)
      store->index = std::move(index);
   return true;
}
