// console.cpp -- the local terminal: character-at-a-time mode, its restoration, cli_add_console.
#include <cstring>
#include <termio.h>
#include <termios.h>
#include <unistd.h>

#include "internal.h"

namespace {

// old_termio as the TCGETA request fills it from the full settings.
void fill_termio(struct termio &brief, const termios &full) {
    brief.c_iflag = static_cast<unsigned short>(full.c_iflag);
    brief.c_oflag = static_cast<unsigned short>(full.c_oflag);
    brief.c_cflag = static_cast<unsigned short>(full.c_cflag);
    brief.c_lflag = static_cast<unsigned short>(full.c_lflag);
    brief.c_line = full.c_line;
    memcpy(brief.c_cc, full.c_cc, sizeof brief.c_cc);
}

// The full settings with old_termio laid over them, as TCSETA applies it.
termios overlay_termio(termios full, const struct termio &brief) {
    constexpr tcflag_t low = 0xFFFF;
    full.c_iflag = (full.c_iflag & ~low) | brief.c_iflag;
    full.c_oflag = (full.c_oflag & ~low) | brief.c_oflag;
    full.c_cflag = (full.c_cflag & ~low) | brief.c_cflag;
    full.c_lflag = (full.c_lflag & ~low) | brief.c_lflag;
    full.c_line = brief.c_line;
    memcpy(full.c_cc, brief.c_cc, sizeof brief.c_cc);
    return full;
}

} // namespace

namespace cli {

// Without echo, canonical editing or signal keys: Ctrl-C, Ctrl-D and Ctrl-U
// reach the line editor as bytes. A descriptor that is no terminal keeps
// its settings, and nothing is restored for it later. The settings are
// read and written whole (termios) and shown to the application in
// old_termio.
void terminal_make_raw(CmdUser *up) {
    UserNode *node = node_of(up);
    if (tcgetattr(up->in_fd, &node->saved_termios) != 0)
        return;
    node->termio_saved = true;
    fill_termio(up->old_termio, node->saved_termios);
    termios raw = node->saved_termios;
    raw.c_iflag &= ~(BRKINT | ISTRIP | IXON | IXOFF);
    raw.c_iflag |= IGNBRK | IGNPAR;
    raw.c_lflag &= ~(ISIG | ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    tcsetattr(up->in_fd, TCSANOW, &raw);
}

void terminal_restore(CmdUser *up) {
    UserNode *node = node_of(up);
    if (!node->termio_saved)
        return;
    const termios restored = overlay_termio(node->saved_termios, up->old_termio);
    tcsetattr(up->in_fd, TCSANOW, &restored);
    node->termio_saved = false;
}

} // namespace cli

namespace {

char console_title[] = "Console";

// Runs cmd as if typed, without echo, ending its last line when it does not
// end itself; several lines run in turn. A line that cannot fit the input
// buffer is refused like an overlong typed line.
void run_as_typed(CmdUser *up, std::string_view cmd) {
    cli::Event event;
    up->echo_on = 0;
    if (cli::feed_input(up, cmd) && !cmd.ends_with('\n') && !cmd.ends_with('\r'))
        cli::feed_input(up, "\n");
    up->echo_on = 1;
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
