// What an ISC session was told about TLS, and what its last handshake saw;
// shared by the sources of the session, not part of the public API.
#ifndef HKSRV_ISC_TLS_SETTINGS_H
#define HKSRV_ISC_TLS_SETTINGS_H

#include "hkcp_tls_client.h"
#include "hksrv_isc.h"

struct ISC::TlsSettings {
   HKCPTlsClient client;
};

#endif
