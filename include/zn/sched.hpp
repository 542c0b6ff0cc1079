// zn/sched.hpp -- C++ handles for work registered with the scheduler.
//
// A handle owns its callable (captures included) and takes its task or
// descriptor off the scheduler when it is destroyed, cancelled or assigned
// over; a moved-from or empty handle does nothing. Call sched_init() first.
//
//   zn::task tick = zn::every(5, "tick", [&] { ++ticks; });
//   zn::watch in(fd, "peer", zn::interest::read, [](int fd, zn::ready r) { ... });
//   zn::loop();
#ifndef ZN_SCHED_HPP
#define ZN_SCHED_HPP

#include <deque>
#include <functional>
#include <set>
#include <string>
#include <string_view>

#include "../znsched.h"
#include "common.hpp"

namespace zn ZN_CPP_HIDDEN {

// ---- Tasks. ----

enum class priority : bool { normal, high }; // high: from the priority list

class task {
public:
    task() = default; // empty: nothing scheduled

    // sched_task(fn, flags, seconds, name); SCHED_CLEANUP alone registers
    // a clean-up task instead (sched_cleanup). The kinds below are the
    // usual shorthands. The name is copied and kept for the life of the
    // process, as the scheduler lists finished tasks by it (each distinct
    // text once). On failure the handle is empty and error() says why.
    template <class F>
    task(unsigned long flags, unsigned long seconds, cstr name, F &&fn);

    task(task &&other) noexcept { *this = std::move(other); }
    task &operator=(task &&other) noexcept;
    ~task() { cancel(); }

    explicit operator bool() const { return fn_ != nullptr; } // registered, not cancelled
    int error() const { return error_; } // 0, -1 before sched_init(), -12 no memory

    // The scheduler's record while the task is still to run (TID and
    // statistics); null once it has finished or been cancelled.
    SchedTask *record() const;

    // Take the task off the scheduler now (a clean-up task is disarmed) and
    // release the callable; a task may cancel itself while it runs.
    void cancel();

private:
    using slot = detail::slot<void()>;
    static void run(void *arg) { (*static_cast<slot *>(arg))(); }
    static void run_cleanup(void *arg);
    static void **cleanup_cell(slot *s);
    static char *keep_name(cstr name);

    slot *fn_ = nullptr;
    void **cell_ = nullptr; // clean-up tasks: the never-freed argument
    int error_ = 0;
};

// Runs once, in the first pass at least `seconds` after now.
template <class F>
task after(unsigned long seconds, cstr name, F &&fn, priority p = priority::normal) {
    return task(p == priority::high ? SCHED_PRIORITY : 0, seconds, name, std::forward<F>(fn));
}

// Runs once, in the next pass.
template <class F>
task immediate(cstr name, F &&fn, priority p = priority::normal) {
    return task(SCHED_IMMEDIATE | (p == priority::high ? SCHED_PRIORITY : 0), 0, name,
                std::forward<F>(fn));
}

// Runs every `seconds`, measured from the end of its previous run (0: every pass).
template <class F>
task every(unsigned long seconds, cstr name, F &&fn, priority p = priority::normal) {
    return task(SCHED_RESCHEDULE | (p == priority::high ? SCHED_PRIORITY : 0), seconds, name,
                std::forward<F>(fn));
}

// Runs once at shutdown, in registration order with the other clean-up tasks.
template <class F>
task cleanup(cstr name, F &&fn) {
    return task(SCHED_CLEANUP, 0, name, std::forward<F>(fn));
}

// From inside a task: run it again `seconds` from now (0: in every pass
// until re-armed). False, changing nothing, when no task is running.
inline bool reschedule(unsigned long seconds) { return sched_reschedule(seconds) == 0; }

// From inside a periodic task: no further runs after this one. False,
// changing nothing, when no task is running.
inline bool stop() { return current && sched_stop() == 0; }

// ---- Descriptors. ----

enum class interest : unsigned long {
    read = SCHED_FD_READ,
    write = SCHED_FD_WRITE,
    except = SCHED_FD_EXCEPT,
};
constexpr interest operator|(interest a, interest b) {
    return interest(static_cast<unsigned long>(a) | static_cast<unsigned long>(b));
}

// What select() found a watched descriptor ready for.
struct ready {
    bool read, write, except;
};

class watch {
public:
    watch() = default; // empty: nothing registered

    // sched_add_fd: the loop calls fn(fd, zn::ready) whenever fd is ready for
    // what. The descriptor stays the caller's to close. On failure the
    // handle is empty and error() has sched_add_fd's result.
    template <class F>
    watch(int fd, cstr name, interest what, F &&fn);

    watch(watch &&other) noexcept { *this = std::move(other); }
    watch &operator=(watch &&other) noexcept;
    ~watch() { cancel(); }

    explicit operator bool() const { return fn_ != nullptr; }
    int error() const { return error_; } // 0, or -1, -9, -12, -17 as sched_add_fd
    int fd() const { return fn_ ? fd_ : -1; }

    // Replace the interest (sched_fd_flags); false when the registration is
    // no longer this handle's.
    bool want(interest what) const;

    // Remove the registration (if still this handle's) and release the
    // callable; a handler may cancel its own watch.
    void cancel();

private:
    using slot = detail::slot<void(int, ready)>;
    static void run(int fd, void *arg, int r, int w, int e) {
        (*static_cast<slot *>(arg))(fd, ready{r != 0, w != 0, e != 0});
    }
    SchedFD *registration() const;

    slot *fn_ = nullptr;
    int fd_ = -1;
    int error_ = 0;
};

// ---- The main loop. ----

inline void loop() { sched_loop(); }           // until stop_loop(); shutdown never returns
inline void stop_loop() { sched_stop_loop(); } // loop() returns at its next pass
inline void shutdown() { sched_shutdown(); }   // clean-up tasks run, then exit(0)

// ---- The service manager. ----

// One state line to the service manager, such as "STATUS=serving 3 users"
// (sched_notify): 0 when sent, -1 when no manager started this process,
// otherwise the negated errno of the send. Never blocks.
inline int notify(std::string_view state) { return sched_notify(std::string(state).c_str()); }

// ---- The back end. ----

// How the loop waits for descriptors (sched_set_backend, which wins over
// ZN_SCHED_BACKEND); false when refused: inside the loop, or a registered
// descriptor the chosen back end cannot watch.
enum class backend : int { select = SCHED_BACKEND_SELECT, epoll = SCHED_BACKEND_EPOLL };
inline bool set_backend(backend b) { return sched_set_backend(static_cast<int>(b)) == 0; }

// ---- Implementation. ----

template <class F>
task::task(unsigned long flags, unsigned long seconds, cstr name, F &&fn) {
    slot *s = slot::make(std::forward<F>(fn));
    if (!s) {
        error_ = -12;
        return;
    }
    if (flags == SCHED_CLEANUP) {
        void **cell = cleanup_cell(s);
        error_ = sched_cleanup(keep_name(name), run_cleanup, cell);
        if (error_ == 0)
            cell_ = cell;
        else
            *cell = nullptr;
    } else {
        error_ = sched_task(run, s, flags, seconds, keep_name(name));
    }
    if (error_ == 0)
        fn_ = s;
    else
        slot::release(s);
}

// Clean-up records cannot be removed, so their argument is a cell that
// outlives the handle: cancelling empties it. (The containers here hold
// void *, so that no instantiation of the standard library names a type of
// these headers and becomes a visible symbol.)
inline void **task::cleanup_cell(slot *s) {
    static std::deque<void *> &cells = *new std::deque<void *>;
    cells.push_back(s);
    return &cells.back();
}

inline void task::run_cleanup(void *arg) {
    if (void *s = *static_cast<void **>(arg))
        (*static_cast<slot *>(s))();
}

// The scheduler keeps the name's pointer in its records for as long as the
// process runs (finished tasks are listed and revived by name), so names
// are kept for that long too; each distinct text once.
inline char *task::keep_name(cstr name) {
    static std::set<std::string, std::less<>> &names = *new std::set<std::string, std::less<>>;
    auto at = names.find(std::string_view(name.c_str()));
    if (at == names.end())
        at = names.emplace(name.c_str()).first;
    return const_cast<char *>(at->c_str());
}

inline task &task::operator=(task &&other) noexcept {
    if (this != &other) {
        cancel();
        fn_ = detail::take(other.fn_);
        cell_ = detail::take(other.cell_);
        error_ = detail::take(other.error_);
    }
    return *this;
}

inline SchedTask *task::record() const {
    if (cell_) {
        for (SchedTask *t = SchedCleanupTasks; t; t = t->next)
            if (t->arg == cell_)
                return t;
        return nullptr;
    }
    return fn_ ? sched_find_task(run, fn_, nullptr, SCHED_MATCH_FUNC | SCHED_MATCH_ARG) : nullptr;
}

inline void task::cancel() {
    if (!fn_)
        return;
    if (cell_)
        *detail::take(cell_) = nullptr;
    else
        sched_remove_task(run, fn_, nullptr, SCHED_MATCH_FUNC | SCHED_MATCH_ARG);
    slot::release(detail::take(fn_));
}

template <class F>
watch::watch(int fd, cstr name, interest what, F &&fn) : fd_(fd) {
    slot *s = slot::make(std::forward<F>(fn));
    error_ = s ? sched_add_fd(fd, run, s, static_cast<unsigned long>(what), name.c()) : -12;
    if (error_ == 0)
        fn_ = s;
    else
        slot::release(s);
}

inline watch &watch::operator=(watch &&other) noexcept {
    if (this != &other) {
        cancel();
        fn_ = detail::take(other.fn_);
        fd_ = std::exchange(other.fd_, -1);
        error_ = detail::take(other.error_);
    }
    return *this;
}

// The descriptor's record while it still carries this handle's callable.
inline SchedFD *watch::registration() const {
    SchedFD *r = fn_ ? sched_find_fd(fd_) : nullptr;
    return r && r->handler == run && r->arg == fn_ ? r : nullptr;
}

inline bool watch::want(interest what) const {
    return registration() && sched_fd_flags(fd_, static_cast<unsigned long>(what)) == 0;
}

inline void watch::cancel() {
    if (registration())
        sched_remove_fd(fd_);
    slot::release(detail::take(fn_));
}

} // namespace zn

#endif // ZN_SCHED_HPP
