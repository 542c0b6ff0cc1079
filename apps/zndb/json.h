// json.h -- records as JSON arrays: one array per record, one element per parameter.
//
// A value that is well-formed UTF-8 is a JSON string (control characters
// as JSON escapes such as \n or \u0000); any other value is an object
// {"hex": "..."} holding its bytes as lower-case hex digits.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zndb_tool {

// One record as a JSON array, on one line.
std::string json_array(const std::vector<std::string_view> &values);

} // namespace zndb_tool
