// descriptor.cpp -- opening data files without waiting, waiting for a descriptor, and telling stream sockets apart.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

#include "internal.h"
#include "stream.h"

namespace zndb {

int open_without_waiting(const char *path, int flags, unsigned mode) {
    const int fd = open(path, flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, mode);
    if (fd >= 0) {
        const int status = fcntl(fd, F_GETFL);
        if (status >= 0)
            fcntl(fd, F_SETFL, status & ~O_NONBLOCK);
    }
    return fd;
}

bool wait_for(int fd, short events) {
    pollfd watch{fd, events, 0};
    for (;;) {
        const int n = poll(&watch, 1, -1);
        if (n > 0) {
            if (!(watch.revents & POLLNVAL))
                return true;
            errno = EBADF;
            return false;
        }
        if (n < 0 && errno != EINTR)
            return false;
    }
}

bool is_stream_socket(int fd) {
    int type = 0;
    socklen_t len = sizeof type;
    return getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) == 0 && type == SOCK_STREAM;
}

} // namespace zndb
