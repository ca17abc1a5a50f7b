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

// A thread in waitForMessage. put() hands a matching message straight to it
// and wakes only that thread: with one condition for all, every reply woke
// every waiter, and the cost of a reply grew with the number of waiters.
struct Waiter {
   uint16_t code;
   uint32_t id;
   std::condition_variable handed;  // signalled under lock once message is set
   CSCPMessage *message = nullptr;  // set by put(), under lock
   bool released = false;           // set by releaseWaiters(), under lock
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
   std::list<Entry> entries;  // guarded by lock; oldest first
   // Guarded by lock; a waiter leaves the list when put() hands it a
   // message or when it stops waiting, whichever comes first.
   std::list<Waiter *> waiters;
};

MsgWaitQueue::MsgWaitQueue(uint32_t holdTimeMs) : m_impl(new Impl(holdTimeMs)) {}

MsgWaitQueue::~MsgWaitQueue() {
   clear();
   delete m_impl;
}

void MsgWaitQueue::put(CSCPMessage *message) {
   if (message == nullptr)
      return;
   std::lock_guard<std::mutex> guard(m_impl->lock);
   uint64_t now = GetMonotonicMs();
   m_impl->expire(now);
   for (auto it = m_impl->waiters.begin(); it != m_impl->waiters.end(); ++it) {
      Waiter *waiter = *it;
      if (waiter->code == message->GetCode() && waiter->id == message->GetId()) {
         waiter->message = message;
         m_impl->waiters.erase(it);
         // Under the lock: once it is released the waiter may return and
         // its condition be gone.
         waiter->handed.notify_one();
         return;
      }
   }
   m_impl->entries.push_back({message, message->GetCode(), message->GetId(), now});
}

CSCPMessage *MsgWaitQueue::waitForMessage(uint16_t code, uint32_t id, uint32_t timeoutMs) {
   auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
   std::unique_lock<std::mutex> guard(m_impl->lock);
   m_impl->expire(GetMonotonicMs());
   for (auto it = m_impl->entries.begin(); it != m_impl->entries.end(); ++it) {
      if (it->code == code && it->id == id) {
         CSCPMessage *message = it->message;
         m_impl->entries.erase(it);
         return message;
      }
   }
   if (timeoutMs == 0)
      return nullptr;
   Waiter waiter;
   waiter.code = code;
   waiter.id = id;
   m_impl->waiters.push_back(&waiter);
   while (waiter.message == nullptr && !waiter.released) {
      if (timeoutMs == INFINITE) {
         waiter.handed.wait(guard);
      } else if (waiter.handed.wait_until(guard, deadline) == std::cv_status::timeout) {
         break;
      }
   }
   // Still listed unless put() handed it a message (which may have come
   // with the time-out) or releaseWaiters() let it go.
   if (waiter.message == nullptr && !waiter.released)
      m_impl->waiters.remove(&waiter);
   return waiter.message;
}

void MsgWaitQueue::releaseWaiters() {
   std::lock_guard<std::mutex> guard(m_impl->lock);
   for (Waiter *waiter : m_impl->waiters) {
      waiter->released = true;
      waiter->handed.notify_one();
   }
   m_impl->waiters.clear();
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
