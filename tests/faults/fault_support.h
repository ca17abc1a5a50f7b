// Support of the fault suite: counts of the process's threads and
// descriptors, a TCP peer that accepts and never says a word, an SNMP device
// that answers late, twice, from elsewhere or with the wrong id, and a
// session that records its diagnostic lines and hooks.
//
// Thread safety: every method may be called from the test's threads while
// the peers serve on their own.
#ifndef HK_FAULT_SUPPORT_H
#define HK_FAULT_SUPPORT_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "hksrv.h"
#include "snmp_scripted_device.h"

namespace hkfault {

// ---------------------------------------------------------------- resources
struct ResourceCounts {
   int threads = 0;      // entries of /proc/self/task
   int descriptors = 0;  // entries of /proc/self/fd
};
ResourceCounts CountResources();
// Waits (bounded) until both counts are back at most at baseline; returns
// the last counts seen.
ResourceCounts WaitForResourcesAtMost(const ResourceCounts &baseline, uint32_t timeoutMs);

uint64_t NowMs();

// The server's key pair (2048 bits), generated once per process.
RSA *ServerKey();

// ---------------------------------------------------------------- silent peer
// Listens on 127.0.0.1 and lets the kernel accept: nothing is ever read or
// written. Connections are kept open until the peer goes.
class SilentPeer {
public:
   SilentPeer();
   ~SilentPeer();
   SilentPeer(const SilentPeer &) = delete;
   SilentPeer &operator=(const SilentPeer &) = delete;
   uint16_t port() const { return m_port; }

private:
   int m_fd = -1;
   uint16_t m_port = 0;
};

// ---------------------------------------------------------------- session
// A session that records its diagnostic lines and counts traps.
class RecordingSession : public AgentConnection {
public:
   RecordingSession(uint32_t addr, uint16_t port) : AgentConnection(addr, port) {}
   ~RecordingSession() override;

   std::vector<std::wstring> lines();
   bool hasLineStartingWith(const std::wstring &prefix);
   uint64_t traps() const { return m_traps.load(); }
   // True once the receiver has ended (no socket), false after timeoutMs.
   bool waitForReceiverEnd(uint32_t timeoutMs);

   using AgentConnection::sendMessage;
   using AgentConnection::waitForMessage;

protected:
   void PrintMsg(const wchar_t *format, ...) override;
   void onTrap(CSCPMessage *message) override;

private:
   std::mutex m_mutex;
   std::vector<std::wstring> m_lines;
   std::atomic<uint64_t> m_traps{0};
};

// ---------------------------------------------------------------- SNMP device
// One datagram the device sends after a request.
struct FaultDatagram {
   std::vector<uint8_t> bytes;
   uint32_t delayMs = 0;  // after the request arrived
   // Sent from another socket: on the device's address but another port,
   // or from 127.0.0.2.
   enum class From { Device, OtherPort, OtherAddress } from = From::Device;
};

typedef std::function<std::vector<FaultDatagram>(const hktest::ScriptedSnmpRequest &request)>
    FaultSnmpScript;

// A UDP SNMP device on 127.0.0.1 whose answers the script decides, each
// datagram with its own delay and source. Answers are sent by the device's
// thread when due; nothing waits by sleeping.
class FaultSnmpDevice {
public:
   explicit FaultSnmpDevice(FaultSnmpScript script);
   ~FaultSnmpDevice();
   FaultSnmpDevice(const FaultSnmpDevice &) = delete;
   FaultSnmpDevice &operator=(const FaultSnmpDevice &) = delete;

   bool running() const { return m_sockets[0] >= 0; }
   uint16_t port() const { return m_port; }
   int requests() const { return m_requests.load(); }

private:
   struct Pending {
      uint64_t due;
      FaultDatagram datagram;
      std::vector<uint8_t> peer;  // sockaddr_in of the requester
   };
   void serve();

   FaultSnmpScript m_script;
   int m_sockets[3] = {-1, -1, -1};  // device, other port, other address
   int m_stopPipe[2] = {-1, -1};
   uint16_t m_port = 0;
   std::atomic<int> m_requests{0};
   std::vector<Pending> m_pending;  // only the device's thread touches it
   std::thread m_thread;
};

// The response a device would give: one variable of that name and value.
std::vector<uint8_t> SnmpResponse(const hktest::ScriptedSnmpRequest &request,
                                  const std::vector<uint32_t> &name, int64_t integerValue,
                                  int32_t requestIdDelta = 0);

}  // namespace hkfault

#endif
