// activation.cpp -- listening sockets handed over by the service manager ($LISTEN_PID, $LISTEN_FDS).
//
// A manager that opens the console's socket itself starts the daemon with
// the socket from descriptor 3 on, and names the count and the receiving
// process in the environment. The console takes what it can serve and
// leaves every other descriptor as it is. The variables are removed either
// way, so that programs the daemon starts do not take them for their own.
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <initializer_list>

#include "../common/environment.h"
#include "internal.h"

namespace {

constexpr int first_passed_fd = 3;

// How many descriptors the manager passed to this process; 0 when the
// variables are missing, malformed or meant for another process.
int passed_count() {
    const auto pid = zn::environment_number("LISTEN_PID");
    const auto count = zn::environment_number("LISTEN_FDS");
    for (const char *variable : {"LISTEN_PID", "LISTEN_FDS", "LISTEN_FDNAMES"})
        zn::environment_remove(variable);
    if (!pid || *pid != static_cast<unsigned long long>(getpid()) || !count)
        return 0;
    const auto descriptor_limit = static_cast<unsigned long long>(std::max(0L, sysconf(_SC_OPEN_MAX)));
    return static_cast<int>(std::min(*count, descriptor_limit));
}

struct SocketKind {
    int family = AF_UNSPEC, type = 0, protocol = 0;
    bool listening = false;
};

int socket_option(int fd, int option) {
    int value = 0;
    socklen_t len = sizeof value;
    return getsockopt(fd, SOL_SOCKET, option, &value, &len) == 0 ? value : -1;
}

// What fd is; a descriptor that is no socket reads as family AF_UNSPEC.
SocketKind kind_of(int fd) {
    SocketKind kind;
    const int family = socket_option(fd, SO_DOMAIN);
    if (family < 0)
        return kind;
    kind.family = family;
    kind.type = socket_option(fd, SO_TYPE);
    kind.protocol = socket_option(fd, SO_PROTOCOL);
    kind.listening = socket_option(fd, SO_ACCEPTCONN) == 1;
    return kind;
}

// The passed socket as the console's TCP listener, non-blocking and closed
// on exec like one the console opens; cli_port becomes its port. Only the
// first such socket is taken.
bool adopt_tcp_listener(int fd) {
    if (cli_accept_fd != -1)
        return false;
    sockaddr_in local{};
    socklen_t len = sizeof local;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&local), &len) != 0)
        return false;
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    cli_accept_fd = fd;
    cli_port = ntohs(local.sin_port);
    if (cli::debug_on())
        cli::debug("cli_init: Listening socket %d on port %d handed over by the service manager\n", fd,
                   cli_port);
    return true;
}

// The passed socket as the local console socket (cli_listen_unix then
// refuses a second one); the manager owns its file, which stays at shutdown.
// Only the first such socket is taken.
bool adopt_local_listener(int fd) {
    if (cli::local_socket_adopt(fd) != 0)
        return false;
    if (cli::debug_on())
        cli::debug("cli_init: Local socket %d handed over by the service manager\n", fd);
    return true;
}

// Takes fd when the console serves listeners of its kind.
bool adopt(int fd) {
    const SocketKind kind = kind_of(fd);
    if (!kind.listening || kind.type != SOCK_STREAM)
        return false;
    if (kind.family == AF_INET && kind.protocol == IPPROTO_TCP)
        return adopt_tcp_listener(fd);
    if (kind.family == AF_UNIX)
        return adopt_local_listener(fd);
    return false;
}

} // namespace

namespace cli {

void take_passed_listeners() {
    const int count = passed_count();
    for (int fd = first_passed_fd; fd < first_passed_fd + count; ++fd)
        if (!adopt(fd) && debug_on())
            debug("cli_init: Descriptor %d from the service manager left alone\n", fd);
}

} // namespace cli
