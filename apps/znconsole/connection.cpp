// connection.cpp -- the connection to a zn console (TCP or a local socket): connecting, the handshake, reading and writing.
#include "connection.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace znconsole {

namespace {

const std::string handshake("\x5C\x1E\x7A\x93", 4);
const std::string acknowledgement("\x3D\x96\xB2\xE4", 4);

using Clock = std::chrono::steady_clock;

int ms_left(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Waits until fd is ready for events; false on time-out or error.
bool wait_for(int fd, short events, int timeout_ms) {
    pollfd p{fd, events, 0};
    int n;
    while ((n = poll(&p, 1, timeout_ms)) < 0 && errno == EINTR) {
    }
    return n > 0;
}

// Connects s to addr within the greeting time; 0 or an errno value.
int connect_within(int s, const sockaddr *addr, socklen_t addr_len) {
    const int flags = fcntl(s, F_GETFL);
    fcntl(s, F_SETFL, flags | O_NONBLOCK);
    int err = 0;
    if (connect(s, addr, addr_len) != 0) {
        err = errno;
        if (err == EINPROGRESS) {
            socklen_t len = sizeof err;
            err = wait_for(s, POLLOUT, greeting_timeout_ms) ? 0 : ETIMEDOUT;
            if (err == 0)
                getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len);
        }
    }
    fcntl(s, F_SETFL, flags);
    return err;
}

int connect_tcp(const std::string &host, const std::string &port, std::string &error) {
    addrinfo hints{};
    hints.ai_family = AF_INET; // consoles listen on IPv4
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (const int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &found); rc != 0) {
        error = "cannot find " + host + ": " + gai_strerror(rc);
        return -1;
    }
    int err = 0;
    int s = -1;
    for (const addrinfo *a = found; a && s < 0; a = a->ai_next) {
        s = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (s < 0) {
            err = errno;
        } else if ((err = connect_within(s, a->ai_addr, a->ai_addrlen)) != 0) {
            close(s);
            s = -1;
        }
    }
    freeaddrinfo(found);
    if (s < 0) {
        error = "cannot connect to " + host + " port " + port + ": " + strerror(err);
        return -1;
    }
    const int on = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on); // one line, one segment
    return s;
}

int connect_local(const std::string &path, std::string &error) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path) {
        error = "cannot connect to socket " + path + ": " + strerror(path.empty() ? EINVAL : ENAMETOOLONG);
        return -1;
    }
    path.copy(addr.sun_path, path.size());
    const int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int err = s < 0 ? errno : connect_within(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    if (err != 0) {
        if (s >= 0)
            close(s);
        error = "cannot connect to socket " + path + ": " + strerror(err);
        return -1;
    }
    return s;
}

} // namespace

int connect_to(const Target &target, std::string &error) {
    return target.socket.empty() ? connect_tcp(target.host, target.port, error) : connect_local(target.socket, error);
}

bool write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

ReadResult read_some(int fd, std::string &into, int timeout_ms) {
    if (!wait_for(fd, POLLIN, timeout_ms))
        return ReadResult::timeout;
    char buf[8192];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) < 0 && errno == EINTR) {
    }
    if (n <= 0)
        return ReadResult::closed;
    into.append(buf, static_cast<size_t>(n));
    return ReadResult::data;
}

Greeting greet(int fd, std::string &after) {
    if (!write_all(fd, handshake))
        return Greeting::closed;
    const auto deadline = Clock::now() + std::chrono::milliseconds(greeting_timeout_ms);
    std::string got;
    while (got.size() < acknowledgement.size()) {
        if (got.compare(0, got.size(), acknowledgement, 0, got.size()) != 0)
            return Greeting::refused;
        const int left = ms_left(deadline);
        if (left == 0)
            return Greeting::silent;
        switch (read_some(fd, got, left)) {
        case ReadResult::data:
            break;
        case ReadResult::timeout:
            return Greeting::silent;
        case ReadResult::closed:
            return Greeting::closed;
        }
    }
    if (got.compare(0, acknowledgement.size(), acknowledgement) != 0)
        return Greeting::refused;
    after = got.substr(acknowledgement.size());
    return Greeting::accepted;
}

} // namespace znconsole
