// csv.cpp -- records as CSV lines: one record per line, one parameter per field.
#include "csv.h"

#include "escape.h"

namespace zndb_tool {

using zn_apps::escape_bytes;
using zn_apps::unescape_bytes;

namespace {

bool needs_quotes(std::string_view shown, size_t field_count) {
    return shown.find_first_of(",\"") != std::string_view::npos || (shown.empty() && field_count == 1);
}

std::string quoted(std::string_view shown) {
    std::string out = "\"";
    for (char c : shown) {
        out += c;
        if (c == '"')
            out += '"';
    }
    return out + "\"";
}

// A reader over the text that keeps the line number.
class CsvReader {
public:
    explicit CsvReader(std::string_view text) : text_(text) {}

    CsvResult read() {
        CsvResult result;
        while (at_ < text_.size() && result.error.empty()) {
            Fields record;
            if (read_record(record, result.error))
                result.records.push_back(std::move(record));
        }
        if (!result.error.empty())
            result.error_line = field_line_;
        return result;
    }

private:
    bool at_line_end() const {
        return at_ == text_.size() || text_[at_] == '\n' ||
               (text_[at_] == '\r' && at_ + 1 < text_.size() && text_[at_ + 1] == '\n');
    }

    void skip_line_end() {
        if (at_ < text_.size() && text_[at_] == '\r')
            ++at_;
        if (at_ < text_.size()) {
            ++at_;
            ++line_;
        }
    }

    // One line's fields; an empty line is a record without fields.
    bool read_record(Fields &record, std::string &error) {
        if (at_line_end()) {
            skip_line_end();
            return true;
        }
        for (;;) {
            std::string field;
            if (!read_field(field, error))
                return false;
            record.push_back(unescape_bytes(field));
            if (at_line_end()) {
                skip_line_end();
                return true;
            }
            ++at_; // the comma
        }
    }

    bool read_field(std::string &field, std::string &error) {
        field_line_ = line_;
        if (at_ < text_.size() && text_[at_] == '"')
            return read_quoted(field, error);
        while (!at_line_end() && text_[at_] != ',') {
            if (text_[at_] == '"') {
                error = "a double quote inside a field that does not begin with one";
                return false;
            }
            field += text_[at_++];
        }
        return true;
    }

    bool read_quoted(std::string &field, std::string &error) {
        ++at_; // the opening quote
        for (;;) {
            if (at_ == text_.size()) {
                error = "a quoted field is not closed";
                return false;
            }
            const char c = text_[at_++];
            if (c == '"' && at_ < text_.size() && text_[at_] == '"') {
                field += '"';
                ++at_;
            } else if (c == '"') {
                break;
            } else {
                line_ += c == '\n';
                field += c;
            }
        }
        if (!at_line_end() && text_[at_] != ',') {
            error = "something other than a comma or a line end after a closing double quote";
            return false;
        }
        return true;
    }

    std::string_view text_;
    size_t at_ = 0;
    size_t line_ = 1;
    size_t field_line_ = 1; // where the field being read began
};

} // namespace

std::string csv_line(const std::vector<std::string_view> &values) {
    std::string line;
    for (size_t i = 0; i < values.size(); ++i) {
        const std::string shown = escape_bytes(values[i]);
        if (i > 0)
            line += ',';
        line += needs_quotes(shown, values.size()) ? quoted(shown) : shown;
    }
    return line;
}

CsvResult parse_csv(std::string_view text) { return CsvReader(text).read(); }

} // namespace zndb_tool
