// builtins.cpp -- the console's own commands: help, quit, shutdown, history and cli-debug.
#include <cstring>
#include <iterator>

#include "internal.h"

namespace {

char help_desc[] = "This displays all commands";
char quit_desc[] = "Quit";
char shutdown_desc[] = "Shutdwn this program";
char history_desc[] = "Shows all commands in your history";
char debug_desc[] = "Toggles CLI debugging";
char debug_usage[] = "<on|max|off>";

} // namespace

char *cmd_help_desc = help_desc;
char *cmd_help_usage = nullptr;
char *cmd_quit_desc = quit_desc;
char *cmd_quit_usage = nullptr;
char *cmd_shutdown_desc = shutdown_desc;
char *cmd_shutdown_usage = nullptr;
char *cmd_history_desc = history_desc;
char *cmd_history_usage = nullptr;
char *cmd_debug_desc = debug_desc;
char *cmd_debug_usage = debug_usage;

namespace {

constexpr const char *no_description = "[No Description Available]";

bool in_message_state(const CmdUser *up) { return up && up->state == CLI_STATE_MESSAGE; }

// Help shows the visible commands the user may run.
bool listed(CmdUser *up, const CmdEntry *e) { return !(e->flags & CLI_CMD_HIDDEN) && cli::permitted(up, e); }

void print_names(CmdUser *up, const char *prefix, const CmdEntry *list) {
    int shown = 0;
    for (const CmdEntry *e = list; e; e = e->next) {
        if (!listed(up, e))
            continue;
        cli::print_to(up, "%s%-16s", prefix, e->cmd);
        if (++shown % 5 == 0)
            cli::print_to(up, "\n");
    }
    if (shown % 5 != 0)
        cli::print_to(up, "\n");
}

void print_descriptions(CmdUser *up, const char *prefix, const CmdEntry *list) {
    for (const CmdEntry *e = list; e; e = e->next)
        if (listed(up, e))
            cli::print_to(up, "   %s%-16s%s\n", prefix, e->cmd, e->desc ? e->desc : no_description);
}

void print_usage(CmdUser *up, const char *prefix, const CmdEntry *e) {
    if (!e || !cli::permitted(up, e)) {
        cli::print_to(up, "Unable to find any help on that command\n");
        return;
    }
    cli::print_to(up, "Usage: %s%s %s\n   %s\n", prefix, e->cmd, e->usage ? e->usage : "<no args>",
                  e->desc ? e->desc : no_description);
}

// "help": the visible names; "?" or "help -v": names with descriptions;
// "help name": one command's usage. In message state, the message commands.
int cli_cmd_help(int argc, char **argv) {
    CmdUser *up = current_user;
    const bool message = in_message_state(up);
    const char *prefix = message ? "/" : "";
    const CmdEntry *list = message ? MsgCmdList : CmdList;
    const bool question = strcmp(argv[0], "?") == 0;
    if (argc <= 1 && !question) {
        cli::print_to(up, "Note: Use %shelp [cmd] to get help on spcified command, or\n", prefix);
        cli::print_to(up, "      use %shelp -v to see description of all commands.\n\n", prefix);
        print_names(up, prefix, list);
    } else if (question || strcmp(argv[1], "-v") == 0) {
        print_descriptions(up, prefix, list);
    } else {
        print_usage(up, prefix, message ? cli_find_message_cmd(argv[1]) : cli_find_cmd(argv[1]));
    }
    return 0;
}

// Texts written straight to the user, past its output hook, behind the
// output pending before them; nothing is written to a user whose connection
// has already failed. All of it together waits about a second at most for
// a peer that does not read.
void say_directly(CmdUser *up, std::string_view text, cli::Deadline deadline) {
    if (!cli::is_removed(up))
        cli::write_direct(up, text, deadline);
}

// Remote users leave alone; the local console, or any user when no port
// is open, stops the program.
int cli_cmd_quit(int, char **) {
    CmdUser *up = current_user;
    if (!up)
        return -2;
    const cli::Deadline deadline = cli::flush_deadline();
    if (up->state == CLI_STATE_MESSAGE)
        say_directly(up, "\x1b[H\x1b[J", deadline);
    if (cli_port != 0 && cli::is_local(up)) {
        say_directly(up, "Shutting down services.....\n", deadline);
        sched_shutdown();
        return -2;
    }
    say_directly(up, "Goodbye!\n", deadline);
    if (cli_port == 0) {
        sched_shutdown();
        return -2;
    }
    if (cli::debug_on())
        cli::debug("cli_cmd_quit: User on fd %d is quitting..\n", up->in_fd);
    cli::disconnect_user(up, up->in_fd, up->out_fd, CLI_MATCH_ANY);
    return -2;
}

int cli_cmd_shutdown(int, char **) {
    if (current_user)
        cli::output(current_user, "Please Wait, Shutting Down.....\n", CLI_OUT_TEXT);
    sched_shutdown();
    return -2;
}

int cli_cmd_history(int, char **) {
    CmdUser *up = current_user;
    if (!up)
        return 0;
    cli::print_to(up, "Command History:\n");
    const int lines = std::min(std::max(up->history_used, 0), cli::history_slots);
    for (int i = 0; i < lines; ++i)
        cli::print_to(up, "   [%2d] %s\n", i + 1, up->history[cli::history_slot(up, i)]);
    return 0;
}

// The typing user's descriptor: the dispatched one, or, for a command run
// by cli_add_console before the loop, the user's input.
int typing_fd() {
    if (current_fd)
        return current_fd->fd;
    return current_user ? current_user->in_fd : -1;
}

int cli_cmd_debug(int argc, char **argv) {
    if (argc != 2)
        return -1;
    const char *word = argv[1];
    if (strcmp(word, "off") == 0) {
        cli_set_debug(0, -1);
        cli::print_to(current_user, "CLI Debugging is now disabled\n");
        return 0;
    }
    const bool on = strcmp(word, "on") == 0, max = strcmp(word, "max") == 0;
    const int fd = typing_fd();
    if ((!on && !max) || fd < 0)
        return -1;
    cli_set_debug(max ? 2 : 1, fd);
    cli::print_to(current_user, max ? "CLI Debugging, Maximum Level, is now enabled\n"
                                    : "CLI Debugging is now enabled\n");
    return 0;
}

struct Builtin {
    const char *name;
    char **usage, **desc;
    int (*handler)(int, char **);
    ulong_t flags;
};

// In registration order; "shutdown" only while a port is open.
const Builtin builtins[] = {
    {"help", &cmd_help_usage, &cmd_help_desc, cli_cmd_help, 0},
    {"?", &cmd_help_usage, &cmd_help_desc, cli_cmd_help, CLI_CMD_HIDDEN},
    {"quit", &cmd_quit_usage, &cmd_quit_desc, cli_cmd_quit, 0},
    {"exit", &cmd_quit_usage, &cmd_quit_desc, cli_cmd_quit, CLI_CMD_HIDDEN},
    {"bye", &cmd_quit_usage, &cmd_quit_desc, cli_cmd_quit, CLI_CMD_HIDDEN},
    {"logout", &cmd_quit_usage, &cmd_quit_desc, cli_cmd_quit, CLI_CMD_HIDDEN},
    {"help", &cmd_help_usage, &cmd_help_desc, cli_cmd_help, CLI_CMD_MESSAGE},
    {"?", &cmd_help_usage, &cmd_help_desc, cli_cmd_help, CLI_CMD_MESSAGE | CLI_CMD_HIDDEN},
    {"shutdown", &cmd_shutdown_usage, &cmd_shutdown_desc, cli_cmd_shutdown, 0},
    {"history", &cmd_history_usage, &cmd_history_desc, cli_cmd_history, 0},
    {"cli-debug", &cmd_debug_usage, &cmd_debug_desc, cli_cmd_debug, 0},
};

} // namespace

namespace cli {

void register_builtins(bool with_shutdown) {
    for (const Builtin &b : builtins) {
        if (b.handler == cli_cmd_shutdown && !with_shutdown)
            continue;
        cli_add_cmd(const_cast<char *>(b.name), *b.usage, *b.desc, b.handler, b.flags);
    }
}

} // namespace cli
