// manager.h -- the service manager's end of the notification socket, played by the tests.
//
// A datagram socket bound at a fresh path (or a fresh abstract name) that a
// daemon is pointed at through $NOTIFY_SOCKET. The kernel stamps each
// datagram with its arrival time and the sender's pid, so the order, the
// intervals and the sender can be checked after the fact.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace zntest {

struct Notification {
    std::string text; // the datagram's bytes
    double at = 0;    // arrival, seconds of the real-time clock
    pid_t sender = 0; // the sending process
};

class FakeManager {
public:
    enum class Naming { path, abstract };

    explicit FakeManager(Naming naming = Naming::path) {
        static std::atomic<int> made{0};
        const std::string unique = std::to_string(getpid()) + "-" + std::to_string(made++);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        socklen_t len;
        if (naming == Naming::path) {
            char dir[] = "/tmp/zn-manager-XXXXXX";
            if (!mkdtemp(dir))
                abort();
            dir_ = dir;
            address_ = dir_ + "/notify";
            strcpy(addr.sun_path, address_.c_str());
            len = sizeof addr;
        } else {
            address_ = "@zn-manager-" + unique;
            memcpy(addr.sun_path + 1, address_.data() + 1, address_.size() - 1);
            len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address_.size());
        }
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr *>(&addr), len) != 0 ||
            setsockopt(fd_, SOL_SOCKET, SO_TIMESTAMP, &on, sizeof on) != 0 ||
            setsockopt(fd_, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0)
            abort();
    }
    ~FakeManager() {
        close(fd_);
        if (!dir_.empty()) {
            unlink(address_.c_str());
            rmdir(dir_.c_str());
        }
    }
    FakeManager(const FakeManager &) = delete;
    FakeManager &operator=(const FakeManager &) = delete;

    // The value of $NOTIFY_SOCKET that names this socket.
    const std::string &address() const { return address_; }
    int fd() const { return fd_; }

    // The next notification, waiting up to timeout_ms; none when none came.
    std::optional<Notification> next(int timeout_ms) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0)
            return std::nullopt;
        char text[4096];
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timeval)) + CMSG_SPACE(sizeof(ucred))];
        iovec iov{text, sizeof text};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        const ssize_t n = recvmsg(fd_, &msg, MSG_DONTWAIT);
        if (n < 0)
            return std::nullopt;
        Notification got{std::string(text, static_cast<size_t>(n))};
        for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMP) {
                timeval tv;
                memcpy(&tv, CMSG_DATA(c), sizeof tv);
                got.at = static_cast<double>(tv.tv_sec) + tv.tv_usec / 1e6;
            } else if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS) {
                ucred cred;
                memcpy(&cred, CMSG_DATA(c), sizeof cred);
                got.sender = cred.pid;
            }
        }
        return got;
    }

    // Notifications up to and including the first whose text is `last`,
    // waiting up to timeout_ms in all; fewer when the time ran out.
    std::vector<Notification> until(const std::string &last, int timeout_ms) {
        std::vector<Notification> got;
        timeval start;
        gettimeofday(&start, nullptr);
        for (int left = timeout_ms; left >= 0; left = timeout_ms - elapsed_ms(start)) {
            std::optional<Notification> n = next(left);
            if (!n)
                break;
            got.push_back(*n);
            if (n->text == last)
                break;
        }
        return got;
    }

    // Everything that has arrived so far.
    std::vector<Notification> queued() {
        std::vector<Notification> got;
        while (std::optional<Notification> n = next(0))
            got.push_back(*n);
        return got;
    }

private:
    static int elapsed_ms(const timeval &start) {
        timeval now;
        gettimeofday(&now, nullptr);
        return static_cast<int>((now.tv_sec - start.tv_sec) * 1000 + (now.tv_usec - start.tv_usec) / 1000);
    }

    int fd_ = -1;
    std::string dir_, address_;
};

// The texts of notifications, in order.
inline std::vector<std::string> texts(const std::vector<Notification> &list) {
    std::vector<std::string> out;
    for (const Notification &n : list)
        out.push_back(n.text);
    return out;
}

// How many of the notifications have exactly this text.
inline long count_of(const std::vector<Notification> &list, const std::string &text) {
    return std::count_if(list.begin(), list.end(), [&](const Notification &n) { return n.text == text; });
}

} // namespace zntest
