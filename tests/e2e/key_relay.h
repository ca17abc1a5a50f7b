// A hostile relay between a server session and hkagent, on 127.0.0.1: the
// attacker on the path that the agent's key trust, the mutual HMAC method
// and the sequence check must defeat.
//
// Intercept: terminates the encryption on both sides. It answers the
// server's key request with a session key of its own choosing and asks the
// agent for a key with its own RSA key, then decrypts every frame, records
// it, and re-encrypts it for the other side. When the agent refuses the
// relay's key, the refusal goes back to the server. It serves one
// connection, strictly request after reply (the connect sequence and
// simple requests).
//
// PassThrough: forwards bytes frame by frame without any key (TLS record by
// record once the server started TLS), and once told to sends each
// encrypted frame (or record of application data) of a chosen direction
// twice, drops one, or sends one back to where it came from.
//
// Equalise: reads the server's key request, asks the agent for a key with
// its own RSA key, and hands the server the very key the agent chose,
// wrapped to the server's public key; both hops then share one key (and so
// one channel binding), and the relay forwards frames unchanged while it
// reads the agent's. A refusal of its key goes back to the server.
//
// TerminateTls: answers CMD_START_TLS itself and runs TLS on both sides with
// a key of its own (taking any key the server shows), then forwards the
// decrypted frames between its two tunnels, recording their codes.
#ifndef HKE2E_KEY_RELAY_H
#define HKE2E_KEY_RELAY_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "hksrv.h"

namespace e2e {

class KeyRelay {
public:
   enum class Mode { Intercept, PassThrough, Equalise, TerminateTls };
   // What the relay does with a decrypted CMD_AUTHENTICATE (Intercept only).
   enum class OnAuthenticate {
      Forward,               // re-encrypt it for the agent
      AnswerWithoutProof,    // claim success itself, proving nothing
      AnswerWithFalseProof,  // claim success with a random nonce and proof
      ReplayCaptured,        // send the agent setCapturedAuthentication's message instead
   };

   // Listens on a free loopback port and forwards to agentPort.
   KeyRelay(uint16_t agentPort, Mode mode, OnAuthenticate onAuthenticate = OnAuthenticate::Forward);
   KeyRelay(const KeyRelay &) = delete;
   KeyRelay &operator=(const KeyRelay &) = delete;
   // Shuts both connections down and joins the relay's threads.
   ~KeyRelay();

   uint16_t port() const { return m_port; }

   // PassThrough: from now on, send every encrypted frame twice in the
   // direction to the agent (toAgent) or to the server.
   void duplicateFrames(bool toAgent);
   // PassThrough: of the encrypted frames towards the agent (toAgent) or
   // the server, from now on, the nth is not passed on.
   void dropFrame(bool toAgent, int nth);
   // PassThrough: the next encrypted frame from the agent (toAgent) or from
   // the server is sent back to its sender instead of passed on.
   void reflectFrame(bool toAgent);

   // The message ReplayCaptured sends (under the current request's id).
   void setCapturedAuthentication(std::shared_ptr<CSCPMessage> message);

   // The relay's TLS key's fingerprint (TerminateTls).
   static std::string tlsFingerprint();
   // TerminateTls: both tunnels were established.
   bool tlsEstablished() const { return m_tlsEstablished.load(); }

   // Intercept: the agent refused the relay's key with this VID_RCC (0: it
   // did not refuse, or no key exchange happened).
   uint32_t agentKeyRefusal() const { return m_agentKeyRefusal.load(); }
   // Codes of every message the relay could read in the clear (version
   // probe and key exchange, and everything it decrypted).
   std::vector<uint16_t> seenCodes();
   // Copies of the decrypted CMD_AUTHENTICATE messages from the server.
   std::vector<std::shared_ptr<CSCPMessage>> capturedAuthentications();

private:
   void serve();
   void intercept(int client, int agent);
   void passThrough(int client, int agent);
   void equalise(int client, int agent);
   void terminateTls(int client, int agent, uint32_t requestId);
   // Writes a whole frame to fd (the client's or the agent's socket), one
   // writer at a time.
   bool writeTo(int fd, const std::vector<uint8_t> &frame);
   void record(uint16_t code, const CSCPMessage *authentication);

   const Mode m_mode;
   const OnAuthenticate m_onAuthenticate;
   const uint16_t m_agentPort;
   int m_listener = -1;
   uint16_t m_port = 0;
   std::atomic<int> m_client{-1};
   std::atomic<int> m_agent{-1};
   std::atomic<bool> m_stopping{false};
   std::atomic<bool> m_duplicateToAgent{false};
   std::atomic<bool> m_duplicateToServer{false};
   std::atomic<int> m_dropToAgent{0};  // countdown to the frame dropped; 0: none
   std::atomic<int> m_dropToServer{0};
   std::atomic<bool> m_reflectToAgent{false};
   std::atomic<bool> m_reflectToServer{false};
   std::atomic<uint32_t> m_agentKeyRefusal{0};
   std::atomic<bool> m_tlsEstablished{false};
   std::atomic<bool> m_startTlsSeen{false};  // PassThrough: the server asked for TLS
   std::thread m_thread;

   std::mutex m_mutex;
   std::vector<uint16_t> m_seen;                                 // guarded by m_mutex
   std::vector<std::shared_ptr<CSCPMessage>> m_authentications;  // guarded by m_mutex
   std::shared_ptr<CSCPMessage> m_replay;                        // guarded by m_mutex
   std::mutex m_writeToClient, m_writeToAgent;                   // whole frames on each socket
};

}  // namespace e2e

#endif
