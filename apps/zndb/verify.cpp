// verify.cpp -- zndb verify: every record block complete and as many as the header announces.
#include <cstdio>

#include "commands.h"
#include "examine.h"

namespace zndb_tool {

int run_verify(const Invocation &inv) {
    const std::string &path = inv.files[0];
    Examined ex;
    if (!examine_reporting(path, inv.swapped, ex))
        return 1;
    const zn_datafile::Layout &l = ex.layout;
    if (!l.problem) {
        printf("%s: sound: %ld records in %llu bytes\n", path.c_str(), static_cast<long>(l.records),
               static_cast<unsigned long long>(l.size));
        return 0;
    }
    printf("%s: problem %s\n", path.c_str(), describe(*l.problem).c_str());
    if (ex.other_order_sound)
        printf("%s: %s\n", path.c_str(), other_order_hint(inv.swapped).c_str());
    return 1;
}

} // namespace zndb_tool
