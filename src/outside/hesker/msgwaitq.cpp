// MsgWaitQueue: replies waiting for the threads that asked for them, bounded
// by count and bytes, with the replies a waiter will ask for kept whatever
// the bound.
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <list>
#include <mutex>
#include <vector>

#include "hkcp.h"

namespace {

struct Entry {
   CSCPMessage *message;
   uint16_t code;
   uint32_t id;
   uint32_t size;  // on the wire, as counted by the bound
   bool kept;      // counted in its expectation's held
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

// Replies (code, id) that waiters will still ask for. held of them are
// queued and marked kept; held <= expected, so a peer that repeats a reply
// cannot shelter more than one copy per expectation from the bound.
struct Expectation {
   uint16_t code;
   uint32_t id;
   uint32_t expected;
   uint32_t held;
};

uint32_t WireSize(const CSCPMessage *message) {
   CSCP_MESSAGE *frame = message->CreateMessage();
   if (frame == nullptr)
      return HKCP_HEADER_SIZE;
   uint32_t size = ntohl(frame->dwSize);
   free(frame);
   return size;
}

}  // namespace

struct MsgWaitQueue::Impl {
   Impl(uint32_t messages, uint64_t bytes) { setLimits(messages, bytes); }

   void setLimits(uint32_t messages, uint64_t bytes) {
      maxMessages = messages != 0 ? messages : 1;
      maxBytes = bytes != 0 ? bytes : 1;
   }

   // Few at a time (one per waiting caller): a vector beats a hash here.
   Expectation *findExpectation(uint16_t code, uint32_t id) {
      for (Expectation &e : expectations) {
         if (e.code == code && e.id == id)
            return &e;
      }
      return nullptr;
   }

   void removeEntry(std::list<Entry>::iterator it) {
      queuedBytes -= it->size;
      if (it->kept) {
         Expectation *e = findExpectation(it->code, it->id);
         if (e != nullptr && e->held > 0)
            e->held--;
      }
      entries.erase(it);
   }

   // One wait on (code, id) ended, with or without its reply.
   void endExpectation(uint16_t code, uint32_t id) {
      Expectation *e = findExpectation(code, id);
      if (e == nullptr)
         return;
      if (e->expected > 0)
         e->expected--;
      // A wait may take an unkept copy while a kept one stays queued: the
      // surplus is unsolicited now.
      for (auto it = entries.rbegin(); e->held > e->expected && it != entries.rend(); ++it) {
         if (it->kept && it->code == code && it->id == id) {
            it->kept = false;
            e->held--;
         }
      }
      if (e->expected == 0) {
         *e = expectations.back();
         expectations.pop_back();
      }
   }

   // Drops unkept messages, oldest first, until the bound holds or only
   // kept ones are left. Returns how many went.
   uint32_t enforceBound() {
      uint32_t dropped = 0;
      auto it = entries.begin();
      while ((entries.size() > maxMessages || queuedBytes > maxBytes) && it != entries.end()) {
         if (it->kept) {
            ++it;
            continue;
         }
         delete it->message;
         queuedBytes -= it->size;
         it = entries.erase(it);
         dropped++;
      }
      droppedTotal += dropped;
      return dropped;
   }

   std::mutex lock;
   // Guarded by lock.
   std::list<Entry> entries;  // oldest first
   uint64_t queuedBytes = 0;
   uint32_t maxMessages = 0;
   uint64_t maxBytes = 0;
   uint64_t droppedTotal = 0;
   std::vector<Expectation> expectations;
   // A waiter leaves the list when put() hands it a message or when it
   // stops waiting, whichever comes first.
   std::list<Waiter *> waiters;
};

MsgWaitQueue::MsgWaitQueue(uint32_t maxMessages, uint64_t maxBytes)
    : m_impl(new Impl(maxMessages, maxBytes)) {}

MsgWaitQueue::~MsgWaitQueue() {
   clear();
   delete m_impl;
}

void MsgWaitQueue::put(CSCPMessage *message) {
   if (message != nullptr)
      put(message, WireSize(message));
}

uint32_t MsgWaitQueue::put(CSCPMessage *message, uint32_t size) {
   if (message == nullptr)
      return 0;
   std::lock_guard<std::mutex> guard(m_impl->lock);
   for (auto it = m_impl->waiters.begin(); it != m_impl->waiters.end(); ++it) {
      Waiter *waiter = *it;
      if (waiter->code == message->GetCode() && waiter->id == message->GetId()) {
         waiter->message = message;
         m_impl->waiters.erase(it);
         // Under the lock: once it is released the waiter may return and
         // its condition be gone.
         waiter->handed.notify_one();
         return 0;
      }
   }
   bool kept = false;
   Expectation *e = m_impl->findExpectation(message->GetCode(), message->GetId());
   if (e != nullptr && e->held < e->expected) {
      e->held++;
      kept = true;
   }
   m_impl->entries.push_back({message, message->GetCode(), message->GetId(), size, kept});
   m_impl->queuedBytes += size;
   return m_impl->enforceBound();
}

CSCPMessage *MsgWaitQueue::waitForMessage(uint16_t code, uint32_t id, uint32_t timeoutMs) {
   auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
   std::unique_lock<std::mutex> guard(m_impl->lock);
   for (auto it = m_impl->entries.begin(); it != m_impl->entries.end(); ++it) {
      if (it->code == code && it->id == id) {
         CSCPMessage *message = it->message;
         m_impl->removeEntry(it);
         m_impl->endExpectation(code, id);
         return message;
      }
   }
   if (timeoutMs == 0) {
      m_impl->endExpectation(code, id);
      return nullptr;
   }
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
   // A reply that comes after this is unsolicited.
   m_impl->endExpectation(code, id);
   return waiter.message;
}

void MsgWaitQueue::expect(uint16_t code, uint32_t id) {
   std::lock_guard<std::mutex> guard(m_impl->lock);
   Expectation *e = m_impl->findExpectation(code, id);
   if (e == nullptr) {
      m_impl->expectations.push_back({code, id, 0, 0});
      e = &m_impl->expectations.back();
   }
   e->expected++;
   // A reply may already be queued (an early answer to a request whose
   // first reply was awaited): it is kept from now on.
   for (Entry &entry : m_impl->entries) {
      if (!entry.kept && entry.code == code && entry.id == id) {
         entry.kept = true;
         e->held++;
         break;
      }
   }
}

void MsgWaitQueue::forget(uint16_t code, uint32_t id) {
   std::lock_guard<std::mutex> guard(m_impl->lock);
   m_impl->endExpectation(code, id);
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
   m_impl->queuedBytes = 0;
   for (Expectation &e : m_impl->expectations)
      e.held = 0;
}

size_t MsgWaitQueue::size() {
   std::lock_guard<std::mutex> guard(m_impl->lock);
   return m_impl->entries.size();
}

uint64_t MsgWaitQueue::bytes() {
   std::lock_guard<std::mutex> guard(m_impl->lock);
   return m_impl->queuedBytes;
}

void MsgWaitQueue::setLimits(uint32_t maxMessages, uint64_t maxBytes) {
   std::lock_guard<std::mutex> guard(m_impl->lock);
   m_impl->setLimits(maxMessages, maxBytes);
}

uint64_t MsgWaitQueue::droppedCount() {
   std::lock_guard<std::mutex> guard(m_impl->lock);
   return m_impl->droppedTotal;
}
