// The 8-bit code page: ISO-8859-1, one byte per character.
#include "hk_platform.h"
#include "hk_text.h"

size_t WideToCodePage(const wchar_t *src, int srcLength, char *dst, size_t dstSize) {
   if (dst == nullptr || dstSize == 0)
      return 0;
   size_t written = 0;
   if (src != nullptr) {
      auto ended = [&](size_t i) { return srcLength >= 0 ? i >= (size_t)srcLength : src[i] == 0; };
      for (size_t i = 0; written < dstSize - 1 && !ended(i); i++) {
         uint32_t c = (uint32_t)src[i];
         // A letter followed by a combining mark is one character of the
         // code page where the precomposed letter has a byte there.
         if (!ended(i + 1)) {
            wchar_t composed = hk_precompose_latin1(src[i], src[i + 1]);
            if (composed != 0) {
               c = (uint32_t)composed;
               i++;
            }
         }
         dst[written++] = (char)(c <= 0xFF ? c : '?');
      }
   }
   dst[written] = 0;
   return written;
}

size_t CodePageToWide(const char *src, int srcLength, wchar_t *dst, size_t dstSize) {
   if (dst == nullptr || dstSize == 0)
      return 0;
   size_t written = 0;
   if (src != nullptr) {
      for (size_t i = 0; written < dstSize - 1; i++) {
         if (srcLength >= 0 ? i >= (size_t)srcLength : src[i] == 0)
            break;
         dst[written++] = (wchar_t)(unsigned char)src[i];
      }
   }
   dst[written] = 0;
   return written;
}
