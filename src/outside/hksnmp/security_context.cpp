// Credentials: the SNMPv1/v2c community and the SNMPv3 USM user.
#include "hksnmp.h"

#include <cstdlib>
#include <cstring>

#include "usm_state.h"

// A malloc'ed copy cut to SNMP_MAX_COMMUNITY_LENGTH bytes; "" for null.
static char *CopyCommunity(const char *community) {
   size_t length = community != nullptr ? strnlen(community, SNMP_MAX_COMMUNITY_LENGTH) : 0;
   char *copy = static_cast<char *>(malloc(length + 1));
   if (copy != nullptr) {
      if (length > 0) {
         memcpy(copy, community, length);
      }
      copy[length] = 0;
   }
   return copy;
}

static std::string CopyText(const char *text, size_t maxLength) {
   return text != nullptr ? std::string(text, strnlen(text, maxLength)) : std::string();
}

SNMP_SecurityContext::SNMP_SecurityContext()
    : m_community(CopyCommunity("public")), m_usm(nullptr) {}

SNMP_SecurityContext::SNMP_SecurityContext(const char *community)
    : m_community(CopyCommunity(community)), m_usm(nullptr) {}

SNMP_SecurityContext::SNMP_SecurityContext(const char *user, const char *authPassword,
                                           const char *privPassword, uint32_t authMethod,
                                           uint32_t privMethod)
    : m_community(CopyCommunity("")), m_usm(new SnmpUsmState()) {
   m_usm->user = CopyText(user, SNMP_MAX_USER_NAME_LENGTH);
   m_usm->authPassword = CopyText(authPassword, SIZE_MAX);
   m_usm->privPassword = CopyText(privPassword, SIZE_MAX);
   m_usm->authMethod = authMethod;
   m_usm->privMethod = privMethod;
   m_usm->level = authMethod == SNMP_AUTH_NONE   ? SNMP_SECURITY_NOAUTH_NOPRIV
                  : privMethod == SNMP_PRIV_NONE ? SNMP_SECURITY_AUTH_NOPRIV
                                                 : SNMP_SECURITY_AUTH_PRIV;
}

SNMP_SecurityContext::SNMP_SecurityContext(const SNMP_SecurityContext &src)
    : m_community(CopyCommunity(src.m_community)),
      m_usm(src.m_usm != nullptr ? new SnmpUsmState(*src.m_usm) : nullptr) {}

SNMP_SecurityContext::~SNMP_SecurityContext() {
   free(m_community);
   delete m_usm;
}

void SNMP_SecurityContext::setCommunity(const char *community) {
   char *copy = CopyCommunity(community);
   if (copy != nullptr) {
      free(m_community);
      m_community = copy;
   }
}

SnmpUsmState *SNMP_SecurityContext::usm() {
   if (m_usm == nullptr) {
      m_usm = new SnmpUsmState();
   }
   return m_usm;
}

const char *SNMP_SecurityContext::getUserName() const {
   return m_usm != nullptr ? m_usm->user.c_str() : "";
}

void SNMP_SecurityContext::setUserName(const char *user) {
   usm()->user = CopyText(user, SNMP_MAX_USER_NAME_LENGTH);
}

uint32_t SNMP_SecurityContext::getSecurityLevel() const {
   return m_usm != nullptr ? m_usm->level : SNMP_SECURITY_NOAUTH_NOPRIV;
}

void SNMP_SecurityContext::setSecurityLevel(uint32_t level) {
   usm()->level = level;
   m_usm->dropKeys();
}

uint32_t SNMP_SecurityContext::getAuthMethod() const {
   return m_usm != nullptr ? m_usm->authMethod : SNMP_AUTH_NONE;
}

void SNMP_SecurityContext::setAuthMethod(uint32_t method) {
   usm()->authMethod = method;
   m_usm->dropKeys();
}

uint32_t SNMP_SecurityContext::getPrivMethod() const {
   return m_usm != nullptr ? m_usm->privMethod : SNMP_PRIV_NONE;
}

void SNMP_SecurityContext::setPrivMethod(uint32_t method) {
   usm()->privMethod = method;
   m_usm->dropKeys();
}

void SNMP_SecurityContext::setAuthPassword(const char *password) {
   usm()->authPassword = CopyText(password, SIZE_MAX);
   m_usm->authKeyGiven = false;
   m_usm->dropKeys();
}

void SNMP_SecurityContext::setPrivPassword(const char *password) {
   usm()->privPassword = CopyText(password, SIZE_MAX);
   m_usm->privKeyGiven = false;
   m_usm->dropKeys();
}

void SNMP_SecurityContext::setAuthMasterKey(const uint8_t *key, size_t length) {
   usm()->authMasterKey.assign(key, key + length);
   m_usm->authKeyGiven = true;
   m_usm->dropKeys();
}

void SNMP_SecurityContext::setPrivMasterKey(const uint8_t *key, size_t length) {
   usm()->privMasterKey.assign(key, key + length);
   m_usm->privKeyGiven = true;
   m_usm->dropKeys();
}

void SNMP_SecurityContext::setContextName(const char *name) {
   usm()->contextName = CopyText(name, SNMP_MAX_CONTEXT_NAME_LENGTH);
}

void SNMP_SecurityContext::setContextEngineId(const uint8_t *id, size_t length) {
   length = length < SNMP_MAX_ENGINE_ID_LENGTH ? length : SNMP_MAX_ENGINE_ID_LENGTH;
   usm()->contextEngineId.assign(id, id + length);
}

void SNMP_SecurityContext::setAuthoritativeEngineId(const uint8_t *id, size_t length) {
   length = length < SNMP_MAX_ENGINE_ID_LENGTH ? length : SNMP_MAX_ENGINE_ID_LENGTH;
   SnmpUsmState *state = usm();
   state->engineId.assign(id, id + length);
   state->boots = 0;
   state->time = 0;
   state->timeRefMs = 0;
}

size_t SNMP_SecurityContext::getAuthoritativeEngineId(uint8_t *id) const {
   if (m_usm == nullptr) {
      return 0;
   }
   if (id != nullptr && !m_usm->engineId.empty()) {
      memcpy(id, m_usm->engineId.data(), m_usm->engineId.size());
   }
   return m_usm->engineId.size();
}

uint32_t SNMP_SecurityContext::getEngineBoots() const {
   return m_usm != nullptr ? m_usm->boots : 0;
}

uint32_t SNMP_SecurityContext::getEngineTime() const {
   return m_usm != nullptr ? m_usm->estimatedTime() : 0;
}
