// events.cpp -- cli_fd_event: the scheduler's handler for the listening socket and every user.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "internal.h"

namespace {

// Drops the bytes of an overlong line up to and including its line end (a
// CR LF pair counts as one). Returns how many of the n new bytes remain;
// they are moved to the front.
int skip_discarded(CmdUser *up, char *bytes, int n) {
    cli::UserNode *node = cli::node_of(up);
    if (!node->discarding)
        return n;
    char *end = std::find_if(bytes, bytes + n, [](char c) { return c == '\r' || c == '\n'; });
    if (end == bytes + n)
        return 0;
    if (*end++ == '\r' && end < bytes + n && *end == '\n')
        ++end;
    node->discarding = false;
    const int rest = static_cast<int>(bytes + n - end);
    memmove(bytes, end, static_cast<size_t>(rest));
    return rest;
}

// A full input buffer without a line end: the line is dropped, the user
// told, and the rest of it dropped as it arrives.
void discard_overlong(CmdUser *up) {
    cli::refuse_line(up, "Input line too long, discarded\n");
    cli::node_of(up)->discarding = true;
}

// Reads and edits the user's input. False when the event must end here:
// the user is gone or a handler ended it or the program.
bool handle_input(int fd, CmdUser *up) {
    const int room = cli::buffer_size - up->in_len;
    if (room <= 0) {
        discard_overlong(up);
        return true;
    }
    const ssize_t got = read(up->in_fd, up->in_buf + up->in_len, static_cast<size_t>(room));
    if (got < 0 && cli::would_block(errno))
        return true;
    if (got <= 0) {
        if (cli::debug_on())
            cli::debug("cli_fd_event: Disconnect on fd %d\n", fd);
        cli::disconnect_user(up);
        return false;
    }
    const int fresh = skip_discarded(up, up->in_buf + up->in_len, static_cast<int>(got));
    if (fresh == 0)
        return true;
    up->in_len += fresh;
    CmdUser *const outer = current_user;
    current_user = up;
    const int result = cli_receive_data(up);
    current_user = outer;
    if (result == -2 || cli::is_removed(up))
        return false;
    if (up->in_len >= cli::buffer_size)
        discard_overlong(up);
    return true;
}

} // namespace

void cli_fd_event(int fd, void *arg, int r, int w, int) {
    cli::Event event;
    if (fd == cli_accept_fd) {
        cli::accept_connection();
        return;
    }
    auto *up = static_cast<CmdUser *>(arg);
    const bool read_side = up && fd == up->in_fd, write_side = up && fd == up->out_fd;
    if (!read_side && !write_side) {
        if (cli::debug_on())
            cli::debug("cli_fd_event: Event for fd %d doesn't match user\n", fd);
        return;
    }
    if (read_side && r) {
        cli::hold_output(up);
        const bool go_on = handle_input(fd, up);
        if (!cli::release_output(up) || !go_on)
            return;
    }
    if (write_side && w && up->out_len > 0 && !cli::write_pending(up)) {
        if (cli::debug_on())
            cli::debug("cli_fd_event: Disconnect on fd %d\n", fd);
        cli::disconnect_user(up);
        return;
    }
    ulong_t flags = SCHED_FD_EXCEPT;
    if (read_side)
        flags |= SCHED_FD_READ;
    if (write_side && up->out_len > 0)
        flags |= SCHED_FD_WRITE;
    sched_fd_flags(fd, flags);
}
