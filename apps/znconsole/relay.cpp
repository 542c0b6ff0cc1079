// relay.cpp -- the interactive session: bytes between the terminal and the daemon until the connection closes.
#include "relay.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>

#include "connection.h"
#include "terminal.h"

namespace znconsole {

namespace {

using Clock = std::chrono::steady_clock;

// Input goes out one line per write, and the next line waits until the
// daemon has answered (it echoes at least the line end), at most
// reply_wait: its answers stay in step with the input, also with daemons
// built on consoles that took only one line per read. A person typing
// never notices; piped text keeps its lines.
constexpr auto reply_wait = std::chrono::seconds(5);

// The length of the first piece of text: up to and including its first
// line end (CR, LF or CR LF), or all of it.
size_t first_line(std::string_view text) {
    const size_t end = text.find_first_of("\r\n");
    if (end == std::string_view::npos)
        return text.size();
    return end + (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n' ? 2 : 1);
}

class Relay {
public:
    explicit Relay(int fd) : fd_(fd) {}

    // Runs until the connection closes (0), the escape key (0) or a stop
    // signal (128 plus its number).
    int run() {
        for (;;) {
            if (!send_queued())
                return 0;
            pollfd fds[2] = {{fd_, POLLIN, 0}, {wants_input() ? STDIN_FILENO : -1, POLLIN, 0}};
            const int n = ppoll(fds, 2, awaiting_ ? &wait_left_ : nullptr, wait_mask());
            if (n < 0 && errno != EINTR)
                return 1;
            if (const int sig = stop_signal())
                return 128 + sig;
            if (n == 0)
                awaiting_ = false; // no answer in time: go on regardless
            if (n > 0 && fds[0].revents && !forward_output())
                return 0;
            if (n > 0 && fds[1].revents && !take_input())
                return 0;
        }
    }

private:
    bool wants_input() const { return input_open_ && queued_.empty(); }

    // Sends the next line of queued input unless the previous one is still
    // unanswered; half-closes the connection once input has ended and all
    // of it is out. False when the connection failed.
    bool send_queued() {
        if (awaiting_ || queued_.empty()) {
            if (!input_open_ && queued_.empty() && !awaiting_ && !half_closed_) {
                shutdown(fd_, SHUT_WR);
                half_closed_ = true;
            }
            return true;
        }
        const size_t len = first_line(queued_);
        if (!write_all(fd_, std::string_view(queued_).substr(0, len)))
            return false;
        const char last = queued_[len - 1];
        queued_.erase(0, len);
        if (last == '\n' || last == '\r') {
            awaiting_ = true;
            const auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(reply_wait).count();
            wait_left_ = {static_cast<time_t>(wait / 1000000000), static_cast<long>(wait % 1000000000)};
        }
        return true;
    }

    // The daemon's bytes to the terminal; false when the connection ended.
    bool forward_output() {
        std::string got;
        if (read_some(fd_, got, 0) == ReadResult::closed || !write_all(STDOUT_FILENO, got))
            return false;
        awaiting_ = false;
        return true;
    }

    // Typed or piped bytes into the queue; false on the escape key or when
    // the terminal failed.
    bool take_input() {
        char buf[4096];
        const ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
        if (n < 0)
            return errno == EINTR;
        if (n == 0) {
            input_open_ = false;
            return true;
        }
        const std::string_view typed(buf, static_cast<size_t>(n));
        const size_t escape = typed.find(escape_key);
        queued_.append(typed.substr(0, escape));
        return escape == std::string_view::npos;
    }

    int fd_;
    std::string queued_;      // input not yet sent
    bool input_open_ = true;
    bool awaiting_ = false;   // a line went out and the daemon has not answered
    bool half_closed_ = false;
    timespec wait_left_{};
};

} // namespace

int relay(int fd, std::string_view shown) {
    if (!write_all(STDOUT_FILENO, shown))
        return 0;
    return Relay(fd).run();
}

} // namespace znconsole
