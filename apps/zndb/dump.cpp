// dump.cpp -- zndb dump: every record of a data file, or one parameter of each.
#include <cstdio>

#include "commands.h"
#include "data_file.h"
#include "escape.h"
#include "examine.h"

namespace zndb_tool {

using zn_apps::escape_bytes;

namespace {

void print_value(const char *lead, DataBaseParam *p) {
    const long len = db_param_length(p);
    const std::string shown = len > 0 ? escape_bytes(std::string_view(p->p, static_cast<size_t>(len))) : "";
    printf("%s%ld <\"%s\">\n", lead, len, shown.c_str());
}

void dump_records(DataBase *db) {
    int number = 0;
    for (DataBaseInfo *dbi = db->dbinfo; dbi; dbi = dbi->next) {
        printf("Record #%d, %ld parameters\n", ++number, db_num_params(dbi));
        int n = 0;
        for (DataBaseParam *p = dbi->p_first; p; p = p->next) {
            const std::string lead = "  Param " + std::to_string(++n) + ": ";
            print_value(lead.c_str(), p);
        }
    }
}

// Parameter param of every record that has it (a number of 1 or less
// means the first), numbered by the record's position.
void dump_param(DataBase *db, int param) {
    int number = 0;
    for (DataBaseInfo *dbi = db->dbinfo; dbi; dbi = dbi->next) {
        ++number;
        if (DataBaseParam *p = db_param_recall(dbi, param)) {
            const std::string lead = "[Record #" + std::to_string(number) + "] Param " + std::to_string(param) + ": ";
            print_value(lead.c_str(), p);
        }
    }
}

} // namespace

int run_dump(const Invocation &inv) {
    DataBase *db = open_for_reading(inv.files[0], inv.swapped);
    if (!db)
        return 1;
    printf("Database \"%s\", version %ld, %ld records\n", escape_bytes(db_name(db)).c_str(), db_version(db),
           db_records(db));
    if (inv.has_param)
        dump_param(db, inv.param);
    else
        dump_records(db);
    db_close(db);
    return 0;
}

} // namespace zndb_tool
