// What an SNMPv3 security context holds (internal to libhksnmp): the user's
// settings and secrets, the device's engine as learnt, and the keys
// localised to each engine met, so that the slow password-to-key step runs
// once per secret and localisation once per engine.
//
// Not locked: a context belongs to one transport, used by one thread at a
// time.
#ifndef HKSNMP_USM_STATE_H
#define HKSNMP_USM_STATE_H

#include <string>

#include "hksnmp.h"
#include "usm_crypto.h"

struct SnmpUsmState {
   std::string user;
   uint32_t level = SNMP_SECURITY_NOAUTH_NOPRIV;
   uint32_t authMethod = SNMP_AUTH_NONE;
   uint32_t privMethod = SNMP_PRIV_NONE;
   std::string contextName;
   hksnmp::Bytes contextEngineId;  // empty: the authoritative engine's id

   // The secrets: a password, or a master key (Ku) when keyGiven.
   std::string authPassword, privPassword;
   hksnmp::Bytes authMasterKey, privMasterKey;
   bool authKeyGiven = false, privKeyGiven = false;

   // The authoritative engine; boots and time as last learnt, at timeRefMs
   // (monotonic clock).
   hksnmp::Bytes engineId;
   uint32_t boots = 0, time = 0;
   uint64_t timeRefMs = 0;

   uint64_t salt = hksnmp::UsmRandom64();  // privacy salt counter

   // The msgID of the last message for our user whose digest did not verify
   // with our key: an engine that holds another key for the user signs its
   // wrongDigest Report with that key.
   uint32_t badDigestMessageId = 0;

   struct LocalizedKeys {
      hksnmp::Bytes engineId, auth, priv;
   };

   // The keys localised to engineId, computed on first use; null when a
   // secret the level needs is missing or a digest failed.
   const LocalizedKeys *keysFor(const uint8_t *id, size_t length);
   // Forgets derived keys (after a secret or a method changed).
   void dropKeys();

   uint32_t estimatedTime() const;
   // Takes the engine's boots and time from an authenticated message when
   // they are later than what is known (RFC 3414 3.2 step 7b), or always
   // when force is set (a notInTimeWindow Report, or discovery).
   void learnTime(uint32_t newBoots, uint32_t newTime, bool force);

private:
   static constexpr size_t kMaxCachedEngines = 8;
   bool masterKeys();

   hksnmp::Bytes m_authKu, m_privKu;  // derived from the secrets; empty until needed
   std::vector<LocalizedKeys> m_localized;
};

#endif
