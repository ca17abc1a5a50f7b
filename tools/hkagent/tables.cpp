#include "tables.h"

#include <dirent.h>
#include <strings.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <vector>

#include "agent_codes.h"
#include "fd_util.h"
#include "netlists.h"
#include "sysinfo.h"

namespace hkagent {

const TableInfo kTables[] = {
    {"System.Processes", "PID", "Processes running on the host"},
    {"Net.Interfaces", "INDEX", "Network interfaces with their counters"},
    {nullptr, nullptr, nullptr},
};

namespace {

std::wstring Widen(const std::string &text) {
   std::wstring out;
   out.reserve(text.size());
   for (unsigned char c : text)
      out.push_back((wchar_t)c);
   return out;
}

void SetCell(Table *table, int row, int column, const std::string &value) {
   table->setAt(row, column, Widen(value).c_str());
}

void FillProcesses(Table *table) {
   table->setTitle(L"System.Processes");
   table->setInstanceColumn(L"PID");
   int pid = table->addColumn(L"PID", DT_UINT);
   int name = table->addColumn(L"NAME", DT_STRING);
   int state = table->addColumn(L"STATE", DT_STRING);
   int threads = table->addColumn(L"THREADS", DT_UINT);
   int rss = table->addColumn(L"RSS", DT_UINT64);
   long pageSize = sysconf(_SC_PAGESIZE);
   DIR *dir = opendir("/proc");
   if (dir == nullptr)
      return;
   while (struct dirent *entry = readdir(dir)) {
      if (!isdigit((unsigned char)entry->d_name[0]))
         continue;
      std::string text;
      ProcessStat stat;
      if (!ReadFileLimited(std::string("/proc/") + entry->d_name + "/stat", 4096, &text) ||
          !ParseProcessStat(text, &stat))
         continue;
      int row = table->addRow();
      SetCell(table, row, pid, std::to_string(stat.pid));
      SetCell(table, row, name, stat.name);
      SetCell(table, row, state, std::string(1, stat.state));
      SetCell(table, row, threads, std::to_string(stat.threads));
      SetCell(table, row, rss, std::to_string((unsigned long long)stat.rssPages * pageSize));
   }
   closedir(dir);
}

void FillInterfaces(Table *table) {
   table->setTitle(L"Net.Interfaces");
   table->setInstanceColumn(L"INDEX");
   int index = table->addColumn(L"INDEX", DT_UINT);
   int name = table->addColumn(L"NAME", DT_STRING);
   int type = table->addColumn(L"TYPE", DT_UINT);
   int mac = table->addColumn(L"MAC", DT_STRING);
   int mtu = table->addColumn(L"MTU", DT_UINT);
   int oper = table->addColumn(L"OPER_STATUS", DT_STRING);
   int in = table->addColumn(L"BYTES_IN", DT_UINT64);
   int out = table->addColumn(L"BYTES_OUT", DT_UINT64);
   for (const InterfaceRecord &rec : CollectInterfaces()) {
      int row = table->addRow();
      char macText[13];
      snprintf(macText, sizeof(macText), "%02X%02X%02X%02X%02X%02X", rec.mac[0], rec.mac[1],
               rec.mac[2], rec.mac[3], rec.mac[4], rec.mac[5]);
      std::string value;
      SetCell(table, row, index, std::to_string(rec.index));
      SetCell(table, row, name, rec.name);
      SetCell(table, row, type, std::to_string(rec.ifType));
      SetCell(table, row, mac, macText);
      SetCell(table, row, mtu, ReadInterfaceAttribute(rec.name, "mtu", &value) ? value : "");
      SetCell(table, row, oper,
              ReadInterfaceAttribute(rec.name, "operstate", &value) ? value : "unknown");
      SetCell(table, row, in,
              ReadInterfaceAttribute(rec.name, "statistics/rx_bytes", &value) ? value : "");
      SetCell(table, row, out,
              ReadInterfaceAttribute(rec.name, "statistics/tx_bytes", &value) ? value : "");
   }
}

}  // namespace

bool ParseProcessStat(std::string_view text, ProcessStat *stat) {
   size_t open = text.find('(');
   size_t close = text.rfind(')');
   if (open == std::string_view::npos || close == std::string_view::npos || close < open)
      return false;
   std::string pidText(text.substr(0, open));
   char *end = nullptr;
   stat->pid = strtol(pidText.c_str(), &end, 10);
   if (end == pidText.c_str() || stat->pid <= 0)
      return false;
   stat->name = std::string(text.substr(open + 1, close - open - 1));
   // After the name: state is field 3; threads field 20; rss field 24.
   std::string rest(text.substr(close + 1));
   std::vector<std::string> fields;
   size_t i = 0;
   while (i < rest.size() && fields.size() < 22) {
      while (i < rest.size() && rest[i] == ' ')
         i++;
      size_t start = i;
      while (i < rest.size() && rest[i] != ' ' && rest[i] != '\n')
         i++;
      if (i > start)
         fields.push_back(rest.substr(start, i - start));
      else
         break;
   }
   if (fields.size() < 22 || fields[0].size() != 1)
      return false;
   stat->state = fields[0][0];
   stat->threads = strtol(fields[17].c_str(), nullptr, 10);
   stat->rssPages = strtol(fields[21].c_str(), nullptr, 10);
   return true;
}

bool FillTable(const std::string &name, Table *table) {
   if (strcasecmp(name.c_str(), "System.Processes") == 0) {
      FillProcesses(table);
      return true;
   }
   if (strcasecmp(name.c_str(), "Net.Interfaces") == 0) {
      FillInterfaces(table);
      return true;
   }
   return false;
}

}  // namespace hkagent
