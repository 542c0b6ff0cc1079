// terminal.cpp -- the local terminal in raw input mode for the relay, and the signals that end it.
#include "terminal.h"

#include <csignal>
#include <initializer_list>

namespace znconsole {

namespace {

volatile sig_atomic_t caught = 0;
sigset_t waiting_mask;

void on_signal(int sig) { caught = sig; }

} // namespace

RawTerminal::RawTerminal(int fd) : fd_(fd) {
    if (tcgetattr(fd_, &original_) != 0)
        return;
    saved_ = true;
    termios raw = original_;
    raw.c_iflag &= ~(BRKINT | ISTRIP | IXON | IXOFF);
    raw.c_iflag |= IGNBRK;
    raw.c_lflag &= ~(ISIG | ICANON | ECHO | IEXTEN);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    tcsetattr(fd_, TCSANOW, &raw);
}

RawTerminal::~RawTerminal() {
    if (saved_)
        tcsetattr(fd_, TCSANOW, &original_);
}

void catch_stop_signals() {
    struct sigaction sa{};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigset_t stops;
    sigemptyset(&stops);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        sigaction(sig, &sa, nullptr);
        sigaddset(&stops, sig);
    }
    sigprocmask(SIG_BLOCK, &stops, &waiting_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        sigdelset(&waiting_mask, sig);
}

const sigset_t *wait_mask() { return &waiting_mask; }

int stop_signal() { return caught; }

} // namespace znconsole
