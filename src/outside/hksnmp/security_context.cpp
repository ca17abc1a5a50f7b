// SNMPv1/v2c credentials.
#include "hksnmp.h"

#include <cstdlib>
#include <cstring>

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

SNMP_SecurityContext::SNMP_SecurityContext() : m_community(CopyCommunity("public")) {}

SNMP_SecurityContext::SNMP_SecurityContext(const char *community)
    : m_community(CopyCommunity(community)) {}

SNMP_SecurityContext::SNMP_SecurityContext(const SNMP_SecurityContext &src)
    : m_community(CopyCommunity(src.m_community)) {}

SNMP_SecurityContext::~SNMP_SecurityContext() {
   free(m_community);
}

void SNMP_SecurityContext::setCommunity(const char *community) {
   char *copy = CopyCommunity(community);
   if (copy != nullptr) {
      free(m_community);
      m_community = copy;
   }
}
