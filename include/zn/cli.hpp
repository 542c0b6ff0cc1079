// zn/cli.hpp -- C++ console commands, output to the typing user, questions, and who may run what.
//
// A command handle owns its callable and removes the command when it is
// destroyed; a moved-from or empty handle does nothing. Call cli_init() first.
//
//   zn::command hello("hello", "<name>", "Greet someone", [&](zn::words w) {
//       if (w.size() != 2) return zn::usage;
//       zn::print("Hello, {}! ({} greeted so far)\n", w[1], ++greeted);
//       return zn::done;
//   });
//
//   zn::console_permission policy([](CmdUser *user, std::string_view cmd) {
//       const auto peer = zn::credentials_of(user);
//       return (peer && peer->uid == geteuid()) || cmd == "stats";
//   });
#ifndef ZN_CLI_HPP
#define ZN_CLI_HPP

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>
#include <version>
#if __has_include(<format>)
#include <format>
#endif

#include "../zncli.h"
#include "common.hpp"

namespace zn ZN_CPP_HIDDEN {

// What a command (or an answer to zn::ask) reports.
enum class result : int { done = 0, usage = -1, gone = -2 };
inline constexpr result done = result::done;   // finished: the prompt follows
inline constexpr result usage = result::usage; // wrong usage: the usage line is printed
inline constexpr result gone = result::gone;   // the user or the program is gone: nothing more

// The words of the typed line, the command name first; valid during the call.
using words = std::span<const std::string_view>;

class command {
public:
    command() = default; // empty: nothing registered

    // cli_add_cmd(name, use, desc): typing name runs fn(zn::words) -> zn::result.
    // The texts are copied. On failure the handle is empty and error() says why.
    template <class F>
    command(cstr name, cstr use, cstr desc, F &&fn);

    command(command &&other) noexcept { *this = std::move(other); }
    command &operator=(command &&other) noexcept;
    ~command() { remove(); }

    explicit operator bool() const { return fn_ != nullptr; }
    int error() const { return error_; } // 0, or -1, -12, -17 as cli_add_cmd

    // Unregister the command (if the name is still this handle's) and release
    // the callable; a command may remove itself while it runs.
    void remove();

private:
    using slot = detail::slot<result(words)>;
    static int dispatch(int argc, char **argv);
    static std::map<std::string, void *, std::less<>> &table(); // name -> slot

    std::string name_;
    slot *fn_ = nullptr;
    int error_ = 0;
};

namespace detail {
template <class... A>
struct checked_format;
}

// The format of zn::print: std::format syntax, checked when compiling.
// Where the standard library has no <format>, the supported subset is "{}"
// fields (each argument shown as std::format shows it by default) and the
// escapes "{{" and "}}"; a format outside it does not compile.
#if defined(__cpp_lib_format)
template <class... A>
using format_string = std::format_string<A...>;
#else
template <class... A>
using format_string = detail::checked_format<std::type_identity_t<A>...>;
#endif

// Write the formatted text (at most 2047 bytes) to current_user as command
// output. Returns its length, or -1 when there is no current user or
// cli_output() refused it.
template <class... A>
int print(format_string<A...> fmt, A &&...args);

// From a command: hand user's next line to fn(std::string_view) -> zn::result
// instead of running it (cli_getstr); zn::done then brings the prompt back.
// False when a request is pending already or user is null.
template <class F>
bool ask(CmdUser *user, F &&fn);

// Who may run which command: fn(CmdUser *user, std::string_view name) ->
// bool is asked before each command line runs (cli_set_permission: names
// after "!" expansion, aliases by the command they alias; leaving and help
// are always allowed). One permission is in force at a time: a new one
// replaces the one before, and destroying the one in force allows
// everything again. A moved-from or empty handle does nothing.
class console_permission {
public:
    console_permission() = default; // empty: changes nothing

    // Puts fn in force; out of memory, the handle is empty and the
    // permission in force stays.
    template <class F>
    explicit console_permission(F &&fn);

    console_permission(console_permission &&other) noexcept { *this = std::move(other); }
    console_permission &operator=(console_permission &&other) noexcept;
    ~console_permission() { reset(); }

    explicit operator bool() const { return fn_ != nullptr; }
    bool in_force() const { return fn_ && in_force_slot() == fn_; }

    // Allows everything again if this handle's callable is in force, and
    // releases the callable.
    void reset();

private:
    using slot = detail::slot<bool(CmdUser *, std::string_view)>;
    static int ask(CmdUser *user, const char *cmd);
    static slot *&in_force_slot();

    slot *fn_ = nullptr;
};

// The credentials of the process at the other end of a user.
struct credentials {
    uid_t uid;
    gid_t gid;
    pid_t pid;
};

// A local socket user's peer, or this process for the local console
// (cli_user_credentials); nothing for TCP users.
inline std::optional<credentials> credentials_of(CmdUser *user) {
    credentials c{};
    if (cli_user_credentials(user, &c.uid, &c.gid, &c.pid) != 0)
        return std::nullopt;
    return c;
}

// ---- Implementation. ----

template <class F>
command::command(cstr name, cstr use, cstr desc, F &&fn) {
    slot *s = slot::make(std::forward<F>(fn));
    error_ = s ? cli_add_cmd(name.c(), use.c(), desc.c(), dispatch, 0) : -12;
    if (error_ != 0) {
        slot::release(s);
        return;
    }
    name_ = name.c_str();
    table()[name_] = fn_ = s; // replaces a name whose command was removed behind its handle
}

// The console hands handlers no user data: one handler serves every
// command and finds the callable by the name it was typed as.
inline std::map<std::string, void *, std::less<>> &command::table() {
    static auto &commands = *new std::map<std::string, void *, std::less<>>;
    return commands;
}

inline int command::dispatch(int argc, char **argv) {
    if (argc < 1)
        return 0;
    const auto at = table().find(std::string_view(argv[0]));
    if (at == table().end())
        return 0;
    std::string_view list[20]; // the splitter yields at most 19 words
    const int n = std::clamp(argc, 0, 20);
    std::copy(argv, argv + n, list);
    return static_cast<int>((*static_cast<slot *>(at->second))(words(list, static_cast<size_t>(n))));
}

inline command &command::operator=(command &&other) noexcept {
    if (this != &other) {
        remove();
        name_ = std::move(other.name_);
        fn_ = detail::take(other.fn_);
        error_ = detail::take(other.error_);
    }
    return *this;
}

inline void command::remove() {
    if (!fn_)
        return;
    const auto at = table().find(name_);
    if (at != table().end() && at->second == fn_) {
        table().erase(at);
        const CmdEntry *entry = cli_find_cmd(name_.data());
        if (entry && entry->handler == dispatch)
            cli_remove_cmd(name_.data());
    }
    slot::release(detail::take(fn_));
    name_.clear();
}

template <class F>
console_permission::console_permission(F &&fn) : fn_(slot::make(std::forward<F>(fn))) {
    if (!fn_)
        return;
    in_force_slot() = fn_;
    cli_set_permission(ask);
}

inline console_permission::slot *&console_permission::in_force_slot() {
    static slot *current = nullptr;
    return current;
}

inline int console_permission::ask(CmdUser *user, const char *cmd) {
    slot *fn = in_force_slot();
    return !fn || (*fn)(user, cmd ? cmd : "") ? 1 : 0;
}

inline console_permission &console_permission::operator=(console_permission &&other) noexcept {
    if (this != &other) {
        reset();
        fn_ = detail::take(other.fn_);
    }
    return *this;
}

inline void console_permission::reset() {
    if (in_force()) {
        cli_set_permission(nullptr);
        in_force_slot() = nullptr;
    }
    slot::release(detail::take(fn_));
}

namespace detail {

// Text for the current user, cut to the 2047 bytes cli_printf allows.
struct print_buffer {
    static constexpr size_t capacity = 2047;
    char text[capacity];
    size_t length = 0;
    void put(std::string_view s) {
        const size_t n = std::min(s.size(), capacity - length);
        memcpy(text + length, s.data(), n);
        length += n;
    }
};

inline int print_text(const print_buffer &out) {
    if (!current_user)
        return -1;
    const int n = static_cast<int>(out.length);
    return cli_output(current_user, const_cast<char *>(out.text), n, CLI_OUT_TEXT) == 0 ? n : -1;
}

#if !defined(__cpp_lib_format)
// Called only while checking a format at compile time: an error there.
void zn_print_format_needs_plain_braces_and_one_field_per_argument();

// The number of "{}" fields of fmt; -1 for a brace outside "{}", "{{", "}}".
consteval int count_fields(std::string_view fmt) {
    int fields = 0;
    for (size_t i = 0; i < fmt.size(); ++i) {
        if (fmt[i] != '{' && fmt[i] != '}')
            continue;
        if (i + 1 == fmt.size())
            return -1;
        if (fmt[i] == '{' && fmt[i + 1] == '}')
            ++fields;
        else if (fmt[i + 1] != fmt[i])
            return -1;
        ++i;
    }
    return fields;
}

template <class... A>
struct checked_format {
    template <class S>
        requires std::convertible_to<const S &, std::string_view>
    consteval checked_format(const S &s) : text(s) {
        if (count_fields(text) != static_cast<int>(sizeof...(A)))
            zn_print_format_needs_plain_braces_and_one_field_per_argument();
    }
    std::string_view text;
};

template <class T>
inline constexpr bool printable_pointer = std::is_same_v<T, void *> || std::is_same_v<T, const void *> ||
                                          std::is_null_pointer_v<T>;

// One argument as std::format shows it in a plain "{}" field.
template <class T>
void put_value(print_buffer &out, const T &v) {
    if constexpr (std::is_same_v<T, bool>) {
        out.put(v ? "true" : "false");
    } else if constexpr (std::is_same_v<T, char>) {
        out.put(std::string_view(&v, 1));
    } else if constexpr (std::is_same_v<T, char *> || std::is_same_v<T, const char *>) {
        out.put(v ? std::string_view(v) : std::string_view("(null)"));
    } else if constexpr (std::is_arithmetic_v<T>) {
        char digits[128];
        out.put(std::string_view(digits, std::to_chars(digits, digits + sizeof digits, v).ptr));
    } else if constexpr (printable_pointer<T>) {
        const auto address = reinterpret_cast<std::uintptr_t>(static_cast<const void *>(v));
        char digits[2 * sizeof address];
        out.put("0x");
        out.put(std::string_view(digits, std::to_chars(digits, digits + sizeof digits, address, 16).ptr));
    } else if constexpr (std::is_convertible_v<const T &, std::string_view>) {
        out.put(std::string_view(v));
    } else {
        static_assert(sizeof(T) == 0, "zn::print cannot show this type");
    }
}

template <class... A>
void format_into(print_buffer &out, std::string_view fmt, const A &...args) {
    struct field {
        void (*put)(print_buffer &, const void *);
        const void *value;
    };
    const field fields[sizeof...(A) + 1] = {
        {[](print_buffer &o, const void *v) { put_value(o, *static_cast<const A *>(v)); }, &args}...,
        {nullptr, nullptr}};
    size_t next = 0;
    for (size_t i = 0; i < fmt.size(); ++i) {
        const char c = fmt[i];
        if (c == '{' && fmt[i + 1] == '}') {
            fields[next].put(out, fields[next].value);
            ++next;
        } else {
            out.put(std::string_view(&c, 1));
        }
        if (c == '{' || c == '}')
            ++i; // "{}", "{{" and "}}" are two characters
    }
}
#endif

using answer_slot = slot<result(std::string_view)>;
using pending_answer = std::pair<CmdUser *, void *>; // the user asked, the answer's slot

// Questions asked and not answered yet.
inline std::vector<pending_answer> &pending_answers() {
    static auto &pending = *new std::vector<pending_answer>;
    return pending;
}

inline int answer(void *arg, char *line) {
    std::erase_if(pending_answers(), [arg](const pending_answer &p) { return p.second == arg; });
    auto *fn = static_cast<answer_slot *>(arg);
    const result r = (*fn)(line ? line : "");
    answer_slot::release(fn);
    return static_cast<int>(r);
}

// False once the user has gone (or its request was replaced) unanswered.
inline bool still_waiting(const pending_answer &p) {
    for (const CmdUser *up = CmdUserList; up; up = up->next)
        if (up == p.first)
            return up->state == CLI_STATE_GETSTR && up->str_handler == answer && up->str_arg == p.second;
    return false;
}

} // namespace detail

template <class... A>
int print(format_string<A...> fmt, A &&...args) {
    detail::print_buffer out;
#if defined(__cpp_lib_format)
    const auto written = std::format_to_n(out.text, out.capacity, fmt, std::forward<A>(args)...);
    out.length = std::min<size_t>(static_cast<size_t>(written.size), out.capacity);
#else
    detail::format_into(out, fmt.text, args...);
#endif
    return detail::print_text(out);
}

template <class F>
bool ask(CmdUser *user, F &&fn) {
    // Callables of users who left without answering are released here.
    std::erase_if(detail::pending_answers(), [](const detail::pending_answer &p) {
        if (detail::still_waiting(p))
            return false;
        detail::answer_slot::release(static_cast<detail::answer_slot *>(p.second));
        return true;
    });
    detail::answer_slot *s = detail::answer_slot::make(std::forward<F>(fn));
    if (!s || cli_getstr(user, detail::answer, s) != 0) {
        detail::answer_slot::release(s);
        return false;
    }
    detail::pending_answers().push_back(detail::pending_answer(user, static_cast<void *>(s)));
    return true;
}

} // namespace zn

#endif // ZN_CLI_HPP
