// The test keys use the RSA type of the library's API, which OpenSSL 3
// keeps behind its deprecation markers.
#define OPENSSL_SUPPRESS_DEPRECATED 1

#include <chrono>
#include <thread>

#include "agent_test_util.h"

#include <openssl/evp.h>
#include <openssl/rsa.h>

RSA *TestServerKey() {
   static RSA *key = [] {
      EVP_PKEY *pkey = EVP_RSA_gen(2048);
      RSA *rsa = pkey != nullptr ? EVP_PKEY_get1_RSA(pkey) : nullptr;
      EVP_PKEY_free(pkey);
      return rsa;
   }();
   return key;
}

uint32_t Ip(const char *text) {
   return inet_addr(text);
}

// ---------------------------------------------------------------- TestSession

TestSession::~TestSession() {
   disconnect();
   waitForReceiverEnd(10000);
}

bool TestSession::waitForReceiverEnd(uint32_t timeoutMs) {
   return WaitUntil([this] { return getSocket() == INVALID_SOCKET; }, timeoutMs);
}

void TestSession::PrintMsg(const wchar_t *format, ...) {
   wchar_t text[1024];
   va_list args;
   va_start(args, format);
   hk_vsnwprintf(text, 1024, format, args);
   va_end(args);
   {
      std::lock_guard<std::mutex> guard(m_mutex);
      m_lines.push_back(text);
   }
   m_changed.notify_all();
}

void TestSession::onTrap(CSCPMessage *message) {
   {
      std::lock_guard<std::mutex> guard(m_mutex);
      m_traps.push_back(message->GetCode());
   }
   m_changed.notify_all();
}

void TestSession::onDataPush(CSCPMessage *message) {
   {
      std::lock_guard<std::mutex> guard(m_mutex);
      m_pushes.push_back(message->GetCode());
   }
   m_changed.notify_all();
}

void TestSession::onFileDownload(int success) {
   AgentConnection::onFileDownload(success);
   m_downloadsEnded++;
}

bool TestSession::processCustomMessage(CSCPMessage *message) {
   std::lock_guard<std::mutex> guard(m_mutex);
   m_custom.push_back(message->GetCode());
   return m_consume != 0 && message->GetCode() == m_consume;
}

std::vector<std::wstring> TestSession::lines() {
   std::lock_guard<std::mutex> guard(m_mutex);
   return m_lines;
}

bool TestSession::waitForLine(const std::wstring &line, uint32_t timeoutMs) {
   std::unique_lock<std::mutex> guard(m_mutex);
   return m_changed.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] {
      for (const std::wstring &l : m_lines) {
         if (l == line)
            return true;
      }
      return false;
   });
}

std::vector<uint16_t> TestSession::traps() {
   std::lock_guard<std::mutex> guard(m_mutex);
   return m_traps;
}

std::vector<uint16_t> TestSession::pushes() {
   std::lock_guard<std::mutex> guard(m_mutex);
   return m_pushes;
}

std::vector<uint16_t> TestSession::customCodes() {
   std::lock_guard<std::mutex> guard(m_mutex);
   return m_custom;
}

bool TestSession::waitForHookCalls(size_t traps, size_t pushes, uint32_t timeoutMs) {
   std::unique_lock<std::mutex> guard(m_mutex);
   return m_changed.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                             [&] { return m_traps.size() >= traps && m_pushes.size() >= pushes; });
}

void TestSession::consumeCode(uint16_t code) {
   std::lock_guard<std::mutex> guard(m_mutex);
   m_consume = code;
}

// ---------------------------------------------------------------- DebugCapture

DebugCapture::DebugCapture() : m_savedLevel(g_nDebugLevel) {
   hklog_set_sink(&DebugCapture::sink, this);
   g_nDebugLevel = 6;
}

DebugCapture::~DebugCapture() {
   g_nDebugLevel = m_savedLevel;
   hklog_set_sink(nullptr, nullptr);
}

void DebugCapture::sink(const HKLOG_ENTRY *entry, void *context) {
   DebugCapture *self = static_cast<DebugCapture *>(context);
   if (entry->messageId != MSG_DEBUG || entry->numInserts < 1)
      return;
   {
      std::lock_guard<std::mutex> guard(self->m_mutex);
      self->m_lines.push_back(entry->inserts[0]);
   }
   self->m_changed.notify_all();
}

std::vector<std::wstring> DebugCapture::lines() {
   std::lock_guard<std::mutex> guard(m_mutex);
   return m_lines;
}

bool DebugCapture::contains(const std::wstring &prefix) {
   std::lock_guard<std::mutex> guard(m_mutex);
   for (const std::wstring &l : m_lines) {
      if (l.compare(0, prefix.size(), prefix) == 0)
         return true;
   }
   return false;
}

bool DebugCapture::waitFor(const std::wstring &prefix, uint32_t timeoutMs) {
   std::unique_lock<std::mutex> guard(m_mutex);
   return m_changed.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] {
      for (const std::wstring &l : m_lines) {
         if (l.compare(0, prefix.size(), prefix) == 0)
            return true;
      }
      return false;
   });
}
