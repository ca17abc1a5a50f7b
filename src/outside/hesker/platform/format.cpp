// Wide formatting with the convention the library's format strings are
// written in: %s and %S take a wide string, %hs a narrow one, %c a wide
// character. glibc reads %s in a wide format as a narrow string and converts
// it through the locale (failing on bytes above 0x7F in the "C" locale), so
// each conversion is rewritten to glibc's spelling and formatted on its own;
// narrow texts go through the code page instead of the locale.
#include "hk_platform.h"
#include "hk_internal.h"

#include <cstdint>
#include <cstring>
#include <cwchar>
#include <string>
#include <type_traits>
#include <sys/types.h>

// A 16-bit wint_t (Windows) arrives through "..." promoted to int.
using PromotedWint = std::conditional_t<(sizeof(wint_t) < sizeof(int)), int, wint_t>;

namespace {

// Formats one rewritten conversion with its argument and appends it.
template <typename T>
bool appendOne(std::wstring &out, const wchar_t *spec, T value) {
   // A text that does not fit gives -1 from glibc but the full length from
   // MinGW's C99 swprintf; either way only n < size is all there.
   wchar_t local[128];
   int n = swprintf(local, sizeof(local) / sizeof(local[0]), spec, value);
   if (n >= 0 && (size_t)n < sizeof(local) / sizeof(local[0])) {
      out.append(local, (size_t)n);
      return true;
   }
   // Too small (glibc does not say how much is needed): grow until it fits.
   for (size_t size = 1024; size <= ((size_t)1 << 26); size *= 4) {
      std::wstring buffer(size, L'\0');
      n = swprintf(buffer.data(), size, spec, value);
      if (n >= 0 && (size_t)n < size) {
         out.append(buffer.data(), (size_t)n);
         return true;
      }
   }
   return false;
}

bool isFlag(wchar_t c) {
   return c == L'-' || c == L'+' || c == L' ' || c == L'#' || c == L'0';
}

// Formats the whole text into out; false on a format this function refuses
// (%n, positional arguments, an unknown conversion, a cut-off specification).
bool formatAll(std::wstring &out, const wchar_t *format, va_list args) {
   const wchar_t *p = format;
   while (*p != 0) {
      if (*p != L'%') {
         const wchar_t *start = p;
         while (*p != 0 && *p != L'%')
            p++;
         out.append(start, (size_t)(p - start));
         continue;
      }
      p++;
      if (*p == L'%') {
         out.push_back(L'%');
         p++;
         continue;
      }

      std::wstring spec = L"%";
      while (isFlag(*p))
         spec.push_back(*p++);
      if (*p == L'*') {
         spec += std::to_wstring(va_arg(args, int));
         p++;
      } else {
         while (*p >= L'0' && *p <= L'9')
            spec.push_back(*p++);
      }
      if (*p == L'$')
         return false;  // positional arguments cannot be consumed in order
      if (*p == L'.') {
         spec.push_back(*p++);
         if (*p == L'*') {
            int precision = va_arg(args, int);
            // A negative precision counts as none.
            if (precision >= 0)
               spec += std::to_wstring(precision);
            else
               spec.pop_back();
            p++;
         } else {
            while (*p >= L'0' && *p <= L'9')
               spec.push_back(*p++);
         }
      }

      // Length modifier, in both the glibc and the Windows spellings.
      enum { L_NONE, L_HH, L_H, L_L, L_LL, L_BIGL, L_J, L_Z, L_T, L_W } len = L_NONE;
      if (p[0] == L'h' && p[1] == L'h') {
         len = L_HH;
         p += 2;
      } else if (p[0] == L'h') {
         len = L_H;
         p++;
      } else if (p[0] == L'l' && p[1] == L'l') {
         len = L_LL;
         p += 2;
      } else if (p[0] == L'l') {
         len = L_L;
         p++;
      } else if (p[0] == L'q') {
         len = L_LL;
         p++;
      } else if (p[0] == L'L') {
         len = L_BIGL;
         p++;
      } else if (p[0] == L'j') {
         len = L_J;
         p++;
      } else if (p[0] == L'z') {
         len = L_Z;
         p++;
      } else if (p[0] == L't') {
         len = L_T;
         p++;
      } else if (p[0] == L'w') {
         len = L_W;
         p++;
      } else if (p[0] == L'I' && p[1] == L'6' && p[2] == L'4') {
         len = L_LL;
         p += 3;
      } else if (p[0] == L'I' && p[1] == L'3' && p[2] == L'2') {
         p += 3;
      } else if (p[0] == L'I') {
         len = L_Z;
         p++;
      }

      wchar_t conv = *p;
      if (conv == 0)
         return false;
      p++;
      bool ok = true;
      switch (conv) {
         case L'd':
         case L'i':
         case L'u':
         case L'o':
         case L'x':
         case L'X': {
            bool isSigned = (conv == L'd' || conv == L'i');
            switch (len) {
               case L_LL:
               case L_J:
               case L_Z:
               case L_T:
                  // intmax_t, size_t and ptrdiff_t are 64 bits like long long
                  // on both platforms (long is 32 bits on Windows).
                  static_assert(sizeof(long long) == sizeof(intmax_t) &&
                                sizeof(long long) == sizeof(size_t) &&
                                sizeof(long long) == sizeof(ptrdiff_t));
                  spec += L"ll";
                  spec.push_back(conv);
                  ok = isSigned ? appendOne(out, spec.c_str(), va_arg(args, long long))
                                : appendOne(out, spec.c_str(), va_arg(args, unsigned long long));
                  break;
               case L_L:
                  spec += L"l";
                  spec.push_back(conv);
                  ok = isSigned ? appendOne(out, spec.c_str(), va_arg(args, long))
                                : appendOne(out, spec.c_str(), va_arg(args, unsigned long));
                  break;
               default:
                  if (len == L_HH)
                     spec += L"hh";
                  else if (len == L_H)
                     spec += L"h";
                  spec.push_back(conv);
                  ok = isSigned ? appendOne(out, spec.c_str(), va_arg(args, int))
                                : appendOne(out, spec.c_str(), va_arg(args, unsigned int));
                  break;
            }
            break;
         }
         case L'e':
         case L'E':
         case L'f':
         case L'F':
         case L'g':
         case L'G':
         case L'a':
         case L'A':
            if (len == L_BIGL) {
               spec += L"L";
               spec.push_back(conv);
               ok = appendOne(out, spec.c_str(), va_arg(args, long double));
            } else {
               spec.push_back(conv);
               ok = appendOne(out, spec.c_str(), va_arg(args, double));
            }
            break;
         case L'p': {
            // The same text on every platform (the C libraries differ):
            // "(nil)" or 0x and lower-case hex digits, in the given width.
            const void *pointer = va_arg(args, void *);
            wchar_t text[32];
            if (pointer == nullptr)
               swprintf(text, 32, L"(nil)");
            else
               swprintf(text, 32, L"0x%llx", (unsigned long long)(uintptr_t)pointer);
            spec += L"ls";
            ok = appendOne(out, spec.c_str(), (const wchar_t *)text);
            break;
         }
         case L'c':
         case L'C': {
            wint_t c;
            if (len == L_H || len == L_HH)
               c = (wint_t)(unsigned char)va_arg(args, int);
            else
               c = (wint_t)va_arg(args, PromotedWint);
            spec += L"lc";
            ok = appendOne(out, spec.c_str(), c);
            break;
         }
         case L's':
         case L'S': {
            spec += L"ls";
            if (len == L_H || len == L_HH) {
               const char *s = va_arg(args, const char *);
               if (s == nullptr) {
                  ok = appendOne(out, spec.c_str(), L"(null)");
               } else {
                  std::wstring wide;
                  for (const char *c = s; *c != 0; c++)
                     wide.push_back((wchar_t)(unsigned char)*c);
                  ok = appendOne(out, spec.c_str(), wide.c_str());
               }
            } else {
               const wchar_t *s = va_arg(args, const wchar_t *);
               if (s == nullptr)
                  s = L"(null)";
               if (spec == L"%ls")
                  out.append(s);  // the common case needs no formatting
               else
                  ok = appendOne(out, spec.c_str(), s);
            }
            break;
         }
         default:
            return false;  // %n and anything unknown
      }
      if (!ok)
         return false;
   }
   return true;
}

}  // namespace

int hk_vsnwprintf(wchar_t *buffer, size_t count, const wchar_t *format, va_list args) {
   if (buffer != nullptr && count > 0)
      buffer[0] = 0;
   if (format == nullptr)
      return -1;
   std::wstring text;
   va_list copy;
   va_copy(copy, args);
   bool ok = formatAll(text, format, copy);
   va_end(copy);
   if (!ok || text.size() > 0x7FFFFFFF)
      return -1;
   if (buffer != nullptr && count > 0) {
      size_t n = text.size() < count - 1 ? text.size() : count - 1;
      wmemcpy(buffer, text.data(), n);
      buffer[n] = 0;
   }
   return (int)text.size();
}

int hk_snwprintf(wchar_t *buffer, size_t count, const wchar_t *format, ...) {
   va_list args;
   va_start(args, format);
   int rc = hk_vsnwprintf(buffer, count, format, args);
   va_end(args);
   return rc;
}

void hk_write_line(FILE *stream, const wchar_t *text) {
   if (stream == nullptr)
      return;
   std::string line = hk_wide_to_utf8(text);
   line.push_back('\n');
   fwrite(line.data(), 1, line.size(), stream);
   fflush(stream);
}
