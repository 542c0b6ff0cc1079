// main.cpp -- zndemo, the zn reference daemon: the start-up sequence every zn daemon follows.
//
//   1. sched_init()
//   2. cli_init(port), after cli_set_listen_address(); the permission hook
//   3. cli_add_console() when standard input is a terminal
//   4. own commands and tasks, db_register_cmds(), database settings, databases;
//      cli_listen_unix() once the database's lock says the data is this daemon's
//   5. sched_loop(), which ends the process at shutdown
// Under a service manager the libraries do the talking: the scheduler
// reports readiness, watchdog pings and stopping, and cli_init takes a
// listening socket the manager passed.
// The prompt is set last, once the start-up log is on the terminal, and the
// local console is shown it then; remote users are served only in the loop.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "data_dir.h"
#include "options.h"
#include "policy.h"
#include "report.h"
#include "sample_db.h"
#include "stats.h"
#include "zncli.h"
#include "zndb.h"
#include "znsched.h"

using namespace zndemo;

namespace {

char prompt[] = "zn> ";

struct Command {
    const char *name, *usage, *desc;
    int (*handler)(int, char **);
};

const Command own_commands[] = {
    {"note", "<text>", "Add a note to the sample database", cmd_note},
    {"stats", nullptr, "Show the daemon's statistics", cmd_stats},
};

// The address the console's listener is bound to: the one chosen with
// --listen, or that of a socket passed by the service manager.
std::string listening_address() {
    sockaddr_in local{};
    socklen_t len = sizeof local;
    char text[INET_ADDRSTRLEN] = "?";
    if (getsockname(cli_accept_fd, reinterpret_cast<sockaddr *>(&local), &len) == 0)
        inet_ntop(AF_INET, &local.sin_addr, text, sizeof text);
    return text;
}

void start_console_listener(const Options &opt) {
    cli_set_listen_address(opt.listen.c_str());
    if (cli_init(static_cast<ushort_t>(opt.port)) != 0)
        refuse_start("cannot listen on %s port %d: %s. Is another daemon using it? Choose another "
                     "port with --port",
                     opt.listen.c_str(), opt.port, strerror(errno));
    set_console_policy(opt.tcp_admin);
    if (cli_accept_fd == -1) {
        log_line("remote consoles are off (--port 0)");
        return;
    }
    const std::string address = listening_address();
    log_line("remote consoles on %s port %d (connect with: znconsole %s %d)", address.c_str(), cli_port,
             address.c_str(), cli_port);
    if (opt.tcp_admin)
        log_line("TCP consoles may run every command (--tcp-admin)");
    else
        log_line("TCP consoles may only look: help, history, tasks, sockets, dblist, dbdump, stats, quit");
}

// With --status, the service manager learns that zndemo is starting; a
// warning when there is no manager to tell.
void announce_starting(const Options &opt) {
    if (opt.status && sched_notify("STATUS=starting") == -1)
        log_line("--status: no service manager to report to (NOTIFY_SOCKET is not set)");
}

// The local socket, the way in for this daemon's account and root, unless
// the service manager passed one. A failed start releases the sample
// database's lock before it ends.
void open_console_socket(const std::string &data_dir) {
    const std::string path = data_dir + "/zndemo.sock";
    if (cli_listen_unix(path.c_str(), 0600) != 0) {
        const int err = errno;
        if (err == EALREADY) {
            log_line("local console socket passed by the service manager");
            return;
        }
        db_close(sample_database());
        if (err == EADDRINUSE)
            refuse_start("another daemon listens on %s", path.c_str());
        if (err == EEXIST)
            refuse_start("%s is in the way: it is not a socket. zndemo leaves it untouched; move it away",
                         path.c_str());
        refuse_start("cannot listen on %s: %s", path.c_str(), strerror(err));
    }
    log_line("local console socket %s, mode 0600 (connect with: znconsole -s %s)", path.c_str(), path.c_str());
}

// The local console, when wanted and standard input is a terminal.
bool attach_local_console(const Options &opt) {
    if (!opt.console || !isatty(STDIN_FILENO))
        return false;
    remember_terminal();
    if (cli_add_console(nullptr, nullptr) != 0)
        refuse_start("cannot attach the local console");
    return true;
}

// Step 4 up to the databases: own commands and tasks, then the database's
// commands.
void register_commands_and_tasks(const Options &opt, const std::string &data_dir) {
    for (const Command &c : own_commands)
        cli_add_cmd(const_cast<char *>(c.name), const_cast<char *>(c.usage), const_cast<char *>(c.desc),
                    c.handler, 0);
    start_statistics(opt.status);
    register_database_commands(data_dir);
}

// Logs that the daemon is ready, then sets the prompt and shows it on the
// local console, below the log.
void announce_ready(bool console) {
    if (console)
        log_line("ready; local console on this terminal: type help, or quit to stop");
    else
        log_line("ready; no local console: stop with Ctrl-C, SIGTERM or a remote \"shutdown\"");
    cli_set_prompt(prompt);
    if (console)
        cli_reprint_prompt(cli_find_user(STDIN_FILENO, STDOUT_FILENO, CLI_MATCH_BOTH));
}

} // namespace

int main(int argc, char **argv) {
    Options opt;
    if (const auto status = zn_apps::exit_before_run(parse_options(argc, argv, opt), usage(), 2))
        return *status;
    log_line("starting, pid %ld", static_cast<long>(getpid()));
    const std::string data_dir = prepare_data_dir(opt.data);

    sched_init();
    announce_starting(opt);
    start_console_listener(opt);
    const bool console = attach_local_console(opt);
    register_commands_and_tasks(opt, data_dir);
    open_sample_database(data_dir);
    open_console_socket(data_dir);
    save_sample_database_at_shutdown(data_dir);

    announce_ready(console);
    sched_loop();
    return 0;
}
