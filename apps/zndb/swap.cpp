// swap.cpp -- zndb swap: a data file written again in the other byte order.
#include <cstdio>

#include "commands.h"
#include "data_file.h"
#include "examine.h"

namespace zndb_tool {

int run_swap(const Invocation &inv) {
    const std::string &in = inv.files[0], &out = inv.files[1];
    Examined ex;
    if (!examine_reporting(in, inv.swapped, ex))
        return 1;
    if (ex.layout.problem) { // the library would read past it and write a different file
        report_problem(in, ex, "; nothing written");
        return 1;
    }
    std::string error;
    DataBase *db = load_data_file(in, inv.swapped, error);
    const bool stored = db && store_data_file(db, out, !inv.swapped, error);
    if (stored)
        printf("%s: %ld records, %s\n", out.c_str(), db_records(db),
               inv.swapped ? "host order" : "byte-reversed (read it with --swapped)");
    else
        fprintf(stderr, "zndb: %s\n", error.c_str());
    db_close(db);
    return stored ? 0 : 1;
}

} // namespace zndb_tool
