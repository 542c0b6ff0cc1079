// options.cpp -- parsing znconsole's command line.
#include "options.h"

#include <getopt.h>

#include <cstdio>
#include <cstdlib>

namespace znconsole {

namespace {

const option long_options[] = {
    {"command", required_argument, nullptr, 'c'},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

bool is_port(const std::string &text) {
    char *end = nullptr;
    const long value = strtol(text.c_str(), &end, 10);
    return !text.empty() && *end == '\0' && value > 0 && value <= 65535;
}

} // namespace

ParseResult parse_options(int argc, char **argv, Options &opt) {
    opterr = 0;
    int id;
    while ((id = getopt_long(argc, argv, "c:h", long_options, nullptr)) != -1) {
        switch (id) {
        case 'c':
            opt.commands.emplace_back(optarg);
            break;
        case 'h':
            return ParseResult::help;
        default:
            fprintf(stderr, "znconsole: unknown option or missing value: %s (see znconsole --help)\n",
                    argv[optind - 1]);
            return ParseResult::bad_usage;
        }
    }
    const int positional = argc - optind;
    if (positional > 2) {
        fprintf(stderr, "znconsole: too many arguments (see znconsole --help)\n");
        return ParseResult::bad_usage;
    }
    if (positional >= 1)
        opt.host = argv[optind];
    if (positional == 2)
        opt.port = argv[optind + 1];
    if (!is_port(opt.port)) {
        fprintf(stderr, "znconsole: the port must be a number from 1 to 65535, not \"%s\"\n", opt.port.c_str());
        return ParseResult::bad_usage;
    }
    return ParseResult::run;
}

const char *usage() {
    return "Usage: znconsole [host] [port]\n"
           "       znconsole -c COMMAND [-c COMMAND]... [host] [port]\n"
           "\n"
           "Connects to the console of a zn daemon (default 127.0.0.1, port 4700).\n"
           "\n"
           "Without -c the terminal is switched to raw input and everything typed goes to\n"
           "the daemon until the connection closes: type quit to leave, or Ctrl-] to\n"
           "close the connection at once.\n"
           "\n"
           "  -c, --command COMMAND  run COMMAND and print its output, without the echo\n"
           "                         or the prompt; repeat for more; then exit\n"
           "  -h, --help             show this text\n"
           "\n"
           "Exit status: 0 done (also when the daemon closes after quit or shutdown),\n"
           "1 usage or connection error, 2 the peer is not a zn console.\n";
}

} // namespace znconsole
