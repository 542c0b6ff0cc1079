// main.cpp -- znconsole, the console client of zn daemons (local socket or TCP).
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <string>

#include "connection.h"
#include "options.h"
#include "relay.h"
#include "script.h"
#include "terminal.h"

using namespace znconsole;

namespace {

// Connects to the target given, or else to the first of the default ones
// that takes the connection. With verbose, says where on standard error;
// when none takes it, says why for each. -1 when none did.
int connect_somewhere(const Options &opt, Target &used) {
    const std::vector<Target> targets = opt.target ? std::vector<Target>{*opt.target} : default_targets();
    std::vector<std::string> errors;
    for (const Target &target : targets) {
        std::string error;
        const int fd = connect_to(target, error);
        if (fd >= 0) {
            if (opt.verbose)
                fprintf(stderr, "znconsole: connected to %s\n", target.describe().c_str());
            used = target;
            return fd;
        }
        if (opt.verbose)
            fprintf(stderr, "znconsole: %s\n", error.c_str());
        errors.push_back(error);
    }
    if (!opt.verbose)
        for (const std::string &error : errors)
            fprintf(stderr, "znconsole: %s\n", error.c_str());
    return -1;
}

// Explains a failed greeting on standard error; the exit status.
int report_greeting(Greeting g, const Target &target) {
    if (g == Greeting::closed) {
        fprintf(stderr, "znconsole: the daemon has too many console users: %s closed the connection before the "
                        "handshake\n",
                target.describe().c_str());
        return exit_failed;
    }
    const char *why = g == Greeting::refused ? "answered the handshake with something else"
                                             : "did not acknowledge the handshake within 5 seconds";
    fprintf(stderr, "znconsole: %s is not a zn console: it %s\n", target.describe().c_str(), why);
    return exit_not_a_console;
}

int interactive(int fd, const std::string &after) {
    catch_stop_signals();
    const RawTerminal raw(STDIN_FILENO);
    return relay(fd, after);
}

} // namespace

int main(int argc, char **argv) {
    Options opt;
    if (const auto status = zn_apps::exit_before_run(parse_options(argc, argv, opt), usage(), exit_failed))
        return *status;
    signal(SIGPIPE, SIG_IGN); // a closed connection or output is a failed write
    Target target;
    const int fd = connect_somewhere(opt, target);
    if (fd < 0)
        return exit_failed;
    std::string after;
    const Greeting g = greet(fd, after);
    if (g != Greeting::accepted) {
        close(fd);
        return report_greeting(g, target);
    }
    const int status = opt.commands.empty() ? interactive(fd, after) : run_commands(fd, after, opt.commands);
    close(fd);
    return status;
}
