// events.cpp -- cli_fd_event: the scheduler's handler for the listening sockets and every user.
#include <cerrno>
#include <unistd.h>

#include "internal.h"

namespace {

// Reads the user's input and hands it to the editor. False when the event
// must end here: the user is gone or a handler ended it or the program.
bool handle_input(int fd, CmdUser *up) {
    char bytes[cli::buffer_size];
    const ssize_t got = read(up->in_fd, bytes, sizeof bytes);
    if (got < 0 && cli::would_block(errno))
        return true;
    if (got <= 0) {
        if (cli::debug_on())
            cli::debug("cli_fd_event: Disconnect on fd %d\n", fd);
        cli::input_ended(up, fd);
        return false;
    }
    return cli::feed_input(up, std::string_view(bytes, static_cast<size_t>(got)));
}

} // namespace

void cli_fd_event(int fd, void *arg, int r, int w, int) {
    cli::Event event;
    if (cli::is_listener(fd)) {
        cli::accept_connection(fd);
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
        cli::output_failed(up);
        return;
    }
    ulong_t flags = SCHED_FD_EXCEPT;
    if (read_side)
        flags |= SCHED_FD_READ;
    if (write_side && up->out_len > 0)
        flags |= SCHED_FD_WRITE;
    sched_fd_flags(fd, flags);
}
