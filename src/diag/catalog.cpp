// The event-log message catalog as a lookup table, and the binary message
// table generated from the same list at build time.
#include "hksrv_log.h"

namespace {

const uint32_t kFirstMessageId = 1;

// Index i holds the text of message id i + 1.
const wchar_t *const kCatalogTexts[] = {
#define HK_MESSAGE(id, text) text,
#include "message_catalog.inc"
#undef HK_MESSAGE
};

const uint32_t kLastMessageId =
    kFirstMessageId + sizeof(kCatalogTexts) / sizeof(kCatalogTexts[0]) - 1;
static_assert(sizeof(kCatalogTexts) / sizeof(kCatalogTexts[0]) == 142,
              "the catalog has ids 1 to 142");

}  // namespace

// Defined in the source the build generates next to the .bin.
extern const uint8_t g_hksrvMessageTable[];
extern const size_t g_hksrvMessageTableSize;

const wchar_t *GetCatalogMessageText(uint32_t messageId) {
   if (messageId < kFirstMessageId || messageId > kLastMessageId)
      return nullptr;
   return kCatalogTexts[messageId - kFirstMessageId];
}

const uint8_t *GetMessageTableResource(size_t *size) {
   if (size != nullptr)
      *size = g_hksrvMessageTableSize;
   return g_hksrvMessageTable;
}
