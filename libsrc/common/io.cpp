// io.cpp -- SIGPIPE-safe writes and the debug printer shared by the libraries.
#include "io.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

#include "signal_hold.h"

namespace zn {

ssize_t write_nosigpipe(int fd, const void *buf, size_t len) {
    const ssize_t n = send(fd, buf, len, MSG_NOSIGNAL);
    if (n >= 0 || errno != ENOTSOCK)
        return n;
    const SignalHold hold{SIGPIPE};
    return write(fd, buf, len);
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
