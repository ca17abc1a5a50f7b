// Read-only queries: one parameter, a list into the data-line store, a
// table, and the agent's catalogue of supported parameters and tables.
#include <algorithm>
#include <cstdlib>

#include "agent/request_util.h"
#include "hksrv_agent.h"
#include "hksrv_log.h"

using hksrv_agent::kMaxReplyItems;

uint32_t AgentConnection::getParameter(const wchar_t *name, uint32_t bufferSize, wchar_t *buffer) {
   if (!m_isConnected)
      return ERR_NOT_CONNECTED;

   CSCPMessage request(m_protocolVersion);
   request.SetCode(CMD_GET_PARAMETER);
   request.SetId(generateRequestId());
   request.SetVariable(VID_PARAMETER, name);
   return exchange(&request, m_commandTimeout, [&](CSCPMessage *reply) {
      if (buffer != nullptr && bufferSize > 0)
         reply->GetVariableStr(VID_VALUE, buffer, bufferSize);
   });
}

uint32_t AgentConnection::getList(const wchar_t *name) {
   // Not connected: the previous lines stay readable.
   if (!m_isConnected)
      return ERR_NOT_CONNECTED;

   destroyResultData();

   CSCPMessage request(m_protocolVersion);
   request.SetCode(CMD_GET_LIST);
   request.SetId(generateRequestId());
   request.SetVariable(VID_PARAMETER, name);
   return exchange(&request, m_commandTimeout, [this](CSCPMessage *reply) {
      // Lines the reply announces but does not carry become null entries;
      // no reply can carry more than kMaxReplyItems of them.
      uint32_t count = std::min(reply->GetVariableLong(VID_NUM_STRINGS), kMaxReplyItems);
      if (count == 0)
         return;
      m_dataLines = static_cast<wchar_t **>(malloc(sizeof(wchar_t *) * count));
      if (m_dataLines == nullptr)
         return;
      for (uint32_t i = 0; i < count; i++)
         m_dataLines[i] = reply->GetVariableStr(VID_ITEM_LIST_BASE + i);
      m_numDataLines = count;
   });
}

const wchar_t *AgentConnection::getDataLine(uint32_t index) const {
   return (index < m_numDataLines) ? m_dataLines[index] : L"(error)";
}

void AgentConnection::destroyResultData() {
   if (m_dataLines != nullptr) {
      for (uint32_t i = 0; i < m_numDataLines; i++)
         free(m_dataLines[i]);
      free(m_dataLines);
      m_dataLines = nullptr;
   }
   m_numDataLines = 0;
}

uint32_t AgentConnection::getTable(const wchar_t *name, Table **table) {
   *table = nullptr;
   if (!m_isConnected)
      return ERR_NOT_CONNECTED;

   CSCPMessage request(m_protocolVersion);
   request.SetCode(CMD_GET_TABLE);
   request.SetId(generateRequestId());
   request.SetVariable(VID_PARAMETER, name);
   return exchange(&request, m_commandTimeout,
                   [table](CSCPMessage *reply) { *table = new Table(reply); });
}

namespace {

// The announced record count, bounded by the variables the reply actually
// holds: a record needs at least one of them, so a larger count cannot be
// honest and must not size an allocation.
uint32_t BoundedCount(const CSCPMessage *reply, uint32_t countId) {
   return std::min({reply->GetVariableLong(countId), reply->GetNumVariables(), kMaxReplyItems});
}

StructArray<HKC_AGENT_PARAM> *ReadParameters(const CSCPMessage *reply) {
   uint32_t count = BoundedCount(reply, VID_NUM_PARAMETERS);
   auto *records =
       static_cast<HKC_AGENT_PARAM *>(calloc(count > 0 ? count : 1, sizeof(HKC_AGENT_PARAM)));
   for (uint32_t i = 0; i < count; i++) {
      uint32_t id = VID_ITEM_LIST_BASE + 3 * i;
      reply->GetVariableStr(id, records[i].name, 256);
      reply->GetVariableStr(id + 1, records[i].description, 256);
      records[i].dataType = (int32_t)reply->GetVariableShort(id + 2);
   }
   return new StructArray<HKC_AGENT_PARAM>(records, (int)count);
}

StructArray<HKC_AGENT_TABLE> *ReadTables(const CSCPMessage *reply) {
   uint32_t count = BoundedCount(reply, VID_NUM_TABLES);
   auto *records =
       static_cast<HKC_AGENT_TABLE *>(calloc(count > 0 ? count : 1, sizeof(HKC_AGENT_TABLE)));
   for (uint32_t i = 0; i < count; i++) {
      uint32_t id = VID_TABLE_LIST_BASE + 3 * i;
      reply->GetVariableStr(id, records[i].name, 256);
      reply->GetVariableStr(id + 1, records[i].instanceColumn, 64);
      reply->GetVariableStr(id + 2, records[i].description, 256);
   }
   return new StructArray<HKC_AGENT_TABLE>(records, (int)count);
}

}  // namespace

uint32_t AgentConnection::getSupportedParameters(StructArray<HKC_AGENT_PARAM> **parameters,
                                                 StructArray<HKC_AGENT_TABLE> **tables) {
   *parameters = nullptr;
   *tables = nullptr;
   if (!m_isConnected)
      return ERR_NOT_CONNECTED;

   CSCPMessage request(m_protocolVersion);
   request.SetCode(CMD_GET_SUPPORTED_PARAMETERS);
   request.SetId(generateRequestId());
   // The standard exchange written out: the result line is logged for every
   // reply that arrives, and before the counts, never for a reply that did not.
   if (!sendRequest(&request))
      return ERR_CONNECTION_BROKEN;
   CSCPMessage *reply = waitForMessage(CMD_REQUEST_COMPLETED, request.GetId(), m_commandTimeout);
   if (reply == nullptr)
      return ERR_REQUEST_TIMEOUT;
   uint32_t result = reply->GetVariableLong(VID_RCC);
   DbgPrintf(6, L"AgentConnection::getSupportedParameters(): RCC=%d", result);
   if (result == ERR_SUCCESS) {
      *parameters = ReadParameters(reply);
      DbgPrintf(6, L"AgentConnection::getSupportedParameters(): %d parameters received from agent",
                (*parameters)->size());
      *tables = ReadTables(reply);
      DbgPrintf(6, L"AgentConnection::getSupportedParameters(): %d tables received from agent",
                (*tables)->size());
   }
   delete reply;
   return result;
}
