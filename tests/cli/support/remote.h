// remote.h -- drives the test daemon: starting it on a free port, and remote clients over TCP or a local socket.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "child.h"

namespace zntest {

inline const std::string kHandshake("\x5C\x1E\x7A\x93", 4);
inline const std::string kAck("\x3D\x96\xB2\xE4", 4);
inline const std::string kPrompt = "zn> ";

using Clock = std::chrono::steady_clock;

// Milliseconds left until deadline, at least 0.
inline int ms_left(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Reads what fd has within timeout_ms into out; false on end of file or error.
inline bool read_some(int fd, std::string &out, int timeout_ms) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0)
        return true;
    char buf[65536];
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0)
        return false;
    out.append(buf, static_cast<size_t>(n));
    return true;
}

// A free TCP port on the loopback address (it may be taken again before use;
// the daemon then fails to start and the caller tries another).
inline int free_port() {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    getsockname(s, reinterpret_cast<sockaddr *>(&addr), &len);
    close(s);
    return ntohs(addr.sin_port);
}

// Reads a descriptor into a buffer and hands out what was asked for; bytes
// beyond it stay for the next call.
class Reader {
public:
    explicit Reader(int fd = -1) : fd_(fd) {}
    void attach(int fd) { fd_ = fd; }

    // Bytes up to and including the first occurrence of end; whatever came
    // when the time ran out or the peer closed otherwise.
    std::string until(const std::string &end, int timeout_ms = 10000) {
        size_t at;
        fill([&] { return (at = pending_.find(end)) != std::string::npos; }, timeout_ms);
        return take(at == std::string::npos ? pending_.size() : at + end.size());
    }

    // Exactly n bytes (fewer when the time ran out or the peer closed).
    std::string exactly(size_t n, int timeout_ms = 10000) {
        fill([&] { return pending_.size() >= n; }, timeout_ms);
        return take(std::min(n, pending_.size()));
    }

    // Everything up to the peer's end of file; at_eof tells whether it came.
    std::string to_eof(bool &at_eof, int timeout_ms = 10000) {
        at_eof = !fill([] { return false; }, timeout_ms);
        return take(pending_.size());
    }

private:
    // Reads until done() holds; false when the peer closed first.
    template <class Done>
    bool fill(Done done, int timeout_ms) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        while (!done() && ms_left(deadline) > 0)
            if (!read_some(fd_, pending_, ms_left(deadline)))
                return false;
        return true;
    }

    std::string take(size_t n) {
        std::string result = pending_.substr(0, n);
        pending_.erase(0, n);
        return result;
    }

    int fd_;
    std::string pending_;
};

// Starts the test daemon with args in this process's child (forked by the
// caller); never returns.
[[noreturn]] inline void exec_daemon(std::vector<std::string> args) {
    args.insert(args.begin(), ZN_TEST_DAEMON);
    exec_argv(std::move(args));
}

// The test daemon in a child process, killed at the end if still running.
class Daemon {
public:
    // Starts the daemon on a free port with extra arguments; after it has
    // said "ready" on its standard error, port() accepts connections.
    explicit Daemon(std::vector<std::string> extra = {}, int port = 0) {
        for (int attempt = 0; attempt < 5 && !ready_; ++attempt)
            ready_ = start(port ? port : free_port(), extra);
    }

    bool ready() const { return ready_; }
    int port() const { return port_; }
    const std::string &errors() const { return errors_; }

    // Waits for the daemon to end; its exit status, or -1 when it did not
    // end in time or ended through a signal.
    int wait_exit(int timeout_ms = 10000) {
        const int status = child_.wait_exit(timeout_ms, [this] { read_some(child_.fd(), errors_, 20); });
        if (!child_.running())
            drain_errors();
        return status;
    }

    // Everything the daemon wrote to standard error so far.
    void drain_errors() {
        while (poll_readable(child_.fd()) && read_some(child_.fd(), errors_, 0)) {
        }
    }

private:
    static bool poll_readable(int fd) {
        pollfd p{fd, POLLIN, 0};
        return poll(&p, 1, 0) > 0;
    }

    bool start(int port, const std::vector<std::string> &extra) {
        int err[2];
        if (pipe(err) != 0)
            return false;
        port_ = port;
        std::vector<std::string> args = {std::to_string(port)};
        args.insert(args.end(), extra.begin(), extra.end());
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(err[1], STDERR_FILENO);
            close(err[0]);
            close(err[1]);
            exec_daemon(args);
        }
        close(err[1]);
        child_ = ChildProcess(pid, err[0]);
        errors_.clear();
        const auto deadline = Clock::now() + std::chrono::seconds(20);
        while (ms_left(deadline) > 0 && errors_.find("ready\n") == std::string::npos) {
            if (!read_some(child_.fd(), errors_, ms_left(deadline)))
                break;
        }
        if (errors_.find("ready\n") != std::string::npos)
            return true;
        child_.stop();
        return false;
    }

    ChildProcess child_;
    int port_ = 0;
    bool ready_ = false;
    std::string errors_;
};

// One remote console connection, over TCP or a local socket.
class Client {
public:
    // receive_buffer, when given, is set before connecting (later it would
    // disagree with the window already offered to the peer).
    explicit Client(int port, const char *addr = "127.0.0.1", int receive_buffer = 0) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        if (receive_buffer > 0)
            setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, addr, &sa.sin_addr);
        connected_ = connect(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0;
        reader_.attach(fd_);
    }

    // To the local socket at path.
    explicit Client(const std::string &path) {
        fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un sa{};
        sa.sun_family = AF_UNIX;
        path.copy(sa.sun_path, sizeof sa.sun_path - 1);
        connected_ = connect(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0;
        reader_.attach(fd_);
    }
    ~Client() {
        if (fd_ >= 0)
            close(fd_);
    }
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    bool connected() const { return connected_; }
    int fd() const { return fd_; }

    void send(const std::string &bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0)
                return;
            done += static_cast<size_t>(n);
        }
    }

    std::string read_until(const std::string &end, int timeout_ms = 10000) {
        return reader_.until(end, timeout_ms);
    }
    std::string read_exactly(size_t n, int timeout_ms = 10000) { return reader_.exactly(n, timeout_ms); }
    std::string read_to_eof(bool &at_eof, int timeout_ms = 10000) {
        return reader_.to_eof(at_eof, timeout_ms);
    }

    // The handshake; true when the acknowledgement and the prompt came.
    bool login() {
        send(kHandshake);
        return read_exactly(kAck.size() + kPrompt.size()) == kAck + kPrompt;
    }

    // Sends a line and returns the reply up to the next prompt.
    std::string command(const std::string &line) {
        send(line + "\n");
        return read_until(kPrompt);
    }

private:
    int fd_ = -1;
    bool connected_ = false;
    Reader reader_;
};

} // namespace zntest
