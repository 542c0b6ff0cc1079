// options.h -- znconsole's command line: where to connect and the commands of a scripted run.
#pragma once

#include "command_line.h"

#include <string>
#include <vector>

namespace znconsole {

struct Options {
    std::string host = "127.0.0.1";
    std::string port = "4700";
    std::vector<std::string> commands; // -c: run these and exit instead of relaying
};

using zn_apps::ParseResult;

// Reads argv into opt; bad_usage comes with a message on standard error.
ParseResult parse_options(int argc, char **argv, Options &opt);

// The --help text.
const char *usage();

} // namespace znconsole
