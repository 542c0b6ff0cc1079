// backend.h -- how the loop waits for descriptors: the interface both readiness back ends implement.
//
// The registry tells the active back end about every registration, interest
// change and removal as it happens; a wait reports the ready descriptors,
// each with the conditions its interest covers. What happens next (the
// order of the handler calls, the statistics) is the dispatcher's and the
// same for every back end.
#pragma once

#include <cstdint>
#include <memory>

#include "array.h"
#include "internal.h"

// One descriptor found ready by a wait.
struct ReadyFd {
    int fd;
    unsigned bits;  // SCHED_FD_READ | SCHED_FD_WRITE | SCHED_FD_EXCEPT found, within the interest
    // The dispatcher's: the registration's place in the registry, and the
    // record registered under fd (null when none).
    uint64_t order = 0;
    SchedFD *rec = nullptr;
};

class Backend {
public:
    virtual ~Backend() = default;
    virtual int kind() const = 0;         // SCHED_BACKEND_SELECT or SCHED_BACKEND_EPOLL
    virtual const char *name() const = 0; // "select" or "epoll"

    // A new registration of fd with the SCHED_FD_* interest in flags.
    // 0, or -9 when this back end cannot watch fd, -12 when out of memory.
    virtual int watch(int fd, ulong_t flags) = 0;
    virtual void change(int fd, ulong_t old_flags, ulong_t new_flags) = 0;
    virtual void forget(int fd, ulong_t flags) = 0;

    // Waits at most timeout_secs seconds (negative: without limit) and
    // appends the ready descriptors to ready, whose capacity the registry
    // keeps at the number of registrations. Returns 0 or more, or -1 with
    // errno set (EINTR when a signal ended the wait). A shutdown already
    // requested makes it return 0 at once, without waiting.
    virtual int wait(long timeout_secs, PlainArray<ReadyFd> &ready) = 0;

    // From the signal handler, after SchedShutdown is set: a wait under way
    // or about to begin returns at once. Async-signal-safe.
    virtual void wake() = 0;
};

std::unique_ptr<Backend> make_select_backend();
std::unique_ptr<Backend> make_epoll_backend(); // null when the system gives no epoll instance

// The back end the loop runs on; sched_init() creates it.
Backend &sched_backend();
// From the signal handler: Backend::wake() of the back end in use.
void sched_backend_wake();
// The kind chosen by ZN_SCHED_BACKEND, unless sched_set_backend() chose
// before; called by sched_init(), which then makes a fresh instance.
void sched_backend_init();
