// Fuzz target: arbitrary bytes opened as a data file, in both byte orders.
//
// Whatever opens is also walked, searched, sorted, copied and closed, so that
// damaged lengths and counts reach every reader of the records.
#include <cstdint>
#include <cstring>

#include "input_file.h"
#include "zndb.h"

namespace {

znfuzz::InputFile input;
char search_text[] = "a";

void exercise(DataBase *db) {
    db_start(db);
    while (DataBaseInfo *dbi = db_next(db)) {
        db_param_start(dbi);
        while (DataBaseParam *dbp = db_param_next(dbi))
            (void)db_param_string(dbp);
    }
    db_find(db, 2, search_text, 2);
    db_search_set(db, 2, 1, search_text);
    while (db_search_next(db)) {
    }
    db_sort_by_param(db, 1, 2, 3, 1, 2);
    if (db->dbinfo)
        db_sort_params(db->dbinfo, 2, 0);
    db_close(db_copy(db, input.path()));
    db_close(db);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    input.name("db-open");
    db_set_verbose(0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (!input.write(data, size))
        return 0;
    for (int swap = 0; swap < 2; ++swap) {
        db_set_byte_swap(swap);
        if (DataBase *db = db_open(input.path(), 0))
            exercise(db);
    }
    if (_db_list)
        __builtin_trap(); // a failed open must leave nothing in the catalogue
    input.remove();
    return 0;
}
