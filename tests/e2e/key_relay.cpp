#include "key_relay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "e2e_fixture.h"

namespace e2e {

namespace {

// Every read of the relay is bounded: a test never hangs on it.
const int kReadTimeoutMs = 15000;
const uint32_t kMaxFrame = HKCP_MAX_FRAME_SIZE + 64;

// The relay's own key pair, never freed.
RSA *RelayKey() {
   static RSA *key = NewRsaKey();
   return key;
}

std::shared_ptr<HKCPTlsIdentity> RelayIdentity() {
   static std::shared_ptr<HKCPTlsIdentity> identity = HKCPTlsIdentity::fromRsa(RelayKey());
   return identity;
}

bool ReadExactly(int fd, uint8_t *data, size_t size) {
   size_t done = 0;
   while (done < size) {
      struct pollfd p = {fd, POLLIN, 0};
      if (poll(&p, 1, kReadTimeoutMs) <= 0)
         return false;
      ssize_t n = recv(fd, data + done, size - done, 0);
      if (n <= 0)
         return false;
      done += (size_t)n;
   }
   return true;
}

bool ReadFrame(int fd, std::vector<uint8_t> *frame) {
   frame->resize(HKCP_HEADER_SIZE);
   if (!ReadExactly(fd, frame->data(), HKCP_HEADER_SIZE))
      return false;
   uint32_t size;
   memcpy(&size, frame->data() + 4, 4);
   size = ntohl(size);
   if (size < HKCP_HEADER_SIZE || size > kMaxFrame)
      return false;
   frame->resize(size);
   return ReadExactly(fd, frame->data() + HKCP_HEADER_SIZE, size - HKCP_HEADER_SIZE);
}

// One TLS record (type, version, 16-bit length, body); false at the end of
// the stream or on a length TLS does not allow.
bool ReadTlsRecord(int fd, std::vector<uint8_t> *record) {
   record->resize(5);
   if (!ReadExactly(fd, record->data(), 5))
      return false;
   size_t length = ((size_t)(*record)[3] << 8) | (*record)[4];
   if (length > 16384 + 256)
      return false;
   record->resize(5 + length);
   return ReadExactly(fd, record->data() + 5, length);
}

const uint8_t kTlsApplicationData = 23;

bool WriteAll(int fd, const void *data, size_t size) {
   const uint8_t *p = static_cast<const uint8_t *>(data);
   while (size > 0) {
      ssize_t n = send(fd, p, size, MSG_NOSIGNAL);
      if (n <= 0)
         return false;
      p += n;
      size -= (size_t)n;
   }
   return true;
}

bool IsEncrypted(const std::vector<uint8_t> &frame) {
   return (frame[2] << 8 | frame[3]) & MF_ENCRYPTED;
}

// Writes a plain frame, encrypted under context when there is one.
bool WriteFrame(int fd, const CSCP_MESSAGE *plain, HKCPEncryptionContext *context) {
   return HKCPWriteFrame((SOCKET)fd, plain, context);
}

bool WriteMessage(int fd, const CSCPMessage &message, HKCPEncryptionContext *context) {
   CSCP_MESSAGE *frame = message.CreateMessage();
   bool ok = frame != nullptr && WriteFrame(fd, frame, context);
   free(frame);
   return ok;
}

// The plain frame of what came from fd: decrypted under context when it
// is encrypted. False when it cannot be read or decrypted.
bool ReadPlain(int fd, HKCPEncryptionContext *context, std::vector<uint8_t> *plain) {
   std::vector<uint8_t> frame;
   if (!ReadFrame(fd, &frame))
      return false;
   if (!IsEncrypted(frame)) {
      *plain = std::move(frame);
      return true;
   }
   if (context == nullptr)
      return false;
   plain->resize(kMaxFrame);
   CSCP_MESSAGE *decrypted =
       CSCPDecryptMessage(context, reinterpret_cast<const CSCP_ENCRYPTED_MESSAGE *>(frame.data()),
                          plain->data(), kMaxFrame);
   if (decrypted == nullptr)
      return false;
   plain->resize(ntohl(decrypted->dwSize));
   return true;
}

struct ContextRef {
   HKCPEncryptionContext *context = nullptr;
   ~ContextRef() {
      if (context != nullptr)
         context->decRefCount();
   }
};

}  // namespace

KeyRelay::KeyRelay(uint16_t agentPort, Mode mode, OnAuthenticate onAuthenticate)
    : m_mode(mode), m_onAuthenticate(onAuthenticate), m_agentPort(agentPort) {
   m_listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
   struct sockaddr_in address = {};
   address.sin_family = AF_INET;
   address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
   socklen_t length = sizeof(address);
   if (m_listener < 0 || bind(m_listener, (struct sockaddr *)&address, sizeof(address)) != 0 ||
       listen(m_listener, 1) != 0 ||
       getsockname(m_listener, (struct sockaddr *)&address, &length) != 0)
      return;
   m_port = ntohs(address.sin_port);
   m_thread = std::thread([this] { serve(); });
}

KeyRelay::~KeyRelay() {
   m_stopping = true;
   for (int fd : {m_listener, m_client.load(), m_agent.load()}) {
      if (fd >= 0)
         shutdown(fd, SHUT_RDWR);
   }
   if (m_thread.joinable())
      m_thread.join();
   for (int fd : {m_listener, m_client.load(), m_agent.load()}) {
      if (fd >= 0)
         close(fd);
   }
}

void KeyRelay::duplicateFrames(bool toAgent) {
   (toAgent ? m_duplicateToAgent : m_duplicateToServer).store(true);
}

void KeyRelay::dropFrame(bool toAgent, int nth) {
   (toAgent ? m_dropToAgent : m_dropToServer).store(nth);
}

void KeyRelay::reflectFrame(bool toAgent) {
   (toAgent ? m_reflectToAgent : m_reflectToServer).store(true);
}

bool KeyRelay::writeTo(int fd, const std::vector<uint8_t> &frame) {
   std::lock_guard<std::mutex> guard(fd == m_client.load() ? m_writeToClient : m_writeToAgent);
   return WriteAll(fd, frame.data(), frame.size());
}

void KeyRelay::setCapturedAuthentication(std::shared_ptr<CSCPMessage> message) {
   std::lock_guard<std::mutex> guard(m_mutex);
   m_replay = std::move(message);
}

std::vector<uint16_t> KeyRelay::seenCodes() {
   std::lock_guard<std::mutex> guard(m_mutex);
   return m_seen;
}

std::vector<std::shared_ptr<CSCPMessage>> KeyRelay::capturedAuthentications() {
   std::lock_guard<std::mutex> guard(m_mutex);
   return m_authentications;
}

void KeyRelay::record(uint16_t code, const CSCPMessage *authentication) {
   std::lock_guard<std::mutex> guard(m_mutex);
   m_seen.push_back(code);
   if (authentication != nullptr) {
      CSCP_MESSAGE *frame = authentication->CreateMessage();
      m_authentications.push_back(std::make_shared<CSCPMessage>(frame));
      free(frame);
   }
}

void KeyRelay::serve() {
   struct pollfd p = {m_listener, POLLIN, 0};
   if (poll(&p, 1, kReadTimeoutMs) <= 0 || m_stopping)
      return;
   int client = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
   if (client < 0)
      return;
   m_client = client;
   int agent = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
   m_agent = agent;
   struct sockaddr_in address = {};
   address.sin_family = AF_INET;
   address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
   address.sin_port = htons(m_agentPort);
   if (agent < 0 || m_stopping || connect(agent, (struct sockaddr *)&address, sizeof(address)) != 0)
      return;
   if (m_mode == Mode::Intercept || m_mode == Mode::TerminateTls)
      intercept(client, agent);
   else if (m_mode == Mode::Equalise)
      equalise(client, agent);
   else
      passThrough(client, agent);
   shutdown(client, SHUT_RDWR);
   shutdown(agent, SHUT_RDWR);
}

void KeyRelay::intercept(int client, int agent) {
   ContextRef toServer, toAgent;  // the relay's two keys
   std::vector<uint8_t> plain, reply;
   while (ReadPlain(client, toServer.context, &plain)) {
      auto *frame = reinterpret_cast<CSCP_MESSAGE *>(plain.data());
      uint16_t code = ntohs(frame->wCode);
      if (ntohs(frame->wFlags) & MF_BINARY) {
         // The version probe: passed on as it is.
         record(code, nullptr);
         if (!WriteAll(agent, plain.data(), plain.size()) || !ReadFrame(agent, &reply) ||
             !WriteAll(client, reply.data(), reply.size()))
            return;
         continue;
      }
      CSCPMessage message(frame);
      record(code, code == CMD_AUTHENTICATE ? &message : nullptr);
      if (code == CMD_START_TLS && m_mode == Mode::TerminateTls) {
         terminateTls(client, agent, message.GetId());
         return;
      }

      if (code == CMD_REQUEST_SESSION_KEY) {
         // The agent first, with the relay's own key: a refusal goes back
         // to the server as the agent gave it.
         CSCPMessage request(2);
         PrepareKeyRequestMsg(&request, RelayKey(), false);
         request.SetId(message.GetId());
         if (!WriteMessage(agent, request, toAgent.context) ||
             !ReadPlain(agent, toAgent.context, &reply))
            return;
         CSCPMessage answer(reinterpret_cast<CSCP_MESSAGE *>(reply.data()));
         HKCPEncryptionContext *agentContext = nullptr;
         uint32_t rc = SetupEncryptionContext(&answer, &agentContext, nullptr, RelayKey(), 2);
         if (rc != 0) {
            m_agentKeyRefusal = answer.GetVariableLong(VID_RCC);
            if (!WriteMessage(client, answer, toServer.context))
               return;
            continue;
         }
         CSCPMessage ours(2);
         HKCPEncryptionContext *serverContext = nullptr;
         HKCPAnswerKeyRequest(&message, &ours, &serverContext);
         if (!WriteMessage(client, ours, toServer.context)) {
            if (serverContext != nullptr)
               serverContext->decRefCount();
            agentContext->decRefCount();
            return;
         }
         ContextRef oldServer{toServer.context}, oldAgent{toAgent.context};
         toServer.context = serverContext;
         toAgent.context = agentContext;
         continue;
      }

      std::vector<uint8_t> substitute;
      if (code == CMD_AUTHENTICATE && m_onAuthenticate == OnAuthenticate::ReplayCaptured) {
         std::lock_guard<std::mutex> guard(m_mutex);
         if (m_replay) {
            m_replay->SetId(message.GetId());
            CSCP_MESSAGE *copy = m_replay->CreateMessage();
            substitute.assign((uint8_t *)copy, (uint8_t *)copy + ntohl(copy->dwSize));
            free(copy);
            frame = reinterpret_cast<CSCP_MESSAGE *>(substitute.data());
         }
      } else if (code == CMD_AUTHENTICATE && m_onAuthenticate != OnAuthenticate::Forward) {
         // The relay claims to be the agent without knowing the secret.
         CSCPMessage answer(2);
         answer.SetCode(CMD_REQUEST_COMPLETED);
         answer.SetId(message.GetId());
         answer.SetVariable(VID_RCC, (uint32_t)0);
         if (m_onAuthenticate == OnAuthenticate::AnswerWithFalseProof) {
            uint8_t random[32];
            RAND_bytes(random, sizeof(random));
            answer.SetVariable(VID_AUTH_NONCE, random, sizeof(random));
            RAND_bytes(random, sizeof(random));
            answer.SetVariable(VID_AUTH_PROOF, random, sizeof(random));
         }
         if (!WriteMessage(client, answer, toServer.context))
            return;
         continue;
      }

      if (!WriteFrame(agent, frame, toAgent.context) || !ReadPlain(agent, toAgent.context, &reply))
         return;
      auto *answer = reinterpret_cast<CSCP_MESSAGE *>(reply.data());
      record(ntohs(answer->wCode), nullptr);
      if (!WriteFrame(client, answer, toServer.context))
         return;
   }
}

std::string KeyRelay::tlsFingerprint() {
   return RelayIdentity()->fingerprintText();
}

void KeyRelay::terminateTls(int client, int agent, uint32_t requestId) {
   // Each tunnel has its own connection core on a copy of the descriptor
   // (the destructor still shuts the originals down).
   HKCPConnection toServer, toAgent;
   toServer.attach((SOCKET)dup(client), kReadTimeoutMs);
   toAgent.attach((SOCKET)dup(agent), kReadTimeoutMs);
   CSCPMessage start(2), ok(2);
   start.SetCode(CMD_START_TLS);
   start.SetId(requestId);
   if (!toAgent.sendMessage(start) || toAgent.receive(kReadTimeoutMs) != HKCPReceiveResult::Frame)
      return;
   ok.SetCode(CMD_REQUEST_COMPLETED);
   ok.SetId(requestId);
   ok.SetVariable(VID_RCC, (uint32_t)0);
   if (!toServer.sendMessage(ok))
      return;
   auto any = [](const uint8_t *) { return true; };
   std::unique_ptr<HKCPTls> server = HKCPTls::create(RelayIdentity(), true, any);
   std::unique_ptr<HKCPTls> onward = HKCPTls::create(RelayIdentity(), false, any);
   if (toServer.startTls(server, kReadTimeoutMs) != HKCPTlsResult::Established ||
       toAgent.startTls(onward, kReadTimeoutMs) != HKCPTlsResult::Established) {
      toServer.shutdown();
      toAgent.shutdown();
      return;
   }
   m_tlsEstablished = true;
   auto pump = [this](HKCPConnection &from, HKCPConnection &to) {
      while (from.receive(kReadTimeoutMs) == HKCPReceiveResult::Frame) {
         record(ntohs(from.frame()->wCode), nullptr);
         if (!to.sendFrame(from.frame()))
            break;
      }
      from.shutdown();
      to.shutdown();
   };
   std::thread back([&] { pump(toAgent, toServer); });
   pump(toServer, toAgent);
   back.join();
}

void KeyRelay::passThrough(int client, int agent) {
   // from -> to; toAgent names the direction for the faults.
   auto pump = [this](int from, int to, bool toAgent) {
      const std::atomic<bool> &duplicate = toAgent ? m_duplicateToAgent : m_duplicateToServer;
      std::atomic<int> &drop = toAgent ? m_dropToAgent : m_dropToServer;
      // A frame from the agent goes back to it when reflecting to the agent.
      std::atomic<bool> &reflect = toAgent ? m_reflectToServer : m_reflectToAgent;
      std::vector<uint8_t> frame;
      // After CMD_START_TLS and its answer the stream is TLS records, and
      // the faults apply to the records that carry frames.
      bool records = false;
      while (records ? ReadTlsRecord(from, &frame) : ReadFrame(from, &frame)) {
         bool encrypted = records ? frame[0] == kTlsApplicationData : IsEncrypted(frame);
         if (!records && toAgent &&
             ntohs(reinterpret_cast<CSCP_MESSAGE *>(frame.data())->wCode) == CMD_START_TLS) {
            // The server sends nothing more until the answer, then its hello.
            m_startTlsSeen = true;
            records = true;
         } else if (!records && !toAgent && m_startTlsSeen.load()) {
            records = true;  // this frame is the answer; TLS follows it
         }
         if (encrypted && reflect.exchange(false)) {
            if (!writeTo(from, frame))
               break;
            continue;
         }
         if (encrypted && drop.load() > 0 && drop.fetch_sub(1) == 1)
            continue;
         int copies = (duplicate.load() && encrypted) ? 2 : 1;
         bool written = true;
         for (int i = 0; i < copies && written; i++)
            written = writeTo(to, frame);
         if (!written)
            break;
      }
      // One side is gone: end the other too.
      shutdown(from, SHUT_RDWR);
      shutdown(to, SHUT_RDWR);
   };
   std::thread back([&] { pump(agent, client, false); });
   pump(client, agent, true);
   back.join();
}

namespace {

// key wrapped with RSA-OAEP (SHA-256, MGF1 SHA-256) to a DER public key, as
// an agent wraps the key it chose; empty on failure.
std::vector<uint8_t> WrapTo(const std::vector<uint8_t> &der, const uint8_t *key, size_t length) {
   const unsigned char *p = der.data();
   EVP_PKEY *pkey = d2i_PUBKEY(nullptr, &p, (long)der.size());
   EVP_PKEY_CTX *ctx = pkey != nullptr ? EVP_PKEY_CTX_new(pkey, nullptr) : nullptr;
   std::vector<uint8_t> out;
   size_t size = 0;
   if (ctx != nullptr && EVP_PKEY_encrypt_init(ctx) > 0 &&
       EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_OAEP_PADDING) > 0 &&
       EVP_PKEY_CTX_set_rsa_oaep_md(ctx, EVP_sha256()) > 0 &&
       EVP_PKEY_CTX_set_rsa_mgf1_md(ctx, EVP_sha256()) > 0 &&
       EVP_PKEY_encrypt(ctx, nullptr, &size, key, length) > 0) {
      out.resize(size);
      if (EVP_PKEY_encrypt(ctx, out.data(), &size, key, length) > 0)
         out.resize(size);
      else
         out.clear();
   }
   EVP_PKEY_CTX_free(ctx);
   EVP_PKEY_free(pkey);
   return out;
}

}  // namespace

void KeyRelay::equalise(int client, int agent) {
   ContextRef agentSide;  // the relay's end of its exchange with the agent
   std::vector<uint8_t> plain, reply;
   while (agentSide.context == nullptr && ReadPlain(client, nullptr, &plain)) {
      auto *frame = reinterpret_cast<CSCP_MESSAGE *>(plain.data());
      uint16_t code = ntohs(frame->wCode);
      record(code, nullptr);
      if ((ntohs(frame->wFlags) & MF_BINARY) != 0 || code != CMD_REQUEST_SESSION_KEY) {
         if (!WriteAll(agent, plain.data(), plain.size()) || !ReadFrame(agent, &reply) ||
             !WriteAll(client, reply.data(), reply.size()))
            return;
         continue;
      }
      CSCPMessage serverRequest(frame);
      CSCPMessage request(2);
      PrepareKeyRequestMsg(&request, RelayKey(), false);
      request.SetId(serverRequest.GetId());
      if (!WriteMessage(agent, request, nullptr) || !ReadPlain(agent, nullptr, &reply))
         return;
      CSCPMessage answer(reinterpret_cast<CSCP_MESSAGE *>(reply.data()));
      HKCPEncryptionContext *agentContext = nullptr;
      if (SetupEncryptionContext(&answer, &agentContext, nullptr, RelayKey(), 2) != 0) {
         m_agentKeyRefusal = answer.GetVariableLong(VID_RCC);
         if (!WriteMessage(client, answer, nullptr))
            return;
         continue;
      }
      agentSide.context = agentContext;
      // The agent's key, re-wrapped to the server's public key.
      std::vector<uint8_t> der(serverRequest.GetVariableBinary(VID_PUBLIC_KEY, nullptr, 0));
      serverRequest.GetVariableBinary(VID_PUBLIC_KEY, der.data(), (uint32_t)der.size());
      std::vector<uint8_t> wrapped =
          WrapTo(der, agentContext->getKey(), agentContext->getKeyLength());
      CSCPMessage substitute(2);
      substitute.SetCode(CMD_SESSION_KEY);
      substitute.SetId(serverRequest.GetId());
      substitute.SetVariable(VID_RCC, (uint32_t)0);
      substitute.SetVariable(VID_CIPHER, answer.GetVariableLong(VID_CIPHER));
      substitute.SetVariable(VID_KEY_LENGTH, (uint16_t)agentContext->getKeyLength());
      substitute.SetVariable(VID_SESSION_KEY, wrapped.data(), (uint32_t)wrapped.size());
      if (wrapped.empty() || !WriteMessage(client, substitute, nullptr))
         return;
   }
   if (agentSide.context == nullptr)
      return;
   // One key on both hops: frames pass unchanged, and the relay reads the
   // agent's (its end of the key takes the agent's direction in sequence).
   std::thread back([&] {
      std::vector<uint8_t> frame, decrypted(kMaxFrame);
      while (ReadFrame(agent, &frame) && WriteAll(client, frame.data(), frame.size())) {
         if (!IsEncrypted(frame))
            continue;
         CSCP_MESSAGE *read = CSCPDecryptMessage(
             agentSide.context, reinterpret_cast<const CSCP_ENCRYPTED_MESSAGE *>(frame.data()),
             decrypted.data(), kMaxFrame);
         if (read != nullptr)
            record(ntohs(read->wCode), nullptr);
      }
      shutdown(client, SHUT_RDWR);
      shutdown(agent, SHUT_RDWR);
   });
   std::vector<uint8_t> frame;
   while (ReadFrame(client, &frame) && WriteAll(agent, frame.data(), frame.size())) {
   }
   shutdown(client, SHUT_RDWR);
   shutdown(agent, SHUT_RDWR);
   back.join();
}

}  // namespace e2e
