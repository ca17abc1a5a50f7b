// The usual behaviours of the scriptable agent (fake_agent.h).
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fake_agent.h"

// ---------------------------------------------------------------- behaviours

FakeAgentHandler FakeReply(uint32_t rcc,
                           std::function<void(const CSCPMessage &, CSCPMessage &)> fill) {
   return [rcc, fill](FakeAgentConnection &connection, const CSCPMessage &request) {
      connection.reply(request, rcc, [&](CSCPMessage &reply) {
         if (fill)
            fill(request, reply);
      });
   };
}

FakeAgentHandler FakeDelay(uint32_t ms, FakeAgentHandler then) {
   return [ms, then](FakeAgentConnection &connection, const CSCPMessage &request) {
      connection.pause(ms);
      then(connection, request);
   };
}

FakeAgentHandler FakeSilent() {
   return [](FakeAgentConnection &, const CSCPMessage &) {};
}

FakeAgentHandler FakeDemandEncryption(FakeAgentHandler then) {
   return [then](FakeAgentConnection &connection, const CSCPMessage &request) {
      if (connection.encrypted())
         then(connection, request);
      else
         connection.reply(request, 906);
   };
}

FakeAgentHandler FakeCloseMidFrame() {
   return [](FakeAgentConnection &connection, const CSCPMessage &request) {
      CSCPMessage reply(request.GetVersion());
      reply.SetCode(CMD_REQUEST_COMPLETED);
      reply.SetId(request.GetId());
      reply.SetVariable(VID_RCC, (uint32_t)0);
      CSCP_MESSAGE *frame = reply.CreateMessage();
      connection.sendRaw(frame, ntohl(frame->dwSize) / 2);
      free(frame);
      connection.shutdown();
   };
}

FakeAgentHandler FakeOversizeFrame(uint32_t size, FakeAgentHandler then) {
   return [size, then](FakeAgentConnection &connection, const CSCPMessage &request) {
      std::vector<uint8_t> frame(size, 0);
      CSCP_MESSAGE *header = reinterpret_cast<CSCP_MESSAGE *>(frame.data());
      header->wCode = htons(request.GetCode());
      header->dwSize = htonl(size);
      header->dwId = htonl(request.GetId());
      connection.sendRaw(frame.data(), frame.size());
      then(connection, request);
   };
}

FakeAgentHandler FakeUndecryptableFrame(FakeAgentHandler then) {
   return [then](FakeAgentConnection &connection, const CSCPMessage &request) {
      const uint32_t size = HKCP_ENCRYPTION_HEADER_SIZE + 32 + HKCP_ENCRYPTION_TAG_SIZE;
      std::vector<uint8_t> frame(size, 0x5A);
      CSCP_ENCRYPTED_MESSAGE *header = reinterpret_cast<CSCP_ENCRYPTED_MESSAGE *>(frame.data());
      header->wCode = htons(CMD_ENCRYPTED_MESSAGE);
      header->wFlags = htons(MF_ENCRYPTED);
      header->dwSize = htonl(size);
      connection.sendRaw(frame.data(), frame.size());
      then(connection, request);
   };
}

FakeAgentHandler FakeWrongSizeReply(uint32_t rcc) {
   return [rcc](FakeAgentConnection &connection, const CSCPMessage &request) {
      CSCPMessage reply(request.GetVersion());
      reply.SetCode(CMD_REQUEST_COMPLETED);
      reply.SetId(request.GetId());
      reply.SetVariable(VID_RCC, rcc);
      CSCP_MESSAGE *frame = reply.CreateMessage();
      uint32_t size = ntohl(frame->dwSize);
      std::vector<uint8_t> padded(size + 8, 0);
      memcpy(padded.data(), frame, size);
      free(frame);
      CSCP_MESSAGE *header = reinterpret_cast<CSCP_MESSAGE *>(padded.data());
      header->dwSize = htonl(size + 8);
      connection.sendFrame(header);
   };
}

FakeAgentHandler FakeUnframeableHeader() {
   return [](FakeAgentConnection &connection, const CSCPMessage &request) {
      CSCP_MESSAGE header = {};
      header.wCode = htons(CMD_REQUEST_COMPLETED);
      header.dwSize = htonl(8);
      header.dwId = htonl(request.GetId());
      connection.sendRaw(&header, sizeof(header));
   };
}

FakeAgentHandler FakeAnswerKeyRequest(uint32_t ciphers) {
   return [ciphers](FakeAgentConnection &connection, const CSCPMessage &request) {
      CSCPMessage reply(request.GetVersion());
      HKCPEncryptionContext *context = nullptr;
      HKCPAnswerKeyRequest(&request, &reply, &context, ciphers);
      // The answer travels under the old key; the new one holds from the
      // peer's next frame on.
      connection.send(reply);
      if (context != nullptr)
         connection.setContext(context);
   };
}

FakeAgentHandler FakeProxy() {
   return [](FakeAgentConnection &connection, const CSCPMessage &request) {
      uint32_t address = request.GetVariableLong(VID_IP_ADDRESS);
      uint16_t port = request.GetVariableShort(VID_AGENT_PORT);
      connection.reply(request, connection.openTunnel(address, port) ? 0 : 910);
   };
}
