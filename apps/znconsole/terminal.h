// terminal.h -- the local terminal in raw input mode for the relay, and the signals that end it.
#pragma once

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

// Catches SIGINT, SIGTERM, SIGHUP and SIGQUIT without restarting system
// calls, so that a blocked poll() returns and the program can restore the
// terminal on its way out.
void catch_stop_signals();

// The signal caught since catch_stop_signals(), or 0.
int stop_signal();

} // namespace znconsole
