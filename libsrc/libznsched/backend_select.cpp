// backend_select.cpp -- the select() back end: three watched sets kept current, one select() per wait.
//
// Only descriptors below FD_SETSIZE fit in an fd_set, so others are refused.
// Each wait copies the sets, and the scan of the result skips empty words,
// so a pass costs what select() itself costs: O(highest descriptor).
#include <sys/select.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "backend.h"

namespace {

constexpr int kWordBits = static_cast<int>(sizeof(unsigned long) * CHAR_BIT);
constexpr int kWords = FD_SETSIZE / kWordBits;

// An fd_set seen as words: bit (fd % kWordBits) of word (fd / kWordBits), as
// the C library lays it out.
struct Words {
    unsigned long w[kWords];
};
static_assert(sizeof(Words) == sizeof(fd_set));

Words words_of(const fd_set &set) {
    Words out;
    memcpy(out.w, &set, sizeof out.w);
    return out;
}

class SelectBackend final : public Backend {
public:
    int kind() const override { return SCHED_BACKEND_SELECT; }
    const char *name() const override { return "select"; }

    int watch(int fd, ulong_t flags) override {
        if (fd < 0 || fd >= FD_SETSIZE)
            return -9;
        FD_SET(fd, &registered_);
        highest_ = std::max(highest_, fd);
        change(fd, 0, flags);
        return 0;
    }

    void change(int fd, ulong_t old_flags, ulong_t new_flags) override {
        for (Set &set : sets_) {
            const bool was = old_flags & set.flag, now = new_flags & set.flag;
            if (was == now)
                continue;
            if (now) {
                FD_SET(fd, &set.bits);
                ++set.members;
            } else {
                FD_CLR(fd, &set.bits);
                --set.members;
            }
        }
    }

    void forget(int fd, ulong_t flags) override {
        change(fd, flags, 0);
        FD_CLR(fd, &registered_);
        while (highest_ >= 0 && !FD_ISSET(highest_, &registered_))
            --highest_;
    }

    // A stop signal that arrives after the shutdown check but before select()
    // reads its timeout finds the timeout armed and zeroes it, so the wait
    // ends at once; one that arrives later interrupts the wait. Without a
    // limit the wait is a year long rather than endless, so that it can be
    // armed too.
    int wait(long timeout_secs, PlainArray<ReadyFd> &ready) override {
        constexpr long kForever = 365L * 24 * 3600;
        timeval timeout{timeout_secs < 0 ? kForever : timeout_secs, 0};
        fd_set found[3];
        for (int i = 0; i < 3; ++i)
            found[i] = sets_[i].bits;
        armed_timeout_ = &timeout;
        int ret = 0;
        if (!SchedShutdown)
            ret = select(highest_ + 1, sets_[0].members ? &found[0] : nullptr,
                         sets_[1].members ? &found[1] : nullptr,
                         sets_[2].members ? &found[2] : nullptr, &timeout);
        const int select_errno = errno;
        armed_timeout_ = nullptr;
        if (ret > 0)
            collect(found, ready);
        errno = select_errno;
        return ret;
    }

    void wake() override {
        if (timeval *timeout = armed_timeout_)
            *timeout = timeval{0, 0};
    }

private:
    struct Set {
        ulong_t flag;
        fd_set bits;
        int members;
    };

    // One entry per descriptor reported in any of the three sets.
    void collect(const fd_set (&found)[3], PlainArray<ReadyFd> &ready) const {
        const Words rd = words_of(found[0]), wr = words_of(found[1]), ex = words_of(found[2]);
        const Words *in[3] = {sets_[0].members ? &rd : nullptr, sets_[1].members ? &wr : nullptr,
                              sets_[2].members ? &ex : nullptr};
        const int last_word = highest_ / kWordBits;
        for (int w = 0; w <= last_word; ++w) {
            unsigned long any = 0;
            for (const Words *set : in)
                any |= set ? set->w[w] : 0;
            while (any) {
                const int bit = __builtin_ctzl(any);
                any &= any - 1;
                unsigned bits = 0;
                for (int i = 0; i < 3; ++i)
                    if (in[i] && (in[i]->w[w] >> bit & 1))
                        bits |= static_cast<unsigned>(sets_[i].flag);
                ready.push_back({w * kWordBits + bit, bits});
            }
        }
    }

    Set sets_[3] = {{SCHED_FD_READ, {}, 0}, {SCHED_FD_WRITE, {}, 0}, {SCHED_FD_EXCEPT, {}, 0}};
    fd_set registered_{}; // every registration, whatever its flags: select() covers up to the highest
    int highest_ = -1;
    timeval *volatile armed_timeout_ = nullptr;
};

} // namespace

std::unique_ptr<Backend> make_select_backend() { return std::make_unique<SelectBackend>(); }
