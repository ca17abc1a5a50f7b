// The key cache and the engine clock of an SNMPv3 security context.
#include "usm_state.h"

#include <algorithm>

#include "hk_platform.h"

using namespace hksnmp;

void SnmpUsmState::dropKeys() {
   m_authKu.clear();
   m_privKu.clear();
   m_localized.clear();
}

bool SnmpUsmState::masterKeys() {
   if (level == SNMP_SECURITY_NOAUTH_NOPRIV) {
      return true;
   }
   if (m_authKu.empty()) {
      if (authKeyGiven) {
         m_authKu = authMasterKey;
      } else if (!UsmPasswordToKey(authMethod,
                                   reinterpret_cast<const uint8_t *>(authPassword.data()),
                                   authPassword.size(), &m_authKu)) {
         return false;
      }
   }
   if (level == SNMP_SECURITY_AUTH_PRIV && m_privKu.empty()) {
      // The privacy key comes from the authentication protocol's digest.
      if (privKeyGiven) {
         m_privKu = privMasterKey;
      } else if (!UsmPasswordToKey(authMethod,
                                   reinterpret_cast<const uint8_t *>(privPassword.data()),
                                   privPassword.size(), &m_privKu)) {
         return false;
      }
   }
   return !m_authKu.empty() && (level != SNMP_SECURITY_AUTH_PRIV || !m_privKu.empty());
}

const SnmpUsmState::LocalizedKeys *SnmpUsmState::keysFor(const uint8_t *id, size_t length) {
   for (const LocalizedKeys &keys : m_localized) {
      // Entries are dropped whenever a setting changes, so a match is current.
      if (keys.engineId.size() == length &&
          std::equal(keys.engineId.begin(), keys.engineId.end(), id)) {
         return &keys;
      }
   }
   if (!masterKeys()) {
      return nullptr;
   }
   LocalizedKeys keys;
   keys.engineId.assign(id, id + length);
   if (level != SNMP_SECURITY_NOAUTH_NOPRIV &&
       !UsmLocalizeKey(authMethod, m_authKu, id, length, &keys.auth)) {
      return nullptr;
   }
   if (level == SNMP_SECURITY_AUTH_PRIV &&
       !UsmLocalizeKey(authMethod, m_privKu, id, length, &keys.priv)) {
      return nullptr;
   }
   std::erase_if(m_localized, [&](const LocalizedKeys &k) { return k.engineId == keys.engineId; });
   if (m_localized.size() == kMaxCachedEngines) {
      m_localized.erase(m_localized.begin());  // the oldest engine
   }
   m_localized.push_back(std::move(keys));
   return &m_localized.back();
}

uint32_t SnmpUsmState::estimatedTime() const {
   if (timeRefMs == 0) {
      return time;
   }
   uint64_t elapsed = (GetMonotonicMs() - timeRefMs) / 1000;
   uint64_t estimate = time + elapsed;
   return estimate > INT32_MAX ? INT32_MAX : static_cast<uint32_t>(estimate);
}

void SnmpUsmState::learnTime(uint32_t newBoots, uint32_t newTime, bool force) {
   if (force || newBoots > boots || (newBoots == boots && newTime > estimatedTime())) {
      boots = newBoots;
      time = newTime;
      timeRefMs = GetMonotonicMs();
   }
}
