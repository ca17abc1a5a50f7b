// Ends sessions that have not finished the key exchange and authentication
// by their deadline, so that a client that connects and says (almost)
// nothing cannot hold a session slot for ever.
//
// Threads: one watcher thread of its own; watch() and stop() may be called
// from any thread.
#ifndef HKAGENT_HANDSHAKE_WATCH_H
#define HKAGENT_HANDSHAKE_WATCH_H

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace hkagent {

class Session;

class HandshakeWatch {
public:
   HandshakeWatch();
   HandshakeWatch(const HandshakeWatch &) = delete;
   HandshakeWatch &operator=(const HandshakeWatch &) = delete;
   ~HandshakeWatch();  // stops the thread

   // At deadlineMs (GetMonotonicMs), stops session unless it is established
   // by then or already gone.
   void watch(const std::shared_ptr<Session> &session, uint64_t deadlineMs);
   void stop();

private:
   void run();

   std::mutex m_lock;  // guards m_pending and m_stopping
   std::condition_variable m_wake;
   static constexpr size_t kMinSweep = 1024;
   std::multimap<uint64_t, std::weak_ptr<Session>> m_pending;  // by deadline
   size_t m_sweepAt = kMinSweep;  // sweep out ended sessions at this length
   bool m_stopping = false;
   std::thread m_thread;  // last: starts once the rest is built
};

}  // namespace hkagent

#endif
