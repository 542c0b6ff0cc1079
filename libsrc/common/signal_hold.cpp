// signal_hold.cpp -- holding back the signals a write may raise, and consuming those it did raise.
#include "signal_hold.h"

#include <cerrno>
#include <ctime>

namespace zn {

SignalHold::SignalHold(std::initializer_list<int> signals) {
    sigemptyset(&held_);
    for (const int sig : signals)
        sigaddset(&held_, sig);
    pthread_sigmask(SIG_BLOCK, &held_, &old_mask_);
    sigpending(&pending_before_);
}

SignalHold::~SignalHold() {
    const int saved_errno = errno;
    sigset_t pending, raised; // held signals pending now that were not before
    sigpending(&pending);
    sigemptyset(&raised);
    for (int sig = 1; sig < NSIG; ++sig)
        if (sigismember(&held_, sig) == 1 && sigismember(&pending, sig) == 1 &&
            sigismember(&pending_before_, sig) != 1)
            sigaddset(&raised, sig);
    const timespec no_wait{};
    while (!sigisemptyset(&raised)) {
        const int sig = sigtimedwait(&raised, nullptr, &no_wait);
        if (sig > 0)
            sigdelset(&raised, sig);
        else if (errno != EINTR)
            break;
    }
    pthread_sigmask(SIG_SETMASK, &old_mask_, nullptr);
    errno = saved_errno;
}

} // namespace zn
