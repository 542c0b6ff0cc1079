// Fuzz target: arbitrary bytes read as CSV by zndb import.
//
// What reads without error must survive being written as CSV lines and
// read again, and every escape must read back to its bytes.
#include <cstdint>
#include <string>
#include <string_view>

#include "csv.h"
#include "escape.h"

using namespace zn_apps;
using namespace zndb_tool;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    if (unescape_bytes(escape_bytes(text)) != text)
        __builtin_trap();
    const CsvResult read = parse_csv(text);
    if (!read.error.empty())
        return 0;
    std::string written;
    for (const Fields &record : read.records) {
        const std::vector<std::string_view> values(record.begin(), record.end());
        written += csv_line(values) + "\n";
    }
    const CsvResult again = parse_csv(written);
    if (!again.error.empty() || again.records != read.records)
        __builtin_trap();
    return 0;
}
