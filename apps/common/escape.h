// escape.h -- how the programs show bytes from data files as text, and zndb reads them back.
//
// Text is printable ASCII and well-formed UTF-8. Every other byte (control
// characters, DEL, bytes of broken UTF-8) is shown as \xHH with two
// lower-case hex digits, and a backslash as \\, so that every value reads
// back to exactly its bytes, and no byte of a file can end a line or drive
// a terminal where zndb or zndemo print it.
#pragma once

#include <string>
#include <string_view>

namespace zn_apps {

// value with its non-text bytes as \xHH and backslashes doubled.
std::string escape_bytes(std::string_view value);

// The bytes that escape_bytes() showed as text: \\ gives a backslash, \xHH
// the byte HH (either case); any other backslash stands for itself.
std::string unescape_bytes(std::string_view text);

// Appends byte as two lower-case hex digits.
void append_hex_digits(std::string &out, unsigned char byte);

// True when value is well-formed UTF-8 (ASCII included), control
// characters allowed.
bool is_utf8(std::string_view value);

} // namespace zn_apps
