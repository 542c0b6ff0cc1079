// console.cpp -- the local terminal: character-at-a-time mode, its restoration, cli_add_console.
#include <cstring>
#include <sys/ioctl.h>
#include <termio.h>
#include <unistd.h>

#include "internal.h"

namespace cli {

// Without echo, canonical editing or signal keys: Ctrl-C, Ctrl-D and Ctrl-U
// reach the line editor as bytes. A descriptor that is no terminal keeps
// its settings, and nothing is restored for it later.
void terminal_make_raw(CmdUser *up) {
    if (ioctl(up->in_fd, TCGETA, &up->old_termio) != 0)
        return;
    node_of(up)->termio_saved = true;
    struct termio raw = up->old_termio;
    raw.c_iflag &= ~(BRKINT | ISTRIP | IXON | IXOFF);
    raw.c_iflag |= IGNBRK | IGNPAR;
    raw.c_lflag &= ~(ISIG | ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    ioctl(up->in_fd, TCSETA, &raw);
}

void terminal_restore(CmdUser *up) {
    UserNode *node = node_of(up);
    if (!node->termio_saved)
        return;
    ioctl(up->in_fd, TCSETA, &up->old_termio);
    node->termio_saved = false;
}

} // namespace cli

namespace {

char console_title[] = "Console";

// Runs cmd as if typed, without echo. A command that cannot fit the input
// buffer with its line end is refused like an overlong typed line.
void run_as_typed(CmdUser *up, const char *cmd) {
    cli::Event event;
    CmdUser *const outer = current_user;
    current_user = up;
    up->echo_on = 0;
    const size_t len = strlen(cmd);
    if (len >= cli::buffer_size) {
        cli::refuse_line(up, "Input line too long, discarded\n");
    } else {
        memcpy(up->in_buf, cmd, len);
        up->in_buf[len] = '\n';
        up->in_len = static_cast<int>(len) + 1;
        up->echo_ptr = 0;
        cli_receive_data(up);
    }
    up->echo_on = 1;
    current_user = outer;
}

} // namespace

int cli_add_console(char *cmd, int (*output_handler)(uchar_t, CmdUser *, void *, int)) {
    const int added = cli_add_user(STDIN_FILENO, STDOUT_FILENO, console_title, nullptr,
                                   cmd ? 0 : 1, output_handler);
    if (added < 0)
        return added;
    if (cmd)
        run_as_typed(CmdUserList_end, cmd);
    return 0;
}
