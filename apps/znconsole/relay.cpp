// relay.cpp -- the interactive session: bytes between the terminal and the daemon until the connection closes.
#include "relay.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "connection.h"
#include "terminal.h"

namespace znconsole {

namespace {

// The daemon takes one line per read, so typed or pasted text goes out in
// pieces that each end after a line end (CR, LF or CR LF).
bool send_lines(int fd, std::string_view text) {
    while (!text.empty()) {
        size_t end = text.find_first_of("\r\n");
        if (end == std::string_view::npos)
            end = text.size();
        else if (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n')
            end += 2;
        else
            end += 1;
        if (!write_all(fd, text.substr(0, end)))
            return false;
        text.remove_prefix(end);
    }
    return true;
}

enum class Step { go_on, closed, escaped };

// Typed bytes to the daemon; end of input half-closes the connection.
Step forward_input(int fd, bool &input_open) {
    char buf[4096];
    const ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
    if (n < 0)
        return errno == EINTR ? Step::go_on : Step::closed;
    if (n == 0) {
        input_open = false;
        shutdown(fd, SHUT_WR);
        return Step::go_on;
    }
    const std::string_view typed(buf, static_cast<size_t>(n));
    const size_t escape = typed.find(escape_key);
    if (!send_lines(fd, typed.substr(0, escape)))
        return Step::closed;
    return escape == std::string_view::npos ? Step::go_on : Step::escaped;
}

// The daemon's bytes to the terminal.
Step forward_output(int fd) {
    std::string got;
    if (read_some(fd, got, 0) == ReadResult::closed || !write_all(STDOUT_FILENO, got))
        return Step::closed;
    return Step::go_on;
}

} // namespace

int relay(int fd, std::string_view shown) {
    if (!write_all(STDOUT_FILENO, shown))
        return 0;
    bool input_open = true;
    for (;;) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {input_open ? STDIN_FILENO : -1, POLLIN, 0}};
        if (ppoll(fds, 2, nullptr, wait_mask()) < 0) {
            if (errno != EINTR)
                return 1;
            if (const int sig = stop_signal())
                return 128 + sig;
            continue;
        }
        Step step = Step::go_on;
        if (fds[0].revents)
            step = forward_output(fd);
        if (step == Step::go_on && fds[1].revents)
            step = forward_input(fd, input_open);
        if (step != Step::go_on)
            return 0;
    }
}

} // namespace znconsole
