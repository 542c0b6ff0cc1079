// import.cpp -- zndb import: a data file made from CSV lines, one record per line.
#include <cstdio>

#include "commands.h"
#include "csv.h"
#include "data_file.h"
#include "layout.h"

namespace zndb_tool {

namespace {

// A database of the CSV records under OUT's table name; null when out of memory.
DataBase *build_database(const std::vector<Fields> &records, const Invocation &inv) {
    const std::string table = table_name_for(inv.files[1]);
    DataBase *db = db_create(const_cast<char *>(table.c_str()), const_cast<char *>(inv.desc.c_str()), inv.version);
    for (const Fields &fields : records) {
        DataBaseInfo *dbi = db ? db_new(db) : nullptr;
        if (!dbi) {
            db_close(db);
            return nullptr;
        }
        for (const std::string &value : fields) {
            if (!db_param_new(dbi, static_cast<long>(value.size()), const_cast<char *>(value.data()))) {
                db_close(db);
                return nullptr;
            }
        }
    }
    return db;
}

} // namespace

int run_import(const Invocation &inv) {
    const std::string &csv_path = inv.files[0], &out = inv.files[1];
    std::string text, why;
    if (!zn_datafile::read_whole_file(csv_path, text, why)) {
        fprintf(stderr, "zndb: cannot read %s: %s\n", csv_path.c_str(), why.c_str());
        return 1;
    }
    const CsvResult csv = parse_csv(text);
    if (!csv.error.empty()) {
        fprintf(stderr, "zndb: %s:%zu: %s; nothing written\n", csv_path.c_str(), csv.error_line, csv.error.c_str());
        return 1;
    }
    DataBase *db = build_database(csv.records, inv);
    if (!db) {
        fprintf(stderr, "zndb: out of memory; nothing written\n");
        return 1;
    }
    std::string error;
    const bool stored = store_data_file(db, out, inv.swapped, error);
    if (stored)
        printf("%s: %ld records imported\n", out.c_str(), db_records(db));
    else
        fprintf(stderr, "zndb: %s\n", error.c_str());
    db_close(db);
    return stored ? 0 : 1;
}

} // namespace zndb_tool
