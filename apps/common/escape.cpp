// escape.cpp -- how the programs show bytes from data files as text, and zndb reads them back.
#include "escape.h"

namespace zn_apps {

namespace {

const char hex_digits[] = "0123456789abcdef";

// The length of the well-formed UTF-8 sequence that starts value at i
// (1 for ASCII), or 0 when the bytes there are not one: no overlong forms,
// no surrogates, nothing beyond U+10FFFF.
size_t utf8_length(std::string_view value, size_t i) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(value[k]); };
    const unsigned char lead = byte(i);
    if (lead < 0x80)
        return 1;
    size_t len;
    unsigned char low = 0x80, high = 0xBF; // range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        len = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        len = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        len = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (i + len > value.size() || byte(i + 1) < low || byte(i + 1) > high)
        return 0;
    for (size_t k = 2; k < len; ++k)
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
    return len;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

void append_hex_digits(std::string &out, unsigned char byte) {
    out += hex_digits[byte >> 4];
    out += hex_digits[byte & 0x0F];
}

std::string escape_bytes(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (size_t i = 0; i < value.size();) {
        const auto c = static_cast<unsigned char>(value[i]);
        const size_t len = utf8_length(value, i);
        if (c == '\\') {
            out += "\\\\";
        } else if (len == 0 || c < 0x20 || c == 0x7F) {
            out += "\\x";
            append_hex_digits(out, c);
        } else {
            out.append(value.substr(i, len));
            i += len;
            continue;
        }
        ++i;
    }
    return out;
}

std::string unescape_bytes(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == '\\') {
            out += '\\';
            ++i;
        } else if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x' && hex_value(text[i + 2]) >= 0 &&
                   hex_value(text[i + 3]) >= 0) {
            out += static_cast<char>(hex_value(text[i + 2]) << 4 | hex_value(text[i + 3]));
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

bool is_utf8(std::string_view value) {
    for (size_t i = 0; i < value.size();) {
        const size_t len = utf8_length(value, i);
        if (len == 0)
            return false;
        i += len;
    }
    return true;
}

} // namespace zn_apps
