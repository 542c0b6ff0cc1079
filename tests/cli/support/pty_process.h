// pty.h -- a program run with its standard input, output and error on a pseudo-terminal.
#pragma once

#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "child.h"
#include "remote.h"

namespace zntest {

class PtyProcess {
public:
    // Starts argv (argv[0] is the program's path) on a new pty, in directory
    // cwd when one is given.
    explicit PtyProcess(std::vector<std::string> argv, const std::string &cwd = "") {
        int master = -1;
        const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
        if (pid == 0) {
            if (!cwd.empty() && chdir(cwd.c_str()) != 0)
                _exit(126);
            exec_argv(std::move(argv));
        }
        child_ = ChildProcess(pid, master);
        reader_.attach(master);
    }

    bool started() const { return child_.running() && child_.fd() >= 0; }
    pid_t pid() const { return child_.pid(); }

    void type(const std::string &bytes) {
        ssize_t ignored = write(child_.fd(), bytes.data(), bytes.size());
        (void)ignored;
    }

    // What the terminal shows, up to and including end.
    std::string read_until(const std::string &end, int timeout_ms = 10000) {
        return reader_.until(end, timeout_ms);
    }

    termios settings() const {
        termios t{};
        tcgetattr(child_.fd(), &t);
        return t;
    }

    // The exit status, or -1 when the program did not end in time or was
    // ended by a signal. What it shows meanwhile is kept for read_until().
    int wait_exit() {
        // The until() of a byte never shown keeps the terminal drained.
        return child_.wait_exit(10000, [this] { shown_ += reader_.until("\x01", 20); });
    }

    // What the terminal showed while wait_exit() drained it.
    const std::string &shown_at_exit() const { return shown_; }

private:
    ChildProcess child_;
    Reader reader_;
    std::string shown_;
};

inline bool is_raw(const termios &t) { return !(t.c_lflag & (ICANON | ECHO | ISIG)) && t.c_cc[VMIN] == 1; }
inline bool is_cooked(const termios &t) {
    return (t.c_lflag & (ICANON | ECHO | ISIG)) == (ICANON | ECHO | ISIG);
}

} // namespace zntest
