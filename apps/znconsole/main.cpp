// main.cpp -- znconsole, the remote console client of zn daemons.
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

// Exit status for a peer that does not speak the console protocol.
constexpr int not_a_console = 2;

// Explains a failed greeting on standard error.
void report_greeting(Greeting g, const Options &opt) {
    const char *why = g == Greeting::refused ? "answered the handshake with something else"
                      : g == Greeting::closed ? "closed the connection without acknowledging the handshake"
                                              : "did not acknowledge the handshake within 5 seconds";
    fprintf(stderr, "znconsole: %s port %s is not a zn console: it %s\n", opt.host.c_str(), opt.port.c_str(),
            why);
}

int interactive(int fd, const std::string &after) {
    catch_stop_signals();
    const RawTerminal raw(STDIN_FILENO);
    return relay(fd, after);
}

} // namespace

int main(int argc, char **argv) {
    Options opt;
    if (const auto status = zn_apps::exit_before_run(parse_options(argc, argv, opt), usage(), 1))
        return *status;
    signal(SIGPIPE, SIG_IGN); // a closed connection or output is a failed write
    std::string error;
    const int fd = connect_to(opt.host, opt.port, error);
    if (fd < 0) {
        fprintf(stderr, "znconsole: %s\n", error.c_str());
        return 1;
    }
    std::string after;
    const Greeting g = greet(fd, after);
    if (g != Greeting::accepted) {
        report_greeting(g, opt);
        close(fd);
        return not_a_console;
    }
    const int status = opt.commands.empty() ? interactive(fd, after) : run_commands(fd, after, opt.commands);
    close(fd);
    return status;
}
