// commands.h -- zndb's commands; each returns the exit status.
#pragma once

#include "options.h"

namespace zndb_tool {

int run_info(const Invocation &inv);
int run_verify(const Invocation &inv);
int run_dump(const Invocation &inv);
int run_swap(const Invocation &inv);
int run_export(const Invocation &inv);
int run_import(const Invocation &inv);

} // namespace zndb_tool
