// Fuzz target: arbitrary bytes checked as a data file in both byte orders.
//
// A file the check finds sound must open through the library with exactly
// the records the check counted.
#include <cstdint>
#include <string_view>

#include "input_file.h"
#include "layout.h"
#include "zndb.h"

namespace {

znfuzz::InputFile input;

long records_in(DataBase *db) {
    long n = 0;
    for (DataBaseInfo *dbi = db->dbinfo; dbi; dbi = dbi->next)
        ++n;
    return n;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    input.name("layout");
    db_set_verbose(0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char *>(data), size);
    if (!input.write(data, size))
        return 0;
    for (int swap = 0; swap < 2; ++swap) {
        const zn_datafile::Layout layout = zn_datafile::scan_layout(bytes, swap);
        if (layout.problem && layout.problem->offset > size)
            __builtin_trap();
        if (layout.problem)
            continue;
        db_set_byte_swap(swap);
        DataBase *db = db_open(input.path(), 0);
        if (!db || records_in(db) != static_cast<long>(layout.blocks) || db_records(db) != layout.records)
            __builtin_trap();
        db_close(db);
    }
    input.remove();
    return 0;
}
