// dispatch.cpp -- a completed line: string requests, history, messages, permissions and running commands.
#include <cstring>

#include "internal.h"

namespace {

bool is_line_end(char c) { return c == '\r' || c == '\n'; }

// States whose lines take part in the history: commands and message-only.
bool keeps_history(const CmdUser *up) {
    return up->state != CLI_STATE_MESSAGE && up->state != CLI_STATE_GETSTR;
}

int answer_string_request(CmdUser *up, char *line) {
    if (cli::debug_on())
        cli::debug("cli_receive_data: [FD %d] Received str \"%s\" - ", up->in_fd, line);
    if (up->str_handler) {
        if (cli::debug_on())
            cli::debug("Calling handler\n");
        if (up->str_handler(up->str_arg, line) == 0)
            cli::send_prompt(up);
    }
    cli::empty_line(up);
    up->state = CLI_STATE_COMMAND;
    return 0;
}

// The words of the line to run: in message state only "/name" lines are
// commands, the others (and every line in message-only state) go to the
// output hook. Null when the line has no command to split.
char *command_text(CmdUser *up, char *line) {
    const bool message_line = up->state == CLI_STATE_MESSAGE_ONLY ||
                              (up->state == CLI_STATE_MESSAGE && line[0] != '/');
    if (!message_line)
        return up->state == CLI_STATE_MESSAGE ? line + 1 : line;
    if (up->output_handler)
        up->output_handler(CLI_OUT_MESSAGE, up, line, up->in_len);
    return nullptr;
}

int run_command(CmdUser *up, CmdEntry *entry, int argc, char **argv) {
    const bool message = up->state == CLI_STATE_MESSAGE;
    if (cli::debug_on())
        cli::debug("Found, Executing..\n");
    int result = 0;
    {
        cli::HandlerRun running;
        if (entry->handler)
            result = entry->handler(argc, argv);
        if (result == -2) {
            cli::empty_line(up);
            return -2;
        }
        if (result < 0) {
            if (cli::debug_on())
                cli::debug("Invalid Usage\n");
            cli::print_to(current_user, "%s %s%s %s\n", "Usage: ", message ? "/" : "", entry->cmd,
                          entry->usage ? entry->usage : "<no args>");
        }
    }
    if (up->state != CLI_STATE_GETSTR || result < 0)
        cli::send_prompt(up);
    cli::empty_line(up);
    return 0;
}

} // namespace

namespace cli {

int dispatch_line(CmdUser *up) {
    // The line end was its last byte, so the terminating NUL has room.
    while (up->in_len > 0 && is_line_end(up->in_buf[up->in_len - 1]))
        --up->in_len;
    up->in_buf[up->in_len] = '\0';
    char *line = up->in_buf;
    if (up->state == CLI_STATE_GETSTR)
        return answer_string_request(up, line);

    bool expanded = false;
    if (keeps_history(up) && line[0] == '!') {
        const Expansion expansion = history_expand(up);
        if (expansion == Expansion::refused)
            return 0;
        expanded = expansion == Expansion::replaced;
    }
    if (keeps_history(up) && !expanded && up->in_len > 0)
        history_record(up, line);

    int argc = 0;
    char **argv = nullptr;
    if (char *text = command_text(up, line)) {
        char *rest = nullptr;
        argv = nmakeargv(text, &argc, &rest);
        if (split_was_cut()) {
            refuse_line(up, "Command line too long\n");
            return 0;
        }
    }
    if (argc == 0) {
        send_prompt(up);
        empty_line(up);
        return 0;
    }
    const bool message = up->state == CLI_STATE_MESSAGE;
    if (debug_on())
        debug("cli_receive_data: [FD %d] Received %s \"%s\" - ", up->in_fd,
              message ? "Message" : "Command", argv[0]);
    CmdEntry *entry = message ? cli_find_message_cmd(argv[0]) : cli_find_cmd(argv[0]);
    if (!entry) {
        if (debug_on())
            debug("Invalid Command\n");
        print_to(up, "Command \"%s\" was not found\n", argv[0]);
        send_prompt(up);
        empty_line(up);
        return 0;
    }
    if (!permitted(up, entry)) {
        if (debug_on())
            debug("Permission denied\n");
        refuse_line(up, "Permission denied\n");
        return 0;
    }
    return run_command(up, entry, argc, argv);
}

} // namespace cli
