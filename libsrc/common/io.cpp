// io.cpp -- SIGPIPE-safe writes and the debug printer shared by the libraries.
#include "io.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <sys/socket.h>
#include <unistd.h>

namespace zn {

namespace {

// Writes to a non-socket with SIGPIPE blocked. If this write raised SIGPIPE
// (it was not pending before), it is taken off the pending set again.
ssize_t write_with_sigpipe_blocked(int fd, const void *buf, size_t len) {
    sigset_t pipe_only, old_mask, pending;
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    sigprocmask(SIG_BLOCK, &pipe_only, &old_mask);
    sigpending(&pending);
    const bool was_pending = sigismember(&pending, SIGPIPE) == 1;

    ssize_t n = write(fd, buf, len);
    const int saved_errno = errno;
    if (n < 0 && saved_errno == EPIPE && !was_pending) {
        const timespec no_wait{};
        while (sigtimedwait(&pipe_only, nullptr, &no_wait) < 0 && errno == EINTR) {
        }
    }
    sigprocmask(SIG_SETMASK, &old_mask, nullptr);
    errno = saved_errno;
    return n;
}

} // namespace

ssize_t write_nosigpipe(int fd, const void *buf, size_t len) {
    ssize_t n = send(fd, buf, len, MSG_NOSIGNAL);
    if (n >= 0 || errno != ENOTSOCK)
        return n;
    return write_with_sigpipe_blocked(fd, buf, len);
}

int debug_vprintf(int fd, const char *fmt, va_list ap) {
    if (fd < 0)
        return -1;
    char line[debug_buffer_size];
    int len = vsnprintf(line, sizeof line, fmt, ap);
    if (len < 0)
        return -1;
    len = std::min(len, static_cast<int>(sizeof line) - 1);
    if (write_nosigpipe(fd, line, static_cast<size_t>(len)) < 0)
        return -1;
    return len;
}

} // namespace zn
