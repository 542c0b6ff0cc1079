// zn/common.hpp -- pieces shared by the C++ interface headers: C string
// arguments and the owned callables behind every handle.
//
// Conventions of include/zn/*.hpp:
//   - Header-only and inlined onto the C functions; no library of its own.
//     Everything is declared with hidden visibility, so a program or shared
//     object that includes these headers exports none of it.
//   - No exceptions are thrown or needed (compile with -fno-exceptions if
//     wanted); failures come back as values: empty handles carrying the C
//     library's result, false, or null records.
//   - Everything runs on the scheduler's one thread, like the C libraries.
#ifndef ZN_COMMON_HPP
#define ZN_COMMON_HPP

#include <new>
#include <string>
#include <type_traits>
#include <utility>

#define ZN_CPP_HIDDEN __attribute__((visibility("hidden")))

namespace zn ZN_CPP_HIDDEN {

// A NUL-terminated text argument, borrowed for the duration of one call:
// a string literal, a const char * or a std::string (not a string_view,
// which need not be terminated).
class cstr {
public:
    cstr(const char *text) : text_(text ? text : "") {}
    cstr(const std::string &text) : text_(text.c_str()) {}
    const char *c_str() const { return text_; }
    // The C libraries take char * for texts they only read or copy.
    char *c() const { return const_cast<char *>(text_); }

private:
    const char *text_;
};

namespace detail {

// A callable moved to the heap, whose address the C libraries carry as the
// argument of a trampoline. release() may come while the callable runs (a
// handler destroying its own handle): the callable and its captures then
// live until it returns.
template <class Sig>
class slot;

template <class R, class... A>
class slot<R(A...)> {
public:
    virtual ~slot() = default;

    // A new slot holding fn; null when out of memory.
    template <class F>
    static slot *make(F &&fn) {
        static_assert(std::is_invocable_r_v<R, std::decay_t<F> &, A...>,
                      "the callable does not fit this handle's signature");
        return new (std::nothrow) holder<std::decay_t<F>>(std::forward<F>(fn));
    }

    // Runs the callable; a release during the run takes effect after it.
    R operator()(A... args) {
        struct run_guard {
            slot *s;
            ~run_guard() {
                if (--s->running_ == 0 && s->released_)
                    delete s;
            }
        } guard{this};
        ++running_;
        return call(std::forward<A>(args)...);
    }

    // Frees s now, or when its running callable returns; null does nothing.
    static void release(slot *s) {
        if (s && s->running_)
            s->released_ = true;
        else
            delete s;
    }

private:
    template <class F>
    struct holder;

    virtual R call(A... args) = 0;

    int running_ = 0;
    bool released_ = false;
};

template <class R, class... A>
template <class F>
struct slot<R(A...)>::holder final : slot<R(A...)> {
    explicit holder(F &&f) : fn(std::move(f)) {}
    explicit holder(const F &f) : fn(f) {}
    R call(A... args) override { return static_cast<R>(fn(std::forward<A>(args)...)); }
    F fn;
};

// Takes the value of p and leaves null behind (the moves of every handle).
template <class T>
T take(T &p) {
    return std::exchange(p, T{});
}

} // namespace detail
} // namespace zn

#endif // ZN_COMMON_HPP
