// options.h -- znconsole's command line: where to connect and the commands of a scripted run.
#pragma once

#include "command_line.h"
#include "connection.h"

#include <optional>
#include <string>
#include <vector>

namespace znconsole {

struct Options {
    std::optional<Target> target;      // given: a socket, or a host (and port)
    std::vector<std::string> commands; // -c: run these and exit instead of relaying
    bool verbose = false;              // -v: say on standard error where it connected
};

using zn_apps::ParseResult;

// Reads argv into opt; bad_usage comes with a message on standard error.
ParseResult parse_options(int argc, char **argv, Options &opt);

// Where to try, in order, when no target is given: $ZN_CONSOLE_SOCKET when
// set, zndemo's socket in ./data, then 127.0.0.1 port 4700.
std::vector<Target> default_targets();

// The --help text.
const char *usage();

} // namespace znconsole
