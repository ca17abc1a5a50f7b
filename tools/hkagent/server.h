// The listener: accepts clients, runs each session on its own thread (small
// stack, joined once it ends, counted), keeps the registry of live sessions for traps,
// data pushes and shutdown, and sends the periodic data push.
//
// Threads: run() is the accept loop; one thread per session; one push
// thread. stop() may be called from any thread.
#ifndef HKAGENT_SERVER_H
#define HKAGENT_SERVER_H

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "fd_util.h"
#include "handshake_watch.h"
#include "runtime.h"

namespace hkagent {

class Session;

class Server : public TrapSink {
public:
   // Stack of each session thread.
   static const size_t kSessionStackSize = 256 * 1024;

   explicit Server(AgentRuntime &runtime);
   Server(const Server &) = delete;
   Server &operator=(const Server &) = delete;
   ~Server() override;

   // Binds and listens on the configured address and port (port 0 picks a
   // free one), after removing temporary upload files an earlier run left
   // in the file store. False with *error on failure, and when no secret is
   // configured unless AllowNoAuthentication says that is meant.
   bool start(std::string *error);
   // The port listened on (after start).
   uint16_t port() const { return m_port; }
   // Accepts clients until stop(); then ends every session and waits for
   // their threads (at most waitMs).
   void run(uint32_t waitMs = 10000);
   void stop();

   size_t sessionCount() const;
   // Sessions not yet authenticated (and not being ended to make room).
   size_t unauthenticatedCount() const;
   // TrapSink: sends a CMD_TRAP to every session that enabled traps.
   void sendTrap(uint32_t code, const std::string &text) override;

private:
   struct SessionThreadArg;
   static void *SessionThread(void *arg);
   void acceptOne();
   void pushLoop();
   void endSession(const std::shared_ptr<Session> &session);
   // The last step of a session thread: it is to be joined.
   void threadFinished(pthread_t thread);
   // Joins the session threads that have finished.
   void joinFinished();
   // Registers session unless its address is at one of its limits. At the
   // agent's limits it makes room by ending an unauthenticated session (see
   // pickVictim); with none to end, it refuses.
   bool admit(const std::shared_ptr<Session> &session, const AgentConfig &config);
   // Forgets unauthenticated sessions that have authenticated since. Under
   // m_lock.
   void pruneUnauthenticated();
   // The oldest unauthenticated session of the address that holds most of
   // them; null when there is none. Under m_lock.
   std::shared_ptr<Session> pickVictim();
   void evict(const std::shared_ptr<Session> &victim, const char *why);

   AgentRuntime &m_runtime;
   UniqueFd m_listener;
   UniqueFd m_wakeRead, m_wakeWrite;  // stop() writes a byte to end poll()
   UniqueFd m_reserveFd;              // given up to accept and drop when out of descriptors
   uint16_t m_port = 0;
   std::atomic<bool> m_stopping{false};

   mutable std::mutex m_lock;  // guards m_sessions and m_perAddress
   std::condition_variable m_sessionsChanged;
   std::set<std::shared_ptr<Session>> m_sessions;
   std::map<uint32_t, uint32_t> m_perAddress;  // sessions by peer address; no zero counts
   // Sessions not authenticated yet, oldest first; a subset of m_sessions.
   std::list<std::shared_ptr<Session>> m_unauthenticated;
   // Sessions told to end to make room, until their thread ends them; they
   // still hold their thread but no longer count against the limits.
   std::set<std::shared_ptr<Session>> m_evicted;
   // Session threads started and not yet finished, and those finished but
   // not joined yet (joined at the next accept and at shutdown, so that a
   // thread's own clean-up has run before the process ends). Under m_lock.
   uint32_t m_liveThreads = 0;
   std::vector<pthread_t> m_finished;

   HandshakeWatch m_handshakeWatch;

   std::mutex m_pushLock;  // guards nothing but the push thread's wait
   std::condition_variable m_pushWake;
   std::thread m_pushThread;
};

}  // namespace hkagent

#endif
