// doRequest and the UDP transport against scripted UDP responders on
// 127.0.0.1: answers with the wrong request id or from the wrong address are
// ignored, retries are counted on the wire, silence ends in a time-out.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "hksnmp.h"

namespace {

using Bytes = std::vector<uint8_t>;

int BoundUdpSocket(uint16_t *port) {
   int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
   sockaddr_in addr{};
   addr.sin_family = AF_INET;
   addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
   socklen_t length = sizeof(addr);
   if (s < 0 || bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 ||
       getsockname(s, reinterpret_cast<sockaddr *>(&addr), &length) != 0) {
      return -1;
   }
   *port = ntohs(addr.sin_port);
   return s;
}

// One reply: its bytes, sent from the primary socket or from the second one.
struct Reply {
   Bytes bytes;
   bool fromSecondSocket = false;
};

// A responder thread on a primary socket (the "device") and a second socket
// on another port. The script sees each request (numbered from 1) and says
// what to send back to its sender.
class UdpResponder {
public:
   using Script = std::function<std::vector<Reply>(const SNMP_PDU &request, int number)>;

   explicit UdpResponder(Script script) : m_script(std::move(script)) {
      m_socket = BoundUdpSocket(&m_port);
      m_second = BoundUdpSocket(&m_secondPort);
      m_stop = eventfd(0, EFD_CLOEXEC);
      m_thread = std::thread([this] { run(); });
   }
   ~UdpResponder() {
      uint64_t one = 1;
      EXPECT_EQ(write(m_stop, &one, sizeof(one)), static_cast<ssize_t>(sizeof(one)));
      m_thread.join();
      close(m_socket);
      close(m_second);
      close(m_stop);
   }

   uint16_t port() const { return m_port; }
   int requests() const { return m_requests.load(); }
   // Waits, bounded, until count requests have arrived; true when they have.
   bool waitForRequests(int count) {
      std::unique_lock<std::mutex> lock(m_mutex);
      return m_arrived.wait_for(lock, std::chrono::seconds(5),
                                [&] { return m_requests.load() >= count; });
   }
   std::vector<uint32_t> requestIds() {
      std::lock_guard<std::mutex> lock(m_mutex);
      return m_requestIds;
   }

private:
   void run() {
      for (;;) {
         pollfd fds[2] = {{m_socket, POLLIN, 0}, {m_stop, POLLIN, 0}};
         if (poll(fds, 2, -1) < 0 || (fds[1].revents & POLLIN)) {
            return;
         }
         uint8_t buffer[65536];
         sockaddr_in from{};
         socklen_t fromLength = sizeof(from);
         ssize_t n = recvfrom(m_socket, buffer, sizeof(buffer), 0,
                              reinterpret_cast<sockaddr *>(&from), &fromLength);
         if (n <= 0) {
            continue;
         }
         SNMP_PDU request;
         bool parsed = request.parse(buffer, static_cast<size_t>(n), nullptr, false);
         int number;
         {
            std::lock_guard<std::mutex> lock(m_mutex);
            number = ++m_requests;
            if (parsed) {
               m_requestIds.push_back(request.getRequestId());
            }
         }
         m_arrived.notify_all();
         if (!parsed) {
            continue;
         }
         for (const Reply &reply : m_script(request, number)) {
            sendto(reply.fromSecondSocket ? m_second : m_socket, reply.bytes.data(),
                   reply.bytes.size(), 0, reinterpret_cast<sockaddr *>(&from), fromLength);
         }
      }
   }

   Script m_script;
   int m_socket = -1, m_second = -1, m_stop = -1;
   uint16_t m_port = 0, m_secondPort = 0;
   std::atomic<int> m_requests{0};
   std::mutex m_mutex;
   std::condition_variable m_arrived;   // signalled with m_mutex after each request
   std::vector<uint32_t> m_requestIds;  // guarded by m_mutex
   std::thread m_thread;
};

// A response to request with one INTEGER variable holding marker.
Bytes ResponseTo(const SNMP_PDU &request, int32_t marker, uint32_t requestId) {
   SNMP_PDU response(SNMP_RESPONSE, requestId, request.getVersion());
   const uint32_t oid[] = {1, 3, 6, 1, 4, 1, 99999, 1};
   auto *v = new SNMP_Variable(oid, 8);
   v->setValueFromUInt32(ASN_INTEGER, static_cast<uint32_t>(marker));
   response.bindVariable(v);
   SNMP_SecurityContext context(request.getCommunity());
   uint8_t *bytes = nullptr;
   size_t length = response.encode(&bytes, &context);
   Bytes out(bytes, bytes + length);
   free(bytes);
   return out;
}

Bytes AnswerOf(const SNMP_PDU &request, int32_t marker) {
   return ResponseTo(request, marker, request.getRequestId());
}

class DoRequestTest : public ::testing::Test {
protected:
   std::unique_ptr<SNMP_UDPTransport> TransportTo(uint16_t port) {
      auto transport = std::make_unique<SNMP_UDPTransport>();
      EXPECT_EQ(transport->createUDPTransport(0x7F000001, port), SNMP_ERR_SUCCESS);
      transport->setSecurityContext(new SNMP_SecurityContext("community"));
      return transport;
   }
   std::unique_ptr<SNMP_PDU> Request(uint32_t id) {
      auto request = std::make_unique<SNMP_PDU>(SNMP_GET_REQUEST, id, SNMP_VERSION_2C);
      const uint32_t oid[] = {1, 3, 6, 1, 2, 1, 1, 5, 0};
      request->bindVariable(new SNMP_Variable(oid, 9));
      return request;
   }
};

TEST_F(DoRequestTest, AnswerIsReturned) {
   UdpResponder responder(
       [](const SNMP_PDU &r, int) { return std::vector<Reply>{{AnswerOf(r, 7)}}; });
   auto transport = TransportTo(responder.port());
   auto request = Request(100);
   SNMP_PDU *response = nullptr;
   ASSERT_EQ(transport->doRequest(request.get(), &response, 2000, 3), SNMP_ERR_SUCCESS);
   std::unique_ptr<SNMP_PDU> owned(response);
   EXPECT_EQ(response->getRequestId(), 100u);
   EXPECT_EQ(response->getVariable(0)->GetValueAsInt(), 7);
   EXPECT_STREQ(response->getCommunity(), "community");
   EXPECT_EQ(responder.requests(), 1);
}

// A stale answer with another id comes first; the right one right behind it
// is taken within the same attempt.
TEST_F(DoRequestTest, AnswerWithWrongRequestIdIsIgnored) {
   UdpResponder responder([](const SNMP_PDU &r, int) {
      return std::vector<Reply>{{ResponseTo(r, 1, r.getRequestId() + 1)}, {AnswerOf(r, 2)}};
   });
   auto transport = TransportTo(responder.port());
   auto request = Request(200);
   SNMP_PDU *response = nullptr;
   ASSERT_EQ(transport->doRequest(request.get(), &response, 2000, 3), SNMP_ERR_SUCCESS);
   std::unique_ptr<SNMP_PDU> owned(response);
   EXPECT_EQ(response->getVariable(0)->GetValueAsInt(), 2);
   EXPECT_EQ(responder.requests(), 1);
}

TEST_F(DoRequestTest, OnlyWrongRequestIdsTimeOut) {
   UdpResponder responder([](const SNMP_PDU &r, int) {
      return std::vector<Reply>{{ResponseTo(r, 1, r.getRequestId() ^ 0x8000)}};
   });
   auto transport = TransportTo(responder.port());
   auto request = Request(300);
   SNMP_PDU *response = reinterpret_cast<SNMP_PDU *>(1);
   EXPECT_EQ(transport->doRequest(request.get(), &response, 50, 2), SNMP_ERR_TIMEOUT);
   EXPECT_EQ(response, nullptr);
   EXPECT_EQ(responder.requests(), 2);
}

// The right id from another port of the same host is not the device.
TEST_F(DoRequestTest, AnswerFromAnotherAddressIsIgnored) {
   UdpResponder responder([](const SNMP_PDU &r, int) {
      return std::vector<Reply>{{AnswerOf(r, 1), true}, {AnswerOf(r, 2), false}};
   });
   auto transport = TransportTo(responder.port());
   auto request = Request(400);
   SNMP_PDU *response = nullptr;
   ASSERT_EQ(transport->doRequest(request.get(), &response, 2000, 3), SNMP_ERR_SUCCESS);
   std::unique_ptr<SNMP_PDU> owned(response);
   EXPECT_EQ(response->getVariable(0)->GetValueAsInt(), 2);
   EXPECT_EQ(responder.requests(), 1);
}

TEST_F(DoRequestTest, OnlyAnswersFromAnotherAddressTimeOut) {
   UdpResponder responder([](const SNMP_PDU &r, int) {
      return std::vector<Reply>{{AnswerOf(r, 1), true}};
   });
   auto transport = TransportTo(responder.port());
   auto request = Request(500);
   SNMP_PDU *response = nullptr;
   EXPECT_EQ(transport->doRequest(request.get(), &response, 50, 1), SNMP_ERR_TIMEOUT);
   EXPECT_EQ(response, nullptr);
   EXPECT_EQ(responder.requests(), 1);
}

// Each attempt sends the request once: the silent responder counts them.
TEST_F(DoRequestTest, RetryCountIsHonoured) {
   for (int retries : {0, 1, 3, 5}) {
      UdpResponder responder([](const SNMP_PDU &, int) { return std::vector<Reply>{}; });
      auto transport = TransportTo(responder.port());
      auto request = Request(600);
      SNMP_PDU *response = nullptr;
      EXPECT_EQ(transport->doRequest(request.get(), &response, 20, retries), SNMP_ERR_TIMEOUT);
      int expected = retries > 0 ? retries : 1;
      // The last datagram may still be on its way to the responder thread.
      EXPECT_TRUE(responder.waitForRequests(expected));
      EXPECT_EQ(responder.requests(), expected) << "retries " << retries;
      std::vector<uint32_t> ids = responder.requestIds();
      for (uint32_t id : ids) {
         EXPECT_EQ(id, 600u);  // every attempt carries the same request
      }
   }
}

TEST_F(DoRequestTest, AnswerToTheSecondAttemptIsTaken) {
   UdpResponder responder([](const SNMP_PDU &r, int number) {
      return number == 1 ? std::vector<Reply>{} : std::vector<Reply>{{AnswerOf(r, number)}};
   });
   auto transport = TransportTo(responder.port());
   auto request = Request(700);
   SNMP_PDU *response = nullptr;
   ASSERT_EQ(transport->doRequest(request.get(), &response, 50, 3), SNMP_ERR_SUCCESS);
   std::unique_ptr<SNMP_PDU> owned(response);
   EXPECT_EQ(response->getVariable(0)->GetValueAsInt(), 2);
   EXPECT_EQ(responder.requests(), 2);
}

TEST_F(DoRequestTest, SilentPortTimesOut) {
   uint16_t port;
   int silent = BoundUdpSocket(&port);  // bound, so no ICMP error comes back
   ASSERT_GE(silent, 0);
   auto transport = TransportTo(port);
   auto request = Request(800);
   SNMP_PDU *response = nullptr;
   EXPECT_EQ(transport->doRequest(request.get(), &response, 1, 1), SNMP_ERR_TIMEOUT);
   EXPECT_EQ(response, nullptr);
   close(silent);
}

TEST_F(DoRequestTest, ClosedPortTimesOut) {
   uint16_t port;
   int gone = BoundUdpSocket(&port);
   close(gone);  // the port answers with ICMP port unreachable now
   auto transport = TransportTo(port);
   auto request = Request(801);
   SNMP_PDU *response = nullptr;
   EXPECT_EQ(transport->doRequest(request.get(), &response, 20, 2), SNMP_ERR_TIMEOUT);
   EXPECT_EQ(response, nullptr);
}

TEST_F(DoRequestTest, GarbageAnswersAreReportedAsParseErrors) {
   UdpResponder responder([](const SNMP_PDU &, int) {
      return std::vector<Reply>{{Bytes{0x30, 0x03, 0x02, 0x01}}};
   });
   auto transport = TransportTo(responder.port());
   auto request = Request(900);
   SNMP_PDU *response = nullptr;
   EXPECT_EQ(transport->doRequest(request.get(), &response, 30, 1), SNMP_ERR_PARSE);
   EXPECT_EQ(response, nullptr);
}

// Garbage, an echoed request and another community come before the answer.
TEST_F(DoRequestTest, NonAnswersBeforeTheAnswerAreSkipped) {
   UdpResponder responder([](const SNMP_PDU &r, int) {
      SNMP_PDU echo(SNMP_GET_REQUEST, r.getRequestId(), r.getVersion());
      uint8_t *bytes = nullptr;
      SNMP_SecurityContext context("community");
      size_t length = echo.encode(&bytes, &context);
      Bytes echoed(bytes, bytes + length);
      free(bytes);
      SNMP_PDU other(SNMP_RESPONSE, r.getRequestId(), r.getVersion());
      SNMP_SecurityContext otherContext("other");
      length = other.encode(&bytes, &otherContext);
      Bytes otherCommunity(bytes, bytes + length);
      free(bytes);
      return std::vector<Reply>{{Bytes{0xFF, 0x00}}, {echoed}, {otherCommunity}, {AnswerOf(r, 5)}};
   });
   auto transport = TransportTo(responder.port());
   transport->m_checkCommunity = true;
   auto request = Request(1000);
   SNMP_PDU *response = nullptr;
   ASSERT_EQ(transport->doRequest(request.get(), &response, 2000, 1), SNMP_ERR_SUCCESS);
   std::unique_ptr<SNMP_PDU> owned(response);
   EXPECT_EQ(response->getCommand(), SNMP_RESPONSE);
   EXPECT_EQ(response->getNumVariables(), 1);
   EXPECT_EQ(response->getVariable(0)->GetValueAsInt(), 5);
}

TEST_F(DoRequestTest, BadArguments) {
   SNMP_UDPTransport unopened;
   auto request = Request(1);
   SNMP_PDU *response = reinterpret_cast<SNMP_PDU *>(1);
   EXPECT_EQ(unopened.doRequest(nullptr, &response, 10, 1), SNMP_ERR_PARAM);
   EXPECT_EQ(response, nullptr);
   EXPECT_EQ(unopened.doRequest(request.get(), nullptr, 10, 1), SNMP_ERR_PARAM);
   EXPECT_EQ(unopened.doRequest(request.get(), &response, 10, 2), SNMP_ERR_COMM);
   SNMP_PDU *pdu = reinterpret_cast<SNMP_PDU *>(1);
   EXPECT_EQ(unopened.readMessage(&pdu, 0, nullptr, nullptr), -1);
   EXPECT_EQ(pdu, nullptr);
   // A request that cannot be encoded is never sent.
   uint16_t port;
   int silent = BoundUdpSocket(&port);
   auto transport = TransportTo(port);
   SNMP_PDU bulkV1(SNMP_GET_BULK_REQUEST, 1, SNMP_VERSION_1);
   EXPECT_EQ(transport->sendMessage(&bulkV1), -1);
   EXPECT_EQ(transport->doRequest(&bulkV1, &response, 10, 1), SNMP_ERR_COMM);
   close(silent);
}

// readMessage hands out the sender and asks the context finder before it
// parses.
TEST_F(DoRequestTest, ReadMessageReportsSenderAndUsesTheContextFinder) {
   UdpResponder responder(
       [](const SNMP_PDU &r, int) { return std::vector<Reply>{{AnswerOf(r, 3)}}; });
   auto transport = TransportTo(responder.port());
   transport->m_checkCommunity = true;
   auto request = Request(1100);
   ASSERT_GT(transport->sendMessage(request.get()), 0);
   static int calls = 0;
   auto finder = [](struct sockaddr *, socklen_t) -> SNMP_SecurityContext * {
      calls++;
      return new SNMP_SecurityContext("wrong");
   };
   sockaddr_in sender{};
   socklen_t senderLength = sizeof(sender);
   SNMP_PDU *pdu = nullptr;
   int length = transport->readMessage(&pdu, 2000, reinterpret_cast<sockaddr *>(&sender),
                                       &senderLength, finder);
   EXPECT_GT(length, 0);
   EXPECT_EQ(calls, 1);
   EXPECT_EQ(pdu, nullptr);  // the finder's community does not match the answer's
   EXPECT_STREQ(transport->getSecurityContext()->getCommunity(), "wrong");
   EXPECT_EQ(ntohs(sender.sin_port), responder.port());
   EXPECT_EQ(ntohl(sender.sin_addr.s_addr), 0x7F000001u);
   EXPECT_EQ(transport->readMessage(&pdu, 0, nullptr, nullptr), 0);  // nothing more
}

}  // namespace
