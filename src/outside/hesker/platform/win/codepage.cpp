// The 8-bit code page on Windows: the system's ANSI code page. A decomposed
// character (a letter followed by a combining mark) is composed first where
// the code page has the composed one; what it lacks becomes its default
// character ('?'), never a look-alike.
#include "hk_platform.h"

#include <string>

namespace {

// Copies at most dstSize-1 units of text and a NUL; the count copied.
template <typename Unit>
size_t copyCut(const std::basic_string<Unit> &text, Unit *dst, size_t dstSize) {
   size_t n = text.size() < dstSize - 1 ? text.size() : dstSize - 1;
   text.copy(dst, n);
   dst[n] = 0;
   return n;
}

// The length to convert: srcLength, or up to the NUL when it is -1.
template <typename Unit>
int lengthOf(const Unit *src, int srcLength) {
   if (srcLength >= 0)
      return srcLength;
   int n = 0;
   while (src[n] != 0 && n < 0x7FFFFFFF)
      n++;
   return n;
}

}  // namespace

size_t WideToCodePage(const wchar_t *src, int srcLength, char *dst, size_t dstSize) {
   if (dst == nullptr || dstSize == 0)
      return 0;
   int length = (src != nullptr) ? lengthOf(src, srcLength) : 0;
   std::string text;
   if (length > 0) {
      // No "best fit" look-alikes (U+0100 as 'A'): what the code page lacks
      // becomes the default character, as on Linux.
      const DWORD flags = WC_COMPOSITECHECK | WC_DEFAULTCHAR | WC_NO_BEST_FIT_CHARS;
      int needed = WideCharToMultiByte(CP_ACP, flags, src, length, nullptr, 0, nullptr, nullptr);
      if (needed > 0) {
         text.resize((size_t)needed);
         needed =
             WideCharToMultiByte(CP_ACP, flags, src, length, text.data(), needed, nullptr, nullptr);
         text.resize(needed > 0 ? (size_t)needed : 0);
      }
   }
   return copyCut(text, dst, dstSize);
}

size_t CodePageToWide(const char *src, int srcLength, wchar_t *dst, size_t dstSize) {
   if (dst == nullptr || dstSize == 0)
      return 0;
   int length = (src != nullptr) ? lengthOf(src, srcLength) : 0;
   std::wstring text;
   if (length > 0) {
      int needed = MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, src, length, nullptr, 0);
      if (needed > 0) {
         text.resize((size_t)needed);
         needed = MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, src, length, text.data(), needed);
         text.resize(needed > 0 ? (size_t)needed : 0);
      }
   }
   return copyCut(text, dst, dstSize);
}
