// The connection core and what it rests on: bounded writes in the platform
// seam, the re-entrant critical section, teardown that never waits on a
// blocked writer, the named receive results, and the reply queue releasing
// its waiters when a connection ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <random>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "hesker_test_util.h"

using namespace hesker_test;

namespace {

const uint32_t kWaitMs = 20000;  // bound of every wait; far above any bound under test

// More than loopback buffers take while the peer reads nothing.
std::vector<uint8_t> ManyBytes() {
   return std::vector<uint8_t>(64u << 20, 0x5A);
}

// The client side handed to a connection (which then owns and closes it).
SOCKET TakeClient(TcpPair &pair) {
   SOCKET s = pair.client;
   pair.client = INVALID_SOCKET;
   return s;
}

// ---------------------------------------------------------------- the seam

TEST(BoundedSend, WriteThatMakesNoProgressFailsWithATimeOut) {
   for (bool nonBlocking : {false, true}) {
      SCOPED_TRACE(nonBlocking ? "non-blocking" : "blocking");
      TcpPair pair;
      ASSERT_TRUE(pair.ok());
      ASSERT_EQ(0, SetSocketNonBlocking(pair.client, nonBlocking));
      ASSERT_EQ(0, SetSocketSendTimeout(pair.client, 200));
      std::vector<uint8_t> bytes = ManyBytes();
      int64_t sent = SocketSendAll(pair.client, bytes.data(), bytes.size());
      EXPECT_GT(sent, 0);  // the buffers took some
      EXPECT_LT(sent, (int64_t)bytes.size());
      EXPECT_EQ(WSAETIMEDOUT, WSAGetLastError());
   }
}

TEST(CriticalSection, IsReentrantForItsOwnerOnly) {
   CriticalSection lock;
   auto otherThreadEnters = [&lock] {
      return std::async(std::launch::async,
                        [&lock] {
                           bool entered = lock.try_lock();
                           if (entered)
                              lock.unlock();
                           return entered;
                        })
          .get();
   };
   lock.lock();
   ASSERT_TRUE(lock.try_lock());  // the owner enters again
   EXPECT_FALSE(otherThreadEnters());
   lock.unlock();
   EXPECT_FALSE(otherThreadEnters()) << "entered twice, left once";
   lock.unlock();
   EXPECT_TRUE(otherThreadEnters());
}

// ---------------------------------------------------------------- the core

TEST(HKCPConnection, WriteWithoutProgressEndsTheConnection) {
   TcpPair pair;
   ASSERT_TRUE(pair.ok());
   HKCPConnection connection;
   connection.attach(TakeClient(pair), 200);
   std::vector<uint8_t> bytes = ManyBytes();
   EXPECT_FALSE(connection.sendBytes(bytes.data(), (uint32_t)bytes.size()));
   // Shut down here: the reader ends at once, and later writes fail.
   EXPECT_EQ(HKCPReceiveResult::Failed, connection.receive(kWaitMs));
   EXPECT_EQ(WSAESHUTDOWN, connection.lastSocketError());
   uint8_t one = 1;
   EXPECT_FALSE(connection.sendBytes(&one, 1));
}

TEST(HKCPConnection, TeardownReleasesAWriterBlockedWithoutABound) {
   TcpPair pair;
   ASSERT_TRUE(pair.ok());
   HKCPConnection connection;
   connection.attach(TakeClient(pair), INFINITE);
   std::vector<uint8_t> bytes = ManyBytes();
   auto writer = std::async(std::launch::async, [&] {
      return connection.sendBytes(bytes.data(), (uint32_t)bytes.size());
   });
   // The writer holds the send lock until the buffers are full, and longer.
   ASSERT_EQ(std::future_status::timeout, writer.wait_for(std::chrono::milliseconds(100)));
   connection.close();  // shuts down before it takes the send lock
   ASSERT_EQ(std::future_status::ready, writer.wait_for(std::chrono::milliseconds(kWaitMs)));
   EXPECT_FALSE(writer.get());
   EXPECT_EQ(INVALID_SOCKET, connection.socket());
}

TEST(HKCPConnection, ReceiveNamesEachOutcome) {
   struct Case {
      const char *name;
      std::function<void(SOCKET peer)> peerDoes;
      HKCPReceiveResult expected;
      HKCPReceiveAction action;  // on this plain channel
   };
   auto header = [](uint32_t size, uint16_t flags) {
      std::vector<uint8_t> frame(16, 0);
      frame[1] = CMD_NOP;
      frame[2] = (uint8_t)(flags >> 8);
      frame[3] = (uint8_t)flags;
      frame[4] = (uint8_t)(size >> 24);
      frame[5] = (uint8_t)(size >> 16);
      frame[6] = (uint8_t)(size >> 8);
      frame[7] = (uint8_t)size;
      return frame;
   };
   const std::vector<Case> cases = {
       {"frame",
        [&](SOCKET peer) {
           auto f = header(16, 0);
           SocketSendAll(peer, f.data(), f.size());
        },
        HKCPReceiveResult::Frame, HKCPReceiveAction::Deliver},
       {"closed", [](SOCKET peer) { ShutdownSocket(peer); }, HKCPReceiveResult::Closed,
        HKCPReceiveAction::End},
       {"silence", [](SOCKET) {}, HKCPReceiveResult::TimedOut, HKCPReceiveAction::Wait},
       {"too large",
        [&](SOCKET peer) {
           auto f = header(HKCP_MAX_FRAME_SIZE + 8, 0);
           SocketSendAll(peer, f.data(), f.size());
        },
        HKCPReceiveResult::TooLarge, HKCPReceiveAction::Skip},
       {"encrypted without a key",
        [&](SOCKET peer) {
           auto f = header(48, MF_ENCRYPTED);
           f.resize(48, 0);
           SocketSendAll(peer, f.data(), f.size());
        },
        HKCPReceiveResult::Undecryptable, HKCPReceiveAction::End},
   };
   for (const Case &c : cases) {
      SCOPED_TRACE(c.name);
      TcpPair pair;
      ASSERT_TRUE(pair.ok());
      HKCPConnection connection;
      connection.attach(TakeClient(pair), INFINITE);
      c.peerDoes(pair.server);
      HKCPReceiveResult result = connection.receive(200);
      EXPECT_EQ(c.expected, result);
      EXPECT_EQ(c.action, connection.action(result));
   }
}

TEST(HKCPConnection, FrameLimitBoundsFramesAndRaisingItKeepsWhatArrived) {
   auto frame = [](uint32_t size, uint8_t fill) {
      std::vector<uint8_t> f(size, fill);
      uint8_t header[16] = {0,
                            1,
                            0,
                            0,
                            (uint8_t)(size >> 24),
                            (uint8_t)(size >> 16),
                            (uint8_t)(size >> 8),
                            (uint8_t)size};
      std::copy(header, header + 16, f.begin());
      return f;
   };
   TcpPair pair;
   ASSERT_TRUE(pair.ok());
   HKCPConnection connection;
   connection.attach(TakeClient(pair), INFINITE);
   connection.setFrameLimit(4096);
   EXPECT_EQ(4096u, connection.frameLimit());
   // A small frame and a large one right behind it, both sent at once.
   std::vector<uint8_t> bytes = frame(64, 0x11), large = frame(20000, 0x22);
   bytes.insert(bytes.end(), large.begin(), large.end());
   ASSERT_EQ((int64_t)bytes.size(), SocketSendAll(pair.server, bytes.data(), bytes.size()));
   ASSERT_EQ(HKCPReceiveResult::Frame, connection.receive(kWaitMs));
   EXPECT_EQ(64, connection.receivedLength());
   connection.setFrameLimit(HKCP_MAX_FRAME_SIZE);
   ASSERT_EQ(HKCPReceiveResult::Frame, connection.receive(kWaitMs));
   ASSERT_EQ(20000, connection.receivedLength());
   const uint8_t *got = reinterpret_cast<const uint8_t *>(connection.frame());
   EXPECT_EQ(large, std::vector<uint8_t>(got, got + 20000));
   // Lowered again: a frame over it is too large, and the next one is read.
   connection.setFrameLimit(4096);
   bytes = frame(4097, 0x33);
   std::vector<uint8_t> next = frame(32, 0x44);
   bytes.insert(bytes.end(), next.begin(), next.end());
   ASSERT_EQ((int64_t)bytes.size(), SocketSendAll(pair.server, bytes.data(), bytes.size()));
   EXPECT_EQ(HKCPReceiveResult::TooLarge, connection.receive(kWaitMs));
   ASSERT_EQ(HKCPReceiveResult::Frame, connection.receive(kWaitMs));
   EXPECT_EQ(32, connection.receivedLength());
}

TEST(HKCPConnection, ContextSwapKeepsReferencesBalanced) {
   uint8_t key[32] = {1, 2, 3};
   HKCPEncryptionContext *first = HKCPEncryptionContext::create(HKCP_CIPHER_AES_256_GCM, key, 32);
   ASSERT_NE(nullptr, first);
   first->incRefCount();  // the test's own, to watch the count
   HKCPConnection connection;
   connection.setContext(first);  // takes the creator's reference
   HKCPEncryptionContext *held = connection.acquireContext();
   EXPECT_EQ(first, held);
   held->decRefCount();
   connection.setContext(nullptr);  // releases the connection's reference
   EXPECT_FALSE(connection.encrypted());
   EXPECT_EQ(1, first->getRefCount());
   first->decRefCount();
}

// ---------------------------------------------------------------- encrypted writes

// Both ends of one key, each installed on a connection of a loopback pair:
// the writer's side chose the key, the reader's side asked for it.
struct EncryptedPair {
   TcpPair pair;
   HKCPConnection writer;
   HKCPConnection reader;
   bool ok = false;

   EncryptedPair() {
      if (!pair.ok())
         return;
      HKCPEncryptionContext *chooser = HKCPEncryptionContext::createRandom(HKCP_CIPHER_AES_256_GCM);
      if (chooser == nullptr)
         return;
      HKCPEncryptionContext *asker = HKCPEncryptionContext::create(
          HKCP_CIPHER_AES_256_GCM, chooser->getKey(), chooser->getKeyLength());
      writer.attach(TakeClient(pair), kWaitMs);
      writer.setContext(chooser);  // takes the creators' references
      SOCKET server = pair.server;
      pair.server = INVALID_SOCKET;
      reader.attach(server, kWaitMs);
      reader.setContext(asker);
      ok = asker != nullptr;
   }
};

// A file of `size` bytes, removed when the test ends.
struct TempFile {
   std::string path;
   explicit TempFile(size_t size) {
      std::error_code error;
      std::filesystem::path folder = std::filesystem::temp_directory_path(error);
      if (error)
         return;
      std::random_device random;
      path = (folder / ("hkcp_connection_" + std::to_string(random()) + std::to_string(random())))
                 .generic_string();
      std::ofstream out(path, std::ios::binary | std::ios::trunc);
      std::vector<char> bytes(size, (char)0xA5);
      out.write(bytes.data(), (std::streamsize)bytes.size());
      out.close();
      if (out.fail()) {
         std::filesystem::remove(path, error);
         path.clear();
      }
   }
   ~TempFile() {
      std::error_code error;
      if (!path.empty())
         std::filesystem::remove(path, error);
   }
   std::wstring wide() const { return std::wstring(path.begin(), path.end()); }
};

TEST(HKCPConnection, ConcurrentEncryptedSendersKeepTheWireInNonceOrder) {
   // Requesters, a trap sender and a file upload share one session: the
   // peer refuses any frame whose nonce does not rise, so each frame must
   // be encrypted and written under one hold of the send lock.
   struct Case {
      const char *name;
      int threads;
      bool withFile;
   };
   const Case cases[] = {{"messages", 6, false}, {"messages and a file", 4, true}};
   const int kEach = 100;
   for (const Case &c : cases) {
      SCOPED_TRACE(c.name);
      EncryptedPair channel;
      ASSERT_TRUE(channel.ok);
      TempFile file(5 * FILE_BUFFER_SIZE + 123);
      ASSERT_TRUE(!c.withFile || !file.path.empty());
      std::vector<std::thread> senders;
      for (int t = 0; t < c.threads; t++) {
         senders.emplace_back([&channel, t] {
            CSCPMessage message;
            message.SetCode(CMD_NOP);
            for (int i = 0; i < kEach; i++) {
               message.SetId((uint32_t)(t * kEach + i));
               EXPECT_TRUE(channel.writer.sendMessage(message));
            }
         });
      }
      if (c.withFile) {
         senders.emplace_back([&channel, &file] {
            EXPECT_TRUE(channel.writer.sendFile(7, file.wide().c_str(), nullptr, nullptr));
         });
      }
      int messages = 0;
      bool fileEnded = !c.withFile;
      while (messages < c.threads * kEach || !fileEnded) {
         HKCPReceiveResult result = channel.reader.receive(kWaitMs);
         if (result != HKCPReceiveResult::Frame) {
            ADD_FAILURE() << "after " << messages << " messages: result " << (int)result;
            channel.reader.shutdown();  // senders blocked on a full socket end too
            break;
         }
         const CSCP_MESSAGE *frame = channel.reader.frame();
         if (ntohs(frame->wCode) == CMD_FILE_DATA)
            fileEnded = (ntohs(frame->wFlags) & MF_END_OF_FILE) != 0;
         else
            messages++;
      }
      for (std::thread &s : senders)
         s.join();
   }
}

// The bytes of the next frame a context encrypts.
std::vector<uint8_t> Encrypted(HKCPConnection &connection, uint32_t id) {
   CSCPMessage message;
   message.SetCode(CMD_NOP);
   message.SetId(id);
   CSCP_MESSAGE *plain = message.CreateMessage();
   HKCPEncryptionContext *context = connection.acquireContext();
   CSCP_ENCRYPTED_MESSAGE *encrypted =
       context != nullptr && plain != nullptr ? CSCPEncryptMessage(context, plain) : nullptr;
   if (context != nullptr)
      context->decRefCount();
   free(plain);
   if (encrypted == nullptr)
      return {};
   std::vector<uint8_t> bytes((uint8_t *)encrypted,
                              (uint8_t *)encrypted + ntohl(encrypted->dwSize));
   free(encrypted);
   return bytes;
}

TEST(HKCPConnection, EncryptedChannelEndsOnEveryFrameItCannotDeliver) {
   // What a relay without the key can do to the stream, and what one
   // receive then names: every frame not delivered ends the session.
   struct Case {
      const char *name;
      // The frames of the writer's side (w0, w1, w2: its next three) and of
      // the reader's own side (r0), in the order they arrive.
      std::function<std::vector<std::vector<uint8_t>>(EncryptedPair &)> arrive;
      HKCPReceiveResult last;  // what the last one gives; those before are frames
      const wchar_t *line;     // the start of the diagnostic line, or null
   };
   auto three = [](EncryptedPair &c) {
      return std::vector<std::vector<uint8_t>>{Encrypted(c.writer, 0), Encrypted(c.writer, 1),
                                               Encrypted(c.writer, 2)};
   };
   const Case cases[] = {
       {"in sequence", three, HKCPReceiveResult::Frame, nullptr},
       {"replayed",
        [&](EncryptedPair &c) {
           auto w = three(c);
           return std::vector<std::vector<uint8_t>>{w[0], w[1], w[0]};
        },
        HKCPReceiveResult::Replayed,
        L"Received message out of sequence (replayed or reordered): counter 0, expected 2"},
       {"one dropped",
        [&](EncryptedPair &c) {
           auto w = three(c);
           return std::vector<std::vector<uint8_t>>{w[0], w[2]};
        },
        HKCPReceiveResult::SequenceGap,
        L"Received message out of sequence (1 earlier message(s) missing): counter 2, "
        L"expected 1"},
       {"reflected",
        [&](EncryptedPair &c) {
           auto w = three(c);
           return std::vector<std::vector<uint8_t>>{w[0], Encrypted(c.reader, 9)};
        },
        HKCPReceiveResult::Reflected,
        L"Received message in this side's own direction (reflected back): counter 0"},
       {"forged tag",
        [&](EncryptedPair &c) {
           auto w = three(c);
           w[1].back() ^= 0x01;
           return std::vector<std::vector<uint8_t>>{w[0], w[1]};
        },
        HKCPReceiveResult::Undecryptable, L"Unable to decrypt received message"},
       {"plain",
        [&](EncryptedPair &) {
           std::vector<uint8_t> plain(HKCP_HEADER_SIZE, 0);
           plain[1] = CMD_NOP;
           plain[7] = HKCP_HEADER_SIZE;
           return std::vector<std::vector<uint8_t>>{plain};
        },
        HKCPReceiveResult::Undecryptable, L"Unable to decrypt received message"},
       {"over the limit",
        [&](EncryptedPair &) {
           // The header alone: the rest never comes, nor is it waited for.
           std::vector<uint8_t> header(HKCP_HEADER_SIZE, 0);
           header[0] = 0x7F;
           header[1] = 0xFF;
           header[2] = 0x80;
           uint32_t size = htonl(HKCP_MAX_FRAME_SIZE + 64);
           memcpy(&header[4], &size, 4);
           return std::vector<std::vector<uint8_t>>{header};
        },
        HKCPReceiveResult::TooLarge, L"Received too large message"},
   };
   for (const Case &c : cases) {
      SCOPED_TRACE(c.name);
      EncryptedPair channel;
      ASSERT_TRUE(channel.ok);
      std::vector<std::vector<uint8_t>> frames = c.arrive(channel);
      for (size_t i = 0; i < frames.size(); i++) {
         ASSERT_TRUE(channel.writer.sendBytes(frames[i].data(), (uint32_t)frames[i].size()));
         HKCPReceiveResult result = channel.reader.receive(kWaitMs);
         HKCPReceiveResult expected = i + 1 < frames.size() ? HKCPReceiveResult::Frame : c.last;
         EXPECT_EQ(expected, result) << "frame " << i;
         EXPECT_EQ(expected == HKCPReceiveResult::Frame ? HKCPReceiveAction::Deliver
                                                        : HKCPReceiveAction::End,
                   channel.reader.action(result))
             << "frame " << i;
      }
      wchar_t line[256] = L"";
      EXPECT_EQ(c.line != nullptr, channel.reader.describe(c.last, line, 256));
      if (c.line != nullptr) {
         EXPECT_EQ(0u, std::wstring(line).find(c.line)) << std::wstring(line).c_str();
      }
   }
}

// ---------------------------------------------------------------- reply queue

TEST(MsgWaitQueue, ReleaseWaitersEndsEveryWaitInProgressOnly) {
   MsgWaitQueue queue;
   std::vector<std::future<CSCPMessage *>> waits;
   for (uint32_t id = 1; id <= 8; id++) {
      waits.push_back(std::async(std::launch::async, [&queue, id] {
         return queue.waitForMessage(CMD_REQUEST_COMPLETED, id, 600000);
      }));
   }
   // Released whether each wait began before the call or not: a wait that
   // begins after it waits as usual, so keep releasing until all are back.
   for (auto &w : waits) {
      while (w.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready)
         queue.releaseWaiters();
      EXPECT_EQ(nullptr, w.get());
   }
   auto *reply = new CSCPMessage();
   reply->SetCode(CMD_REQUEST_COMPLETED);
   reply->SetId(9);
   queue.put(reply);
   CSCPMessage *taken = queue.waitForMessage(CMD_REQUEST_COMPLETED, 9, kWaitMs);
   EXPECT_EQ(reply, taken);
   delete taken;
}

}  // namespace
