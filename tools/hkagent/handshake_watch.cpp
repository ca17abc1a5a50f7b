#include "handshake_watch.h"

#include <algorithm>
#include <chrono>
#include <iterator>
#include <vector>

#include "fd_util.h"
#include "hk_platform.h"
#include "log.h"
#include "session.h"

namespace hkagent {

HandshakeWatch::HandshakeWatch() : m_thread([this] { run(); }) {}

HandshakeWatch::~HandshakeWatch() {
   stop();
   m_thread.join();
}

void HandshakeWatch::watch(const std::shared_ptr<Session> &session, uint64_t deadlineMs) {
   std::lock_guard<std::mutex> guard(m_lock);
   // Sessions that ended long before their deadline (a flood of dropped
   // connections) are swept out now and then, so the list stays as long
   // as the sessions alive, not as the connections of a whole AuthTimeout.
   if (m_pending.size() >= m_sweepAt) {
      for (auto it = m_pending.begin(); it != m_pending.end();)
         it = it->second.expired() ? m_pending.erase(it) : std::next(it);
      m_sweepAt = std::max<size_t>(kMinSweep, 2 * m_pending.size());
   }
   bool earliest = m_pending.empty() || deadlineMs < m_pending.begin()->first;
   m_pending.emplace(deadlineMs, session);
   if (earliest)
      m_wake.notify_one();
}

void HandshakeWatch::stop() {
   std::lock_guard<std::mutex> guard(m_lock);
   m_stopping = true;
   m_wake.notify_one();
}

void HandshakeWatch::run() {
   std::unique_lock<std::mutex> lock(m_lock);
   while (!m_stopping) {
      if (m_pending.empty()) {
         m_wake.wait(lock);
         continue;
      }
      uint64_t now = GetMonotonicMs();
      uint64_t next = m_pending.begin()->first;
      if (next > now) {
         m_wake.wait_for(lock, std::chrono::milliseconds(next - now));
         continue;
      }
      std::vector<std::shared_ptr<Session>> due;
      while (!m_pending.empty() && m_pending.begin()->first <= now) {
         if (std::shared_ptr<Session> session = m_pending.begin()->second.lock())
            due.push_back(std::move(session));
         m_pending.erase(m_pending.begin());
      }
      // Stopped outside the lock: requestStop() only shuts the socket down,
      // but the last reference may go here and run the destructor.
      lock.unlock();
      for (const auto &session : due) {
         if (!session->established()) {
            HKLOG_PEER(false, LogLevel::Warning,
                       "session with %s:%u ended: no key exchange and authentication in time",
                       Ipv4ToText(session->peerAddress()).c_str(), session->peerPort());
            session->requestStop();
         }
      }
      due.clear();
      lock.lock();
   }
}

}  // namespace hkagent
