// options.h -- zndb's command line: the command, its files and its options.
#pragma once

#include "command_line.h"

#include <string>
#include <vector>

namespace zndb_tool {

enum class Format { none, csv, json };

struct Invocation {
    std::string command;
    std::vector<std::string> files; // the command's file arguments, in order
    bool swapped = false;           // integers byte-reversed (written with byte swapping on)
    bool has_param = false;
    int param = 1;                  // dump --param N
    Format format = Format::none;   // export --csv | --json
    bool has_desc = false;
    std::string desc;               // import --desc TEXT
    long version = 0;               // import --version N
};

using zn_apps::ParseResult;

// Reads argv into inv and checks that the command takes the files and
// options given; bad_usage comes with a message on standard error.
ParseResult parse_options(int argc, char **argv, Invocation &inv);

// The --help text.
const char *usage();

} // namespace zndb_tool
