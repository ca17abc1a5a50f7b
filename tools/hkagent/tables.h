// The agent's tables, filled into the library's Table type:
//   "System.Processes": PID (instance), NAME, STATE, THREADS, RSS (bytes)
//   "Net.Interfaces":   INDEX (instance), NAME, TYPE, MAC, MTU, OPER_STATUS,
//                       BYTES_IN, BYTES_OUT
#ifndef HKAGENT_TABLES_H
#define HKAGENT_TABLES_H

#include <string>
#include <string_view>

#include "hesker.h"

namespace hkagent {

struct TableInfo {
   const char *name;
   const char *instanceColumn;
   const char *description;
};

// The tables this agent serves, ending with a null name.
extern const TableInfo kTables[];

// Fills table with the named table (case-insensitive name); false for a
// name that is not served.
bool FillTable(const std::string &name, Table *table);

// The process line of /proc/PID/stat into its fields; false when malformed.
// The command name may hold spaces and parentheses.
struct ProcessStat {
   long pid = 0;
   std::string name;
   char state = '?';
   long threads = 0;
   long rssPages = 0;
};
bool ParseProcessStat(std::string_view text, ProcessStat *stat);

}  // namespace hkagent

#endif
