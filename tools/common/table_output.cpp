#include "table_output.h"

#include <algorithm>

#include "text.h"

namespace hktool {

namespace {

std::string OneLine(const std::string &cell) {
   std::string out = SanitizeUtf8(cell);
   for (char &c : out) {
      if ((unsigned char)c < 0x20 || c == 0x7F)
         c = ' ';
   }
   return out;
}

}  // namespace

size_t DisplayWidth(const std::string &text) {
   size_t width = 0;
   for (char c : text) {
      if (((unsigned char)c & 0xC0) != 0x80)
         width++;
   }
   return width;
}

void TextTable::addRow(std::vector<std::string> cells) {
   cells.resize(std::max(cells.size(), m_headers.size()));
   for (std::string &cell : cells)
      cell = OneLine(cell);
   m_rows.push_back(std::move(cells));
}

std::string TextTable::render() const {
   size_t columns = m_headers.size();
   for (const auto &row : m_rows)
      columns = std::max(columns, row.size());
   std::vector<size_t> widths(columns, 0);
   auto measure = [&](const std::vector<std::string> &row) {
      for (size_t i = 0; i < row.size(); i++)
         widths[i] = std::max(widths[i], DisplayWidth(row[i]));
   };
   measure(m_headers);
   for (const auto &row : m_rows)
      measure(row);

   std::string out;
   auto emit = [&](const std::vector<std::string> &row) {
      std::string line;
      for (size_t i = 0; i < row.size(); i++) {
         line += row[i];
         if (i + 1 < row.size())
            line.append(widths[i] - DisplayWidth(row[i]) + 2, ' ');
      }
      while (!line.empty() && line.back() == ' ')
         line.pop_back();
      out += line;
      out.push_back('\n');
   };
   if (!m_headers.empty())
      emit(m_headers);
   for (const auto &row : m_rows)
      emit(row);
   return out;
}

void TextTable::print(FILE *stream) const {
   std::string text = render();
   fwrite(text.data(), 1, text.size(), stream);
}

}  // namespace hktool
