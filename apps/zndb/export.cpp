// export.cpp -- zndb export: the records of a data file as CSV lines or JSON arrays.
#include <cstdio>

#include "commands.h"
#include "csv.h"
#include "data_file.h"
#include "examine.h"
#include "json.h"

namespace zndb_tool {

namespace {

void export_csv(DataBase *db) {
    for (DataBaseInfo *dbi = db->dbinfo; dbi; dbi = dbi->next)
        printf("%s\n", csv_line(record_values(dbi)).c_str());
}

void export_json(DataBase *db) {
    if (!db->dbinfo) {
        printf("[]\n");
        return;
    }
    printf("[\n");
    for (DataBaseInfo *dbi = db->dbinfo; dbi; dbi = dbi->next)
        printf("  %s%s\n", json_array(record_values(dbi)).c_str(), dbi->next ? "," : "");
    printf("]\n");
}

} // namespace

int run_export(const Invocation &inv) {
    DataBase *db = open_for_reading(inv.files[0], inv.swapped);
    if (!db)
        return 1;
    if (inv.format == Format::csv)
        export_csv(db);
    else
        export_json(db);
    db_close(db);
    return 0;
}

} // namespace zndb_tool
