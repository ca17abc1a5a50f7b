// Aligned text tables for the tools' default output: a header line and one
// line per row, each column as wide as its widest cell (counted in
// characters, not bytes). Cells are UTF-8; line breaks and other control
// characters in a cell are shown as spaces so a row stays one line.
#ifndef HKTOOL_TABLE_OUTPUT_H
#define HKTOOL_TABLE_OUTPUT_H

#include <cstdio>
#include <string>
#include <vector>

namespace hktool {

class TextTable {
public:
   explicit TextTable(std::vector<std::string> headers) : m_headers(std::move(headers)) {}

   // A row with fewer cells than headers is padded with empty cells.
   void addRow(std::vector<std::string> cells);
   size_t rows() const { return m_rows.size(); }

   // The table as text; the last column is not padded.
   std::string render() const;
   void print(FILE *stream) const;

private:
   std::vector<std::string> m_headers;
   std::vector<std::vector<std::string>> m_rows;
};

// Characters (code points) in a UTF-8 text.
size_t DisplayWidth(const std::string &text);

}  // namespace hktool

#endif
