// terminal.h -- the local terminal in raw input mode for the relay, and the signals that end it.
#pragma once

#include <signal.h>
#include <termios.h>

namespace znconsole {

// Switches a terminal's input to raw mode (no line editing, echo or signal
// keys: the daemon edits the line and echoes) for its lifetime; output
// processing stays. Does nothing for a descriptor that is no terminal.
class RawTerminal {
public:
    explicit RawTerminal(int fd);
    ~RawTerminal();
    RawTerminal(const RawTerminal &) = delete;
    RawTerminal &operator=(const RawTerminal &) = delete;

private:
    int fd_;
    bool saved_ = false;
    termios original_{};
};

// Catches SIGINT, SIGTERM, SIGHUP and SIGQUIT so that the program can
// restore the terminal on its way out. They stay blocked except while the
// program waits with wait_mask(), so none can slip in between a check of
// stop_signal() and the wait.
void catch_stop_signals();

// The signal mask to wait with (ppoll): the stop signals let through.
const sigset_t *wait_mask();

// The signal caught since catch_stop_signals(), or 0.
int stop_signal();

} // namespace znconsole
