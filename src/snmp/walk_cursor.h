// What every walk shares: where it stands in the subtree, the rules by which
// it takes or refuses a name an agent answered with, and one exchange with
// its error statuses turned into result codes.
#ifndef HKSRV_WALK_CURSOR_H
#define HKSRV_WALK_CURSOR_H

#include <cstddef>
#include <cstdint>

#include "hksrv_snmp.h"

// A walk's root, the last name it delivered (the name the next request asks
// from) and the callback it delivers to. The names live in fixed arrays so
// that a walk allocates nothing but its PDUs.
class WalkCursor {
public:
   enum class Verdict {
      Deliver,       // inside the subtree and after the current name
      EndOfSubtree,  // outside the subtree, or the current name repeated
      NoSuchObject,  // noSuchObject or noSuchInstance
      Refused,       // not after the current name, or too long to hold
   };

   WalkCursor(uint32_t version, SNMP_Transport *transport, SNMP_WALK_CALLBACK callback,
              void *userArg)
       : m_version(version), m_transport(transport), m_callback(callback), m_userArg(userArg) {}

   // Parses rootOid and makes the root the current name. On failure writes
   // catalog message 27 and returns false.
   bool start(const wchar_t *rootOid);

   // The verdict on one answered variable, in the GETNEXT walk's order: the
   // exception types, then the end tests, then the guard against names that
   // do not increase (which would keep a walk going for ever).
   Verdict judge(const SNMP_Variable *variable) const;

   // Acts on the verdict: Deliver moves on to the variable's name and hands
   // the variable to the callback. True when the walk goes on; otherwise
   // false with *result the walk's result (the callback's non-zero value, or
   // the code of the end).
   bool take(SNMP_Variable *variable, Verdict verdict, uint32_t *result);

   // A new variable named by the current name, for the next request.
   SNMP_Variable *nextRequestVariable() const;

private:
   uint32_t m_version;
   SNMP_Transport *m_transport;
   SNMP_WALK_CALLBACK m_callback;  // may be null
   void *m_userArg;
   uint32_t m_root[SNMP_MAX_OID_LENGTH];
   size_t m_rootLength = 0;
   uint32_t m_current[SNMP_MAX_OID_LENGTH];
   size_t m_currentLength = 0;
};

// Sends request and takes the answer as a walk does. Returns
// SNMP_ERR_SUCCESS with *response set (the caller deletes it); the code of
// doRequest (written to the log as message 25 when logErrors is non-zero);
// or, with the response already deleted, SNMP_ERR_NO_SUCH_OBJECT for
// error-status noSuchName and SNMP_ERR_AGENT_STATUS for any other
// error-status or an answer without variables. *errorStatus, when given,
// receives the answer's error-status (0 when nothing was answered).
uint32_t WalkExchange(SNMP_Transport *transport, SNMP_PDU *request, SNMP_PDU **response,
                      int logErrors, uint32_t *errorStatus = nullptr);

#endif
