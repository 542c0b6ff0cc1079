// locks.cpp -- lock files beside data files: looks, exclusive creation and waiting.
#include "locks.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "../common/signal_hold.h"

namespace zndb {

namespace {

constexpr int max_looks = 5;
constexpr unsigned look_interval_secs = 2;

// A look without taking: the lock file is there when it opens for reading
// (without waiting, should it be a FIFO).
LockState look(const char *path) {
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return LockState::free;
    close(fd);
    return LockState::locked;
}

// A look that takes the lock when there is none. A lock file that cannot be
// created for another reason than its existence (a read-only directory, say)
// lets the caller go on without a lock. A file-size limit below the content
// cuts it short instead of ending the process with SIGXFSZ.
LockState take(const char *path, const char *content) {
    const zn::SignalHold hold{SIGXFSZ};
    const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0)
        return errno == EEXIST ? LockState::locked : LockState::free;
    const ssize_t ignored = write(fd, content, strlen(content)); // informative only
    (void)ignored;
    close(fd);
    return LockState::taken;
}

} // namespace

LockState await_lock(const char *path, bool wait, const char *content) {
    auto attempt = [&] { return content ? take(path, content) : look(path); };
    LockState state = attempt();
    for (int looks = 1; state == LockState::locked; ++looks) {
        if (!wait)
            return LockState::locked;
        if (looks == max_looks)
            return LockState::expired;
        sleep(look_interval_secs);
        state = attempt();
    }
    return state;
}

} // namespace zndb
