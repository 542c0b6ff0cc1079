// output.cpp -- per-user output: direct writes, the 2048-byte buffer, cli_printf and cli_flush.
//
// Writes never raise SIGPIPE. A descriptor that cannot take more now
// (EAGAIN) is not a failure: its text stays queued until it is writable.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <poll.h>

#include "../common/io.h"
#include "internal.h"

namespace {

using Clock = std::chrono::steady_clock;

void consume(CmdUser *up, int n) {
    memmove(up->out_buf, up->out_buf + n, static_cast<size_t>(up->out_len - n));
    up->out_len -= n;
}

// Waits until fd is writable or the deadline passes; false on time-out.
bool wait_writable(int fd, Clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return false;
        pollfd p{fd, POLLOUT, 0};
        const int ready = poll(&p, 1, static_cast<int>(left.count()));
        if (ready > 0)
            return true;
        if (ready < 0 && errno != EINTR)
            return false;
    }
}

struct Written {
    int count = 0;
    bool failed = false; // the descriptor failed (not merely full or slow)
};

// Writes text to fd, waiting for writability until the deadline.
Written write_until(int fd, std::string_view text, Clock::time_point deadline) {
    Written result;
    while (result.count < static_cast<int>(text.size())) {
        const ssize_t n = zn::write_nosigpipe(fd, text.data() + result.count,
                                              text.size() - static_cast<size_t>(result.count));
        if (n >= 0) {
            result.count += static_cast<int>(n);
        } else if (!cli::would_block(errno)) {
            result.failed = true;
            break;
        } else if (!wait_writable(fd, deadline)) {
            break;
        }
    }
    return result;
}

void queue(CmdUser *up, std::string_view text) {
    memcpy(up->out_buf + up->out_len, text.data(), text.size());
    up->out_len += static_cast<int>(text.size());
}

// Watches out_fd for writability exactly while bytes are pending, and a
// shared descriptor for input as well.
void watch_output(const CmdUser *up) {
    ulong_t flags = SCHED_FD_EXCEPT;
    if (up->out_len > 0)
        flags |= SCHED_FD_WRITE;
    if (up->in_fd == up->out_fd)
        flags |= SCHED_FD_READ;
    sched_fd_flags(up->out_fd, flags);
}

// A write of pending output failed: the connection is lost.
void lose_connection(CmdUser *up) {
    if (cli::debug_on())
        cli::debug("cli_output: Disconnect on fd %d\n", up->out_fd);
    cli::output_failed(up);
}

// Held output collects unless a hook or debug lines must stay in order with
// it (see hold_output).
bool collecting(CmdUser *up) {
    return cli::node_of(up)->holding && !up->output_handler && !cli::debug_writes_to(up->out_fd);
}

// Sends text while nothing is pending: through the hook, else to out_fd.
// Returns how many bytes went (0 when the send failed or would block).
int send_directly(CmdUser *up, std::string_view text, uchar_t type) {
    const int len = static_cast<int>(text.size());
    const int sent = up->output_handler
                         ? up->output_handler(type, up, const_cast<char *>(text.data()), len)
                         : static_cast<int>(zn::write_nosigpipe(up->out_fd, text.data(), text.size()));
    return std::clamp(sent, 0, len);
}

int vprint_to(CmdUser *up, const char *fmt, va_list ap) {
    if (!up)
        return -1;
    char text[cli::buffer_size];
    const int formatted = vsnprintf(text, sizeof text, fmt, ap);
    if (formatted < 0)
        return -1;
    const int len = std::min(formatted, static_cast<int>(sizeof text) - 1);
    if (cli::output(up, std::string_view(text, static_cast<size_t>(len)), CLI_OUT_TEXT) != 0)
        return -1;
    return formatted;
}

} // namespace

int cli_output(CmdUser *up, char *buf, int len, uchar_t type) {
    if (!up || len < 0 || (len > 0 && !buf))
        return -1;
    return cli::output(up, std::string_view(buf, static_cast<size_t>(len)), type);
}

int cli_printf(char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const int result = vprint_to(current_user, fmt, ap);
    va_end(ap);
    return result;
}

int cli_flush(CmdUser *up) { return cli::flush_until(up, cli::flush_deadline()); }

namespace cli {

bool write_pending(CmdUser *up) {
    const ssize_t n = zn::write_nosigpipe(up->out_fd, up->out_buf, static_cast<size_t>(up->out_len));
    if (n < 0)
        return would_block(errno);
    consume(up, static_cast<int>(n));
    return true;
}

void hold_output(CmdUser *up) {
    if (!is_local(up))
        node_of(up)->holding = true;
}

bool release_output(CmdUser *up) {
    UserNode *node = node_of(up);
    node->holding = false;
    if (node->removed)
        return false;
    if (up->out_len > 0 && !write_pending(up)) {
        lose_connection(up);
        return false;
    }
    watch_output(up);
    return true;
}

// A failed write is left to the end of the event, which removes the user.
void flush_collected(int fd) {
    for (CmdUser *up = CmdUserList; up; up = up->next)
        if (up->out_fd == fd && node_of(up)->holding && up->out_len > 0)
            write_pending(up);
}

Deadline flush_deadline() { return Clock::now() + std::chrono::milliseconds(flush_wait_ms); }

void write_direct(CmdUser *up, std::string_view text, Deadline deadline) {
    if (flush_until(up, deadline) == 0)
        write_until(up->out_fd, text, deadline);
}

// Gives up at the deadline with the rest still queued; a failed write is a
// disconnect.
int flush_until(CmdUser *up, Deadline deadline) {
    if (!up || is_removed(up))
        return -1;
    const Written w = write_until(up->out_fd, std::string_view(up->out_buf, static_cast<size_t>(up->out_len)),
                                  deadline);
    consume(up, w.count);
    if (w.failed) {
        lose_connection(up);
        return -1;
    }
    return up->out_len > 0 ? -1 : 0;
}

// Pending output goes first; new text is written at once only when nothing
// is pending (or collects while output is held), and whatever is not taken
// is queued behind it.
int output(CmdUser *up, std::string_view text, uchar_t type) {
    if (is_removed(up))
        return -1;
    if (collecting(up) && text.size() <= static_cast<size_t>(buffer_size - up->out_len)) {
        queue(up, text);
        return 0;
    }
    if (up->out_len > 0 && !write_pending(up)) {
        lose_connection(up);
        return -1;
    }
    const int len = static_cast<int>(text.size());
    if (len > buffer_size - up->out_len) {
        if (debug_on())
            debug("cli_output: No room\n");
        return -1;
    }
    const int sent = up->out_len == 0 ? send_directly(up, text, type) : 0;
    if (is_removed(up)) // the output hook removed the user
        return -1;
    queue(up, text.substr(static_cast<size_t>(sent)));
    watch_output(up);
    return 0;
}

int print_to(CmdUser *up, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const int result = vprint_to(up, fmt, ap);
    va_end(ap);
    return result;
}

} // namespace cli
