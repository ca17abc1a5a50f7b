// Helpers of the ISC tests: a session that captures its PrintMsg lines and
// may shorten its time-outs, and a test RSA key.
#ifndef TESTS_ISC_TEST_UTIL_H
#define TESTS_ISC_TEST_UTIL_H

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "fake_isc_peer.h"
#include "hksrv.h"

namespace isc_test {

// A 2048-bit key pair made on first use and kept for the run.
RSA *ServerKey();

// Bounds of the waits in the tests; they end as soon as the condition holds.
const uint32_t kWaitMs = 10000;

class CapturingISC : public ISC {
public:
   // A session with the default address and port.
   CapturingISC() = default;
   // commandTimeout and recvTimeout of 0 keep the session's own values.
   CapturingISC(uint16_t port, uint32_t commandTimeout = 0, uint32_t recvTimeout = 0);
   // Ends the receiver before the members PrintMsg writes to go away.
   ~CapturingISC() override;

   std::vector<std::wstring> lines();
   // True once a line equal to text was printed, false after timeoutMs.
   bool waitForLine(const std::wstring &text, uint32_t timeoutMs = kWaitMs);
   // The same for a line that starts with prefix.
   bool waitForLinePrefix(const std::wstring &prefix, uint32_t timeoutMs = kWaitMs);

   // Waits for the receiver thread to end (after its last line, it only
   // releases the connection) so the test can look at the final state.
   void joinReceiver() {
      JoinThread(m_receiverThread);
      m_receiverThread = nullptr;
   }

   bool connectedFlag() const { return (m_flags.load() & FLAG_CONNECTED) != 0; }
   bool encryptionRequiredFlag() const { return (m_flags.load() & FLAG_ENCRYPTION_REQUIRED) != 0; }
   bool hasSocket() const { return m_connection.socket() != INVALID_SOCKET; }
   bool hasReceiverThread() const { return m_receiverThread != nullptr; }
   uint32_t nextRequestId() const { return m_requestId.load(); }
   uint32_t commandTimeout() const { return m_commandTimeout; }
   uint32_t recvTimeout() const { return m_recvTimeout; }
   uint32_t address() const { return m_addr; }
   uint16_t port() const { return m_port; }
   bool encrypted() { return m_connection.encrypted(); }
   MsgWaitQueue &queue() { return *m_msgWaitQueue; }
   using ISC::ConnectToService;
   using ISC::SetupEncryption;

protected:
   void PrintMsg(const wchar_t *format, ...) override;

private:
   std::mutex m_linesLock;
   std::condition_variable m_linesChanged;
   std::vector<std::wstring> m_lines;  // guarded by m_linesLock
};

// The session's view of the peer's address in messages.
inline std::wstring Peer(const wchar_t *format) {
   wchar_t buffer[256];
   hk_snwprintf(buffer, 256, format, L"127.0.0.1");
   return buffer;
}

}  // namespace isc_test

#endif
