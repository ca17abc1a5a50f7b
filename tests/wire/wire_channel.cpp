#include "wire_channel.h"

#include <cstdlib>

namespace wire_test {

Channel::Channel(SOCKET s)
    : m_socket(s), m_frame(HKCP_MAX_FRAME_SIZE), m_decrypt(HKCP_MAX_FRAME_SIZE) {
   RecvHKCPMessage(0, nullptr, &m_state, 0, nullptr, nullptr, 0);
}

Channel::~Channel() {
   setContext(nullptr);
   if (m_socket != INVALID_SOCKET)
      closesocket(m_socket);
}

void Channel::setContext(HKCPEncryptionContext *context) {
   if (m_context != nullptr)
      m_context->decRefCount();
   m_context = context;
}

bool Channel::send(const std::vector<uint8_t> &frame) {
   if (m_context == nullptr)
      return SendEx(m_socket, frame.data(), frame.size(), 0, nullptr) == (int)frame.size();
   CSCP_ENCRYPTED_MESSAGE *encrypted =
       CSCPEncryptMessage(m_context, reinterpret_cast<const CSCP_MESSAGE *>(frame.data()));
   if (encrypted == nullptr)
      return false;
   uint32_t size = ntohl(encrypted->dwSize);
   bool sent = SendEx(m_socket, encrypted, size, 0, nullptr) == (int)size;
   free(encrypted);
   return sent;
}

int Channel::receive(std::vector<uint8_t> *frame, uint32_t timeoutMs) {
   CSCP_MESSAGE *plain = reinterpret_cast<CSCP_MESSAGE *>(m_frame.data());
   int rc = RecvHKCPMessage(m_socket, plain, &m_state, HKCP_MAX_FRAME_SIZE, &m_context,
                            m_decrypt.data(), timeoutMs);
   if (rc > 3)
      frame->assign(m_frame.data(), m_frame.data() + ntohl(plain->dwSize));
   return rc;
}

std::vector<uint8_t> Encode(const CSCPMessage &message) {
   CSCP_MESSAGE *frame = message.CreateMessage();
   if (frame == nullptr)
      return {};
   const uint8_t *bytes = reinterpret_cast<const uint8_t *>(frame);
   std::vector<uint8_t> copy(bytes, bytes + ntohl(frame->dwSize));
   free(frame);
   return copy;
}

}  // namespace wire_test
