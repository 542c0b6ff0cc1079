// Fuzz target: arbitrary bytes checked as a data file in both byte orders.
//
// A file the check finds sound must open through the library with exactly
// the records the check counted.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string_view>

#include "layout.h"
#include "zndb.h"

namespace {

char path[64];

long records_in(DataBase *db) {
    long n = 0;
    for (DataBaseInfo *dbi = db->dbinfo; dbi; dbi = dbi->next)
        ++n;
    return n;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    snprintf(path, sizeof path, "/tmp/fuzz-layout-%ld.db", static_cast<long>(getpid()));
    db_set_verbose(0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char *>(data), size);
    FILE *f = fopen(path, "wb");
    if (!f)
        return 0;
    fwrite(data, 1, size, f);
    fclose(f);
    for (int swap = 0; swap < 2; ++swap) {
        const zn_datafile::Layout layout = zn_datafile::scan_layout(bytes, swap);
        if (layout.problem && layout.problem->offset > size)
            __builtin_trap();
        if (layout.problem)
            continue;
        db_set_byte_swap(swap);
        DataBase *db = db_open(path, 0);
        if (!db || records_in(db) != static_cast<long>(layout.blocks) || db_records(db) != layout.records)
            __builtin_trap();
        db_close(db);
    }
    unlink(path);
    return 0;
}
