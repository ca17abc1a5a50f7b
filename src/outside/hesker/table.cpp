// Table: text cells with named, typed columns, and its message form
// (docs/protocol.md, "Tables").
#include <cwchar>
#include <string>
#include <vector>

#include "hkcp.h"

namespace {

// Ids of the column and cell variables fit below the next id block.
const uint64_t MAX_COLUMNS = (VID_TABLE_DATA_BASE - VID_TABLE_COLUMN_INFO_BASE) / 2;
const uint64_t MAX_CELLS = VID_TABLE_LIST_BASE - VID_TABLE_DATA_BASE;

struct Column {
   std::wstring name;
   int32_t dataType;
};

}  // namespace

struct Table::Impl {
   std::wstring title;
   std::wstring instanceColumn;
   std::vector<Column> columns;
   std::vector<std::vector<std::wstring>> rows;  // each as wide as columns

   bool inside(int row, int column) const {
      return row >= 0 && (size_t)row < rows.size() && column >= 0 &&
             (size_t)column < columns.size();
   }
   bool read(const CSCPMessage *message);
};

Table::Table() : m_impl(new Impl) {}

Table::Table(const CSCPMessage *message) : m_impl(new Impl) {
   if (message == nullptr || !m_impl->read(message)) {
      delete m_impl;
      m_impl = new Impl;
   }
}

Table::~Table() {
   delete m_impl;
}

// Every count is checked against the variables the message really holds
// before it sizes anything.
bool Table::Impl::read(const CSCPMessage *message) {
   uint64_t numRows = message->GetVariableLong(VID_TABLE_NUM_ROWS);
   uint64_t numCols = message->GetVariableLong(VID_TABLE_NUM_COLS);
   uint64_t available = message->GetNumVariables();
   if (numCols > MAX_COLUMNS || numRows * numCols > MAX_CELLS || numCols * 2 > available ||
       numRows * numCols > available || numRows > available)
      return false;

   wchar_t *text = message->GetVariableStr(VID_TABLE_TITLE);
   title = (text != nullptr) ? text : L"";
   free(text);
   text = message->GetVariableStr(VID_TABLE_INSTANCE_COLUMN);
   instanceColumn = (text != nullptr) ? text : L"";
   free(text);

   columns.resize(numCols);
   for (uint32_t c = 0; c < numCols; c++) {
      text = message->GetVariableStr(VID_TABLE_COLUMN_INFO_BASE + 2 * c);
      if (text == nullptr)
         return false;
      columns[c].name = text;
      free(text);
      columns[c].dataType =
          (int32_t)message->GetVariableLong(VID_TABLE_COLUMN_INFO_BASE + 2 * c + 1);
   }
   rows.resize(numRows);
   uint32_t id = VID_TABLE_DATA_BASE;
   for (auto &row : rows) {
      row.resize(numCols);
      for (auto &cell : row) {
         text = message->GetVariableStr(id++);
         if (text == nullptr)
            return false;
         cell = text;
         free(text);
      }
   }
   return true;
}

void Table::fillMessage(CSCPMessage *message) const {
   if (message == nullptr)
      return;
   message->SetVariable(VID_TABLE_TITLE, m_impl->title.c_str());
   message->SetVariable(VID_TABLE_NUM_ROWS, (uint32_t)m_impl->rows.size());
   message->SetVariable(VID_TABLE_NUM_COLS, (uint32_t)m_impl->columns.size());
   message->SetVariable(VID_TABLE_INSTANCE_COLUMN, m_impl->instanceColumn.c_str());
   uint32_t id = VID_TABLE_COLUMN_INFO_BASE;
   for (const Column &c : m_impl->columns) {
      message->SetVariable(id++, c.name.c_str());
      message->SetVariable(id++, (uint32_t)c.dataType);
   }
   id = VID_TABLE_DATA_BASE;
   for (const auto &row : m_impl->rows) {
      for (const auto &cell : row)
         message->SetVariable(id++, cell.c_str());
   }
}

int Table::getNumRows() const {
   return (int)m_impl->rows.size();
}
int Table::getNumColumns() const {
   return (int)m_impl->columns.size();
}
const wchar_t *Table::getTitle() const {
   return m_impl->title.c_str();
}
void Table::setTitle(const wchar_t *title) {
   m_impl->title = title != nullptr ? title : L"";
}
const wchar_t *Table::getInstanceColumn() const {
   return m_impl->instanceColumn.c_str();
}
void Table::setInstanceColumn(const wchar_t *name) {
   m_impl->instanceColumn = name != nullptr ? name : L"";
}

int Table::addColumn(const wchar_t *name, int32_t dataType) {
   m_impl->columns.push_back({name != nullptr ? name : L"", dataType});
   for (auto &row : m_impl->rows)
      row.emplace_back();
   return (int)m_impl->columns.size() - 1;
}

const wchar_t *Table::getColumnName(int column) const {
   if (column < 0 || (size_t)column >= m_impl->columns.size())
      return nullptr;
   return m_impl->columns[(size_t)column].name.c_str();
}

int32_t Table::getColumnDataType(int column) const {
   if (column < 0 || (size_t)column >= m_impl->columns.size())
      return 0;
   return m_impl->columns[(size_t)column].dataType;
}

int Table::getColumnIndex(const wchar_t *name) const {
   if (name == nullptr)
      return -1;
   for (size_t i = 0; i < m_impl->columns.size(); i++) {
      if (m_impl->columns[i].name == name)
         return (int)i;
   }
   return -1;
}

int Table::addRow() {
   m_impl->rows.emplace_back(m_impl->columns.size());
   return (int)m_impl->rows.size() - 1;
}

void Table::setAt(int row, int column, const wchar_t *value) {
   if (m_impl->inside(row, column))
      m_impl->rows[(size_t)row][(size_t)column] = value != nullptr ? value : L"";
}

const wchar_t *Table::getAsString(int row, int column) const {
   if (!m_impl->inside(row, column))
      return nullptr;
   return m_impl->rows[(size_t)row][(size_t)column].c_str();
}

int32_t Table::getAsInt(int row, int column) const {
   const wchar_t *s = getAsString(row, column);
   return s != nullptr ? (int32_t)wcstol(s, nullptr, 10) : 0;
}

uint32_t Table::getAsUInt(int row, int column) const {
   const wchar_t *s = getAsString(row, column);
   return s != nullptr ? (uint32_t)wcstoul(s, nullptr, 10) : 0;
}

int64_t Table::getAsInt64(int row, int column) const {
   const wchar_t *s = getAsString(row, column);
   return s != nullptr ? (int64_t)wcstoll(s, nullptr, 10) : 0;
}
