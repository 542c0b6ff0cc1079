// options.h -- zndemo's command line: the defaults it runs on and the options that change them.
#pragma once

#include "command_line.h"

#include <string>

namespace zndemo {

struct Options {
    int port = 4700;                    // remote console port; 0 = no remote users
    std::string listen = "127.0.0.1";   // local address the port listens on
    std::string data = "./data";        // data directory, created when missing
    bool console = true;                // local console when stdin is a terminal
    bool status = false;                // statistics as the service manager's status
    bool tcp_admin = false;             // TCP users may run every command
};

using zn_apps::ParseResult;

// Reads argv into opt. bad_usage comes with a message on standard error;
// help means the caller prints usage() and stops.
ParseResult parse_options(int argc, char **argv, Options &opt);

// The --help text.
const char *usage();

} // namespace zndemo
