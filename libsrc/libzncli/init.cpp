// init.cpp -- cli_init and the clean-up task that undoes it at shutdown.
#include <ctime>

#include "internal.h"

CmdDebug CliDebug;
int cli_initialized;

namespace {

char cleanup_name[] = "CLI Cleanup";
char accept_name[] = "CLI Accept";

// Closes the listening sockets (removing the local socket's file) and the
// remote users' descriptors, restores every terminal switched to raw input
// and releases every user and command.
void cli_cleanup(void *) {
    if (cli::debug_on())
        cli::debug("cli_cleanup: Preparing for shutdown...\n");
    cli::listener_close();
    cli::local_socket_close();
    cli::users_release_all();
    cli::registry_release_all();
}

// Registers the listening socket in cli_accept_fd with the scheduler.
int schedule_listener() {
    if (sched_add_fd(cli_accept_fd, cli_fd_event, nullptr,
                     SCHED_FD_READ | SCHED_FD_WRITE | SCHED_FD_EXCEPT, accept_name) < 0) {
        if (cli::debug_on())
            cli::debug("cli_init: Unable to schedule IN FD events\n");
        cli::listener_close();
        return -1;
    }
    return 0;
}

int open_port(ushort_t port) {
    const int s = cli::listener_open(port);
    if (s < 0)
        return -1;
    cli_accept_fd = s;
    return schedule_listener();
}

} // namespace

int cli_init(ushort_t debug_port) {
    CliDebug = CmdDebug{};
    cli::users_reset();
    cli::registry_reset();
    CliDebug.tm_init = static_cast<ulong_t>(time(nullptr));
    cli_initialized = 1;
    cli_prompt[0] = '\0';
    cli_port = debug_port;
    cli_accept_fd = -1;
    if (cli::debug_on()) {
        const auto when = static_cast<time_t>(CliDebug.tm_init);
        cli::debug("cli_init: Initialized at %s", ctime(&when));
    }
    cli::take_passed_listeners();
    cli::register_builtins(cli_port != 0);
    sched_register_cmds(cli_add_cmd, cli_printf);
    sched_cleanup(cleanup_name, cli_cleanup, nullptr);
    if (cli_accept_fd != -1) // handed over by the service manager
        return schedule_listener();
    if (cli_port == 0)
        return 0;
    return open_port(cli_port);
}
