// csv.h -- records as CSV lines: one record per line, one parameter per field.
//
// Fields are separated by commas; a field holding a comma or a double quote
// is enclosed in double quotes, with its quotes doubled. Values are shown
// with escape_bytes() (see escape.h), so line ends inside values appear as
// \x0a and every record stays on one line. A record without parameters is
// an empty line; a record of one empty parameter is "".
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace zndb_tool {

using Fields = std::vector<std::string>;

// One CSV line for a record, without its line end.
std::string csv_line(const std::vector<std::string_view> &values);

struct CsvResult {
    std::vector<Fields> records; // the values, unescaped
    std::string error;           // empty when the text was read whole
    size_t error_line = 0;       // line of the error, counting from 1
};

// Reads CSV text: lines end with LF or CR LF (the last one may lack it);
// quoted fields may span lines. Stops at the first malformed line.
CsvResult parse_csv(std::string_view text);

} // namespace zndb_tool
