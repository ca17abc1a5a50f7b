// The scripted SNMP device; see snmp_scripted_device.h.
#include "snmp_scripted_device.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "hksnmp.h"

namespace hktest {

namespace {

void PutLength(std::vector<uint8_t> &out, size_t length) {
   if (length < 0x80) {
      out.push_back(static_cast<uint8_t>(length));
      return;
   }
   uint8_t bytes[8];
   int n = 0;
   while (length > 0) {
      bytes[n++] = static_cast<uint8_t>(length & 0xFF);
      length >>= 8;
   }
   out.push_back(static_cast<uint8_t>(0x80 | n));
   while (n > 0) {
      out.push_back(bytes[--n]);
   }
}

std::vector<uint8_t> Tlv(uint8_t tag, const std::vector<uint8_t> &content) {
   std::vector<uint8_t> out;
   out.push_back(tag);
   PutLength(out, content.size());
   out.insert(out.end(), content.begin(), content.end());
   return out;
}

void Append(std::vector<uint8_t> &out, const std::vector<uint8_t> &more) {
   out.insert(out.end(), more.begin(), more.end());
}

void PutBase128(std::vector<uint8_t> &out, uint32_t value) {
   uint8_t bytes[5];
   int n = 0;
   do {
      bytes[n++] = static_cast<uint8_t>(value & 0x7F);
      value >>= 7;
   } while (value > 0);
   while (n > 1) {
      out.push_back(static_cast<uint8_t>(bytes[--n] | 0x80));
   }
   out.push_back(bytes[0]);
}

std::vector<uint8_t> OidContent(const std::vector<uint32_t> &name) {
   std::vector<uint8_t> out;
   if (name.size() < 2) {
      out.push_back(name.empty() ? 0 : static_cast<uint8_t>(name[0] * 40));
      return out;
   }
   PutBase128(out, name[0] * 40 + name[1]);
   for (size_t i = 2; i < name.size(); i++) {
      PutBase128(out, name[i]);
   }
   return out;
}

}  // namespace

std::vector<uint8_t> BerIntegerContent(int64_t value) {
   std::vector<uint8_t> bytes;
   for (int shift = 56; shift >= 0; shift -= 8) {
      bytes.push_back(static_cast<uint8_t>((static_cast<uint64_t>(value) >> shift) & 0xFF));
   }
   // Drop leading bytes that only repeat the sign.
   size_t start = 0;
   while (start < 7 && ((bytes[start] == 0x00 && (bytes[start + 1] & 0x80) == 0) ||
                        (bytes[start] == 0xFF && (bytes[start + 1] & 0x80) != 0))) {
      start++;
   }
   return std::vector<uint8_t>(bytes.begin() + static_cast<long>(start), bytes.end());
}

std::vector<uint8_t> BerUnsignedContent(uint32_t value) {
   return BerIntegerContent(static_cast<int64_t>(value));
}

std::vector<uint8_t> BerEncodeResponse(const ScriptedSnmpRequest &request,
                                       const ScriptedSnmpAnswer &answer) {
   std::vector<ScriptedSnmpBinding> list = answer.bindings;
   if (list.empty() && !answer.noVariables) {
      list.push_back({answer.name, answer.valueTag, answer.value});
   }
   std::vector<uint8_t> bindings;
   for (const ScriptedSnmpBinding &b : list) {
      std::vector<uint8_t> binding = Tlv(0x06, OidContent(b.name));
      Append(binding, Tlv(b.valueTag, b.value));
      Append(bindings, Tlv(0x30, binding));
   }
   std::vector<uint8_t> pdu = Tlv(0x02, BerIntegerContent(request.requestId));
   Append(pdu, Tlv(0x02, BerIntegerContent(answer.errorStatus)));
   Append(pdu, Tlv(0x02, BerIntegerContent(answer.errorIndex)));
   Append(pdu, Tlv(0x30, bindings));

   std::vector<uint8_t> message = Tlv(0x02, BerIntegerContent(request.version));
   Append(message,
          Tlv(0x04, std::vector<uint8_t>(request.community.begin(), request.community.end())));
   Append(message, Tlv(0xA2, pdu));
   return Tlv(0x30, message);
}

ScriptedSnmpDevice::ScriptedSnmpDevice(ScriptedSnmpScript script) : m_script(std::move(script)) {
   int s = socket(AF_INET, SOCK_DGRAM, 0);
   if (s < 0) {
      return;
   }
   sockaddr_in address{};
   address.sin_family = AF_INET;
   address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
   socklen_t length = sizeof(address);
   if (bind(s, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0 ||
       getsockname(s, reinterpret_cast<sockaddr *>(&address), &length) != 0 ||
       pipe(m_stopPipe) != 0) {
      close(s);
      return;
   }
   m_port = ntohs(address.sin_port);
   m_socket = s;
   m_thread = std::thread([this] { serve(); });
}

ScriptedSnmpDevice::~ScriptedSnmpDevice() {
   if (m_thread.joinable()) {
      char stop = 1;
      (void)!write(m_stopPipe[1], &stop, 1);
      m_thread.join();
   }
   for (int fd : {m_socket, m_stopPipe[0], m_stopPipe[1]}) {
      if (fd >= 0) {
         close(fd);
      }
   }
}

void ScriptedSnmpDevice::serve() {
   std::vector<uint8_t> buffer(SNMP_MAX_MESSAGE_SIZE);
   for (;;) {
      pollfd fds[2] = {{m_socket, POLLIN, 0}, {m_stopPipe[0], POLLIN, 0}};
      int n = poll(fds, 2, -1);
      if (n < 0 && errno == EINTR) {
         continue;
      }
      if (n < 0 || (fds[1].revents & POLLIN) != 0) {
         return;
      }
      sockaddr_in peer{};
      socklen_t peerLength = sizeof(peer);
      ssize_t got = recvfrom(m_socket, buffer.data(), buffer.size(), 0,
                             reinterpret_cast<sockaddr *>(&peer), &peerLength);
      if (got <= 0) {
         continue;
      }
      SNMP_PDU pdu;
      if (!pdu.parse(buffer.data(), static_cast<size_t>(got), nullptr, false)) {
         continue;
      }
      ScriptedSnmpRequest request;
      request.version = pdu.getVersion();
      request.community = pdu.getCommunity();
      request.command = pdu.getCommand();
      request.requestId = pdu.getRequestId();
      request.nonRepeaters = pdu.getNonRepeaters();
      request.maxRepetitions = pdu.getMaxRepetitions();
      for (int i = 0; i < pdu.getNumVariables(); i++) {
         const SNMP_ObjectId *name = pdu.getVariable(i)->getName();
         request.names.emplace_back(name->getValue(), name->getValue() + name->getLength());
      }
      m_requests.fetch_add(1);
      ScriptedSnmpAnswer answer = m_script(request);
      if (answer.silent) {
         continue;
      }
      std::vector<uint8_t> bytes =
          answer.raw.empty() ? BerEncodeResponse(request, answer) : answer.raw;
      sendto(m_socket, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr *>(&peer),
             peerLength);
   }
}

}  // namespace hktest
