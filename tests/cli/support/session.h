// session.h -- a console user on a socketpair, driven in-process without the main loop.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <initializer_list>
#include <string>

#include "child.h"
#include "zncli.h"
#include "znsched.h"

namespace zntest {

// sched_init() and cli_init(port) in the calling (child) process, with the
// prompt "> ".
inline void init_console(ushort_t port = 0) {
    static char prompt[] = "> ";
    REQUIRE(sched_init() == 0);
    REQUIRE(cli_init(port) == 0);
    cli_set_prompt(prompt);
}

// fd moved to a number above those that mark local console users.
inline int move_high(int fd) {
    const int high = fcntl(fd, F_DUPFD, 10);
    REQUIRE(high >= 10);
    close(fd);
    return high;
}

// Both ends of a socketpair, non-blocking, numbered above 3.
inline void make_pair(int sv[2]) {
    REQUIRE(socketpair(AF_UNIX, SOCK_STREAM, 0, sv) == 0);
    for (int i = 0; i < 2; ++i) {
        sv[i] = move_high(sv[i]);
        fcntl(sv[i], F_SETFL, fcntl(sv[i], F_GETFL) | O_NONBLOCK);
    }
}

// A pipe numbered above 3.
inline void make_pipe(int p[2]) {
    REQUIRE(pipe(p) == 0);
    p[0] = move_high(p[0]);
    p[1] = move_high(p[1]);
}

// Everything the peer can read now (its end is non-blocking).
inline std::string drain(int fd) { return read_all(fd); }

// The console's debug channel on a pipe, to look at what it wrote.
class DebugPipe {
public:
    DebugPipe() {
        make_pipe(ends_);
        fcntl(ends_[0], F_SETFL, O_NONBLOCK);
        cli_set_debug(1, ends_[1]);
    }

    // Everything written since the last look.
    std::string take() { return drain(ends_[0]); }

    // How often text appears in what was written since the last look.
    int count(const std::string &text) {
        const std::string seen = take();
        int n = 0;
        for (size_t at = seen.find(text); at != std::string::npos; at = seen.find(text, at + 1))
            ++n;
        return n;
    }

private:
    int ends_[2];
};

class Session {
public:
    // A user on a new socketpair, past the handshake (state 1) unless
    // handshake is false; the user's side is descriptor fd().
    explicit Session(bool handshake = true,
                     int (*hook)(uchar_t, CmdUser *, void *, int) = nullptr) {
        int sv[2];
        make_pair(sv);
        fd_ = sv[0];
        peer_ = sv[1];
        static char who[] = "test user";
        REQUIRE(cli_add_user(fd_, fd_, who, nullptr, 0, hook) == 0);
        up_ = cli_find_user(fd_, fd_, CLI_MATCH_BOTH);
        REQUIRE(up_ != nullptr);
        if (handshake)
            up_->state = CLI_STATE_COMMAND;
    }

    CmdUser *user() const { return up_; }
    int fd() const { return fd_; }
    int peer() const { return peer_; }

    // Sends bytes as one read's worth and returns what the user got back.
    std::string type(const std::string &bytes) {
        REQUIRE(write(peer_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()));
        cli_fd_event(fd_, up_, 1, 0, 0);
        return drain(peer_);
    }

    // Sends bytes in one write, and lets the user read until none are left
    // (reads take at most 2048 bytes); returns what the user got back.
    std::string type_all(const std::string &bytes) {
        REQUIRE(write(peer_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()));
        pollfd ready{fd_, POLLIN, 0};
        while (poll(&ready, 1, 0) > 0 && cli_find_user(fd_, fd_, CLI_MATCH_BOTH) == up_)
            cli_fd_event(fd_, up_, 1, 0, 0);
        return drain(peer_);
    }

    // Writes to the user's side until the peer's receive buffer is full, so
    // that output can only queue.
    void fill_output() const {
        const std::string block(4096, '#');
        while (write(fd_, block.data(), block.size()) > 0) {
        }
    }

    // Sends each byte as a read of its own; returns everything sent back.
    std::string type_bytewise(const std::string &bytes) {
        std::string out;
        for (char c : bytes)
            out += type(std::string(1, c));
        return out;
    }

    // Types each chunk as a read of its own; the replies joined by "|".
    std::string script(std::initializer_list<std::string> chunks) {
        std::string out;
        for (const std::string &chunk : chunks) {
            if (&chunk != chunks.begin())
                out += "|";
            out += type(chunk);
        }
        return out;
    }

private:
    int fd_ = -1, peer_ = -1;
    CmdUser *up_ = nullptr;
};

} // namespace zntest
