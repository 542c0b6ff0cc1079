// backend_select.cpp -- the select() back end: three watched sets kept current, one select() per wait.
//
// Only descriptors below FD_SETSIZE fit in an fd_set, so others are refused.
// Each wait copies the watched sets up to the highest descriptor, and the
// scan of the result skips empty words, so a pass costs what select() itself
// costs: O(highest descriptor).
#include <sys/select.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "backend.h"

namespace {

constexpr int kWordBits = static_cast<int>(sizeof(unsigned long) * CHAR_BIT);
constexpr int kWords = FD_SETSIZE / kWordBits;

// A descriptor set as words: bit (fd % kWordBits) of word (fd / kWordBits),
// as the C library lays out an fd_set, so select() takes one as it is.
struct Words {
    unsigned long w[kWords];

    bool has(int fd) const { return w[fd / kWordBits] >> (fd % kWordBits) & 1; }
    void add(int fd) { w[fd / kWordBits] |= 1UL << (fd % kWordBits); }
    void remove(int fd) { w[fd / kWordBits] &= ~(1UL << (fd % kWordBits)); }
};
static_assert(sizeof(Words) == sizeof(fd_set));

fd_set *as_fd_set(Words *set) { return reinterpret_cast<fd_set *>(set); }

class SelectBackend final : public Backend {
public:
    int kind() const override { return SCHED_BACKEND_SELECT; }
    const char *name() const override { return "select"; }

    int watch(int fd, ulong_t flags) override {
        if (fd < 0 || fd >= FD_SETSIZE)
            return -9;
        registered_.add(fd);
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
                set.bits.add(fd);
                ++set.members;
            } else {
                set.bits.remove(fd);
                --set.members;
            }
        }
    }

    void forget(int fd, ulong_t flags) override {
        change(fd, flags, 0);
        registered_.remove(fd);
        while (highest_ >= 0 && !registered_.has(highest_))
            --highest_;
    }

    // A stop signal that arrives after the shutdown check but before select()
    // reads its timeout finds the timeout armed and zeroes it, so the wait
    // ends at once; one that arrives later interrupts the wait. Without a
    // limit the wait is a year long rather than endless, so that it can be
    // armed too. Only the words up to the highest descriptor are copied:
    // select() reads no further.
    ZN_EVERY_PASS int wait(long timeout_secs, PlainArray<ReadyFd> &ready) override {
        constexpr long kForever = 365L * 24 * 3600;
        timeval timeout{timeout_secs < 0 ? kForever : timeout_secs, 0};
        const int words = highest_ / kWordBits + 1;
        Words found[3];
        Words *watched[3] = {};
        for (int i = 0; i < 3; ++i)
            if (sets_[i].members) {
                std::copy_n(sets_[i].bits.w, words, found[i].w);
                watched[i] = &found[i];
            }
        armed_timeout_ = &timeout;
        int ret = 0;
        if (!SchedShutdown)
            ret = select(highest_ + 1, as_fd_set(watched[0]), as_fd_set(watched[1]),
                         as_fd_set(watched[2]), &timeout);
        const int select_errno = errno;
        armed_timeout_ = nullptr;
        if (ret > 0)
            collect(watched, words, ready);
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
        Words bits;
        int members;
    };

    // One entry per descriptor reported in any of the watched sets.
    void collect(Words *const (&found)[3], int words, PlainArray<ReadyFd> &ready) const {
        for (int w = 0; w < words; ++w) {
            unsigned long any = 0;
            for (const Words *set : found)
                any |= set ? set->w[w] : 0;
            while (any) {
                const int bit = __builtin_ctzl(any);
                any &= any - 1;
                unsigned bits = 0;
                for (int i = 0; i < 3; ++i)
                    if (found[i] && (found[i]->w[w] >> bit & 1))
                        bits |= static_cast<unsigned>(sets_[i].flag);
                ready.push_back({w * kWordBits + bit, bits});
            }
        }
    }

    Set sets_[3] = {{SCHED_FD_READ, {}, 0}, {SCHED_FD_WRITE, {}, 0}, {SCHED_FD_EXCEPT, {}, 0}};
    Words registered_{}; // every registration, whatever its flags: select() covers up to the highest
    int highest_ = -1;
    timeval *volatile armed_timeout_ = nullptr;
};

} // namespace

std::unique_ptr<Backend> make_select_backend() { return std::make_unique<SelectBackend>(); }
