// The test keys use the RSA type of the library's API, which OpenSSL 3
// keeps behind its deprecation markers.
#define OPENSSL_SUPPRESS_DEPRECATED 1

#include "fault_support.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstring>

namespace hkfault {

namespace {

int CountEntries(const char *path) {
   DIR *dir = opendir(path);
   if (dir == nullptr)
      return -1;
   int count = 0;
   while (struct dirent *entry = readdir(dir)) {
      if (entry->d_name[0] != '.')
         count++;
   }
   closedir(dir);
   return count;
}

int BoundUdpSocket(uint32_t address, uint16_t *port) {
   int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
   if (s < 0)
      return -1;
   sockaddr_in a{};
   a.sin_family = AF_INET;
   a.sin_addr.s_addr = htonl(address);
   socklen_t length = sizeof(a);
   if (bind(s, reinterpret_cast<sockaddr *>(&a), sizeof(a)) != 0 ||
       getsockname(s, reinterpret_cast<sockaddr *>(&a), &length) != 0) {
      close(s);
      return -1;
   }
   if (port != nullptr)
      *port = ntohs(a.sin_port);
   return s;
}

}  // namespace

uint64_t NowMs() {
   return GetMonotonicMs();
}

ResourceCounts CountResources() {
   ResourceCounts counts;
   counts.threads = CountEntries("/proc/self/task");
   // opendir's own descriptor is among the entries it lists.
   counts.descriptors = CountEntries("/proc/self/fd") - 1;
   return counts;
}

ResourceCounts WaitForResourcesAtMost(const ResourceCounts &baseline, uint32_t timeoutMs) {
   uint64_t deadline = NowMs() + timeoutMs;
   for (;;) {
      ResourceCounts now = CountResources();
      if ((now.threads <= baseline.threads && now.descriptors <= baseline.descriptors) ||
          NowMs() >= deadline)
         return now;
      // Threads end and descriptors close on their own schedule: poll.
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
   }
}

RSA *ServerKey() {
   static RSA *key = [] {
      EVP_PKEY *pkey = EVP_RSA_gen(2048);
      RSA *rsa = pkey != nullptr ? EVP_PKEY_get1_RSA(pkey) : nullptr;
      EVP_PKEY_free(pkey);
      return rsa;
   }();
   return key;
}

// ---------------------------------------------------------------- SilentPeer

SilentPeer::SilentPeer() {
   int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
   if (s < 0)
      return;
   sockaddr_in a{};
   a.sin_family = AF_INET;
   a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
   socklen_t length = sizeof(a);
   if (bind(s, reinterpret_cast<sockaddr *>(&a), sizeof(a)) != 0 || listen(s, 16) != 0 ||
       getsockname(s, reinterpret_cast<sockaddr *>(&a), &length) != 0) {
      close(s);
      return;
   }
   m_fd = s;
   m_port = ntohs(a.sin_port);
}

SilentPeer::~SilentPeer() {
   if (m_fd >= 0)
      close(m_fd);  // connections in the backlog are reset with it
}

// ---------------------------------------------------------------- RecordingSession

RecordingSession::~RecordingSession() {
   // End the receiver before this class's hooks go away.
   disconnect();
   waitForReceiverEnd(10000);
}

bool RecordingSession::waitForReceiverEnd(uint32_t timeoutMs) {
   uint64_t deadline = NowMs() + timeoutMs;
   while (getSocket() != INVALID_SOCKET) {
      if (NowMs() >= deadline)
         return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
   }
   return true;
}

void RecordingSession::PrintMsg(const wchar_t *format, ...) {
   wchar_t text[1024];
   va_list args;
   va_start(args, format);
   hk_vsnwprintf(text, 1024, format, args);
   va_end(args);
   std::lock_guard<std::mutex> guard(m_mutex);
   m_lines.push_back(text);
}

void RecordingSession::onTrap(CSCPMessage *) {
   m_traps.fetch_add(1);
}

std::vector<std::wstring> RecordingSession::lines() {
   std::lock_guard<std::mutex> guard(m_mutex);
   return m_lines;
}

bool RecordingSession::hasLineStartingWith(const std::wstring &prefix) {
   std::lock_guard<std::mutex> guard(m_mutex);
   for (const std::wstring &line : m_lines) {
      if (line.compare(0, prefix.size(), prefix) == 0)
         return true;
   }
   return false;
}

// ---------------------------------------------------------------- FaultSnmpDevice

FaultSnmpDevice::FaultSnmpDevice(FaultSnmpScript script) : m_script(std::move(script)) {
   m_sockets[0] = BoundUdpSocket(INADDR_LOOPBACK, &m_port);
   m_sockets[1] = BoundUdpSocket(INADDR_LOOPBACK, nullptr);
   m_sockets[2] = BoundUdpSocket(0x7F000002, nullptr);
   if (m_sockets[0] < 0 || m_sockets[1] < 0 || m_sockets[2] < 0 || pipe(m_stopPipe) != 0) {
      for (int &s : m_sockets) {
         if (s >= 0)
            close(s);
         s = -1;
      }
      return;
   }
   m_thread = std::thread([this] { serve(); });
}

FaultSnmpDevice::~FaultSnmpDevice() {
   if (m_thread.joinable()) {
      char stop = 1;
      (void)!write(m_stopPipe[1], &stop, 1);
      m_thread.join();
   }
   for (int fd : {m_sockets[0], m_sockets[1], m_sockets[2], m_stopPipe[0], m_stopPipe[1]}) {
      if (fd >= 0)
         close(fd);
   }
}

void FaultSnmpDevice::serve() {
   std::vector<uint8_t> buffer(SNMP_MAX_MESSAGE_SIZE);
   for (;;) {
      // Send what is due, then wait for a request or the next due time.
      uint64_t now = NowMs();
      int wait = -1;
      for (size_t i = 0; i < m_pending.size();) {
         if (m_pending[i].due <= now) {
            const Pending &p = m_pending[i];
            int socket = m_sockets[static_cast<int>(p.datagram.from)];
            sendto(socket, p.datagram.bytes.data(), p.datagram.bytes.size(), 0,
                   reinterpret_cast<const sockaddr *>(p.peer.data()), (socklen_t)p.peer.size());
            m_pending.erase(m_pending.begin() + (long)i);
            continue;
         }
         int left = (int)(m_pending[i].due - now);
         wait = (wait < 0 || left < wait) ? left : wait;
         i++;
      }
      pollfd fds[2] = {{m_sockets[0], POLLIN, 0}, {m_stopPipe[0], POLLIN, 0}};
      int n = poll(fds, 2, wait);
      if (n < 0 && errno == EINTR)
         continue;
      if (n < 0 || (fds[1].revents & POLLIN) != 0)
         return;
      if ((fds[0].revents & POLLIN) == 0)
         continue;
      sockaddr_in peer{};
      socklen_t peerLength = sizeof(peer);
      ssize_t got = recvfrom(m_sockets[0], buffer.data(), buffer.size(), 0,
                             reinterpret_cast<sockaddr *>(&peer), &peerLength);
      if (got <= 0)
         continue;
      SNMP_PDU pdu;
      if (!pdu.parse(buffer.data(), static_cast<size_t>(got), nullptr, false))
         continue;
      hktest::ScriptedSnmpRequest request;
      request.version = pdu.getVersion();
      request.community = pdu.getCommunity();
      request.command = pdu.getCommand();
      request.requestId = pdu.getRequestId();
      for (int i = 0; i < pdu.getNumVariables(); i++) {
         const SNMP_ObjectId *name = pdu.getVariable(i)->getName();
         request.names.emplace_back(name->getValue(), name->getValue() + name->getLength());
      }
      m_requests.fetch_add(1);
      uint64_t arrived = NowMs();
      const uint8_t *peerBytes = reinterpret_cast<const uint8_t *>(&peer);
      for (FaultDatagram &d : m_script(request)) {
         m_pending.push_back(Pending{arrived + d.delayMs, std::move(d),
                                     std::vector<uint8_t>(peerBytes, peerBytes + peerLength)});
      }
   }
}

std::vector<uint8_t> SnmpResponse(const hktest::ScriptedSnmpRequest &request,
                                  const std::vector<uint32_t> &name, int64_t integerValue,
                                  int32_t requestIdDelta) {
   hktest::ScriptedSnmpRequest answered = request;
   answered.requestId = request.requestId + (uint32_t)requestIdDelta;
   hktest::ScriptedSnmpAnswer answer;
   answer.name = name;
   answer.valueTag = 0x02;
   answer.value = hktest::BerIntegerContent(integerValue);
   return hktest::BerEncodeResponse(answered, answer);
}

}  // namespace hkfault
