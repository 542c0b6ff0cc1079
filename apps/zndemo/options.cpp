// options.cpp -- parsing zndemo's command line.
#include "options.h"

#include <arpa/inet.h>
#include <getopt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zndemo {

namespace {

enum OptionId { opt_port = 1, opt_listen, opt_data, opt_no_console, opt_status, opt_tcp_admin, opt_help };

const option long_options[] = {
    {"port", required_argument, nullptr, opt_port},
    {"listen", required_argument, nullptr, opt_listen},
    {"data", required_argument, nullptr, opt_data},
    {"no-console", no_argument, nullptr, opt_no_console},
    {"status", no_argument, nullptr, opt_status},
    {"tcp-admin", no_argument, nullptr, opt_tcp_admin},
    {"help", no_argument, nullptr, opt_help},
    {nullptr, 0, nullptr, 0},
};

bool parse_port(const char *text, int &port) {
    char *end = nullptr;
    const long value = strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || value < 0 || value > 65535)
        return false;
    port = static_cast<int>(value);
    return true;
}

bool is_dotted_ipv4(const char *text) {
    in_addr parsed{};
    return inet_pton(AF_INET, text, &parsed) == 1;
}

// Applies one option; false (with a message) when its value is unusable.
bool apply(int id, const char *value, Options &opt) {
    switch (id) {
    case opt_port:
        if (parse_port(value, opt.port))
            return true;
        fprintf(stderr, "zndemo: --port needs a number from 0 to 65535, not \"%s\"\n", value);
        return false;
    case opt_listen:
        if (is_dotted_ipv4(value)) {
            opt.listen = value;
            return true;
        }
        fprintf(stderr, "zndemo: --listen needs a dotted IPv4 address such as 127.0.0.1, not \"%s\"\n",
                value);
        return false;
    case opt_data:
        if (*value != '\0') {
            opt.data = value;
            return true;
        }
        fprintf(stderr, "zndemo: --data needs a directory\n");
        return false;
    case opt_no_console:
        opt.console = false;
        return true;
    case opt_status:
        opt.status = true;
        return true;
    case opt_tcp_admin:
        opt.tcp_admin = true;
        return true;
    }
    return false;
}

} // namespace

ParseResult parse_options(int argc, char **argv, Options &opt) {
    opterr = 0;
    int id;
    while ((id = getopt_long(argc, argv, "", long_options, nullptr)) != -1) {
        if (id == opt_help)
            return ParseResult::help;
        if (id == '?' || id == ':') {
            fprintf(stderr, "zndemo: unknown option or missing value: %s (see zndemo --help)\n",
                    argv[optind - 1]);
            return ParseResult::bad_usage;
        }
        if (!apply(id, optarg, opt))
            return ParseResult::bad_usage;
    }
    if (optind < argc) {
        fprintf(stderr, "zndemo: unexpected argument \"%s\" (see zndemo --help)\n", argv[optind]);
        return ParseResult::bad_usage;
    }
    return ParseResult::run;
}

const char *usage() {
    return "Usage: zndemo [--port N] [--listen ADDR] [--data DIR] [--no-console] [--status] [--tcp-admin]\n"
           "              [--help]\n"
           "\n"
           "The zn reference daemon: a console on the terminal, on the local socket\n"
           "DIR/zndemo.sock and on TCP, the database commands, and a sample database\n"
           "kept in DIR/sample.db.\n"
           "\n"
           "  --port N       remote consoles on TCP port N (default 4700; 0 turns them off)\n"
           "  --listen ADDR  local IPv4 address the port listens on (default 127.0.0.1)\n"
           "  --data DIR     data directory, created when missing (default ./data)\n"
           "  --no-console   no local console, even when standard input is a terminal\n"
           "  --status       show each statistics sample as the service manager's status\n"
           "  --tcp-admin    TCP users may run every command, not only those that look\n"
           "  --help         show this text\n"
           "\n"
           "The socket (mode 0600) lets in this daemon's account and root, who may run\n"
           "everything; other users may only look (help, history, tasks, sockets, dblist,\n"
           "dbdump, stats, quit). dbsave and dbopen over the socket or TCP take only paths\n"
           "inside DIR.\n"
           "\n"
           "Connect with: znconsole (in the directory holding ./data), znconsole -s\n"
           "DIR/zndemo.sock, or znconsole [host] [port]. Stop with \"shutdown\", Ctrl-C or\n"
           "SIGTERM; the sample database is saved first.\n"
           "\n"
           "Under a service manager (Type=notify) zndemo reports when it is ready and\n"
           "stopping and answers its watchdog; sockets the manager passes serve the\n"
           "consoles instead of --port, --listen and DIR/zndemo.sock.\n";
}

} // namespace zndemo
