#include "hesker_test_util.h"

#include <cstring>

namespace hesker_test {

Listener::Listener() {
   fd = CreateLoopbackListener(&port);
}

Listener::~Listener() {
   if (fd != INVALID_SOCKET)
      closesocket(fd);
}

SOCKET Listener::accept() const {
   return SocketAccept(fd);
}

TcpPair::TcpPair() {
   Listener listener;
   if (listener.fd == INVALID_SOCKET)
      return;
   client = CreateTcpSocket();
   sockaddr_in addr = {};
   addr.sin_family = AF_INET;
   addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
   addr.sin_port = htons(listener.port);
   if (client == INVALID_SOCKET || ConnectEx(client, (sockaddr *)&addr, sizeof(addr), 5000) != 0)
      return;
   server = listener.accept();
   int one = 1;
   setsockopt(client, IPPROTO_TCP, TCP_NODELAY, (const char *)&one, sizeof(one));
   setsockopt(server, IPPROTO_TCP, TCP_NODELAY, (const char *)&one, sizeof(one));
}

TcpPair::~TcpPair() {
   if (client != INVALID_SOCKET)
      closesocket(client);
   if (server != INVALID_SOCKET)
      closesocket(server);
}

std::vector<uint8_t> Encode(const CSCPMessage &message) {
   FramePtr frame(message.CreateMessage());
   if (!frame)
      return {};
   const uint8_t *p = reinterpret_cast<const uint8_t *>(frame.get());
   return std::vector<uint8_t>(p, p + ntohl(frame->dwSize));
}

std::unique_ptr<CSCPMessage> DecodeExact(const std::vector<uint8_t> &bytes) {
   // A separate allocation of exactly the frame's bytes: the vector's own
   // storage may have spare capacity after its end.
   std::unique_ptr<uint8_t[]> copy(new uint8_t[bytes.size()]);
   memcpy(copy.get(), bytes.data(), bytes.size());
   return std::make_unique<CSCPMessage>(reinterpret_cast<const CSCP_MESSAGE *>(copy.get()));
}

FrameBuilder::FrameBuilder(uint16_t code, uint16_t flags, uint32_t id, uint32_t numVars) {
   u16(code).u16(flags).u32(0).u32(id).u32(numVars);
}

FrameBuilder &FrameBuilder::u8(uint8_t v) {
   m_bytes.push_back(v);
   return *this;
}

FrameBuilder &FrameBuilder::u16(uint16_t v) {
   uint8_t b[2];
   hk_put_be16(b, v);
   return bytes(b, 2);
}

FrameBuilder &FrameBuilder::u32(uint32_t v) {
   uint8_t b[4];
   hk_put_be32(b, v);
   return bytes(b, 4);
}

FrameBuilder &FrameBuilder::u64(uint64_t v) {
   uint8_t b[8];
   hk_put_be64(b, v);
   return bytes(b, 8);
}

FrameBuilder &FrameBuilder::bytes(const void *data, size_t length) {
   const uint8_t *p = static_cast<const uint8_t *>(data);
   m_bytes.insert(m_bytes.end(), p, p + length);
   return *this;
}

FrameBuilder &FrameBuilder::pad() {
   while (m_bytes.size() % 8 != 0)
      m_bytes.push_back(0);
   return *this;
}

std::vector<uint8_t> FrameBuilder::build() const {
   return build((uint32_t)m_bytes.size());
}

std::vector<uint8_t> FrameBuilder::build(uint32_t sizeField) const {
   std::vector<uint8_t> out = m_bytes;
   hk_put_be32(out.data() + 4, sizeField);
   return out;
}

bool WriteAll(SOCKET s, const void *data, size_t length) {
   return SocketSendAll(s, data, length) == (int64_t)length;
}

Receiver::Receiver(SOCKET s, uint32_t capacity)
    : m_socket(s),
      m_capacity(capacity),
      m_state(static_cast<CSCP_BUFFER *>(malloc(sizeof(CSCP_BUFFER)))),
      m_frame(static_cast<uint8_t *>(malloc(capacity))),
      m_decrypt(static_cast<uint8_t *>(malloc(capacity))) {
   RecvHKCPMessage(0, nullptr, m_state, 0, nullptr, nullptr, 0);
}

Receiver::~Receiver() {
   free(m_state);
   free(m_frame);
   free(m_decrypt);
}

int Receiver::next(uint32_t timeoutMs) {
   return RecvHKCPMessage(m_socket, frame(), m_state, m_capacity, nullptr, m_decrypt, timeoutMs);
}

std::unique_ptr<CSCPMessage> Receiver::message() const {
   return std::make_unique<CSCPMessage>(frame());
}

}  // namespace hesker_test
