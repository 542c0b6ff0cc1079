// line_editor.cpp -- fuzz target: chunks of bytes through a console user's input, in every state.
//
// Input layout: byte 0 picks the user's state (0..4), byte 1 bit 0 gives the
// user an output hook and bit 1 makes the hook take nothing; the rest is a
// sequence of chunks, each a length byte followed by that many bytes, every
// chunk delivered as one read through cli_fd_event.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "zncli.h"
#include "znsched.h"

namespace {

char *text(const char *s) { return const_cast<char *>(s); }

bool hook_refuses;

int hook(uchar_t type, CmdUser *up, void *buf, int len) {
    if (type == CLI_OUT_MESSAGE || hook_refuses)
        return 0;
    return static_cast<int>(write(up->out_fd, buf, static_cast<size_t>(len)));
}

int answer(void *, char *line) { return line[0] == 'x' ? 1 : 0; }
int ask(int, char **) { return cli_getstr(current_user, answer, nullptr); }
int to_message(int argc, char **) {
    current_user->state = argc > 1 ? CLI_STATE_MESSAGE_ONLY : CLI_STATE_MESSAGE;
    return 0;
}
int back(int, char **) {
    current_user->state = CLI_STATE_COMMAND;
    return 0;
}
int gone(int, char **) { return -2; }
int wrong(int, char **) { return -1; }
int kick(int, char **) {
    cli_remove_user(current_user->in_fd, current_user->out_fd, CLI_MATCH_BOTH);
    return 0;
}
int lots(int, char **) {
    for (int i = 0; i < 60; ++i)
        cli_printf(text("%060d\n"), i);
    return 0;
}
int readd(int, char **);
int readd(int, char **) {
    cli_remove_cmd(text("readd"));
    cli_add_cmd(text("readd"), text("<again>"), nullptr, readd, 0);
    return -1;
}

bool init() {
    sched_init();
    cli_init(0);
    static char prompt[] = "> ";
    cli_set_prompt(prompt);
    cli_add_cmd(text("ask"), nullptr, nullptr, ask, 0);
    cli_add_cmd(text("msg"), text("[only]"), nullptr, to_message, 0);
    cli_add_cmd(text("back"), nullptr, nullptr, back, CLI_CMD_MESSAGE);
    cli_add_cmd(text("gone"), nullptr, nullptr, gone, 0);
    cli_add_cmd(text("wrong"), text("<x>"), nullptr, wrong, 0);
    cli_add_cmd(text("kick"), nullptr, nullptr, kick, 0);
    cli_add_cmd(text("lots"), nullptr, nullptr, lots, 0);
    cli_add_cmd(text("readd"), nullptr, nullptr, readd, 0);
    return true;
}

int high_nonblocking(int fd) {
    const int high = fcntl(fd, F_DUPFD, 10);
    close(fd);
    fcntl(high, F_SETFL, fcntl(high, F_GETFL) | O_NONBLOCK);
    return high;
}

void drain(int fd) {
    char buf[65536];
    while (read(fd, buf, sizeof buf) > 0) {
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const bool ready = init();
    (void)ready;
    if (size < 2)
        return 0;
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0)
        return 0;
    const int fd = high_nonblocking(sv[0]), peer = high_nonblocking(sv[1]);
    hook_refuses = data[1] & 2;
    static char who[] = "fuzz";
    if (cli_add_user(fd, fd, who, nullptr, 0, (data[1] & 1) ? hook : nullptr) != 0) {
        close(fd);
        close(peer);
        return 0;
    }
    CmdUser *up = cli_find_user(fd, fd, CLI_MATCH_BOTH);
    up->state = data[0] % 5;
    size_t at = 2;
    while (at < size && cli_find_user(fd, fd, CLI_MATCH_BOTH) == up) {
        const size_t len = std::min<size_t>(data[at], size - at - 1);
        if (len > 0 && write(peer, data + at + 1, len) != static_cast<ssize_t>(len))
            break;
        at += len + 1;
        cli_fd_event(fd, up, 1, 0, 0);
        drain(peer);
        if (cli_find_user(fd, fd, CLI_MATCH_BOTH) != up)
            break; // removed: the scheduler would call it no more
        cli_fd_event(fd, up, 0, 1, 0);
        drain(peer);
    }
    cli_remove_user(fd, fd, CLI_MATCH_BOTH);
    close(fd);
    close(peer);
    cli_set_debug(0, -1);
    sched_set_debug(0, -1);
    SchedShutdown = 0;
    return 0;
}
