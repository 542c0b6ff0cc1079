// listener.cpp -- remote users: the TCP listening socket, accepting on every listener, and the handshake.
#include <arpa/inet.h>
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

#include "internal.h"

ushort_t cli_port;
int cli_accept_fd = -1;

namespace {

constexpr uint32_t handshake_value = 0x5C1E7A93;
constexpr unsigned char acknowledgement[4] = {0x3D, 0x96, 0xB2, 0xE4};

in_addr_t listen_address = htonl(INADDR_ANY); // network byte order

char remote_title[] = "Remote User";
char local_title[] = "Local User";

std::array<int, 2> listening_fds() { return {cli_accept_fd, cli::local_socket_fd()}; }

// Out of descriptors, accept() fails while the connection waits in the
// backlog, and the listening sockets would be reported ready in every pass.
// They rest instead, for a second or until a user leaves.
constexpr ulong_t pause_seconds = 1;
char pause_name[] = "CLI Accept Pause";
bool accept_paused;
struct Rested {
    int fd = -1;
    ulong_t flags = 0; // the listener's flags before it rested
};
std::array<Rested, 2> rested;

void end_pause() {
    accept_paused = false;
    for (Rested &r : rested) {
        const int fd = std::exchange(r.fd, -1);
        if (cli::is_listener(fd))
            sched_fd_flags(fd, r.flags);
    }
}

void pause_over(void *) {
    if (accept_paused)
        end_pause();
}

void accepting_pause() {
    if (accept_paused || sched_task(pause_over, nullptr, 0, pause_seconds, pause_name) != 0)
        return;
    if (cli::debug_on())
        cli::debug("cli_fd_event: Out of descriptors, not accepting for %lu second\n", pause_seconds);
    const std::array<int, 2> fds = listening_fds();
    for (size_t i = 0; i < fds.size(); ++i) {
        const SchedFD *listener = sched_find_fd(fds[i]);
        if (!listener)
            continue;
        rested[i] = {fds[i], listener->flags};
        sched_fd_flags(fds[i], 0);
    }
    accept_paused = true;
}

// Accepted sockets never block the daemon and never leak into programs it
// runs; TCP ones send small replies at once.
int accept_socket(int listening_fd, sockaddr_storage &peer) {
    socklen_t len = sizeof peer;
    const int s = accept4(listening_fd, reinterpret_cast<sockaddr *>(&peer), &len,
                          SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (s >= 0 && peer.ss_family == AF_INET) {
        const int on = 1;
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    return s;
}

// Who connected: the TCP peer's address, or the local peer's credentials
// (false when they cannot be read).
bool identify(int s, const sockaddr_storage &peer, ucred &cred) {
    if (peer.ss_family == AF_INET) {
        const auto &in = reinterpret_cast<const sockaddr_in &>(peer);
        if (cli::debug_on())
            cli::debug("cli_fd_event: New Connection from %s:%d\n", inet_ntoa(in.sin_addr),
                       ntohs(in.sin_port));
        return true;
    }
    if (!cli::read_peer_credentials(s, cred)) {
        if (cli::debug_on())
            cli::debug("cli_fd_event: Unable to read the credentials of the local peer on fd %d\n", s);
        return false;
    }
    if (cli::debug_on())
        cli::debug("cli_fd_event: New Local Connection from pid %ld, uid %ld, gid %ld\n",
                   static_cast<long>(cred.pid), static_cast<long>(cred.uid), static_cast<long>(cred.gid));
    return true;
}

} // namespace

int cli_set_listen_address(const char *addr) {
    in_addr parsed{};
    if (!addr || inet_pton(AF_INET, addr, &parsed) != 1)
        return -1;
    listen_address = parsed.s_addr;
    return 0;
}

namespace cli {

// SO_REUSEADDR lets a restarted daemon bind its port while connections of
// its previous run linger in TIME_WAIT. The socket is non-blocking, so that
// a connection reset before accept() cannot stall the loop.
int listener_open(ushort_t port) {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (s < 0) {
        if (debug_on())
            debug("cli_init: WARNING - Could not get debug socket\n");
        return -1;
    }
    const int on = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = listen_address;
    if (bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        if (debug_on())
            debug("cli_init: WARNING - Unable to bind debug socket\n");
        close(s);
        return -1;
    }
    if (listen(s, SOMAXCONN) != 0) {
        if (debug_on())
            debug("cli_init: WARNING - Unable to listen on debug socket\n");
        close(s);
        return -1;
    }
    return s;
}

void listener_close() {
    if (cli_accept_fd == -1)
        return;
    shutdown(cli_accept_fd, SHUT_RDWR);
    close(cli_accept_fd);
    cli_accept_fd = -1;
}

bool is_listener(int fd) {
    const std::array<int, 2> fds = listening_fds();
    return fd >= 0 && std::find(fds.begin(), fds.end(), fd) != fds.end();
}

// A connection beyond the user limit, or one that cannot become a user
// (credentials unknown, descriptor beyond select()'s range, no memory), is
// closed at once, before its handshake.
void accept_connection(int listening_fd) {
    sockaddr_storage peer{};
    const int s = accept_socket(listening_fd, peer);
    if (s < 0) {
        const int err = errno;
        if (debug_on())
            debug("cli_fd_event: Accept failed, %s\n", strerror(err));
        if (err == EMFILE || err == ENFILE)
            accepting_pause();
        return;
    }
    ucred cred{};
    if (!identify(s, peer, cred)) {
        close(s);
        return;
    }
    if (!admits_user()) {
        if (debug_on())
            debug("cli_fd_event: Too many users (limit %d), closing the new connection on fd %d\n",
                  user_limit(), s);
        close(s);
        return;
    }
    const bool tcp = peer.ss_family == AF_INET;
    if (cli_add_user(s, s, tcp ? remote_title : local_title,
                     tcp ? reinterpret_cast<sockaddr_in *>(&peer) : nullptr, 0, nullptr) < 0) {
        if (debug_on())
            debug("cli_fd_event: Unable to add new user\n");
        close(s);
        return;
    }
    user_accepted(CmdUserList_end, tcp ? nullptr : &cred);
    handshake_timer_start();
}

void accepting_resume() {
    if (!accept_paused)
        return;
    sched_remove_task(pause_over, nullptr, pause_name, SCHED_MATCH_FUNC);
    end_pause();
}

// The value is judged once its four bytes have come, whatever reads brought
// them; until then they wait in in_buf. The bytes after it reach the editor
// as input (input.cpp).
int receive_handshake(CmdUser *up) {
    if (up->in_len < handshake_size) {
        up->echo_ptr = up->in_len;
        return -1;
    }
    uint32_t value = 0;
    for (int i = 0; i < handshake_size; ++i)
        value = value << 8 | static_cast<unsigned char>(up->in_buf[i]);
    if (value == handshake_value) {
        if (debug_on())
            debug("cli_receive_data: Got Valid MAGIC number\n");
        write_direct(up,
                     std::string_view(reinterpret_cast<const char *>(acknowledgement), sizeof acknowledgement),
                     flush_deadline());
        up->state = CLI_STATE_COMMAND;
        send_prompt(up);
    } else if (debug_on()) {
        debug("cli_receive_data: Got Invalid MAGIC number [0x%08lX]\n",
              static_cast<unsigned long>(value));
    }
    empty_line(up);
    return -1;
}

} // namespace cli
