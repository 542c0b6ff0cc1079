// json.cpp -- records as JSON arrays: one array per record, one element per parameter.
#include "json.h"

#include <cstdio>

#include "escape.h"

namespace zndb_tool {

using zn_apps::append_hex_digits;
using zn_apps::is_utf8;

namespace {

std::string json_string(std::string_view value) {
    std::string out = "\"";
    for (char ch : value) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20 || c == 0x7F) {
                char code[8];
                snprintf(code, sizeof code, "\\u%04x", c);
                out += code;
            } else {
                out += ch;
            }
        }
    }
    return out + "\"";
}

std::string json_hex(std::string_view value) {
    std::string out = "{\"hex\": \"";
    for (char ch : value)
        append_hex_digits(out, static_cast<unsigned char>(ch));
    return out + "\"}";
}

} // namespace

std::string json_array(const std::vector<std::string_view> &values) {
    std::string out = "[";
    for (size_t i = 0; i < values.size(); ++i) {
        if (i > 0)
            out += ", ";
        out += is_utf8(values[i]) ? json_string(values[i]) : json_hex(values[i]);
    }
    return out + "]";
}

} // namespace zndb_tool
