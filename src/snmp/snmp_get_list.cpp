// SnmpGetList: many variables in one GET request, split only when the
// request or its answer would be too big.
#include <deque>
#include <memory>
#include <vector>

#include "hksrv_log.h"
#include "snmp_common.h"

namespace {

// Room left in a message for everything but the variable bindings: the
// SNMPv1/v2c header with the longest community, or the SNMPv3 header with
// the longest engine id, user, context name, digest and padding.
const size_t kHeaderRoom = 1024;

size_t BerLengthSize(size_t length) {
   size_t size = 1;
   if (length >= 0x80) {
      for (size_t rest = length; rest > 0; rest >>= 8) {
         size++;
      }
   }
   return size;
}

// The encoded size of a binding of the OID to NULL, as a GET carries it.
size_t BindingSize(const std::vector<uint32_t> &oid) {
   size_t content = 1;  // the first two components share one byte
   for (size_t i = 2; i < oid.size(); i++) {
      uint32_t component = oid[i];
      do {
         content++;
         component >>= 7;
      } while (component != 0);
   }
   size_t name = 1 + BerLengthSize(content) + content;
   size_t binding = name + 2;
   return 1 + BerLengthSize(binding) + binding;
}

class GetList {
public:
   GetList(uint32_t version, SNMP_Transport *transport, SNMP_GET_LIST_CALLBACK callback,
           void *userArg, size_t count)
       : m_version(version),
         m_transport(transport),
         m_callback(callback),
         m_userArg(userArg),
         m_oids(count),
         m_results(count, SNMP_ERR_SUCCESS) {}

   void run(const wchar_t *const *oids, uint32_t flags) {
      std::deque<std::vector<size_t>> batches;
      std::vector<size_t> batch;
      size_t batchSize = 0;
      for (size_t i = 0; i < m_oids.size(); i++) {
         uint32_t components[SNMP_MAX_OID_LENGTH];
         size_t length =
             oids[i] != nullptr ? SNMPParseOID(oids[i], components, SNMP_MAX_OID_LENGTH) : 0;
         if (length == 0) {
            hklog_write(MSG_OID_PARSE_ERROR, EVENTLOG_ERROR_TYPE, "s",
                        oids[i] != nullptr ? oids[i] : L"");
            fail(i, SNMP_ERR_OID_SYNTAX);
            continue;
         }
         m_oids[i].assign(components, components + length);
         size_t size = BindingSize(m_oids[i]);
         if (!batch.empty() && batchSize + size > SNMP_MAX_MESSAGE_SIZE - kHeaderRoom) {
            batches.push_back(std::move(batch));
            batch.clear();
            batchSize = 0;
         }
         batch.push_back(i);
         batchSize += size;
      }
      if (!batch.empty()) {
         batches.push_back(std::move(batch));
      }

      uint32_t broken = SNMP_ERR_SUCCESS;  // the failed exchange that ends the rest
      while (!batches.empty()) {
         std::vector<size_t> current = std::move(batches.front());
         batches.pop_front();
         if (broken != SNMP_ERR_SUCCESS) {
            failAll(current, broken);
            continue;
         }
         SNMP_PDU request(SNMP_GET_REQUEST, SnmpNewRequestId(), m_version);
         for (size_t index : current) {
            request.bindVariable(new SNMP_Variable(m_oids[index].data(), m_oids[index].size()));
         }
         SNMP_PDU *answer = nullptr;
         uint32_t result =
             m_transport->doRequest(&request, &answer, SnmpCurrentTimeout(), SnmpCurrentAttempts());
         if (result != SNMP_ERR_SUCCESS) {
            if (flags & SNMPGET_LOG_ERRORS) {
               hklog_write(MSG_SNMP_GET_ERROR, EVENTLOG_ERROR_TYPE, "d", static_cast<int>(result));
            }
            broken = result;
            failAll(current, result);
            continue;
         }
         std::unique_ptr<SNMP_PDU> response(answer);
         takeAnswer(response.get(), std::move(current), &batches);
      }
   }

   // The result of the first failed OID in the order given.
   uint32_t result() const {
      for (uint32_t r : m_results) {
         if (r != SNMP_ERR_SUCCESS) {
            return r;
         }
      }
      return SNMP_ERR_SUCCESS;
   }

private:
   void deliver(size_t index, uint32_t result, const SNMP_Variable *variable) {
      m_results[index] = result;
      m_callback(index, result, variable, m_userArg);
   }
   void fail(size_t index, uint32_t result) { deliver(index, result, nullptr); }
   void failAll(const std::vector<size_t> &batch, uint32_t result) {
      for (size_t index : batch) {
         fail(index, result);
      }
   }

   // Delivers what the answer holds, or puts back in front the requests it
   // calls for: the halves after tooBig, the rest after one failed OID.
   void takeAnswer(const SNMP_PDU *response, std::vector<size_t> batch,
                   std::deque<std::vector<size_t>> *batches) {
      uint32_t status = response->getErrorCode();
      if (status == SNMP_PDU_ERR_TOO_BIG && batch.size() > 1) {
         size_t half = batch.size() / 2;
         batches->push_front(std::vector<size_t>(batch.begin() + half, batch.end()));
         batches->push_front(std::vector<size_t>(batch.begin(), batch.begin() + half));
         return;
      }
      if (status != SNMP_PDU_ERR_SUCCESS) {
         uint32_t code =
             status == SNMP_PDU_ERR_NO_SUCH_NAME ? SNMP_ERR_NO_SUCH_OBJECT : SNMP_ERR_AGENT_STATUS;
         uint32_t position = response->getErrorIndex();
         if (batch.size() == 1) {
            fail(batch[0], code);
         } else if (position >= 1 && position <= batch.size()) {
            // Every removal shortens the request, so this ends.
            fail(batch[position - 1], code);
            batch.erase(batch.begin() + (position - 1));
            batches->push_front(std::move(batch));
         } else {
            failAll(batch, SNMP_ERR_AGENT_STATUS);
         }
         return;
      }
      if (response->getNumVariables() != static_cast<int>(batch.size())) {
         failAll(batch, SNMP_ERR_AGENT_STATUS);
         return;
      }
      for (size_t i = 0; i < batch.size(); i++) {
         const SNMP_Variable *variable = response->getVariable(static_cast<int>(i));
         const std::vector<uint32_t> &asked = m_oids[batch[i]];
         if (variable->getName()->compare(asked.data(), asked.size()) != 0) {
            fail(batch[i], SNMP_ERR_AGENT_STATUS);
         } else if (variable->getType() == ASN_NO_SUCH_OBJECT ||
                    variable->getType() == ASN_NO_SUCH_INSTANCE) {
            deliver(batch[i], SNMP_ERR_NO_SUCH_OBJECT, variable);
         } else {
            deliver(batch[i], SNMP_ERR_SUCCESS, variable);
         }
      }
   }

   uint32_t m_version;
   SNMP_Transport *m_transport;
   SNMP_GET_LIST_CALLBACK m_callback;
   void *m_userArg;
   std::vector<std::vector<uint32_t>> m_oids;  // parsed; empty when the text did not parse
   std::vector<uint32_t> m_results;
};

}  // namespace

uint32_t SnmpGetList(uint32_t version, SNMP_Transport *transport, const wchar_t *const *oids,
                     size_t count, SNMP_GET_LIST_CALLBACK callback, void *userArg, uint32_t flags) {
   if (transport == nullptr) {
      return SNMP_ERR_NO_TRANSPORT;
   }
   if ((oids == nullptr && count > 0) || callback == nullptr) {
      return SNMP_ERR_PARAM;
   }
   GetList list(version, transport, callback, userArg, count);
   list.run(oids, flags);
   return list.result();
}
