// backend_epoll.cpp -- the epoll back end: level-triggered interest kept in the kernel, a wait costs O(ready).
//
// It reports what select() would report for the same interest: readable
// covers input, hang-up and error; writable covers output space and error;
// exceptional is EPOLLPRI. Three things need care to stay that close:
// - epoll refuses regular files and directories (EPERM), which select()
//   reports ready at all times; such descriptors are kept aside and are
//   ready in every wait for the reading or writing they are watched for.
// - epoll reports an error or hang-up even when nothing watched covers it
//   (a descriptor watched only for exceptions, or with no interest at all),
//   where select() would sleep. Such a descriptor is switched to
//   edge-triggered until its interest changes or it reports something
//   watched, so that the condition wakes the loop once, not in every wait.
// - A stop signal between the loop's shutdown check and epoll_wait() must
//   not leave it asleep: the signal handler writes to an eventfd that is
//   part of the set.
// A descriptor closed while registered silently leaves the set, where
// select() would fail with EBADF; that difference is documented.
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <ctime>
#include <new>

#include "backend.h"

namespace {

constexpr uint32_t kReadEvents = EPOLLIN | EPOLLRDNORM | EPOLLRDBAND;
constexpr uint32_t kWriteEvents = EPOLLOUT | EPOLLWRNORM | EPOLLWRBAND;
constexpr uint64_t kWakeTag = UINT64_MAX;

// Per-descriptor state, besides the SCHED_FD_* interest in the low bits.
constexpr uint8_t kInterest = SCHED_FD_READ | SCHED_FD_WRITE | SCHED_FD_EXCEPT;
constexpr uint8_t kRefused = 0x10; // epoll said EPERM: always ready
constexpr uint8_t kMuted = 0x20;   // edge-triggered for now (see above)

uint32_t events_for(uint8_t state) {
    uint32_t events = 0;
    if (state & SCHED_FD_READ)
        events |= kReadEvents;
    if (state & SCHED_FD_WRITE)
        events |= kWriteEvents;
    if (state & SCHED_FD_EXCEPT)
        events |= EPOLLPRI;
    return events | ((state & kMuted) || !events ? static_cast<uint32_t>(EPOLLET) : 0U);
}

// The conditions select() would report for these events.
unsigned conditions_of(uint32_t events) {
    unsigned bits = 0;
    if (events & (kReadEvents | EPOLLHUP | EPOLLERR))
        bits |= SCHED_FD_READ;
    if (events & (kWriteEvents | EPOLLERR))
        bits |= SCHED_FD_WRITE;
    if (events & EPOLLPRI)
        bits |= SCHED_FD_EXCEPT;
    return bits;
}

long long monotonic_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

class EpollBackend final : public Backend {
public:
    // An epoll instance with the wake-up eventfd in it; null when the system
    // refuses either.
    static std::unique_ptr<Backend> create() {
        const int epfd = epoll_create1(EPOLL_CLOEXEC);
        const int wakefd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        auto backend = std::unique_ptr<EpollBackend>(new (std::nothrow) EpollBackend(epfd, wakefd));
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = kWakeTag;
        if (!backend || epfd < 0 || wakefd < 0 || !backend->events_.resize(1) ||
            epoll_ctl(epfd, EPOLL_CTL_ADD, wakefd, &ev) != 0) {
            if (!backend) {
                close(wakefd);
                close(epfd);
            }
            return nullptr;
        }
        return backend;
    }

    EpollBackend(int epfd, int wakefd) : epfd_(epfd), wakefd_(wakefd) {}
    ~EpollBackend() override {
        close(wakefd_);
        close(epfd_);
    }

    int kind() const override { return SCHED_BACKEND_EPOLL; }
    const char *name() const override { return "epoll"; }

    int watch(int fd, ulong_t flags) override {
        if (fd < 0)
            return -9;
        uint8_t state = flags & kInterest;
        if (ctl(EPOLL_CTL_ADD, fd, state) != 0) {
            if (errno != EPERM)
                return errno == ENOMEM || errno == ENOSPC ? -12 : -9;
            state |= kRefused;
        }
        const size_t need = static_cast<size_t>(fd) + 1;
        const bool room = (need <= state_.size() || state_.resize(need)) &&
                          events_.resize(watched_ + 2) &&
                          (!(state & kRefused) || refused_.reserve(refused_.size() + 1));
        if (!room) {
            if (!(state & kRefused))
                epoll_ctl(epfd_, EPOLL_CTL_DEL, fd, nullptr);
            return -12;
        }
        state_[fd] = state;
        ++watched_;
        if (state & kRefused)
            refused_.push_back(fd);
        return 0;
    }

    // The console sets a user's flags after every write, mostly to what they
    // were: that costs no system call.
    void change(int fd, ulong_t, ulong_t new_flags) override {
        uint8_t &state = state_[fd];
        if ((state & kInterest) == (new_flags & kInterest))
            return;
        state = static_cast<uint8_t>((state & kRefused) | (new_flags & kInterest));
        if (!(state & kRefused))
            ctl(EPOLL_CTL_MOD, fd, state);
    }

    void forget(int fd, ulong_t) override {
        uint8_t &state = state_[fd];
        if (state & kRefused) {
            for (int &other : refused_)
                if (other == fd) {
                    other = refused_.back();
                    refused_.pop_back();
                    break;
                }
        } else {
            // Fails with EBADF when fd was closed first; it left the set then.
            epoll_ctl(epfd_, EPOLL_CTL_DEL, fd, nullptr);
        }
        state = 0;
        --watched_;
    }

    ZN_EVERY_PASS int wait(long timeout_secs, PlainArray<ReadyFd> &ready) override {
        if (SchedShutdown)
            return 0;
        const bool refused_ready = any_refused_ready();
        int timeout_ms = refused_ready ? 0 : milliseconds(timeout_secs);
        long long deadline = -1;
        for (;;) {
            const int n = epoll_wait(epfd_, events_.data(), static_cast<int>(events_.size()),
                                     timeout_ms);
            if (n < 0)
                return -1;
            bool woken = false;
            for (int i = 0; i < n; ++i)
                woken |= take(events_[i], ready);
            if (refused_ready)
                add_refused(ready);
            if (!ready.empty() || n == 0 || woken || timeout_ms == 0)
                return static_cast<int>(ready.size());
            // Only conditions nobody watches, now muted: wait out the rest.
            if (timeout_ms > 0) {
                if (deadline < 0)
                    deadline = monotonic_ms() + timeout_ms;
                const long long left = deadline - monotonic_ms();
                if (left <= 0)
                    return 0;
                timeout_ms = static_cast<int>(left);
            }
        }
    }

    void wake() override {
        const int saved_errno = errno;
        const uint64_t one = 1;
        ssize_t ignored = write(wakefd_, &one, sizeof one);
        (void)ignored;
        errno = saved_errno;
    }

private:
    // The event's data carries the state along with the number, so that a
    // wait need not look the state up.
    int ctl(int op, int fd, uint8_t state) {
        epoll_event ev{};
        ev.events = events_for(state);
        ev.data.u64 = static_cast<uint32_t>(fd) | uint64_t{state} << 32;
        return epoll_ctl(epfd_, op, fd, &ev);
    }

    static int milliseconds(long secs) {
        if (secs < 0)
            return -1;
        return secs >= INT_MAX / 1000 ? INT_MAX : static_cast<int>(secs * 1000);
    }

    // One event: the wake-up, or a descriptor with the conditions it is
    // watched for. True for the wake-up.
    bool take(const epoll_event &ev, PlainArray<ReadyFd> &ready) {
        if (ev.data.u64 == kWakeTag)
            return true;
        const int fd = static_cast<int>(static_cast<uint32_t>(ev.data.u64));
        const auto state = static_cast<uint8_t>(ev.data.u64 >> 32);
        const unsigned bits = conditions_of(ev.events) & (state & kInterest);
        // Nothing watched: muted. Something watched while muted: back to
        // level-triggered, as select() sees it.
        const bool mute = !bits;
        if (mute != static_cast<bool>(state & kMuted)) {
            state_[fd] = static_cast<uint8_t>(mute ? state | kMuted : state & ~kMuted);
            ctl(EPOLL_CTL_MOD, fd, state_[fd]);
        }
        if (bits)
            ready.push_back({fd, bits});
        return false;
    }

    bool any_refused_ready() const {
        for (int fd : refused_)
            if (state_[fd] & (SCHED_FD_READ | SCHED_FD_WRITE))
                return true;
        return false;
    }

    void add_refused(PlainArray<ReadyFd> &ready) {
        for (int fd : refused_)
            if (const unsigned bits = state_[fd] & (SCHED_FD_READ | SCHED_FD_WRITE))
                ready.push_back({fd, bits});
    }

    int epfd_, wakefd_;
    PlainArray<uint8_t> state_;         // by descriptor number
    PlainArray<epoll_event> events_;    // one per registration, and one for the wake-up
    PlainArray<int> refused_;           // the always-ready descriptors
    size_t watched_ = 0;
};

} // namespace

std::unique_ptr<Backend> make_epoll_backend() { return EpollBackend::create(); }
