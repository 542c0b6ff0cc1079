// listener.cpp -- remote users: the listening socket, accepting connections and the handshake.
#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include "internal.h"

ushort_t cli_port;
int cli_accept_fd = -1;

namespace {

constexpr uint32_t handshake_value = 0x5C1E7A93;
constexpr unsigned char acknowledgement[4] = {0x3D, 0x96, 0xB2, 0xE4};

in_addr_t listen_address = htonl(INADDR_ANY); // network byte order

char remote_title[] = "Remote User";

// Out of descriptors, accept() fails while the connection waits in the
// backlog, and the listening socket would be reported ready in every pass.
// It rests instead, for a second or until a user leaves.
constexpr ulong_t pause_seconds = 1;
char pause_name[] = "CLI Accept Pause";
bool accept_paused;
ulong_t paused_flags; // the listener's flags before it rested

void end_pause() {
    accept_paused = false;
    if (cli_accept_fd >= 0)
        sched_fd_flags(cli_accept_fd, paused_flags);
}

void pause_over(void *) {
    if (accept_paused)
        end_pause();
}

void accepting_pause() {
    const SchedFD *listener = sched_find_fd(cli_accept_fd);
    if (!listener || sched_task(pause_over, nullptr, 0, pause_seconds, pause_name) != 0)
        return;
    if (cli::debug_on())
        cli::debug("cli_fd_event: Out of descriptors, not accepting for %lu second\n", pause_seconds);
    paused_flags = listener->flags;
    sched_fd_flags(cli_accept_fd, 0);
    accept_paused = true;
}

// Accepted sockets never block the daemon, never leak into programs it
// runs, and send small replies at once.
int accept_socket(sockaddr_in &peer) {
    socklen_t len = sizeof peer;
    const int s = accept4(cli_accept_fd, reinterpret_cast<sockaddr *>(&peer), &len,
                          SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (s >= 0) {
        const int on = 1;
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    return s;
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
    accept_paused = false;
    if (cli_accept_fd == -1)
        return;
    shutdown(cli_accept_fd, SHUT_RDWR);
    close(cli_accept_fd);
    cli_accept_fd = -1;
}

// A connection that cannot become a user (descriptor beyond select()'s
// range, no memory) is closed at once.
void accept_connection() {
    sockaddr_in peer{};
    const int s = accept_socket(peer);
    if (s < 0) {
        const int err = errno;
        if (debug_on())
            debug("cli_fd_event: Accept failed, %s\n", strerror(err));
        if (err == EMFILE || err == ENFILE)
            accepting_pause();
        return;
    }
    if (debug_on())
        debug("cli_fd_event: New Connection from %s:%d\n", inet_ntoa(peer.sin_addr),
              ntohs(peer.sin_port));
    if (cli_add_user(s, s, remote_title, &peer, 0, nullptr) < 0) {
        if (debug_on())
            debug("cli_fd_event: Unable to add new user\n");
        close(s);
    }
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
