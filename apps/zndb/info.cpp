// info.cpp -- zndb info: what a data file holds, read byte by byte.
#include <unistd.h>

#include <cstdio>

#include "commands.h"
#include "examine.h"

namespace zndb_tool {

int run_info(const Invocation &inv) {
    const std::string &path = inv.files[0];
    Examined ex;
    if (!examine_reporting(path, inv.swapped, ex))
        return 1;
    const zn_datafile::Layout &l = ex.layout;
    const std::string lock = path + ".locked";
    printf("File          : %s\n", path.c_str());
    printf("Size          : %llu bytes\n", static_cast<unsigned long long>(l.size));
    printf("Description   : %s\n", l.description.c_str());
    printf("Version       : %ld\n", static_cast<long>(l.version));
    printf("Records       : %ld (header)\n", static_cast<long>(l.records));
    printf("Record blocks : %llu present\n", static_cast<unsigned long long>(l.blocks));
    printf("Byte order    : %s\n", inv.swapped ? "byte-reversed (--swapped)" : "host order");
    printf("Lock file     : %s\n", access(lock.c_str(), F_OK) == 0 ? (lock + " (in use)").c_str() : "none");
    printf("Problem       : %s\n", l.problem ? describe(*l.problem).c_str() : "none");
    if (ex.other_order_sound)
        printf("Note          : %s\n", other_order_hint(inv.swapped).c_str());
    return 0;
}

} // namespace zndb_tool
