// local_socket.cpp -- the local console socket: a Unix-domain listener whose file mode decides who connects.
//
// The file has its mode from the moment it exists: bind() creates it with
// the socket's own mode less the umask, so the socket gets the mode first
// and the umask is cleared for the bind() call alone. The umask belongs to
// the process; clearing it for one call is safe on the scheduler's one
// thread, and a daemon that runs other threads must not create files in
// that instant. A file already at the path is replaced only when it is a
// socket nobody listens on; whatever else is there stays untouched. At
// clean-up the file is removed when it is still the one this process made.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "internal.h"

namespace {

char local_accept_name[] = "CLI Local Accept";

struct LocalSocket {
    int fd = -1;
    sockaddr_un addr{};     // its path, when this process made the file
    bool owns_file = false; // made by cli_listen_unix: removed at clean-up
    dev_t dev = 0;          // the file made, so that only it is removed
    ino_t ino = 0;
};
LocalSocket local;

// A failed step: errno set to err.
int fail(int err) {
    errno = err;
    return -1;
}
bool refuse(int err) {
    errno = err;
    return false;
}

enum class Occupant { none, stale_socket, live_socket, other_file, unknown };

// What is at the path. A socket that refuses a connection has nobody
// listening; one that takes it, or whose backlog is full, is live. err is
// the reason an occupant stays unknown.
Occupant occupant(const sockaddr_un &addr, int &err) {
    struct stat st;
    if (lstat(addr.sun_path, &st) != 0) {
        err = errno;
        return err == ENOENT ? Occupant::none : Occupant::unknown;
    }
    if (!S_ISSOCK(st.st_mode))
        return Occupant::other_file;
    const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (probe < 0) {
        err = errno;
        return Occupant::unknown;
    }
    const int rc = connect(probe, reinterpret_cast<const sockaddr *>(&addr), sizeof addr);
    err = rc == 0 ? 0 : errno;
    close(probe);
    if (rc == 0 || err == EAGAIN)
        return Occupant::live_socket;
    if (err == ECONNREFUSED)
        return Occupant::stale_socket;
    return err == ENOENT ? Occupant::none : Occupant::unknown;
}

// Makes room at the path for a new socket; false (errno set, debug line)
// when whatever is there must stay.
bool clear_path(const sockaddr_un &addr) {
    const char *path = addr.sun_path;
    int err = 0;
    switch (occupant(addr, err)) {
    case Occupant::none:
        return true;
    case Occupant::stale_socket:
        if (cli::debug_on())
            cli::debug("cli_listen_unix: Replacing stale socket %s\n", path);
        if (unlink(path) == 0 || errno == ENOENT)
            return true;
        err = errno;
        if (cli::debug_on())
            cli::debug("cli_listen_unix: ERR - Unable to remove stale socket %s (%s)\n", path, strerror(err));
        return refuse(err);
    case Occupant::live_socket:
        if (cli::debug_on())
            cli::debug("cli_listen_unix: ERR - Another process listens on %s, left untouched\n", path);
        return refuse(EADDRINUSE);
    case Occupant::other_file:
        if (cli::debug_on())
            cli::debug("cli_listen_unix: ERR - %s exists and is not a socket, left untouched\n", path);
        return refuse(EEXIST);
    case Occupant::unknown:
        break;
    }
    if (cli::debug_on())
        cli::debug("cli_listen_unix: ERR - Cannot examine %s (%s), left untouched\n", path, strerror(err));
    return refuse(err);
}

int bind_with_mode(int s, const sockaddr_un &addr, int mode) {
    if (fchmod(s, static_cast<mode_t>(mode)) != 0)
        return -1;
    const mode_t umask_before = umask(0);
    const int rc = bind(s, reinterpret_cast<const sockaddr *>(&addr), sizeof addr);
    umask(umask_before);
    return rc;
}

// A listening socket whose new file at addr has exactly mode; -1 (errno
// set, debug line, no file left) when a step fails.
int open_socket(const sockaddr_un &addr, int mode) {
    const int s = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s < 0) {
        const int err = errno;
        if (cli::debug_on())
            cli::debug("cli_listen_unix: ERR - Could not get socket (%s)\n", strerror(err));
        return fail(err);
    }
    if (bind_with_mode(s, addr, mode) != 0) {
        const int err = errno;
        if (cli::debug_on())
            cli::debug("cli_listen_unix: ERR - Unable to bind %s (%s)\n", addr.sun_path, strerror(err));
        close(s);
        return fail(err);
    }
    struct stat st;
    if (stat(addr.sun_path, &st) != 0 || listen(s, SOMAXCONN) != 0) {
        const int err = errno;
        if (cli::debug_on())
            cli::debug("cli_listen_unix: ERR - Unable to listen on %s (%s)\n", addr.sun_path, strerror(err));
        unlink(addr.sun_path);
        close(s);
        return fail(err);
    }
    local.dev = st.st_dev;
    local.ino = st.st_ino;
    return s;
}

// Registers s as the local listener: read readiness only, since a
// listening Unix-domain socket may read as writable all the time.
bool watch(int s) {
    if (sched_add_fd(s, cli_fd_event, nullptr, SCHED_FD_READ | SCHED_FD_EXCEPT, local_accept_name) < 0) {
        if (cli::debug_on())
            cli::debug("cli_listen_unix: ERR - Unable to schedule the local socket\n");
        errno = ENOMEM;
        return false;
    }
    local.fd = s;
    return true;
}

bool still_our_file() {
    struct stat st;
    return lstat(local.addr.sun_path, &st) == 0 && st.st_dev == local.dev && st.st_ino == local.ino;
}

// The request itself: initialised, one socket, a path that fits, a mode.
bool request_is_valid(const char *path, int mode) {
    const char *problem = nullptr;
    int err = EINVAL;
    if (cli_initialized != 1) {
        problem = "Called before initialization";
        err = ENODEV;
    } else if (local.fd != -1) {
        problem = "ERR - Already listening on a local socket";
        err = EALREADY;
    } else if (!path || !*path || mode < 0 || mode > 07777) {
        problem = "ERR - Received NULL or 0 len path, or a mode beyond 07777";
    } else if (strlen(path) >= sizeof local.addr.sun_path) {
        problem = "ERR - Path too long for a socket";
        err = ENAMETOOLONG;
    }
    if (!problem)
        return true;
    if (cli::debug_on())
        cli::debug("cli_listen_unix: %s\n", problem);
    return refuse(err);
}

} // namespace

int cli_listen_unix(const char *path, int mode) {
    if (!request_is_valid(path, mode))
        return -1;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strcpy(addr.sun_path, path);
    if (!clear_path(addr))
        return -1;
    const int s = open_socket(addr, mode);
    if (s < 0)
        return -1;
    if (!watch(s)) {
        unlink(path);
        close(s);
        return -1;
    }
    local.addr = addr;
    local.owns_file = true;
    if (cli::debug_on())
        cli::debug("cli_listen_unix: Listening on %s, mode %04o\n", path, static_cast<unsigned>(mode));
    return 0;
}

namespace cli {

int local_socket_fd() { return local.fd; }

int local_socket_adopt(int fd) {
    if (local.fd != -1 || !watch(fd))
        return -1;
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    local.owns_file = false;
    return 0;
}

void local_socket_close() {
    if (local.fd == -1)
        return;
    close(local.fd);
    local.fd = -1;
    if (local.owns_file && still_our_file())
        unlink(local.addr.sun_path);
    local.owns_file = false;
}

} // namespace cli
