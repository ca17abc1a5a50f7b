// MsgWaitQueue: replies waiting for the threads that asked for them.
#include <chrono>
#include <condition_variable>
#include <list>
#include <mutex>

#include "hkcp.h"

namespace {

struct Entry {
   CSCPMessage *message;
   uint16_t code;
   uint32_t id;
   uint64_t putTime;  // GetMonotonicMs() at put()
};

}  // namespace

struct MsgWaitQueue::Impl {
   explicit Impl(uint32_t holdTimeMs) : holdTime(holdTimeMs) {}

   // Frees messages nobody took within the hold time.
   void expire(uint64_t now) {
      for (auto it = entries.begin(); it != entries.end();) {
         // putTime may be a little after now when another thread read the
         // clock later but took the lock first.
         if (now > it->putTime && now - it->putTime >= holdTime) {
            delete it->message;
            it = entries.erase(it);
         } else {
            ++it;
         }
      }
   }

   const uint32_t holdTime;
   std::mutex lock;
   std::condition_variable arrived;  // signalled by put(), under lock
   std::list<Entry> entries;         // guarded by lock; oldest first
};

MsgWaitQueue::MsgWaitQueue(uint32_t holdTimeMs) : m_impl(new Impl(holdTimeMs)) {}

MsgWaitQueue::~MsgWaitQueue() {
   clear();
   delete m_impl;
}

void MsgWaitQueue::put(CSCPMessage *message) {
   if (message == nullptr)
      return;
   {
      std::lock_guard<std::mutex> guard(m_impl->lock);
      uint64_t now = GetMonotonicMs();
      m_impl->expire(now);
      m_impl->entries.push_back({message, message->GetCode(), message->GetId(), now});
   }
   // Waiters on different code/id pairs share the condition; each checks
   // for its own message.
   m_impl->arrived.notify_all();
}

CSCPMessage *MsgWaitQueue::waitForMessage(uint16_t code, uint32_t id, uint32_t timeoutMs) {
   auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
   std::unique_lock<std::mutex> guard(m_impl->lock);
   auto take = [&]() -> CSCPMessage * {
      m_impl->expire(GetMonotonicMs());
      for (auto it = m_impl->entries.begin(); it != m_impl->entries.end(); ++it) {
         if (it->code == code && it->id == id) {
            CSCPMessage *message = it->message;
            m_impl->entries.erase(it);
            return message;
         }
      }
      return nullptr;
   };
   for (;;) {
      CSCPMessage *message = take();
      if (message != nullptr)
         return message;
      if (timeoutMs == INFINITE)
         m_impl->arrived.wait(guard);
      else if (m_impl->arrived.wait_until(guard, deadline) == std::cv_status::timeout)
         return take();  // it may have come with the time-out
   }
}

void MsgWaitQueue::clear() {
   std::lock_guard<std::mutex> guard(m_impl->lock);
   for (Entry &e : m_impl->entries)
      delete e.message;
   m_impl->entries.clear();
}

size_t MsgWaitQueue::size() {
   std::lock_guard<std::mutex> guard(m_impl->lock);
   m_impl->expire(GetMonotonicMs());
   return m_impl->entries.size();
}
