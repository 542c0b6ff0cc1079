// command_capture.h -- the console's registration and print callbacks stood in for, so that a library's commands run without a console.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "typedefs.h"

namespace zntest {

// A command as the library registered it; a null usage or description is
// kept as "(null)".
struct Registered {
    std::string cmd, usage, desc;
    int (*handler)(int, char **);
    ulong_t flags;
};

// Every command registered through capture_add, in order.
inline std::vector<Registered> &registered() {
    static std::vector<Registered> list;
    return list;
}

// What capture_print has printed since it was last cleared.
inline std::string &printed() {
    static std::string text;
    return text;
}

// A registration function of the console's form (cli_add_cmd's), recording
// the command in registered(); always 0.
inline int capture_add(char *cmd, char *usage, char *desc, int (*handler)(int, char **), ulong_t flags) {
    registered().push_back({cmd, usage ? usage : "(null)", desc ? desc : "(null)", handler, flags});
    return 0;
}

// A print function of the console's form (printf-style), appending to
// printed() whatever the length.
inline int capture_print(char *fmt, ...) {
    va_list ap, again;
    va_start(ap, fmt);
    va_copy(again, ap);
    const int n = vsnprintf(nullptr, 0, fmt, ap);
    std::string text(static_cast<size_t>(n) + 1, '\0');
    vsnprintf(text.data(), text.size(), fmt, again);
    va_end(again);
    va_end(ap);
    text.pop_back();
    printed() += text;
    return n;
}

// What running a registered command gave.
struct CommandRun {
    bool found = false; // a command of that name was registered
    int result = 0;     // the handler's result
    std::string output; // what it printed through capture_print
};

// Runs the registered command named by words[0] with the words as its
// argument vector.
inline CommandRun run_command(std::vector<std::string> words) {
    CommandRun run;
    std::vector<char *> argv;
    for (std::string &w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    printed().clear();
    for (const Registered &r : registered())
        if (r.cmd == words[0]) {
            run.found = true;
            run.result = r.handler(static_cast<int>(words.size()), argv.data());
            break;
        }
    run.output = printed();
    return run;
}

} // namespace zntest
