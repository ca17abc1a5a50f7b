// Input: byte 0 picks the decryption buffer's capacity, bytes 1-2 pick a
// byte to alter and how, byte 3 how much to cut off; the rest is used both
// as a forged encrypted frame and as the plain frame of a real one.
//
// Checked: a forged frame never decrypts and leaves no plaintext behind; a
// real one decrypts to exactly its plain frame, and fails once altered
// anywhere outside its size field, once cut short, or when the buffer is one
// byte too small. Every frame sits in an allocation of exactly its size, so
// a read past its end is caught.
#include "hkcp_decrypt_target.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "hesker.h"
#include "hk_internal.h"

namespace {

void check(bool condition) {
   if (!condition)
      abort();
}

HKCPEncryptionContext *Context() {
   static HKCPEncryptionContext *context = [] {
      uint8_t key[32];
      for (int i = 0; i < 32; i++)
         key[i] = (uint8_t)(0xA0 ^ i);
      return HKCPEncryptionContext::create(HKCP_CIPHER_AES_256_GCM, key, sizeof(key));
   }();
   return context;
}

// Both ends of a fresh key: a receiver takes only the next sequence of the
// other side, so each genuine frame gets a channel of its own.
struct Channel {
   HKCPEncryptionContext *sender = HKCPEncryptionContext::createRandom(HKCP_CIPHER_AES_256_GCM);
   HKCPEncryptionContext *receiver = HKCPEncryptionContext::create(
       HKCP_CIPHER_AES_256_GCM, sender->getKey(), sender->getKeyLength());
   ~Channel() {
      receiver->decRefCount();
      sender->decRefCount();
   }
};

// Decrypts a copy of frame (length bytes, exactly allocated) into a buffer
// of exactly capacity bytes; on success the plain frame is returned.
bool Decrypt(HKCPEncryptionContext *context, const uint8_t *frame, size_t length, uint32_t capacity,
             std::vector<uint8_t> *plain) {
   uint8_t *copy = static_cast<uint8_t *>(malloc(length));
   memcpy(copy, frame, length);
   uint8_t *buffer = static_cast<uint8_t *>(malloc(capacity ? capacity : 1));
   memset(buffer, 0xA5, capacity < length ? capacity : length);
   CSCP_MESSAGE *result = CSCPDecryptMessage(
       context, reinterpret_cast<const CSCP_ENCRYPTED_MESSAGE *>(copy), buffer, capacity);
   if (result != nullptr) {
      check(reinterpret_cast<uint8_t *>(result) == buffer);
      uint32_t size = hk_get_be32(buffer + 4);
      check(size >= HKCP_HEADER_SIZE && size <= capacity);
      check((hk_get_be16(buffer + 2) & MF_ENCRYPTED) == 0);
      plain->assign(buffer, buffer + size);
   } else {
      // What failed authentication must not be left readable (nothing is
      // written past the frame's own length).
      uint32_t written = capacity < length ? capacity : (uint32_t)length;
      for (uint32_t i = 0; i < written; i++)
         check(buffer[i] == 0xA5 || buffer[i] == 0);
   }
   free(copy);
   free(buffer);
   return result != nullptr;
}

void Forged(const uint8_t *data, size_t size, uint32_t capacity) {
   if (size < 8)
      return;  // a receiver never hands over less than a frame header
   std::vector<uint8_t> frame(data, data + size);
   hk_put_be16(frame.data(), CMD_ENCRYPTED_MESSAGE);
   hk_put_be16(frame.data() + 2, (uint16_t)(hk_get_be16(frame.data() + 2) | MF_ENCRYPTED));
   hk_put_be32(frame.data() + 4, (uint32_t)size);
   std::vector<uint8_t> plain;
   check(!Decrypt(Context(), frame.data(), frame.size(), capacity, &plain));
}

void Genuine(const uint8_t *data, size_t size, uint32_t capacity, size_t alterAt, uint8_t alterBy,
             uint32_t cut) {
   std::vector<uint8_t> plain(data, data + size);
   if (plain.size() < HKCP_HEADER_SIZE)
      plain.resize(HKCP_HEADER_SIZE);
   hk_put_be16(plain.data() + 2, (uint16_t)(hk_get_be16(plain.data() + 2) & ~MF_ENCRYPTED));
   hk_put_be32(plain.data() + 4, (uint32_t)plain.size());
   Channel channel;
   check(channel.sender != nullptr && channel.receiver != nullptr);
   CSCP_ENCRYPTED_MESSAGE *encrypted =
       CSCPEncryptMessage(channel.sender, reinterpret_cast<const CSCP_MESSAGE *>(plain.data()));
   check(encrypted != nullptr);
   const uint8_t *bytes = reinterpret_cast<const uint8_t *>(encrypted);
   std::vector<uint8_t> wire(bytes, bytes + hk_get_be32(bytes + 4));
   free(encrypted);
   check(wire.size() == plain.size() + HKCP_ENCRYPTION_HEADER_SIZE + HKCP_ENCRYPTION_TAG_SIZE);

   std::vector<uint8_t> out;
   const uint32_t plainSize = (uint32_t)plain.size();
   if (capacity >= plainSize) {
      check(Decrypt(channel.receiver, wire.data(), wire.size(), capacity, &out));
      check(out == plain);
   } else {
      check(!Decrypt(channel.receiver, wire.data(), wire.size(), capacity, &out));
   }
   check(!Decrypt(channel.receiver, wire.data(), wire.size(), plainSize - 1, &out));

   // Altered anywhere but the size field (which frames the stream and is
   // authenticated too, but must describe the bytes the caller holds).
   if (alterBy != 0) {
      std::vector<uint8_t> altered = wire;
      size_t pos = alterAt % (altered.size() - 4);
      pos = pos < 4 ? pos : pos + 4;
      altered[pos] ^= alterBy;
      check(!Decrypt(channel.receiver, altered.data(), altered.size(), plainSize, &out));
   }

   // Cut short, with the size field telling the truth about the rest.
   if (cut > 0 && cut < wire.size() - 8) {
      std::vector<uint8_t> shortened(wire.begin(), wire.end() - cut);
      hk_put_be32(shortened.data() + 4, (uint32_t)shortened.size());
      check(!Decrypt(channel.receiver, shortened.data(), shortened.size(), plainSize, &out));
   }
}

}  // namespace

int HkFuzzHkcpDecrypt(const uint8_t *data, size_t size) {
   static const uint32_t kCapacities[4] = {16, 100, 4096, 70000};
   if (size < 4 || size > 70000)
      return 0;
   const uint32_t capacity = kCapacities[data[0] & 3];
   const size_t alterAt = data[1] * 257u + data[0];
   const uint8_t alterBy = data[2];
   const uint32_t cut = data[3];
   data += 4;
   size -= 4;
   Forged(data, size, capacity);
   Genuine(data, size, capacity, alterAt, alterBy, cut);
   return 0;
}
