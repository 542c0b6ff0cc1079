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
        pid_ = forkpty(&master_, nullptr, nullptr, nullptr);
        if (pid_ == 0) {
            if (!cwd.empty() && chdir(cwd.c_str()) != 0)
                _exit(126);
            exec_argv(std::move(argv));
        }
        reader_.attach(master_);
    }
    ~PtyProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (master_ >= 0)
            close(master_);
    }
    PtyProcess(const PtyProcess &) = delete;
    PtyProcess &operator=(const PtyProcess &) = delete;

    bool started() const { return pid_ > 0 && master_ >= 0; }
    pid_t pid() const { return pid_; }

    void type(const std::string &bytes) {
        ssize_t ignored = write(master_, bytes.data(), bytes.size());
        (void)ignored;
    }

    // What the terminal shows, up to and including end.
    std::string read_until(const std::string &end, int timeout_ms = 10000) {
        return reader_.until(end, timeout_ms);
    }

    termios settings() const {
        termios t{};
        tcgetattr(master_, &t);
        return t;
    }

    // The exit status, or -1 when the program did not end in time or was
    // ended by a signal. What it shows meanwhile is kept for read_until().
    int wait_exit() {
        int status = 0;
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        while (ms_left(deadline) > 0) {
            shown_ += reader_.until("\x01", 20); // keep the terminal drained
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
        }
        return -1;
    }

    // What the terminal showed while wait_exit() drained it.
    const std::string &shown_at_exit() const { return shown_; }

private:
    pid_t pid_ = -1;
    int master_ = -1;
    Reader reader_;
    std::string shown_;
};

inline bool is_raw(const termios &t) { return !(t.c_lflag & (ICANON | ECHO | ISIG)) && t.c_cc[VMIN] == 1; }
inline bool is_cooked(const termios &t) {
    return (t.c_lflag & (ICANON | ECHO | ISIG)) == (ICANON | ECHO | ISIG);
}

} // namespace zntest
