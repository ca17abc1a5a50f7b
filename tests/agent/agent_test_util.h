// Shared pieces of the agent session tests: the server's RSA key, a session
// that records its diagnostic lines and hooks, and a capture of debug lines.
#ifndef AGENT_TEST_UTIL_H
#define AGENT_TEST_UTIL_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "hksrv.h"

// The server's key pair, generated once per process (2048 bits).
RSA *TestServerKey();

// Waits for pred() to hold, checking every millisecond; false after
// timeoutMs. For state that has no condition to wait on (a socket handle).
template <typename Pred>
bool WaitUntil(Pred pred, uint32_t timeoutMs) {
   uint64_t deadline = GetMonotonicMs() + timeoutMs;
   while (!pred()) {
      if (GetMonotonicMs() >= deadline)
         return false;
      std::this_thread::yield();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
   }
   return true;
}

// An AgentConnection that records what its hooks receive and opens its
// protected operations to the tests.
class TestSession : public AgentConnection {
public:
   explicit TestSession(uint32_t addr, uint16_t port, int authMethod = AUTH_NONE,
                        const wchar_t *secret = nullptr)
       : AgentConnection(addr, port, authMethod, secret) {}
   // Ends the receiver before this class's hooks go away.
   ~TestSession() override;

   using AgentConnection::authenticate;
   using AgentConnection::getIpAddr;
   using AgentConnection::sendMessage;
   using AgentConnection::setupEncryption;
   using AgentConnection::setupProxyConnection;
   using AgentConnection::waitForMessage;
   using AgentConnection::waitForRCC;

   std::vector<std::wstring> lines();
   bool waitForLine(const std::wstring &line, uint32_t timeoutMs);
   std::vector<uint16_t> traps();
   std::vector<uint16_t> pushes();
   std::vector<uint16_t> customCodes();  // every code processCustomMessage saw
   bool waitForHookCalls(size_t traps, size_t pushes, uint32_t timeoutMs);
   // processCustomMessage consumes this code (0: none).
   void consumeCode(uint16_t code);
   // True once the receiver has ended (the socket is gone), false after
   // timeoutMs.
   bool waitForReceiverEnd(uint32_t timeoutMs);
   // How many downloads have ended (onFileDownload calls).
   int downloadsEnded() const { return m_downloadsEnded.load(); }

protected:
   void PrintMsg(const wchar_t *format, ...) override;
   void onTrap(CSCPMessage *message) override;
   void onDataPush(CSCPMessage *message) override;
   void onFileDownload(int success) override;
   bool processCustomMessage(CSCPMessage *message) override;

private:
   std::mutex m_mutex;
   std::condition_variable m_changed;
   std::vector<std::wstring> m_lines;
   std::vector<uint16_t> m_traps;
   std::vector<uint16_t> m_pushes;
   std::vector<uint16_t> m_custom;
   uint16_t m_consume = 0;
   std::atomic<int> m_downloadsEnded{0};
};

// Debug lines written while it lives (g_nDebugLevel raised to 6).
class DebugCapture {
public:
   DebugCapture();
   ~DebugCapture();
   std::vector<std::wstring> lines();
   // True when some line starts with prefix.
   bool contains(const std::wstring &prefix);
   bool waitFor(const std::wstring &prefix, uint32_t timeoutMs);

private:
   static void sink(const HKLOG_ENTRY *entry, void *context);
   int m_savedLevel;
   std::mutex m_mutex;
   std::condition_variable m_changed;
   std::vector<std::wstring> m_lines;
};

// An address in network byte order from its dotted text.
uint32_t Ip(const char *text);

#endif
