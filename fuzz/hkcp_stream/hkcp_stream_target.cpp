// The input describes a stream rather than being one, so that short inputs
// reach large frames, encryption and every chunking:
//
//   byte 0        bits 0-1 receive capacity (64, 4096, 70000, the limit),
//                 bit 2 the session has a key
//   then records of 8 bytes:
//   kind          bits 0-1: 0 plain, 1 encrypted, 2 encrypted then altered,
//                 3 garbage (the next `size & 0xFF` input bytes as they are)
//   size (3)      plain frame size, clamped to 16..300000
//   chunk         the frame is written in chunks of 1 + chunk^2 * 5 bytes
//                 (at least a 64th of the frame)
//   code (2)      the frame's code; also picks the altered byte
//   fill          seed of the frame's contents
//
// Every receive runs with a zero time-out after each chunk, so a frame is
// seen in every state of arrival. Without garbage the outcome of every
// frame is known and checked: the exact plain bytes, 1 (over capacity) or
// 2 (not decryptable, plain on a keyed session, or out of sequence after an
// encrypted frame that was not decrypted). A frame larger than the receive
// state's buffer whose rest does not arrive in time is abandoned by design;
// the frames after it must still come out intact (or, when it was
// encrypted, be refused as out of sequence).
#include "hkcp_stream_target.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <vector>

#include "hesker.h"
#include "hk_internal.h"

namespace {

void check(bool condition) {
   if (!condition)
      abort();
}

struct Expected {
   int result;                  // 1, 2, or 0 for "the frame itself"
   std::vector<uint8_t> plain;  // when result is 0
   bool droppable;              // may be abandoned after a time-out
   // The first bytes on the wire, which tell frames with the same result
   // apart: on 1 the frame buffer holds the header, on 2 the refused frame.
   std::vector<uint8_t> head;
   bool mayFail;  // result 0, or 2 when an earlier frame may be missing
};

// Both ends of a fresh key for one stream: the writer encrypts, the reader
// takes only the writer's next sequence.
struct Channel {
   HKCPEncryptionContext *sender = HKCPEncryptionContext::createRandom(HKCP_CIPHER_AES_256_GCM);
   HKCPEncryptionContext *receiver = HKCPEncryptionContext::create(
       HKCP_CIPHER_AES_256_GCM, sender->getKey(), sender->getKeyLength());
   ~Channel() {
      receiver->decRefCount();
      sender->decRefCount();
   }
};

// Whether the reader's sequence still follows the writer's: every frame the
// reader does not decrypt leaves a gap that refuses all later ones.
enum class Sequence { InStep, Broken, Unsure };

std::vector<uint8_t> PlainFrame(uint32_t size, uint16_t code, uint16_t flags, uint32_t id,
                                uint8_t seed) {
   std::vector<uint8_t> frame(size);
   hk_put_be16(frame.data(), code);
   hk_put_be16(frame.data() + 2, flags);
   hk_put_be32(frame.data() + 4, size);
   hk_put_be32(frame.data() + 8, id);
   hk_put_be32(frame.data() + 12, size - HKCP_HEADER_SIZE);
   uint32_t x = seed * 2654435761u + 1;
   for (uint32_t i = HKCP_HEADER_SIZE; i < size; i++) {
      x = x * 1103515245u + 12345u;
      frame[i] = (uint8_t)(x >> 16);
   }
   return frame;
}

class Stream {
public:
   Stream(uint32_t capacity, HKCPEncryptionContext *context)
       : m_capacity(capacity), m_context(context) {
      check(socketpair(AF_UNIX, SOCK_STREAM, 0, m_fds) == 0);
      fcntl(m_fds[0], F_SETFL, O_NONBLOCK);
      RecvHKCPMessage(0, nullptr, &State(), 0, nullptr, nullptr, 0);
   }
   ~Stream() {
      close(m_fds[0]);
      close(m_fds[1]);
   }

   void expect(Expected e) {
      if (m_checking)
         m_expected.push_back(std::move(e));
   }
   bool checking() const { return m_checking; }
   Expected &lastExpected() { return m_expected.back(); }
   void stopChecking() {
      m_checking = false;
      m_expected.clear();
   }

   // Writes bytes in chunks, draining the receiver after each; false once
   // the receiver has given up on the stream.
   bool write(const uint8_t *bytes, size_t length, size_t chunk) {
      size_t pos = 0;
      while (pos < length) {
         size_t n = length - pos < chunk ? length - pos : chunk;
         ssize_t written = ::write(m_fds[0], bytes + pos, n);
         if (written < 0) {
            // The socket is full: the receiver must make room.
            if (!drain())
               return false;
            struct pollfd p = {m_fds[0], POLLOUT, 0};
            if (poll(&p, 1, 0) <= 0)
               return false;  // drained and still full: the reader is stuck
            continue;
         }
         pos += (size_t)written;
         if (!drain())
            return false;
      }
      return true;
   }

   void finish() {
      shutdown(m_fds[0], SHUT_WR);
      m_finishing = true;
      if (m_open)
         drain();
      for (const Expected &e : m_expected)
         check(e.droppable);
   }

private:
   static CSCP_BUFFER &State() {
      static CSCP_BUFFER *state = static_cast<CSCP_BUFFER *>(malloc(sizeof(CSCP_BUFFER)));
      return *state;
   }

   // Receives until nothing more is there; false when the stream ended.
   bool drain() {
      static uint8_t *frame = static_cast<uint8_t *>(malloc(HKCP_MAX_FRAME_SIZE));
      static uint8_t *decrypt = static_cast<uint8_t *>(malloc(HKCP_MAX_FRAME_SIZE));
      HKCPEncryptionContext *context = m_context;
      for (;;) {
         int rc = RecvHKCPMessage((SOCKET)m_fds[1], reinterpret_cast<CSCP_MESSAGE *>(frame),
                                  &State(), m_capacity, &context, decrypt, 0);
         check(State().dwBufPos <= State().dwBufSize && State().dwBufSize <= CSCP_TEMP_BUF_SIZE);
         if (rc == 3)
            return true;
         if (rc <= 0) {
            // Only garbage, or the end of what was written, ends a stream.
            check(!m_checking || m_finishing);
            m_open = false;
            return false;
         }
         if (rc > 3)
            check((uint32_t)rc <= m_capacity && hk_get_be32(frame + 4) == (uint32_t)rc);
         if (!m_checking)
            continue;
         // Frames abandoned after a time-out may be missing; nothing else.
         while (!m_expected.empty() && m_expected.front().droppable &&
                !matches(m_expected.front(), rc, frame))
            m_expected.pop_front();
         check(!m_expected.empty() && matches(m_expected.front(), rc, frame));
         m_expected.pop_front();
      }
   }

   static bool matches(const Expected &e, int rc, const uint8_t *frame) {
      if (e.mayFail && rc == 2 && memcmp(frame, e.head.data(), e.head.size()) == 0)
         return true;
      if (e.result != 0) {
         size_t n = e.result == 1 ? HKCP_HEADER_SIZE : e.head.size();
         return rc == e.result && memcmp(frame, e.head.data(), n) == 0;
      }
      return rc == (int)e.plain.size() && memcmp(frame, e.plain.data(), e.plain.size()) == 0;
   }

   int m_fds[2];
   const uint32_t m_capacity;
   HKCPEncryptionContext *m_context;
   std::deque<Expected> m_expected;
   bool m_checking = true;
   bool m_open = true;
   bool m_finishing = false;
};

}  // namespace

int HkFuzzHkcpStream(const uint8_t *data, size_t size) {
   static const uint32_t kCapacities[4] = {64, 4096, 70000, HKCP_MAX_FRAME_SIZE};
   if (size < 1)
      return 0;
   const uint32_t capacity = kCapacities[data[0] & 3];
   Channel channel;
   check(channel.sender != nullptr && channel.receiver != nullptr);
   HKCPEncryptionContext *context = (data[0] & 4) ? channel.receiver : nullptr;
   Sequence sequence = Sequence::InStep;
   data++;
   size--;

   Stream stream(capacity, context);
   uint32_t id = 0;
   size_t totalBytes = 0;
   while (size >= 8 && totalBytes < (512u << 10)) {
      const int kind = data[0] & 3;
      uint32_t frameSize = ((uint32_t)data[1] << 16) | ((uint32_t)data[2] << 8) | data[3];
      const size_t chunk = 1 + (size_t)data[4] * data[4] * 5;
      const uint16_t code = hk_get_be16(data + 5);
      const uint8_t fill = data[7];
      data += 8;
      size -= 8;
      frameSize = frameSize < HKCP_HEADER_SIZE ? HKCP_HEADER_SIZE
                                               : (frameSize > 300000 ? 300000 : frameSize);

      std::vector<uint8_t> wire;
      if (kind == 3) {
         size_t n = frameSize & 0xFF;
         n = n > size ? size : n;
         wire.assign(data, data + n);
         data += n;
         size -= n;
         stream.stopChecking();  // the stream's framing is now anyone's guess
      } else if (kind == 0) {
         // The code's low bits choose the flags, MF_ENCRYPTED included.
         uint16_t flags = (uint16_t)(((code & 0x3) << 14) | (code & MF_BINARY));
         wire = PlainFrame(frameSize, code, flags, ++id, fill);
         Expected e{0, {}, frameSize > CSCP_TEMP_BUF_SIZE, {}, false};
         if (frameSize > capacity)
            e.result = 1;
         else if ((flags & MF_ENCRYPTED) || context != nullptr)
            e.result = 2;
         else
            e.plain = wire;
         stream.expect(std::move(e));
      } else {
         std::vector<uint8_t> plain =
             PlainFrame(frameSize, code, (uint16_t)(code & MF_BINARY), ++id, fill);
         CSCP_ENCRYPTED_MESSAGE *encrypted = CSCPEncryptMessage(
             channel.sender, reinterpret_cast<const CSCP_MESSAGE *>(plain.data()));
         check(encrypted != nullptr);
         uint32_t encryptedSize = hk_get_be32(reinterpret_cast<const uint8_t *>(encrypted) + 4);
         check(encryptedSize == frameSize + HKCP_ENCRYPTION_HEADER_SIZE + HKCP_ENCRYPTION_TAG_SIZE);
         const uint8_t *bytes = reinterpret_cast<const uint8_t *>(encrypted);
         wire.assign(bytes, bytes + encryptedSize);
         free(encrypted);
         if (kind == 2) {
            // Anything after the size field: code and flags are
            // authenticated, the nonce, data and tag all feed the check.
            size_t pos = code % (encryptedSize - 8) + 8;
            wire[pos] ^= (uint8_t)(fill | 1);
         }
         Expected e{0, {}, encryptedSize > CSCP_TEMP_BUF_SIZE, {}, false};
         if (encryptedSize > capacity) {
            e.result = 1;
            sequence = Sequence::Broken;
         } else if (kind == 2 || context == nullptr || sequence == Sequence::Broken) {
            e.result = 2;
            sequence = Sequence::Broken;
         } else {
            e.plain = std::move(plain);
            e.mayFail = sequence == Sequence::Unsure;
            if (e.droppable)
               sequence = Sequence::Unsure;
         }
         stream.expect(std::move(e));
      }
      if (kind != 3 && stream.checking())
         stream.lastExpected().head.assign(wire.begin(),
                                           wire.begin() + (wire.size() < 32 ? wire.size() : 32));
      totalBytes += wire.size();
      // At most 64 writes a frame: finer cuts of large frames only cost time.
      size_t minChunk = wire.size() / 64 + 1;
      if (!stream.write(wire.data(), wire.size(), chunk > minChunk ? chunk : minChunk))
         return 0;
   }
   stream.finish();
   return 0;
}
