// Texts of the ISC result codes.
#include "hksrv_isc.h"

namespace {

// Indexed by the code.
const wchar_t *const kErrorTexts[] = {
    L"Success",
    L"Unknown service",
    L"Request out of state",
    L"Service disabled",
    L"Encryption required",
    L"Connection broken",
    L"Already connected",
    L"Socket error",
    L"Connect failed",
    L"Invalid or incompatible HKCP version",
    L"Request timed out",
    L"Command or function not implemented",
    L"No suitable ciphers found",
    L"Invalid public key",
    L"Invalid session key",
    L"Internal error",
    L"Session setup failed",
    L"Object not found",
    L"Failed to post event",
    L"TLS setup failed",
    L"Peer key not pinned",
    L"Peer key not trusted",
};
static_assert(sizeof(kErrorTexts) / sizeof(kErrorTexts[0]) == ISC_ERR_PEER_KEY_UNTRUSTED + 1,
              "one text per ISC result code");

}  // namespace

const wchar_t *ISCErrorCodeToText(uint32_t code) {
   if (code > ISC_ERR_PEER_KEY_UNTRUSTED)
      return L"Unknown error code";
   return kErrorTexts[code];
}
