// signal_hold.h -- holding back the signals a write may raise (SIGPIPE, SIGXFSZ) so that they cannot end the process.
#pragma once

#include <csignal>
#include <initializer_list>

namespace zn {

// Blocks the given signals in the calling thread while it lives. When it
// ends, each of them that became pending meanwhile is taken off the pending
// set, and the thread's mask is put back. Whatever a write returned (a pipe
// write cut short by a reader leaving returns a byte count and still raises
// SIGPIPE), the signal it raised is consumed, so that it cannot fire when
// the mask is restored. A signal that was pending before stays pending (the
// application blocked it and wants it), and dispositions are not touched.
// A signal sent by another process in the window is consumed too: a cost of
// the window, kept as short as the writes it guards. errno is preserved.
class SignalHold {
public:
    explicit SignalHold(std::initializer_list<int> signals);
    ~SignalHold();
    SignalHold(const SignalHold &) = delete;
    SignalHold &operator=(const SignalHold &) = delete;

private:
    sigset_t held_;
    sigset_t old_mask_;
    sigset_t pending_before_;
};

} // namespace zn
