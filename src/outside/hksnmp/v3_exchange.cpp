// The SNMPv3 request/response exchange of doRequest: engine discovery, the
// time window, Reports, and the silence of an engine that cannot decrypt.
#include <algorithm>
#include <atomic>
#include <vector>

#include "hk_platform.h"
#include "hksnmp.h"
#include "usm_crypto.h"
#include "usm_state.h"

namespace {

// msgIDs are process-wide and start at a random point, so that answers to
// an earlier process's requests do not match.
std::atomic<uint32_t> s_messageId{static_cast<uint32_t>(hksnmp::UsmRandom64())};

uint32_t NextMessageId() {
   uint32_t id = s_messageId.fetch_add(1, std::memory_order_relaxed) & 0x7FFFFFFF;
   return id != 0 ? id : 1;
}

uint32_t LevelFlags(uint32_t level) {
   return level == SNMP_SECURITY_AUTH_PRIV     ? SNMP_MSG_FLAG_AUTH | SNMP_MSG_FLAG_PRIV
          : level == SNMP_SECURITY_AUTH_NOPRIV ? SNMP_MSG_FLAG_AUTH
                                               : 0;
}

// The result a Report stands for, from the counter it carries.
uint32_t ReportCode(const SNMP_PDU *report) {
   static const uint32_t usmStats[] = {1, 3, 6, 1, 6, 3, 15, 1, 1};  // usmStats.N.0
   static const uint32_t mpdStats[] = {1, 3, 6, 1, 6, 3, 12, 1};     // snmpUnknownContexts
   const SNMP_Variable *variable = report->getVariable(0);
   if (variable == nullptr) {
      return SNMP_ERR_REPORT;
   }
   const SNMP_ObjectId *name = variable->getName();
   if (name->getLength() == 11 && name->startsWith(usmStats, 9) && name->getValue()[10] == 0) {
      switch (name->getValue()[9]) {
         case 1:
            return SNMP_ERR_UNSUPPORTED_LEVEL;
         case 2:
            return SNMP_ERR_NOT_IN_TIME_WINDOW;
         case 3:
            return SNMP_ERR_UNKNOWN_USER;
         case 4:
            return SNMP_ERR_UNKNOWN_ENGINE_ID;
         case 5:
            return SNMP_ERR_WRONG_DIGEST;
         case 6:
            return SNMP_ERR_DECRYPTION;
         default:
            break;
      }
   }
   if (name->getLength() == 10 && name->startsWith(mpdStats, 8) &&
       (name->getValue()[8] == 4 || name->getValue()[8] == 5) && name->getValue()[9] == 0) {
      return SNMP_ERR_UNKNOWN_CONTEXT;  // unavailable (4) or unknown (5) context
   }
   return SNMP_ERR_REPORT;
}

bool SameEngine(const SNMP_PDU *answer, const SnmpUsmState *usm) {
   uint8_t id[SNMP_MAX_ENGINE_ID_LENGTH];
   size_t length = answer->getEngineId(id);
   return length == usm->engineId.size() && std::equal(id, id + length, usm->engineId.begin());
}

// Sends request with a fresh msgID, added to *sent, and waits at most
// timeout milliseconds for an answer to any msgID in *sent (a late answer to
// an earlier attempt of the same request is as good): a Report, or a
// Response with the request's id at the level it was sent with (an
// unauthenticated Response to an authenticated request could come from
// anyone). Returns SNMP_ERR_SUCCESS with *answer
// set (the caller deletes it), or SNMP_ERR_TIMEOUT, SNMP_ERR_COMM or
// SNMP_ERR_PARSE as doRequest does, or SNMP_ERR_WRONG_DIGEST.
uint32_t SendAndWait(SNMP_Transport *transport, SNMP_PDU *request, uint32_t level, uint32_t timeout,
                     std::vector<uint32_t> *sent, SNMP_PDU **answer) {
   *answer = nullptr;
   request->setMessageId(NextMessageId());
   sent->push_back(request->getMessageId());
   auto ours = [sent](uint32_t id) {
      return std::find(sent->begin(), sent->end(), id) != sent->end();
   };
   if (transport->sendMessage(request) <= 0) {
      return SNMP_ERR_COMM;
   }
   uint32_t result = SNMP_ERR_TIMEOUT;
   uint64_t deadline = GetMonotonicMs() + timeout;
   for (;;) {
      uint64_t now = GetMonotonicMs();
      uint32_t remaining = now < deadline ? static_cast<uint32_t>(deadline - now) : 0;
      SNMP_PDU *pdu = nullptr;
      if (transport->readMessage(&pdu, remaining, nullptr, nullptr, nullptr) <= 0) {
         return result;
      }
      if (pdu == nullptr) {
         SNMP_SecurityContext *context = transport->getSecurityContext();
         if (context != nullptr && context->getUsmState() != nullptr &&
             ours(context->getUsmState()->badDigestMessageId)) {
            // Signed for our user with a key other than ours: the engine's
            // answer to a wrong password, as good as an unsigned Report.
            return SNMP_ERR_WRONG_DIGEST;
         }
         result = SNMP_ERR_PARSE;
      } else if (ours(pdu->getMessageId()) &&
                 (pdu->getCommand() == SNMP_REPORT ||
                  (pdu->getCommand() == SNMP_RESPONSE &&
                   pdu->getRequestId() == request->getRequestId() &&
                   (pdu->getMessageFlags() & 3) == LevelFlags(level)))) {
         *answer = pdu;
         return SNMP_ERR_SUCCESS;
      } else {
         delete pdu;
      }
      if (remaining == 0) {
         return result;
      }
   }
}

}  // namespace

uint32_t SNMP_Transport::doRequestV3(SNMP_PDU *request, SNMP_PDU **response, uint32_t timeout,
                                     int retries) {
   SNMP_SecurityContext *context = m_securityContext;
   SnmpUsmState *usm = context != nullptr ? context->getUsmState() : nullptr;
   if (usm == nullptr) {
      return SNMP_ERR_PARAM;
   }
   int attempts = retries > 0 ? retries : 1;
   uint32_t level = usm->level;

   // Runs one exchange of a probe under a context of its own; the
   // transport's context is put back before anything else happens.
   auto exchangeWith = [&](SNMP_SecurityContext *probeContext, uint32_t probeLevel,
                           std::vector<uint32_t> *probeIds, SNMP_PDU **answer) {
      SNMP_PDU probe(SNMP_GET_REQUEST, request->getRequestId(), SNMP_VERSION_3);
      m_securityContext = probeContext;
      uint32_t rc = SendAndWait(this, &probe, probeLevel, timeout, probeIds, answer);
      m_securityContext = context;
      return rc;
   };

   uint32_t result = SNMP_ERR_TIMEOUT;
   if (usm->engineId.empty()) {
      // Discovery (RFC 3414 4): an empty unauthenticated request, answered
      // by a Report that names the engine with its boots and time.
      SNMP_SecurityContext anonymous("", nullptr, nullptr, SNMP_AUTH_NONE, SNMP_PRIV_NONE);
      std::vector<uint32_t> discoveryIds;
      for (int attempt = 0; attempt < attempts && usm->engineId.empty(); attempt++) {
         SNMP_PDU *answer;
         result = exchangeWith(&anonymous, SNMP_SECURITY_NOAUTH_NOPRIV, &discoveryIds, &answer);
         if (result != SNMP_ERR_SUCCESS) {
            continue;
         }
         uint8_t id[SNMP_MAX_ENGINE_ID_LENGTH];
         size_t length = answer->getEngineId(id);
         if (length == 0) {
            result = answer->getCommand() == SNMP_REPORT ? ReportCode(answer) : SNMP_ERR_REPORT;
            delete answer;
            return result;
         }
         context->setAuthoritativeEngineId(id, length);
         usm->learnTime(answer->getEngineBoots(), answer->getEngineTime(), true);
         delete answer;
      }
      if (usm->engineId.empty()) {
         return result;
      }
   }

   bool resynchronised = false, rediscovered = false, probed = false, privacySuspect = false;
   uint32_t wait = timeout;
   std::vector<uint32_t> sentIds;  // every attempt's msgID
   for (int attempt = 0; attempt < attempts; attempt++) {
      SNMP_PDU *answer;
      result = SendAndWait(this, request, level, wait, &sentIds, &answer);
      if (result == SNMP_ERR_SUCCESS) {
         bool authenticated = (answer->getMessageFlags() & SNMP_MSG_FLAG_AUTH) != 0;
         if (authenticated && SameEngine(answer, usm)) {
            usm->learnTime(answer->getEngineBoots(), answer->getEngineTime(), false);
         }
         if (answer->getCommand() == SNMP_RESPONSE) {
            *response = answer;
            return SNMP_ERR_SUCCESS;
         }
         result = ReportCode(answer);
         uint8_t id[SNMP_MAX_ENGINE_ID_LENGTH];
         size_t length = answer->getEngineId(id);
         if (result == SNMP_ERR_NOT_IN_TIME_WINDOW && authenticated && !resynchronised) {
            // The engine rebooted or our clock is off: take its word (it is
            // authenticated) and send once more.
            resynchronised = true;
            usm->learnTime(answer->getEngineBoots(), answer->getEngineTime(), true);
            attempt--;
         } else if (result == SNMP_ERR_UNKNOWN_ENGINE_ID && !rediscovered && length > 0 &&
                    !SameEngine(answer, usm)) {
            // Another engine answers at this address now (replaced device).
            rediscovered = true;
            context->setAuthoritativeEngineId(id, length);
            usm->learnTime(answer->getEngineBoots(), answer->getEngineTime(), true);
            attempt--;
         } else {
            delete answer;
            return result;
         }
         delete answer;
         continue;
      }
      if (result == SNMP_ERR_TIMEOUT && privacySuspect) {
         return SNMP_ERR_DECRYPTION;
      }
      if (result == SNMP_ERR_TIMEOUT && level == SNMP_SECURITY_AUTH_PRIV && !probed) {
         // An engine drops what it cannot decrypt without a Report. If the
         // same request without privacy is answered, privacy is what fails;
         // one more encrypted attempt, with a wait fitted to the answer's
         // time, tells a lost datagram from a wrong privacy key.
         probed = true;
         SNMP_SecurityContext authOnly(*context);
         authOnly.setSecurityLevel(SNMP_SECURITY_AUTH_NOPRIV);
         uint64_t start = GetMonotonicMs();
         SNMP_PDU *probeAnswer;
         std::vector<uint32_t> probeIds;
         if (exchangeWith(&authOnly, SNMP_SECURITY_AUTH_NOPRIV, &probeIds, &probeAnswer) ==
             SNMP_ERR_SUCCESS) {
            bool answered = (probeAnswer->getMessageFlags() & SNMP_MSG_FLAG_AUTH) != 0;
            delete probeAnswer;
            if (answered) {
               uint64_t roundTrip = GetMonotonicMs() - start;
               uint64_t grace = roundTrip * 4 < 200 ? 200 : roundTrip * 4;
               wait = grace < timeout ? static_cast<uint32_t>(grace) : timeout;
               privacySuspect = true;
               attempt--;
            }
         }
      }
   }
   return result;
}
