// descriptor.cpp -- waiting for a descriptor, and telling stream sockets from other descriptors.
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

#include "stream.h"

namespace zndb {

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
