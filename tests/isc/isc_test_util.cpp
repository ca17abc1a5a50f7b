#define OPENSSL_SUPPRESS_DEPRECATED 1
#include "isc_test_util.h"

#include <chrono>
#include <cstdarg>
#include <openssl/evp.h>
#include <openssl/rsa.h>

namespace isc_test {

RSA *ServerKey() {
   static RSA *key = [] {
      EVP_PKEY *pkey = EVP_RSA_gen(2048);
      RSA *rsa = (pkey != nullptr) ? EVP_PKEY_get1_RSA(pkey) : nullptr;
      EVP_PKEY_free(pkey);
      return rsa;
   }();
   return key;
}

CapturingISC::CapturingISC(uint16_t port, uint32_t commandTimeout, uint32_t recvTimeout)
    : ISC(FakeIscPeer::addressNetworkOrder(), port) {
   if (commandTimeout != 0)
      m_commandTimeout = commandTimeout;
   if (recvTimeout != 0)
      m_recvTimeout = recvTimeout;
}

CapturingISC::~CapturingISC() {
   Disconnect();
   if (m_receiverThread != nullptr) {
      JoinThread(m_receiverThread);
      m_receiverThread = nullptr;
   }
}

void CapturingISC::PrintMsg(const wchar_t *format, ...) {
   wchar_t buffer[1024];
   va_list args;
   va_start(args, format);
   hk_vsnwprintf(buffer, 1024, format, args);
   va_end(args);
   std::lock_guard<std::mutex> guard(m_linesLock);
   m_lines.emplace_back(buffer);
   m_linesChanged.notify_all();
}

std::vector<std::wstring> CapturingISC::lines() {
   std::lock_guard<std::mutex> guard(m_linesLock);
   return m_lines;
}

bool CapturingISC::waitForLine(const std::wstring &text, uint32_t timeoutMs) {
   std::unique_lock<std::mutex> lock(m_linesLock);
   return m_linesChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
      for (const std::wstring &line : m_lines)
         if (line == text)
            return true;
      return false;
   });
}

bool CapturingISC::waitForLinePrefix(const std::wstring &prefix, uint32_t timeoutMs) {
   std::unique_lock<std::mutex> lock(m_linesLock);
   return m_linesChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
      for (const std::wstring &line : m_lines)
         if (line.compare(0, prefix.size(), prefix) == 0)
            return true;
      return false;
   });
}

}  // namespace isc_test
