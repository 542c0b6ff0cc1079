// options.cpp -- parsing znconsole's command line.
#include "options.h"

#include <getopt.h>

#include <cstdio>
#include <cstdlib>

namespace znconsole {

namespace {

const option long_options[] = {
    {"command", required_argument, nullptr, 'c'},
    {"socket", required_argument, nullptr, 's'},
    {"verbose", no_argument, nullptr, 'v'},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

const char *const default_host = "127.0.0.1";
const char *const default_port = "4700";
const char *const demo_socket = "./data/zndemo.sock";

bool is_port(const std::string &text) {
    char *end = nullptr;
    const long value = strtol(text.c_str(), &end, 10);
    return !text.empty() && *end == '\0' && value > 0 && value <= 65535;
}

// Host and port from the arguments after the options.
ParseResult take_host_and_port(int count, char **args, Options &opt) {
    if (count > 2) {
        fprintf(stderr, "znconsole: too many arguments (see znconsole --help)\n");
        return ParseResult::bad_usage;
    }
    if (count == 0)
        return ParseResult::run;
    if (opt.target) {
        fprintf(stderr, "znconsole: give either --socket or a host and port, not both\n");
        return ParseResult::bad_usage;
    }
    opt.target = Target{"", args[0], count == 2 ? args[1] : default_port};
    if (!is_port(opt.target->port)) {
        fprintf(stderr, "znconsole: the port must be a number from 1 to 65535, not \"%s\"\n",
                opt.target->port.c_str());
        return ParseResult::bad_usage;
    }
    return ParseResult::run;
}

} // namespace

ParseResult parse_options(int argc, char **argv, Options &opt) {
    opterr = 0;
    int id;
    while ((id = getopt_long(argc, argv, "c:s:vh", long_options, nullptr)) != -1) {
        switch (id) {
        case 'c':
            opt.commands.emplace_back(optarg);
            break;
        case 's':
            opt.target = Target{optarg, "", ""};
            break;
        case 'v':
            opt.verbose = true;
            break;
        case 'h':
            return ParseResult::help;
        default:
            fprintf(stderr, "znconsole: unknown option or missing value: %s (see znconsole --help)\n",
                    argv[optind - 1]);
            return ParseResult::bad_usage;
        }
    }
    return take_host_and_port(argc - optind, argv + optind, opt);
}

std::vector<Target> default_targets() {
    std::vector<Target> targets;
    if (const char *socket = getenv("ZN_CONSOLE_SOCKET"); socket && *socket)
        targets.push_back({socket, "", ""});
    targets.push_back({demo_socket, "", ""});
    targets.push_back({"", default_host, default_port});
    return targets;
}

const char *usage() {
    return "Usage: znconsole [-v] [host [port]]\n"
           "       znconsole [-v] -s PATH\n"
           "       znconsole [-v] -c COMMAND [-c COMMAND]... [-s PATH | host [port]]\n"
           "\n"
           "Connects to the console of a zn daemon: over its local socket PATH, or over\n"
           "TCP to host and port (default port 4700). With neither it tries, in turn, the\n"
           "socket named by $ZN_CONSOLE_SOCKET, zndemo's socket ./data/zndemo.sock, and\n"
           "127.0.0.1 port 4700.\n"
           "\n"
           "Without -c the terminal is switched to raw input and everything typed goes to\n"
           "the daemon until the connection closes: type quit to leave, or Ctrl-] to\n"
           "close the connection at once.\n"
           "\n"
           "  -c, --command COMMAND  run COMMAND and print its output, without the echo\n"
           "                         or the prompt; repeat for more; then exit\n"
           "  -s, --socket PATH      connect to the daemon's local socket PATH\n"
           "  -v, --verbose          say on standard error where it connected\n"
           "  -h, --help             show this text\n"
           "\n"
           "Exit status: 0 done (also when the daemon closes after quit or shutdown),\n"
           "1 usage or connection error (also: the daemon closed the connection before\n"
           "answering, or has too many console users), 2 the peer is not a zn console.\n";
}

} // namespace znconsole
