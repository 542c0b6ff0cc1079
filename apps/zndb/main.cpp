// main.cpp -- zndb, the data-file tool: examines, checks and converts zn data files.
#include <cstdio>

#include "commands.h"
#include "options.h"
#include "zndb.h"

using namespace zndb_tool;

namespace {

struct Command {
    const char *name;
    int (*run)(const Invocation &);
};

const Command commands[] = {
    {"info", run_info},     {"verify", run_verify}, {"dump", run_dump},
    {"swap", run_swap},     {"export", run_export}, {"import", run_import},
};

} // namespace

int main(int argc, char **argv) {
    Invocation inv;
    if (const auto status = zn_apps::exit_before_run(parse_options(argc, argv, inv), usage(), 2))
        return *status;
    db_set_verbose(0); // the tool explains failures itself
    for (const Command &c : commands)
        if (inv.command == c.name)
            return c.run(inv);
    return 2;
}
